// Programs that try to break the runtime: each must end with its error and leave the
// runtime usable.

#include <gtest/gtest.h>

#include "AppMeasurement/script/APMPArrayValue.h"
#include "AppMeasurement/script/APMPScope.h"
#include "AppMeasurement/script/APMPStorageLedger.h"
#include "AppMeasurement/script/APMPText.h"
#include "tests/AppMeasurement/script/RandomStatements.h"
#include "tests/AppMeasurement/script/ScriptHarness.h"

using namespace script_test;

namespace {

N raw(const std::string& code, Ns args) { return Stmt(code, args, ""); }

void ExpectUsable(APMPRuntime& runtime) {
  runtime.resetInstructionCount();
  runtime.collectGarbage();
  RunResult r = RunProgram(runtime, {print(add(num(1), num(2)))});
  EXPECT_FALSE(r.error);
  EXPECT_EQ(r.printed, "n:3\n");
}

TEST(ScriptHostile, InfiniteLoops) {
  APMPRuntime runtime;
  for (N loop :
       {whileLoop(boolean(true), {}), forLet("i", num(0), boolean(true), assign("i", num(0)), {}),
        doWhile(num(1), {cont()})}) {
    runtime.resetInstructionCount();
    RunResult r = RunProgram(runtime, {loop});
    ASSERT_TRUE(r.error);
    EXPECT_EQ(r.error->code, 18);
    ExpectUsable(runtime);
  }
}

TEST(ScriptHostile, DeepRecursionFailsCleanly) {
  APMPRuntime runtime;
  RunResult r = RunProgram(runtime, {func("f", {"n"}, {ret(add(num(1), callf("f", {var("n")})))}),
                                     callf("f", {num(0)})});
  ASSERT_TRUE(r.error);
  EXPECT_EQ(r.error->code, APMPErrorCodeNestingTooDeep);
  ExpectUsable(runtime);
  // Moderate recursion still works.
  r = RunProgram(runtime, {func("depth", {"n"},
                                {ifElse(le(var("n"), num(0)), {ret(num(0))}),
                                 ret(add(num(1), callf("depth", {sub(var("n"), num(1))})))}),
                           print(callf("depth", {num(200)}))});
  EXPECT_FALSE(r.error);
  EXPECT_EQ(r.printed, "n:200\n");
}

TEST(ScriptHostile, StorageThatScriptsKeepIsBounded) {
  // { let keep = []; while (true) { let a = []; a.length = max; keep.push(a); } }
  // Each array is within its own bound; together they would exhaust memory long before
  // the instruction budget ends the loop.
  APMPRuntime runtime;
  int64_t before = APMPStorageLedger::total();
  RunResult r = RunProgram(
      runtime, {block({letv("keep", arr({})),
                       whileLoop(boolean(true),
                                 {letv("a", arr({})),
                                  set(var("a"), str("length"), num(APMPArrayValue::kMaximumLength)),
                                  method(var("keep"), "push", {var("a")})})})});
  ASSERT_TRUE(r.error);
  EXPECT_EQ(r.error->code, APMPErrorCodeTooLarge);
  EXPECT_LE(APMPStorageLedger::total() - before,
            APMPStorageLedger::kLimit +
                2 * int64_t{APMPArrayValue::kMaximumLength} * APMPStorageLedger::kArraySlotBytes);
  // Nothing reachable holds them any more: the collection gives the storage back.
  ExpectUsable(runtime);
  EXPECT_LT(APMPStorageLedger::total() - before, 1000);
  // Strings kept across runs: each run (a fresh budget, as every event gets) keeps one more
  // copy of a long string; the runs fail once the kept strings pass the limit.
  RunResult setup = RunProgram(runtime, {letv("keep", arr({})), letv("s", str("0123456789abcdef")),
                                         whileLoop(lt(get(var("s"), str("length")), num(1 << 22)),
                                                   {assign("s", add(var("s"), var("s")))})});
  ASSERT_FALSE(setup.error);
  int runs = 0;
  for (; runs < 100; ++runs) {
    runtime.resetInstructionCount();
    r = RunProgram(runtime, {method(var("keep"), "push", {add(var("s"), str("!"))})});
    if (r.error) break;
  }
  ASSERT_TRUE(r.error);
  EXPECT_EQ(r.error->code, APMPErrorCodeTooLarge);
  EXPECT_LT(runs, 20);
  runtime.globalScope()->setValue(APMPNull(), u"keep");
  runtime.globalScope()->setValue(APMPNull(), u"s");
  ExpectUsable(runtime);
  EXPECT_LT(APMPStorageLedger::total() - before, 1000);
}

// One step on a long array or string does work in proportion to its length; a loop of such
// steps must run out of budget after a bounded amount of work, not after a million steps. One
// instance per step, so that the suite runs them in parallel.
// The steps by name (the parameter): program values must not outlive the test in static
// storage.
N BulkStep(const std::string& name) {
  if (name == "UnshiftAndShift")
    return Stmt("13", {method(var("a"), "unshift", {num(1)}), method(var("a"), "shift", {})}, "");
  if (name == "StringSearch") return method(var("s"), "indexOf", {str("x")});
  return eq(var("a"), str("x"));  // ArrayToText
}

class BulkWorkCountsAgainstTheBudget : public testing::TestWithParam<const char*> {};

TEST_P(BulkWorkCountsAgainstTheBudget, LoopEndsAfterBoundedWork) {
  APMPRuntime runtime;
  // let a = []; a.length = 16384; let s = a.join("y"); let n = 0; while (true) { step; n++ }
  RunResult r = RunProgram(
      runtime,
      {letv("a", arr({})), set(var("a"), str("length"), num(16384)),
       letv("s", method(var("a"), "join", {str("y")})), letv("n", num(0)),
       whileLoop(boolean(true), {BulkStep(GetParam()), assign("n", add(var("n"), num(1)))})});
  ASSERT_TRUE(r.error);
  EXPECT_EQ(r.error->code, 18);
  runtime.resetInstructionCount();
  r = RunProgram(runtime, {print(var("n"))});
  double steps = std::stod(r.printed.substr(2));
  // 16384 elements or code units are 256 evaluations' worth of work; without that charge
  // the loop would run about a hundred thousand steps.
  EXPECT_LT(steps, 10000);
  EXPECT_GT(steps, 100);
}

INSTANTIATE_TEST_SUITE_P(ScriptHostile, BulkWorkCountsAgainstTheBudget,
                         testing::Values("UnshiftAndShift", "StringSearch", "ArrayToText"),
                         [](const testing::TestParamInfo<const char*>& info) {
                           return std::string(info.param);
                         });

TEST(ScriptHostile, SmallProgramsPayOneUnitPerEvaluation) {
  APMPRuntime runtime;
  RunResult r = RunProgram(runtime, {method(str("abc"), "indexOf", {str("c")})});
  EXPECT_FALSE(r.error);
  EXPECT_EQ(runtime.getInstructionCount(nullptr), 6u);
}

// Records the storage ledger's total when a script calls it.
class LedgerProbe : public APMPFunctionValue {
 public:
  explicit LedgerProbe(std::shared_ptr<int64_t> seen)
      : APMPFunctionValue(u"probe", {}, {}, APMPScope::make()), seen_(std::move(seen)) {}
  APMPValuePtr invokeWithEvaluatedArguments(const APMPValueList&, APMPErrorSlot*) override {
    *seen_ = APMPStorageLedger::total();
    return APMPUndefined();
  }

