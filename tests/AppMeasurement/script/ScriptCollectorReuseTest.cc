// The collector reuses its last mark while nothing that mark reached has been written. Every
// kind of write into what a collection reached must count: a link it missed would let the
// next collection empty a value scripts can still reach, and an unlink it missed would keep
// an unreachable cycle alive.

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "AppMeasurement/script/APMPArrayValue.h"
#include "AppMeasurement/script/APMPMapValue.h"
#include "AppMeasurement/script/APMPObjectManager.h"
#include "AppMeasurement/script/APMPRuntime.h"
#include "AppMeasurement/script/APMPScope.h"
#include "tests/AppMeasurement/script/ScriptHarness.h"

using namespace script_test;

namespace {

// Runs statements in the global scope and binds nothing else first: RunProgram's "print"
// binding is itself a counted write and would hide a missing one.
APMPValuePtr Exec(APMPRuntime& runtime, const Ns& program) {
  APMPValueList statements;
  for (const auto& n : program) statements.push_back(n.value);
  std::optional<APMPError> error;
  APMPValuePtr result = runtime.executeStatements(statements, &error);
  EXPECT_FALSE(error) << (error ? error->code : 0);
  return result;
}

const APMPValuePtr& Property(const APMPValuePtr& holder, const char16_t* name) {
  if (auto* map = dynamic_cast<APMPPropertyHolder*>(holder.get()))
    return map->valueForProperty(name);
  return APMPUndefined();
}

// The number under "v" of `value`, or NaN when `value` lost its contents.
double V(const APMPValuePtr& value) {
  std::optional<APMPError> error;
  return Property(value, u"v")->doubleValueOrError(&error);
}

N Fresh() { return obj({{"v", num(7)}}); }

// A function, not a static: values must not outlive the thread's release queue.
Ns Globals() {
  return {
      letv("g", null()),
      letv("holder", obj({})),
      letv("list", arr({num(0), num(1)})),
      func("f", {}, {}),
      func("outer", {},
           {letv("captured", null()), assign("write", lambda({}, {assign("captured", Fresh())})),
            assign("read", lambda({}, {ret(var("captured"))}))}),
      letv("write", null()),
      letv("read", null()),
      callf("outer", {}),
  };
}

TEST(ScriptCollectorReuse, WritesThatLinkNewValuesKeepThemIntact) {
  struct Case {
    const char* name;
    N write;
    Ns read;  // evaluates to the value written
  } cases[] = {
      {"global binding", assign("g", Fresh()), {var("g")}},
      {"property of a map", set(var("holder"), str("x"), Fresh()), {get(var("holder"), str("x"))}},
      {"property of a function", set(var("f"), str("x"), Fresh()), {get(var("f"), str("x"))}},
      {"array element", set(var("list"), num(0), Fresh()), {get(var("list"), num(0))}},
      {"array element past the end", set(var("list"), num(5), Fresh()), {get(var("list"), num(5))}},
      {"push", method(var("list"), "push", {Fresh()}), {get(var("list"), num(2))}},
      {"unshift", method(var("list"), "unshift", {Fresh()}), {get(var("list"), num(0))}},
      {"splice",
       method(var("list"), "splice", {num(1), num(0), Fresh()}),
       {get(var("list"), num(1))}},
      {"binding of a closure's scope", callf("write", {}), {callf("read", {})}},
  };
  for (const auto& c : cases) {
    APMPRuntime runtime;
    Exec(runtime, Globals());
    runtime.collectGarbage();
    runtime.collectGarbage();  // nothing written since the first: its mark holds
    Exec(runtime, {c.write});
    runtime.collectGarbage();
    runtime.collectGarbage();
    EXPECT_EQ(V(Exec(runtime, c.read)), 7) << c.name;
  }
}

TEST(ScriptCollectorReuse, WritesThatUnlinkCyclesLetThemBeSwept) {
  struct Case {
    const char* name;
    Ns link;  // stores the cycle "c" where the write below drops it
    N unlink;
  } cases[] = {
      {"global binding", {assign("g", var("c"))}, assign("g", null())},
      {"property of a map",
       {set(var("holder"), str("x"), var("c"))},
       set(var("holder"), str("x"), null())},
      {"array element", {set(var("list"), num(0), var("c"))}, set(var("list"), num(0), null())},
      {"pop", {method(var("list"), "push", {var("c")})}, method(var("list"), "pop", {})},
      {"shift", {method(var("list"), "unshift", {var("c")})}, method(var("list"), "shift", {})},
      {"length", {set(var("list"), num(1), var("c"))}, set(var("list"), str("length"), num(1))},
      {"splice",
       {set(var("list"), num(1), var("c"))},
       method(var("list"), "splice", {num(1), num(1)})},
  };
  for (const auto& c : cases) {
    APMPRuntime runtime;
    Exec(runtime, Globals());
    Ns link = {letv("c", obj({})), set(var("c"), str("self"), var("c"))};
    link.insert(link.end(), c.link.begin(), c.link.end());
    link.push_back(assign("c", null()));
    Exec(runtime, link);
    std::weak_ptr<APMPRuntimeValue> cycle;
    runtime.collectGarbage();
    runtime.collectGarbage();
    // The cycle is reachable through the linked slot alone.
    for (const auto& weak : runtime.objectManager().trackedObjects()) {
      auto value = weak.lock();
      if (value && Property(value, u"self") == value) cycle = value;
    }
    ASSERT_FALSE(cycle.expired()) << c.name;
    Exec(runtime, {c.unlink});
    runtime.collectGarbage();
    EXPECT_TRUE(cycle.expired()) << c.name;
  }
}

// A root of the host's that holds a value.
struct HostRoot : APMPMarkable {
  APMPValuePtr held;
  void mark(APMPMarker& marker) override { APMPMarkValue(marker, held); }
};

TEST(ScriptCollectorReuse, WhatOnlyAGoneRootReachedIsSwept) {
  APMPRuntime runtime;
  auto root = std::make_shared<HostRoot>();
  auto map = APMPObjectManager::mapValueWithScope(runtime.globalScope());
  map->setValue(map, u"self");
  root->held = map;
  std::weak_ptr<APMPMapValue> cycle = map;
  map.reset();
  runtime.addGarbageCollectionRoot(root);
  runtime.collectGarbage();
  ASSERT_FALSE(cycle.expired());
  root.reset();
  runtime.collectGarbage();
  EXPECT_TRUE(cycle.expired());
}

TEST(ScriptCollectorReuse, AnotherRuntimesCollectionInBetweenDoesNotCostReachedValues) {
  // A map tracked by runtime a and bound in both: b's collection marks it with b's number.
  APMPRuntime a, b;
  auto shared = APMPObjectManager::mapValueWithScope(a.globalScope());
  shared->setValue(APMPNumberValue::make(7), u"v");
  a.globalScope()->addValue(shared, u"shared");
  b.globalScope()->addValue(shared, u"shared");
  a.collectGarbage();
  a.collectGarbage();
  b.collectGarbage();
  for (int i = 0; i < 3; ++i) {
    a.collectGarbage();
    EXPECT_EQ(V(shared), 7) << "collection " << i + 1 << " after b's";
  }
}

}  // namespace
