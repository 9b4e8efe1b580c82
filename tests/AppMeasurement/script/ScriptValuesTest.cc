#include <gtest/gtest.h>

#include <cmath>

#include "AppMeasurement/script/APMPArrayValue.h"
#include "AppMeasurement/script/APMPFunctionValue.h"
#include "AppMeasurement/script/APMPMapValue.h"
#include "AppMeasurement/script/APMPObjectManager.h"
#include "AppMeasurement/script/APMPRuntime.h"
#include "AppMeasurement/script/APMPRuntimeEntityConverter.h"
#include "AppMeasurement/script/APMPScope.h"
#include "AppMeasurement/script/APMPText.h"
#include "AppMeasurement/script/APMPValueFunctions.h"
#include "tests/AppMeasurement/script/ScriptHarness.h"

using namespace script_test;

namespace {

APMPValuePtr Num(double d) { return APMPNumberValue::make(d); }
APMPValuePtr S(const std::u16string& s) { return APMPStringValue::make(s); }

TEST(ScriptValues, NumberFormatting) {
  struct Case {
    double value;
    const char16_t* text;
  } cases[] = {{42, u"42"},
               {-1.5, u"-1.5"},
               {1234567, u"1234567"},
               {1e21, u"1e+21"},
               {1e-7, u"1e-7"},
               {0.000001, u"0.000001"},
               {1e20, u"100000000000000000000"},
               {0.1 + 0.2, u"0.30000000000000004"},
               {-0.0, u"0"},
               {NAN, u"NaN"},
               {INFINITY, u"Infinity"},
               {-INFINITY, u"-Infinity"},
               {1.5e-7, u"1.5e-7"},
               {-1.2345e25, u"-1.2345e+25"},
               {123.456, u"123.456"},
               {5e-324, u"5e-324"}};
  for (const auto& c : cases) EXPECT_EQ(APMPNumberToString(c.value), c.text) << c.value;
}

TEST(ScriptValues, StringParsing) {
  EXPECT_EQ(APMPStringToNumber(u" 12 "), 12);
  EXPECT_TRUE(std::isnan(APMPStringToNumber(u"12ab")));
  EXPECT_EQ(APMPStringToNumber(u""), 0);
  EXPECT_EQ(APMPStringToNumber(u" \n\t"), 0);
  EXPECT_TRUE(std::isnan(APMPStringToNumber(u"NaN")));
  EXPECT_EQ(APMPStringToNumber(u"Infinity"), INFINITY);
  EXPECT_EQ(APMPStringToNumber(u"-Infinity"), -INFINITY);
  EXPECT_EQ(APMPStringToNumber(u"-1.5e3"), -1500);
  EXPECT_EQ(APMPStringToNumber(u".5"), 0.5);
  EXPECT_EQ(APMPStringToNumber(u"1e400"), INFINITY);
  EXPECT_TRUE(std::isnan(APMPStringToNumber(u"0x10")));
  EXPECT_TRUE(std::isnan(APMPStringToNumber(u"1e")));
  EXPECT_TRUE(std::isnan(APMPStringToNumber(u".")));
}

TEST(ScriptValues, IntegerConversions) {
  EXPECT_EQ(APMPToUint32(-5), 4294967291u);
  EXPECT_EQ(APMPToInt32(-5), -5);
  EXPECT_EQ(APMPToInt32(3000000000.0), 2147483647);
  EXPECT_EQ(APMPToInt32(-3000000000.0), -2147483648);
  EXPECT_EQ(APMPToInt32(NAN), 0);
  EXPECT_EQ(APMPToInt32(INFINITY), 0);
  EXPECT_EQ(APMPToInt32(4294967297.0), 1);
  EXPECT_EQ(APMPToInt32(1e300), 0);  // a multiple of 2^32
  EXPECT_EQ(APMPToInteger(NAN), 0);
  EXPECT_EQ(APMPToInteger(-2.7), -2);
  EXPECT_EQ(APMPToInteger(INFINITY), INFINITY);
  EXPECT_EQ(APMPSaturatingInt64(1e300), INT64_MAX);
  EXPECT_EQ(APMPSaturatingInt64(-1e300), INT64_MIN);
  EXPECT_EQ(APMPSaturatingInt64(NAN), 0);
}

TEST(ScriptValues, ConversionsOfEveryKind) {
  std::optional<APMPError> error;
  EXPECT_EQ(APMPUndefined()->stringValueOrError(&error), u"undefined");
  EXPECT_EQ(APMPNull()->doubleValueOrError(&error), 0);
  EXPECT_FALSE(Num(-0.0)->booleanValueOrError(&error));
  EXPECT_FALSE(Num(NAN)->booleanValueOrError(&error));
  EXPECT_TRUE(S(u"0")->booleanValueOrError(&error));
  EXPECT_EQ(std::make_shared<APMPMapValue>()->stringValueOrError(&error), u"[object Object]");
  EXPECT_FALSE(error);
  // Statements, control values and the hole marker fail with 3, 4 and 5.
  for (const APMPValuePtr& v :
       {APMPControlValue::breakValue(), APMPArrayValue::emptyValue(),
        APMPValuePtr(std::make_shared<APMPStatementValue>(u"0", APMPValueList{}))}) {
    error.reset();
    v->booleanValueOrError(&error);
    EXPECT_EQ(error->code, 3);
    error.reset();
    v->doubleValueOrError(&error);
    EXPECT_EQ(error->code, 4);
    error.reset();
    v->stringValueOrError(&error);
    EXPECT_EQ(error->code, 5);
    EXPECT_EQ(error->domain, kAPMPErrorDomain);
  }
}

TEST(ScriptValues, EqualityRules) {
  std::optional<APMPError> error;
  EXPECT_TRUE(Num(NAN)->isEqualToRuntimeValue(*Num(NAN)));
  EXPECT_FALSE(APMPStrictEquals(*Num(NAN), *Num(NAN), &error));
  EXPECT_FALSE(APMPStrictEquals(*APMPBooleanValue::booleanValueWithBool(true), *Num(1), &error));
  EXPECT_TRUE(APMPStrictEquals(*Num(0), *Num(-0.0), &error));
  EXPECT_TRUE(APMPStrictEquals(*S(u"ab"), *S(u"ab"), &error));
  auto a = std::make_shared<APMPMapValue>();
  auto b = std::make_shared<APMPMapValue>();
  a->setValue(Num(1), u"x");
  b->setValue(Num(1), u"x");
  EXPECT_TRUE(a->isEqualToRuntimeValue(*b));
  EXPECT_FALSE(APMPStrictEquals(*a, *b, &error));
  // Self-containing maps compare without recursing forever.
  a->setValue(a, u"self");
  b->setValue(b, u"self");
  EXPECT_FALSE(a->isEqualToRuntimeValue(*b));
  a->propertyMap().clear();
  b->propertyMap().clear();
  EXPECT_FALSE(error);
}

TEST(ScriptValues, PropertyMapGuards) {
  APMPPropertyMap map;
  map.setImmutableValue(Num(1), u"k");
  map.setValue(Num(2), u"k");
  map.removeValueForName(u"k");
  EXPECT_EQ(static_cast<APMPNumberValue&>(*map.valueForName(u"k")).value(), 1);
  map.makeImmutable();
  map.setValue(Num(3), u"other");
  EXPECT_FALSE(map.hasName(u"other"));
  EXPECT_EQ(map.valueForName(u"missing"), APMPUndefined());
}

TEST(ScriptValues, ScopeChain) {
  auto grandparent = APMPScope::make();
  auto parent = grandparent->createChildScope();
  auto child = parent->createChildScope();
  grandparent->addValue(Num(1), u"g");
  child->setValue(Num(2), u"g");
  EXPECT_EQ(static_cast<APMPNumberValue&>(*grandparent->valueForName(u"g")).value(), 2);
  child->setValue(Num(3), u"fresh");
  EXPECT_TRUE(child->contents().hasName(u"fresh"));
  EXPECT_FALSE(parent->hasName(u"fresh"));
  EXPECT_EQ(child->valueForName(u"unbound"), APMPUndefined());
  child->makeImmutable();
  child->addValue(Num(4), u"late");
  EXPECT_FALSE(child->hasName(u"late"));
}

TEST(ScriptValues, ArrayIndicesLengthAndHoles) {
  auto array = std::make_shared<APMPArrayValue>();
  std::optional<APMPError> error;
  array->setValue(S(u"x"), Num(5), &error);
  EXPECT_EQ(array->count(), 6u);
  EXPECT_EQ(array->stringValueOrError(&error), u",,,,,x");
  array->setValue(Num(7), S(u"name"), &error);
  auto names = array->allPropertyNames();
  ASSERT_EQ(names.size(), 2u);
  EXPECT_EQ(names[0]->stringValueOrError(&error), u"name");
  EXPECT_EQ(names[1]->stringValueOrError(&error), u"5");
  // "1" and 1 and "01" address the same element.
  array->setValue(Num(9), S(u"01"), &error);
  EXPECT_EQ(array->valueForProperty(Num(1), &error)->stringValueOrError(&error), u"9");
  // -1 and 1.5 are named properties.
  array->setValue(Num(1), Num(-1), &error);
  array->setValue(Num(1), Num(1.5), &error);
  EXPECT_TRUE(array->propertyMap().hasName(u"-1"));
  EXPECT_TRUE(array->propertyMap().hasName(u"1.5"));
  EXPECT_FALSE(error);
  array->setValue(Num(-1), S(u"length"), &error);
  EXPECT_EQ(error->code, 11);
  error.reset();
  array->setValue(Num(2), S(u"length"), &error);
  EXPECT_EQ(array->count(), 2u);
  array->removeValueForProperty(Num(0), &error);
  EXPECT_EQ(array->count(), 2u);
  EXPECT_EQ(array->stringValueOrError(&error), u",9");
  EXPECT_FALSE(array->hasProperty(Num(0), &error));
}

TEST(ScriptValues, ArrayBoundsFailInsteadOfExhaustingMemory) {
  auto array = std::make_shared<APMPArrayValue>();
  std::optional<APMPError> error;
  array->setValue(Num(1), Num(4e9), &error);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, APMPErrorCodeTooLarge);
  EXPECT_EQ(array->count(), 0u);
  error.reset();
  array->setValue(Num(1e15), S(u"length"), &error);
  EXPECT_EQ(error->code, APMPErrorCodeTooLarge);
}