 private:
  std::shared_ptr<int64_t> seen_;
};

TEST(ScriptHostile, IteratingALongStringMakesItsItemsOneByOne) {
  // for (const c of s) { probe(); break; } over a text of four million code units: the
  // loop must not first make four million one-unit strings.
  APMPRuntime runtime;
  auto seen = std::make_shared<int64_t>(0);
  runtime.globalScope()->addValue(std::make_shared<LedgerProbe>(seen), u"probe");
  RunResult r = RunProgram(runtime, {letv("s", str("0123456789abcdef")),
                                     whileLoop(lt(get(var("s"), str("length")), num(1 << 22)),
                                               {assign("s", add(var("s"), var("s")))})});
  ASSERT_FALSE(r.error);
  for (const char* code : {"64", "65", "66", "47", "54", "55"}) {
    runtime.resetInstructionCount();
    int64_t before = APMPStorageLedger::total();
    r = RunProgram(runtime,
                   {Stmt(code, {str("c"), var("s"), codeList({callf("probe", {}), brk()})}, "")});
    ASSERT_FALSE(r.error) << code;
    EXPECT_LT(*seen - before, 1000) << code;
  }
}

TEST(ScriptHostile, HugeArrays) {
  APMPRuntime runtime;
  for (N program : {set(arr({}), num(4e9), num(1)), set(arr({}), str("length"), num(4294967295.0)),
                    set(arr({}), num(APMPArrayValue::kMaximumLength), num(1))}) {
    RunResult r = RunProgram(runtime, {program});
    ASSERT_TRUE(r.error) << program.js;
    EXPECT_EQ(r.error->code, APMPErrorCodeTooLarge);
    ExpectUsable(runtime);
  }
  // Doubling an array by concat until the bound.
  runtime.resetInstructionCount();
  RunResult r = RunProgram(
      runtime, {letv("a", arr({num(1)})),
                whileLoop(boolean(true), {assign("a", method(var("a"), "concat", {var("a")}))})});
  ASSERT_TRUE(r.error);
  EXPECT_EQ(r.error->code, APMPErrorCodeTooLarge);
  ExpectUsable(runtime);
}

TEST(ScriptHostile, HugeStrings) {
  APMPRuntime runtime;
  RunResult r =
      RunProgram(runtime, {letv("s", str("0123456789abcdef")),
                           whileLoop(boolean(true), {assign("s", add(var("s"), var("s")))})});
  ASSERT_TRUE(r.error);
  // The copies that doubling makes use up the budget before the length bound is reached.
  EXPECT_EQ(r.error->code, 18);
  ExpectUsable(runtime);
}

TEST(ScriptHostile, ConcatStopsAtTheStringLengthBound) {
  // s is a quarter of the bound, made in a run of its own (each event gets a fresh budget):
  // four copies reach the bound, one character more passes it.
  APMPRuntime runtime;
  RunResult r = RunProgram(
      runtime, {letv("s", str("0123456789abcdef")),
                whileLoop(lt(get(var("s"), str("length")), num(kAPMPMaximumStringLength / 4)),
                          {assign("s", add(var("s"), var("s")))})});
  ASSERT_FALSE(r.error);
  runtime.resetInstructionCount();
  r = RunProgram(
      runtime,
      {print(get(method(var("s"), "concat", {var("s"), var("s"), var("s")}), str("length")))});
  ASSERT_FALSE(r.error);
  EXPECT_EQ(r.printed, "n:" + std::to_string(kAPMPMaximumStringLength) + "\n");
  runtime.resetInstructionCount();
  r = RunProgram(runtime, {method(var("s"), "concat", {var("s"), var("s"), var("s"), str("!")})});
  ASSERT_TRUE(r.error);
  EXPECT_EQ(r.error->code, APMPErrorCodeTooLarge);
  runtime.globalScope()->setValue(APMPNull(), u"s");
  ExpectUsable(runtime);
}

TEST(ScriptHostile, CatastrophicRegularExpression) {
  APMPRuntime runtime;
  std::string subject(40, 'a');
  subject += "!";
  RunResult r = RunProgram(runtime, {method(str(subject), "match", {str("^(a+)+$")})});
  ASSERT_TRUE(r.error);
  EXPECT_EQ(r.error->domain, kAPMPRegularExpressionErrorDomain);
  ExpectUsable(runtime);
}

TEST(ScriptHostile, CanonicalSearchOverLongTextStaysLinear) {
  APMPRuntime runtime;
  std::string text;
  for (int i = 0; i < 200000; ++i) text += "e\xCC\x81";  // decomposed é
  RunResult r = RunProgram(runtime, {print(method(str(text), "indexOf", {str("\xC3\xBC")})),
                                     print(method(str(text), "lastIndexOf", {str("\xC3\xA9")}))});
  EXPECT_FALSE(r.error);
  EXPECT_EQ(r.printed, "n:-1\nn:399998\n");
}

TEST(ScriptHostile, WrongArgumentsEverywhere) {
  APMPRuntime runtime;
  // Every command code, with no arguments and with four strange ones: none may crash.
  Ns strange = {null(), arr({}), num(NAN), obj({})};
  for (int code = 0; code <= 70; ++code) {
    for (const Ns& args : {Ns{}, strange}) {
      runtime.resetInstructionCount();
      RunProgram(runtime, {raw(std::to_string(code), args)});
    }
  }
  // Every method name on every kind of receiver, with wrong arguments.
  const char* names[] = {"charAt",         "concat",  "every",   "filter",      "forEach",
                         "hasOwnProperty", "indexOf", "join",    "lastIndexOf", "map",
                         "match",          "pop",     "push",    "reduce",      "reduceRight",
                         "replace",        "reverse", "search",  "shift",       "slice",
                         "some",           "sort",    "splice",  "split",       "substring",
                         "toString",       "trim",    "unshift", "toUpperCase"};
  for (N receiver : {str("abc"), arr({num(1), num(2)}), obj({}), num(1), null()}) {
    for (const char* name : names) {
      for (const Ns& args : {Ns{}, strange, Ns{num(1)}, Ns{str("x"), num(-1)}}) {
        runtime.resetInstructionCount();
        RunProgram(runtime, {method(receiver, name, args)});
      }
    }
  }
  ExpectUsable(runtime);
}

TEST(ScriptHostile, SelfReferencesAndMutationDuringIteration) {
  APMPRuntime runtime;
  RunResult r = RunProgram(
      runtime,
      {letv("a", arr({num(1), num(2), num(3)})), method(var("a"), "push", {var("a")}),
       print(add(var("a"), str(""))),
       // A callback that grows and shrinks the array it iterates.
       method(
           var("a"), "forEach",
           {lambda({"x"}, {method(var("a"), "pop", {}), method(var("a"), "unshift", {num(0)})})}),
       method(var("a"), "sort", {lambda({"x", "y"}, {method(var("a"), "push", {num(1)}), num(1)})}),
       letv("o", obj({})), set(var("o"), str("self"), var("o")),
       print(get(var("o"), str("self")))});
  EXPECT_FALSE(r.error) << (r.error ? r.error->code : 0);
  ExpectUsable(runtime);
}

}  // namespace

