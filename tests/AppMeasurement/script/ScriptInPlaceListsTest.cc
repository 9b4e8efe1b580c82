// Lists written in place (argument lists of method calls, branches and loop bodies) are run
// without making the arrays no script can reach; events share their parameters until one
// changes them; property tables are searched by views of names. What a script can observe must
// be exactly what making the arrays and copying the events gave: the budget charged, the
// values seen, the errors, the collector's list.

#include <gtest/gtest.h>

#include <thread>

#include "AppMeasurement/script/APMPArrayValue.h"
#include "AppMeasurement/script/APMPCommandRegistrar.h"
#include "AppMeasurement/script/APMPEvent.h"
#include "AppMeasurement/script/APMPObjectManager.h"
#include "AppMeasurement/script/APMPPropertyMap.h"
#include "AppMeasurement/script/APMPRuntime.h"
#include "AppMeasurement/script/APMPScope.h"
#include "AppMeasurement/script/APMPValueFunctions.h"
#include "tests/AppMeasurement/script/ScriptHarness.h"

using namespace script_test;

namespace {

// The units one statement charges, after `setup` has run on the same runtime.
uint32_t UnitsOf(N statement, Ns setup = {}) {
  APMPRuntime runtime;
  RunResult r = RunProgram(runtime, setup);
  EXPECT_FALSE(r.error);
  runtime.resetInstructionCount();
  r = RunProgram(runtime, {statement});
  EXPECT_FALSE(r.error) << statement.js;
  return runtime.getInstructionCount(nullptr);
}

TEST(ScriptInPlaceLists, ChargeWhatMakingTheArrayCharged) {
  // Each count follows the rule "every evaluation costs one unit", statement by statement.
  struct Case {
    const char* name;
    N statement;
    Ns setup;
    uint32_t units;
  } cases[] = {
      // "2", "ab", "concat", "7", "c", "d", then concat evaluates its two arguments again.
      {"arguments in place", method(str("ab"), "concat", {str("c"), str("d")}), {}, 8},
      // "2", "ab", "concat", "15", "a", then the two arguments again.
      {"arguments through a variable",
       Stmt("2", {str("ab"), str("concat"), var("a")}, ""),
       {letv("a", arr({str("c"), str("d")}))},
       7},
      // "22", true, "46", 1.
      {"branch in place", ifElse(boolean(true), {num(1)}), {}, 4},
      // "5", "15", "c", then the list's one statement.
      {"statement list through a variable",
       Stmt("5", {var("c")}, ""),
       {letv("c", codeList({num(1)}))},
       4},
      // "66", "x", "7", 1, 2, "46", then the body's statement once per item.
      {"loop body in place", forOf("x", arr({num(1), num(2)}), {num(0)}), {}, 8},
      // "2", "ab", "concat", "7" and nothing else: no arguments to evaluate twice.
      {"empty argument list", method(str("ab"), "concat", {}), {}, 4},
  };
  for (const auto& c : cases) EXPECT_EQ(UnitsOf(c.statement, c.setup), c.units) << c.name;
}

TEST(ScriptInPlaceLists, ArgumentsKeepTheirOrderValuesAndErrors) {
  struct Case {
    const char* name;
    Ns program;
    std::string printed;
    int64_t error;
  } cases[] = {
      {"evaluated in order, once each",
       {print(method(str("a"), "concat", {print(num(1)), print(num(2))}))},
       "n:1\nn:2\ns:\"aundefinedundefined\"\n",
       0},
      // A hole that a method hands back reads as undefined in an argument list, as it does
      // when read back from an array.
      {"a hole reads as undefined",
       {letv("h", arr({})), set(var("h"), str("length"), num(1)),
        print(method(str("x"), "concat", {method(var("h"), "shift", {})}))},
       "s:\"xundefined\"\n",
       0},
      // The first failing argument stops the call: the method never runs, later arguments
      // are not evaluated.
      {"a failing argument stops the call",
       {print(method(str("a"), "concat", {assign("undeclared", num(1)), print(num(2))}))},
       "",
       2},
      {"a branch that is not a list is its value",
       {print(Stmt("22", {boolean(true), num(5)}, ""))},
       "n:5\n",
       0},
      {"a statement list that is not a list fails", {Stmt("5", {num(1)}, "")}, "", 10},
      {"a method call whose list is not a list fails",
       {Stmt("2", {str("ab"), str("concat"), num(1)}, "")},
       "",
       10},
  };
  for (const auto& c : cases) {
    RunResult r = RunProgram(c.program);
    EXPECT_EQ(r.printed, c.printed) << c.name;
    EXPECT_EQ(r.error ? r.error->code : 0, c.error) << c.name;
  }
}

TEST(ScriptInPlaceLists, LeaveNothingForTheCollector) {
  APMPRuntime runtime;
  RunResult r = RunProgram(
      runtime, {forOf("x", arr({num(1), num(2)}),
                      {ifElse(boolean(true), {method(str("a"), "concat", {var("x")})})})});
  ASSERT_FALSE(r.error);
  // Only the array the loop walks over is a value a script could reach.
  EXPECT_EQ(runtime.objectManager().trackedObjects().size(), 1u);
}

TEST(ScriptInPlaceLists, NestingStillStopsAtTheDepthBound) {
  // concat(concat(concat(...))) nested past the bound fails with error 19, not a crash.
  N call = str("x");
  for (int i = 0; i < APMPCommandRegistrar::kMaximumDepth; ++i)
    call = method(str("a"), "concat", {call});
  RunResult r = RunProgram({call});
  ASSERT_TRUE(r.error);
  EXPECT_EQ(r.error->code, 19);
}

TEST(ScriptEventSharing, CopiesChangeIndependently) {
  APMPEvent original("purchase", 1,
                     {{"value", platform::Value(3.5)}, {"debug", platform::Value(1)}});
  APMPEvent copy = original;
  EXPECT_TRUE(copy.isEqualToEvent(original));
  copy.setParameter(platform::Value("EUR"), "currency");
  EXPECT_EQ(original.parameterForName("currency"), nullptr);
  EXPECT_FALSE(copy.isEqualToEvent(original));
  original.setParameter(std::nullopt, "debug");
  EXPECT_NE(copy.parameterForName("debug"), nullptr);
  EXPECT_EQ(original.parameters().size(), 1u);
  EXPECT_EQ(copy.parameters().size(), 3u);
  // Removing what is not there changes nothing, shared or not.
  APMPEvent second = original;
  second.setParameter(std::nullopt, "absent");
  EXPECT_TRUE(second.isEqualToEvent(original));
  // A write followed by a read sees the new value; the other copy keeps the old one.
  second.setParameter(platform::Value(7.25), "value");
  EXPECT_EQ(*second.parameterForName("value"), platform::Value(7.25));
  EXPECT_EQ(*original.parameterForName("value"), platform::Value(3.5));
  APMPEvent empty;
  EXPECT_TRUE(empty.parameters().empty());
  empty.setParameter(platform::Value(1.0), "n");
  EXPECT_EQ(empty.parameters().size(), 1u);
}

TEST(ScriptPropertyNames, LookedUpByViewsBeforeAndAfterTheIndex) {
  APMPPropertyMap map;
  std::vector<std::u16string> names;
  for (int i = 0; i < 20; ++i) names.push_back(u"name" + std::u16string(1, char16_t(u'a' + i)));
  for (size_t i = 0; i < names.size(); ++i) {
    map.setValue(APMPNumberValue::make(static_cast<double>(i)), names[i]);
    // Every name so far is found through a view over other storage, with or without the
    // index (built past eight names).
    for (size_t j = 0; j <= i; ++j) {
      std::u16string other = names[j];
      const APMPValuePtr* found = map.findValue(std::u16string_view(other));
      ASSERT_NE(found, nullptr) << i << " " << j;
      EXPECT_EQ((*found)->doubleValueOrError(nullptr), static_cast<double>(j));
    }
  }
  map.removeValueForName(std::u16string_view(names[3]));
  EXPECT_FALSE(map.hasName(names[3]));
  EXPECT_TRUE(map.hasName(names[4]));
  map.setImmutableValue(APMPNull(), std::u16string_view(u"fixed"));
  map.setValue(APMPUndefined(), std::u16string(u"fixed"));
  EXPECT_EQ(map.valueForName(u"fixed"), APMPNull());
  EXPECT_EQ(map.allNames().size(), 20u);
}

// Scopes (and common values) come from blocks each thread keeps for its next ones
// (APMPBlockStorage). A scope may outlive the thread
// that made it and be dropped on another; under AddressSanitizer a kept block is poisoned, so
// a scope used after it was dropped, or a block returned twice, is reported.
TEST(ScriptScopeStorage, ScopesOutliveTheThreadsThatMadeThem) {
  APMPScopePtr kept;
  std::thread([&] {
    auto outer = APMPScope::make();
    outer->addValue(APMPNumberValue::make(1), u"a");
    kept = outer->createChildScope();
    for (int i = 0; i < 100; ++i) outer->createChildScope()->addValue(APMPNull(), u"b");
  }).join();
  std::optional<APMPError> error;
  EXPECT_EQ(kept->valueForName(u"a")->doubleValueOrError(&error), 1);
  EXPECT_FALSE(kept->hasName(u"b"));
  APMPValuePtr text;
  std::thread([&] {
    text = APMPStringValue::make(u"kept");
    for (int i = 0; i < 100; ++i) APMPStringValue::make(u"dropped");
  }).join();
  std::u16string scratch;
  EXPECT_EQ(APMPStringConversion(*text, scratch, &error), u"kept");
  text.reset();
  std::thread([&] { kept.reset(); }).join();
  // Blocks dropped here and reused hold nothing of the scopes that had them.
  for (int i = 0; i < 100; ++i) {
    auto scope = APMPScope::make();
    EXPECT_FALSE(scope->hasName(u"b"));
    scope->addValue(APMPNull(), u"b");
  }
}

}  // namespace