TEST(ScriptValues, ArraySortAndSearch) {
  std::optional<APMPError> error;
  auto array = std::make_shared<APMPArrayValue>(
      APMPValueList{Num(3), APMPUndefined(), Num(1), APMPArrayValue::emptyValue()});
  array->sortUsingFunctionValue(nullptr, nullptr, &error);
  EXPECT_EQ(Format(array), "[n:1,n:3,u,hole]");
  auto texts = std::make_shared<APMPArrayValue>(APMPValueList{Num(9), Num(10)});
  texts->sortUsingFunctionValue(nullptr, nullptr, &error);
  EXPECT_EQ(Format(texts), "[n:10,n:9]");
  EXPECT_EQ(texts->indexOfValue(Num(NAN), 0, &error), -1);
  EXPECT_EQ(texts->lastIndexOfValue(Num(10), 5, &error), 0);
  auto splice = std::make_shared<APMPArrayValue>(APMPValueList{Num(1), Num(2)});
  splice->spliceFrom(-3, 0, {Num(0)}, &error);
  splice->spliceFrom(99, 0, {Num(3)}, &error);
  EXPECT_EQ(Format(splice), "[n:0,n:1,n:2,n:3]");
  EXPECT_FALSE(error);
}

TEST(ScriptValues, SelfContainingArrayJoinsLikeJavaScript) {
  auto array = std::make_shared<APMPArrayValue>(APMPValueList{Num(1)});
  std::optional<APMPError> error;
  array->appendElements({array}, &error);
  EXPECT_EQ(array->stringValueOrError(&error), u"1,");
  EXPECT_FALSE(error);
  array->sweep();  // end the cycle
}