#include <pthread.h>

#include <functional>

namespace {

// The nesting bound keeps deep recursion within a small thread stack, sanitizers included.
TEST(ScriptHostile, DeepRecursionFitsASmallThreadStack) {
  struct Outcome {
    int64_t code = 0;
  } outcome;
  auto body = [](void* arg) -> void* {
    APMPRuntime runtime;
    RunResult r = RunProgram(runtime, {func("f", {"n"}, {ret(add(num(1), callf("f", {var("n")})))}),
                                       callf("f", {num(0)})});
    static_cast<Outcome*>(arg)->code = r.error ? r.error->code : 0;
    return nullptr;
  };
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, size_t{2} << 20);
  pthread_t thread;
  ASSERT_EQ(pthread_create(&thread, &attr, body, &outcome), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
  EXPECT_EQ(outcome.code, APMPErrorCodeNestingTooDeep);
}

}  // namespace

#include <random>

namespace {

// Random statement trees of every command code with random literal arguments: each must end
// with a value or an error, never a crash, a sanitizer report or a hang, and the runtime
// stays usable.
TEST(ScriptHostile, RandomPrograms) {
  std::mt19937 random(12062026);
  RandomStatements trees([&] { return static_cast<uint32_t>(random()); }, false);
  auto make = [&](int depth) { return trees.make(depth); };
  APMPRuntime runtime;
  RunProgram(runtime, {letv("x", num(1))});
  int errors = 0;
  for (int i = 0; i < 4000; ++i) {
    runtime.resetInstructionCount();
    std::optional<APMPError> error;
    runtime.executeStatements(APMPValueList{make(6)}, &error);
    if (error) ++errors;
    if (i % 500 == 0) runtime.collectGarbage();
  }
  EXPECT_GT(errors, 0);
  EXPECT_LT(errors, 4000);
  ExpectUsable(runtime);
}

}  // namespace