TEST(ScriptValues, CollectorSweepsUnreachableAndKeepsReachable) {
  APMPRuntime runtime;
  auto& manager = runtime.objectManager();
  auto scope = runtime.globalScope();
  auto kept = APMPObjectManager::mapValueWithScope(scope);
  kept->setValue(Num(1), u"a");
  scope->addValue(kept, u"kept");
  std::weak_ptr<APMPMapValue> lost;
  {
    auto cyclic = APMPObjectManager::mapValueWithScope(scope);
    cyclic->setValue(cyclic, u"self");
    lost = cyclic;
  }
  EXPECT_FALSE(lost.expired());  // the cycle keeps it alive
  runtime.collectGarbage();
  EXPECT_TRUE(lost.expired());
  EXPECT_TRUE(kept->hasProperty(u"a"));
  EXPECT_FALSE(kept->isMarked());
  runtime.collectGarbage();
  EXPECT_TRUE(kept->hasProperty(u"a"));
  EXPECT_EQ(manager.trackedObjects().size(), 1u);
  // Without a manager in the chain nothing is tracked.
  auto loose = APMPObjectManager::mapValueWithScope(APMPScope::make());
  EXPECT_EQ(manager.trackedObjects().size(), 1u);
}

TEST(ScriptValues, CollectorKeepsEnclosingScopesOfLiveCallbacks) {
  // function outer(p) { return function () { return p.v; }; } kept = outer({v: 7});
  APMPRuntime runtime;
  Ns program = {
      func("outer", {"p"}, {ret(lambda({}, {ret(get(var("p"), str("v")))}))}),
      letv("kept", callf("outer", {obj({{"v", num(7)}})})),
  };
  RunResult r = RunProgram(runtime, program);
  ASSERT_FALSE(r.error);
  // The map bound to p lives in the call's scope, an ancestor of the callback's scope.
  runtime.collectGarbage();
  r = RunProgram(runtime, {print(callf("kept", {}))});
  EXPECT_EQ(r.printed, "n:7\n");
}

TEST(ScriptValues, CollectorKeepsValuesUnderUntrackedFunctionsAcrossCollections) {
  // Modules are function values that no object manager tracks; a map stored on one must
  // survive every later collection, not only the first.
  APMPRuntime runtime;
  RunResult r = RunProgram(runtime, {letv("m", callf("require", {str("internal.platform")})),
                                     set(var("m"), str("saved"), obj({{"v", num(7)}}))});
  ASSERT_FALSE(r.error);
  for (int i = 0; i < 3; ++i) {
    runtime.collectGarbage();
    r = RunProgram(
        runtime,
        {print(get(get(callf("require", {str("internal.platform")}), str("saved")), str("v")))});
    ASSERT_FALSE(r.error);
    EXPECT_EQ(r.printed, "n:7\n") << "after collection " << i + 1;
  }
}

TEST(ScriptValues, CollectionsOfTwoRuntimesDoNotMixUpTheirMarks) {
  // A host function bound in two runtimes; runtime b hangs one of its maps on it.
  auto shared = std::make_shared<APMPFunctionValue>(u"shared", std::vector<std::u16string>{},
                                                    APMPValueList{}, APMPScope::make());
  APMPRuntime a, b;
  a.globalScope()->addValue(shared, u"shared");
  b.globalScope()->addValue(shared, u"shared");
  a.collectGarbage();
  RunResult r = RunProgram(b, {set(var("shared"), str("saved"), obj({{"v", num(7)}}))});
  ASSERT_FALSE(r.error);
  b.collectGarbage();
  r = RunProgram(b, {print(get(get(var("shared"), str("saved")), str("v")))});
  EXPECT_EQ(r.printed, "n:7\n");
}

TEST(ScriptValues, CollectorHandlesLongChainsWithoutRecursion) {
  APMPRuntime runtime;
  auto scope = runtime.globalScope();
  auto head = APMPObjectManager::mapValueWithScope(scope);
  auto node = head;
  for (int i = 0; i < 200000; ++i) {
    auto next = APMPObjectManager::mapValueWithScope(scope);
    node->setValue(next, u"next");
    node = next;
  }
  scope->addValue(head, u"head");
  runtime.collectGarbage();  // marks 200000 levels deep
  EXPECT_TRUE(head->hasProperty(u"next"));
  scope->addValue(APMPUndefined(), u"head");
  head.reset();
  node.reset();
  runtime.collectGarbage();  // frees them without a recursive destructor chain
  EXPECT_EQ(runtime.objectManager().trackedObjects().size(), 0u);
}

TEST(ScriptValues, HostObjectConversion) {
  APMPRuntime runtime;
  std::optional<APMPError> error;
  platform::Value host = platform::Value::Dictionary{{"flag", true},
                                                     {"count", 3},
                                                     {"ratio", 1.5},
                                                     {"name", "x"},
                                                     {"list", platform::Value::Array{1, "two"}},
                                                     {"none", nullptr}};
  APMPValuePtr value =
      APMPRuntimeEntityConverter::runtimeValueFromNSObject(&host, runtime.globalScope(), &error);
  ASSERT_FALSE(error);
  auto* map = APMPAsMap(value);
  ASSERT_NE(map, nullptr);
  EXPECT_EQ(map->valueForProperty(u"flag"), APMPBooleanValue::booleanValueWithBool(true));
  EXPECT_EQ(map->valueForProperty(u"count")->kind(), APMPValueKind::Number);
  EXPECT_EQ(map->valueForProperty(u"none"), APMPNull());
  auto back = APMPRuntimeEntityConverter::objectFromRuntimeValue(value, &error);
  ASSERT_TRUE(back);
  // Null properties are left out; numbers come back as reals; booleans as 1.
  EXPECT_EQ(back->find("none"), nullptr);
  EXPECT_EQ(*back->find("flag"), platform::Value(1.0));
  EXPECT_EQ(*back->find("name"), platform::Value("x"));
  EXPECT_EQ(*APMPRuntimeEntityConverter::objectFromRuntimeValue(S(u"12"), &error),
            platform::Value(12.0));
  EXPECT_EQ(*APMPRuntimeEntityConverter::objectFromRuntimeValue(S(u"12a"), &error),
            platform::Value("12a"));
  EXPECT_EQ(*APMPRuntimeEntityConverter::objectFromRuntimeValue(APMPUndefined(), &error),
            platform::Value(""));
  EXPECT_EQ(*APMPRuntimeEntityConverter::objectFromRuntimeValue(Num(NAN), &error),
            platform::Value("NaN"));
  platform::Value bytes = platform::Value::bytes("ab");
  APMPRuntimeEntityConverter::runtimeValueFromNSObject(&bytes, runtime.globalScope(), &error);
  EXPECT_EQ(error->code, 13);
  // A map that contains itself fails instead of recursing forever.
  error.reset();
  map->setValue(value, u"self");
  APMPRuntimeEntityConverter::objectFromRuntimeValue(value, &error);
  EXPECT_EQ(error->code, APMPErrorCodeNestingTooDeep);
}

}  // namespace
