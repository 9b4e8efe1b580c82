#include <gtest/gtest.h>

#include <cmath>

#include "AppMeasurement/script/APMPEventEditing.h"
#include "AppMeasurement/script/APMPRuntime.h"
#include "AppMeasurement/script/APMPRuntimeEntityConverter.h"
#include "AppMeasurement/script/APMPScope.h"
#include "tests/AppMeasurement/script/ScriptEntities.h"
#include "tests/AppMeasurement/script/ScriptHarness.h"

using namespace script_test;

namespace {

N e() { return var("e"); }
N call(N receiver, const std::string& name, Ns args) { return method(receiver, name, args); }

// function register(rule) { require("internal.registerCallback")("", rule.cb, rule.options) }
// written as: let reg = require(...); reg("", rule["cb"], rule["options"]).
N RegisterFunction() {
  return func(
      "register", {"rule"},
      {letv("reg", callf("require", {str("internal.registerCallback")})),
       callf("reg", {str(""), get(var("rule"), str("cb")), get(var("rule"), str("options"))})});
}

N Rule(N callback, const std::string& type, std::optional<double> priority = std::nullopt) {
  std::vector<std::pair<std::string, N>> options = {{"type", str(type)}};
  if (priority) options.push_back({"priority", num(*priority)});
  return obj({{"cb", callback}, {"options", obj(options)}});
}

APMPEvent Event(platform::Value::Dictionary parameters = {}) {
  return APMPEvent("purchase", 1000.5, std::move(parameters));
}

TEST(EventEditing, RenameDropAndCreate) {
  APMPEventEditing editing;
  N edit = lambda({"e"}, {ifElse(eq(call(e(), "getEventName", {}), str("purchase")),
                                 {call(e(), "setEventName", {str("buy")})}),
                          call(e(), "setParamValue", {str("debug"), null()}), ret(num(0))});
  N create = lambda(
      {"e"}, {ifElse(gt(call(e(), "getParamValue", {str("value")}), num(10)),
                     {callf("log", {str("big_purchase"), call(e(), "getTimestamp", {}),
                                    obj({{"value", call(e(), "getParamValue", {str("value")})},
                                         {"skip", null()}})})})});
  APMPBProgram program = MakeProgram(
      {RegisterFunction(), letv("log", callf("require", {str("internal.eventLogger")}))},
      {{"register", {Rule(edit, "edit"), Rule(create, "create")}}});
  std::optional<APMPError> error;
  ASSERT_TRUE(editing.loadProgram(program, &error)) << error->code;
  EXPECT_TRUE(editing.handleEvent(Event({{"value", 12}, {"debug", 1}}), &error));
  ASSERT_FALSE(error);
  const APMPEvent& out = editing.eventContext().outputEvent();
  EXPECT_EQ(out.name(), "buy");
  EXPECT_FALSE(out.hasParameterName("debug"));
  ASSERT_EQ(editing.eventContext().eventsToLog().size(), 1u);
  const APMPEvent& logged = editing.eventContext().eventsToLog()[0];
  EXPECT_EQ(logged.name(), "big_purchase");
  EXPECT_EQ(logged.timestamp(), 1000);
  // The input carries "value" as an integer, so the logged number is one too.
  EXPECT_EQ(*logged.parameterForName("value"), platform::Value(12));
  EXPECT_FALSE(logged.hasParameterName("skip"));
  // Another event: nothing to do.
  EXPECT_FALSE(editing.handleEvent(APMPEvent("other", 1, {{"value", 1}}), &error));
  EXPECT_FALSE(error);
}

TEST(EventEditing, ResultCodesDecideWhetherChangesStay) {
  struct Case {
    N result;
    bool kept;
  } cases[] = {{undef(), false}, {num(0), true},   {num(1), true},
               {num(2), false},  {num(-1), false}, {str("0"), false}};
  for (auto& c : cases) {
    APMPEventEditing editing;
    N edit = lambda({"e"}, {call(e(), "setEventName", {str("renamed")}), ret(c.result)});
    std::optional<APMPError> error;
    ASSERT_TRUE(editing.loadProgram(
        MakeProgram({RegisterFunction()}, {{"register", {Rule(edit, "edit")}}}), &error));
    EXPECT_EQ(editing.handleEvent(Event(), &error), c.kept) << c.result.js;
    EXPECT_EQ(editing.eventContext().outputEvent().name(), c.kept ? "renamed" : "purchase");
  }
}

TEST(EventEditing, PrioritiesOrderCallbacks) {
  APMPEventEditing editing;
  auto tagger = [](const std::string& tag) {
    return lambda({"e"}, {method(var("order"), "push", {str(tag)}), ret(num(0))});
  };
  APMPBProgram program = MakeProgram(
      {RegisterFunction(), letv("order", arr({}))},
      {{"register",
        {Rule(tagger("a5"), "edit", 5), Rule(tagger("b5"), "edit", 5), Rule(tagger("none"), "edit"),
         Rule(tagger("m3"), "edit", -3), Rule(tagger("z0"), "edit", 0)}}});
  std::optional<APMPError> error;
  ASSERT_TRUE(editing.loadProgram(program, &error));
  editing.handleEvent(Event(), &error);
  APMPValuePtr order = editing.runtime().globalScope()->valueForName(u"order");
  EXPECT_EQ(Format(order), "[s:\"m3\",s:\"z0\",s:\"a5\",s:\"b5\",s:\"none\"]");
}

// Callbacks registered while an event runs. A create callback registered by an edit callback
// runs for that same event: the create list is read after the edit callbacks ran. A callback
// added to the list being walked (edit by edit, create by create) runs from the next event on.
TEST(EventEditing, CallbacksRegisteredWhileAnEventRuns) {
  APMPEventEditing editing;
  auto logs = [](const std::string& name) {
    return lambda({"e"}, {callf("log", {str(name), num(1), obj({})}), ret(num(0))});
  };
  N edit = lambda({"e"}, {ifElse(eq(var("editAdded"), num(0)),
                                 {assign("editAdded", num(1)),
                                  callf("register", {Rule(logs("create_from_edit"), "create")}),
                                  callf("register", {Rule(logs("edit_from_edit"), "edit")})})});
  N create =
      lambda({"e"}, {ifElse(eq(var("createAdded"), num(0)),
                            {assign("createAdded", num(1)),
                             callf("register", {Rule(logs("create_from_create"), "create")})})});
  APMPBProgram program =
      MakeProgram({RegisterFunction(), letv("log", callf("require", {str("internal.eventLogger")})),
                   letv("editAdded", num(0)), letv("createAdded", num(0))},
                  {{"register", {Rule(edit, "edit"), Rule(create, "create")}}});
  std::optional<APMPError> error;
  ASSERT_TRUE(editing.loadProgram(program, &error));
  auto loggedNames = [&] {
    std::vector<std::string> names;
    for (const auto& event : editing.eventContext().eventsToLog()) names.push_back(event.name());
    return names;
  };
  EXPECT_TRUE(editing.handleEvent(Event(), &error));
  EXPECT_FALSE(error);
  EXPECT_EQ(loggedNames(), std::vector<std::string>{"create_from_edit"});
  EXPECT_TRUE(editing.handleEvent(Event(), &error));
  EXPECT_EQ(loggedNames(),
            (std::vector<std::string>{"edit_from_edit", "create_from_edit", "create_from_create"}));
}

TEST(EventEditing, CallbackLimit) {
  APMPEventEditing editing;
  N noop = lambda({"e"}, {});
  Ns rules(1000, Rule(noop, "edit"));
  std::optional<APMPError> error;
  ASSERT_TRUE(
      editing.loadProgram(MakeProgram({RegisterFunction()}, {{"register", rules}}), &error));
  EXPECT_FALSE(editing.loadProgram(MakeProgram({}, {{"register", {Rule(noop, "bogus")}}}), &error));
  EXPECT_EQ(error->domain, kAPMPEditingErrorDomain);
  EXPECT_EQ(error->code, 4);
}

TEST(EventEditing, LoadFailures) {
  std::optional<APMPError> error;
  {
    APMPEventEditing editing;
    EXPECT_FALSE(editing.loadProgram(MakeProgram({RegisterFunction(), ret(num(1))}, {}), &error));
    EXPECT_EQ(error->code, 5);
  }
  {
    APMPEventEditing editing;
    error.reset();
    EXPECT_FALSE(
        editing.loadProgram(MakeProgram({RegisterFunction()}, {{"register", {arr({})}}}), &error));
    EXPECT_EQ(error->code, 6);
  }
  {
    APMPEventEditing editing;
    error.reset();
    EXPECT_FALSE(editing.loadProgram(MakeProgram({}, {{"missing", {obj({})}}}), &error));
    EXPECT_EQ(error->code, 7);
    EXPECT_EQ(error->domain, kAPMPEditingErrorDomain);
  }
  {
    APMPEventEditing editing;
    error.reset();
    N noType = obj({{"cb", lambda({}, {})}, {"options", obj({})}});
    EXPECT_FALSE(
        editing.loadProgram(MakeProgram({RegisterFunction()}, {{"register", {noType}}}), &error));
    EXPECT_EQ(error->code, 2);
    EXPECT_EQ(error->domain, kAPMPEditingErrorDomain);
  }
  {
    APMPEventEditing editing;
    error.reset();
    APMPBProgram program;
    APMPBRuntimeEntity bad;
    NANOSetInt32(bad, APMPBRuntimeEntity::kType, 7);
    NANOSetMessageArray(program, APMPBProgram::kInstructions, std::vector<APMPBRuntimeEntity>{bad});
    EXPECT_FALSE(editing.loadProgram(program, &error));
    EXPECT_EQ(error->code, 12);
    EXPECT_EQ(error->domain, kAPMPErrorDomain);
  }
}

TEST(EventEditing, RemovingAParameterIsAnEdit) {
  APMPEventEditing editing;
  N edit = lambda({"e"}, {call(e(), "setParamValue", {str("debug"), null()}), ret(num(0))});
  std::optional<APMPError> error;
  ASSERT_TRUE(editing.loadProgram(
      MakeProgram({RegisterFunction()}, {{"register", {Rule(edit, "edit")}}}), &error));
  EXPECT_TRUE(editing.handleEvent(Event({{"debug", 1}}), &error));
  EXPECT_TRUE(editing.hasEdits());
}

// Parameter values compare as the platform's objects do: numbers by value whatever their kind
// inside lists and dictionaries; at the top level a number must also keep its kind.
TEST(EventEditing, EventEqualityComparesNestedNumbersByValue) {
  using V = platform::Value;
  auto items = [](V quantity) {
    return V(V::Array{V(V::Dictionary{{"item_id", V("sku")}, {"quantity", quantity}})});
  };
  struct Row {
    const char* name;
    V mine, theirs;
    bool equal;
  } rows[] = {
      {"nested integer and real of one value", items(V(2)), items(V(2.0)), true},
      {"nested values that differ", items(V(2)), items(V(2.5)), false},
      {"nested integer and text", items(V(2)), items(V("2")), false},
      {"list of integer and real", V(V::Array{V(1), V(2)}), V(V::Array{V(1.0), V(2.0)}), true},
      {"lists of different length", V(V::Array{V(1)}), V(V::Array{V(1), V(1)}), false},
      {"top-level integer and real", V(3), V(3.0), false},
      {"top-level equal reals", V(3.5), V(3.5), true},
      {"top-level text", V("a"), V("a"), true},
  };
  for (const Row& row : rows) {
    APMPEvent r("e", 1, {{"p", row.mine}});
    APMPEvent o("e", 1, {{"p", row.theirs}});
    EXPECT_EQ(r.isEqualToEvent(o), row.equal) << row.name;
  }
}

// A callback that reads a list of items and writes it back unchanged edits nothing: the items'
// integers came back as reals, which the platform's objects count as the same values.
TEST(EventEditing, ItemsWrittenBackUnchangedAreNoEdit) {
  APMPEventEditing editing;
  N edit = lambda({"e"}, {call(e(), "setParamValue",
                               {str("items"), call(e(), "getParamValue", {str("items")})}),
                          ret(num(0))});
  std::optional<APMPError> error;
  ASSERT_TRUE(editing.loadProgram(
      MakeProgram({RegisterFunction()}, {{"register", {Rule(edit, "edit")}}}), &error));
  platform::Value item(platform::Value::Dictionary{{"quantity", 2}, {"price", 1.5}});
  EXPECT_FALSE(editing.handleEvent(Event({{"items", platform::Value::Array{item}}}), &error));
  ASSERT_FALSE(error);
  EXPECT_FALSE(editing.hasEdits());
}

TEST(EventEditing, ParameterNormalization) {
  APMPEventEditing editing;
  N edit = lambda({"e"}, {call(e(), "setParamValue", {str("count"), num(3.7)}),
                          call(e(), "setParamValue", {str("_kept"), num(3.7)}),
                          call(e(), "setParamValue", {str("_err"), num(3.7)}),
                          call(e(), "setParamValue", {str("label"), num(3.7)}),
                          call(e(), "setParamValue", {str("gone"), null()}),
                          call(e(), "setParamValue", {str("empty"), undef()}), ret(num(0))});
  std::optional<APMPError> error;
  ASSERT_TRUE(editing.loadProgram(
      MakeProgram({RegisterFunction()}, {{"register", {Rule(edit, "edit")}}}), &error));
  EXPECT_TRUE(editing.handleEvent(
      Event({{"count", 1}, {"_kept", 5}, {"label", "x"}, {"gone", "y"}}), &error));
  const APMPEvent& out = editing.eventContext().outputEvent();
  EXPECT_EQ(*out.parameterForName("count"), platform::Value(3));
  EXPECT_EQ(*out.parameterForName("_kept"), platform::Value(5));
  EXPECT_EQ(*out.parameterForName("_err"), platform::Value(3));
  EXPECT_EQ(*out.parameterForName("label"), platform::Value("3.7"));
  EXPECT_FALSE(out.hasParameterName("gone"));
  EXPECT_EQ(*out.parameterForName("empty"), platform::Value(""));
}

TEST(EventEditing, RunawayCallbackFailsAndTheNextEventRuns) {
  APMPEventEditing editing;
  N edit = lambda({"e"}, {call(e(), "setEventName", {str("half")}),
                          ifElse(eq(call(e(), "getParamValue", {str("spin")}), num(1)),
                                 {whileLoop(boolean(true), {})}),
                          ret(num(0))});
  std::optional<APMPError> error;
  ASSERT_TRUE(editing.loadProgram(
      MakeProgram({RegisterFunction()}, {{"register", {Rule(edit, "edit")}}}), &error));
  EXPECT_FALSE(editing.handleEvent(Event({{"spin", 1}}), &error));
  EXPECT_EQ(error->code, 18);
  EXPECT_EQ(editing.eventContext().outputEvent().name(), "purchase");  // restored
  error.reset();
  EXPECT_TRUE(editing.handleEvent(Event({{"spin", 0}}), &error));
  EXPECT_FALSE(error);
  EXPECT_EQ(editing.eventContext().outputEvent().name(), "half");
}

TEST(EventEditing, CallbacksKeepTheirClosuresAcrossCollections) {
  APMPEventEditing editing;
  // The callback is made in a block inside the registering call: the rule it reads is bound
  // in an enclosing scope of its defining scope, which only the callback keeps alive.
  N edit = lambda({"e"}, {call(e(), "setEventName", {get(var("rule"), str("to"))}), ret(num(0))});
  N registerRename = func("registerRename", {"rule"},
                          {block({letv("reg", callf("require", {str("internal.registerCallback")})),
                                  callf("reg", {str(""), edit, obj({{"type", str("edit")}})})})});
  std::optional<APMPError> error;
  ASSERT_TRUE(editing.loadProgram(
      MakeProgram({registerRename}, {{"registerRename", {obj({{"to", str("renamed")}})}}}),
      &error));
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(editing.handleEvent(Event(), &error));
    EXPECT_EQ(editing.eventContext().outputEvent().name(), "renamed");
  }
}

}  // namespace

namespace {

TEST(EventEditingHostile, DeeplyNestedProgramFailsCleanly) {
  N nested = num(1);
  for (int i = 0; i < 600; ++i) nested = neg(nested);
  APMPEventEditing editing;
  std::optional<APMPError> error;
  EXPECT_FALSE(editing.loadProgram(MakeProgram({nested}, {}), &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, APMPErrorCodeNestingTooDeep);
}

TEST(EventEditingHostile, CyclicParameterValueIsRefused) {
  APMPEventEditing editing;
  N edit = lambda({"e"}, {letv("o", obj({})), set(var("o"), str("self"), var("o")),
                          call(e(), "setEventName", {str("changed")}),
                          call(e(), "setParamValue", {str("p"), var("o")}), ret(num(0))});
  std::optional<APMPError> error;
  ASSERT_TRUE(editing.loadProgram(
      MakeProgram({RegisterFunction()}, {{"register", {Rule(edit, "edit")}}}), &error));
  EXPECT_FALSE(editing.handleEvent(Event(), &error));
  EXPECT_EQ(error->code, APMPErrorCodeNestingTooDeep);
  EXPECT_EQ(editing.eventContext().outputEvent().name(), "purchase");
}

TEST(EventEditingHostile, WrongArgumentsToTheEventObject) {
  APMPEventEditing editing;
  struct Case {
    N call;
    int64_t code;
  } cases[] = {{call(e(), "getEventName", {num(1)}), 9},
               {call(e(), "setEventName", {null()}), 10},
               {call(e(), "setEventName", {undef()}), 10},
               {call(e(), "setParamValue", {str("a")}), 9},
               {call(e(), "getParamValue", {}), 9},
               {call(e(), "nosuch", {}), 17},
               {callf("log", {str("n"), num(1), num(2)}), 10},
               {callf("log", {str("n"), num(1)}), 9}};
  for (auto& c : cases) {
    APMPEventEditing fresh;
    N edit = lambda({"e"}, {c.call, ret(num(0))});
    std::optional<APMPError> error;
    ASSERT_TRUE(fresh.loadProgram(
        MakeProgram(
            {RegisterFunction(), letv("log", callf("require", {str("internal.eventLogger")}))},
            {{"register", {Rule(edit, "edit")}}}),
        &error));
    EXPECT_FALSE(fresh.handleEvent(Event(), &error)) << c.call.js;
    ASSERT_TRUE(error) << c.call.js;
    EXPECT_EQ(error->code, c.code) << c.call.js;
  }
}

// Programs are read in place through views of their records; these cases pin down that the
// views read what copies would, and that nothing converted keeps pointing into the program.
TEST(EventEditingViews, ViewOfAnEntityConvertsLikeTheEntity) {
  N program =
      func("f", {"a"},
           {ifElse(gt(var("a"), num(2.5)), {ret(str("big"))}), ret(add(var("a"), boolean(true)))});
  APMPBRuntimeEntity entity = ToEntity(program.value);
  APMPBProgram holder;
  NANOSetMessageArray(holder, APMPBProgram::kInstructions, std::vector<APMPBRuntimeEntity>{entity});
  auto views = NANOViewMessageArray<APMPBRuntimeEntity>(holder, APMPBProgram::kInstructions);
  ASSERT_TRUE(views);
  ASSERT_EQ(views->size(), 1u);
  std::optional<APMPError> error;
  APMPValuePtr fromCopy = APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(entity, &error);
  APMPValuePtr fromView =
      APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity((*views)[0], &error);
  ASSERT_FALSE(error);
  EXPECT_TRUE(fromView->isEqualToRuntimeValue(*program.value));
  EXPECT_TRUE(fromView->isEqualToRuntimeValue(*fromCopy));
}

TEST(EventEditingViews, AbsentFieldsAndBadEntitiesInsideNestedStatements) {
  // Each case is the last argument of a statement two levels down, so that it is read through
  // a view of a view.
  auto nested = [](const APMPBRuntimeEntity& leaf) {
    APMPBRuntimeEntity inner;
    NANOSetInt32(inner, APMPBRuntimeEntity::kType, 4);
    NANOSetString(inner, APMPBRuntimeEntity::kStatement, "f");
    NANOSetMessageArray(inner, APMPBRuntimeEntity::kValue, std::vector<APMPBRuntimeEntity>{leaf});
    APMPBRuntimeEntity outer;
    NANOSetInt32(outer, APMPBRuntimeEntity::kType, 4);
    NANOSetString(outer, APMPBRuntimeEntity::kStatement, "g");
    NANOSetMessageArray(outer, APMPBRuntimeEntity::kValue, std::vector<APMPBRuntimeEntity>{inner});
    return outer;
  };
  auto leafOf = [&](const APMPValuePtr& outer) {
    const auto& g = static_cast<const APMPStatementValue&>(*outer);
    const auto& f = static_cast<const APMPStatementValue&>(*g.arguments().at(0));
    return f.arguments().at(0);
  };
  auto typed = [](int type) {
    APMPBRuntimeEntity e;
    NANOSetInt32(e, APMPBRuntimeEntity::kType, type);
    return e;
  };
  std::optional<APMPError> error;
  APMPValuePtr v =
      APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(nested(typed(1)), &error);
  ASSERT_FALSE(error);
  ASSERT_EQ(leafOf(v)->kind(), APMPValueKind::String);
  EXPECT_TRUE(static_cast<const APMPStringValue&>(*leafOf(v)).value().empty());
  v = APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(nested(typed(2)), &error);
  ASSERT_FALSE(error);
  ASSERT_EQ(leafOf(v)->kind(), APMPValueKind::Number);
  EXPECT_TRUE(std::isnan(static_cast<const APMPNumberValue&>(*leafOf(v)).value()));
  v = APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(nested(typed(3)), &error);
  ASSERT_FALSE(error);
  EXPECT_EQ(leafOf(v), APMPBooleanValue::booleanValueWithBool(false));

  struct Case {
    APMPBRuntimeEntity leaf;
    int64_t code;
  } cases[] = {{APMPBRuntimeEntity(), APMPErrorCodeUnknownEntityType},
               {typed(0), APMPErrorCodeUnknownEntityType},
               {typed(5), APMPErrorCodeUnknownEntityType},
               {typed(4), APMPErrorCodeMissingFunctionName}};
  for (const auto& c : cases) {
    error.reset();
    v = APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(nested(c.leaf), &error);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, c.code);
    EXPECT_EQ(v->kind(), APMPValueKind::Undefined);
  }
}

TEST(EventEditingViews, MessageOfAnotherKindIsNoEntity) {
  APMPBOgtActivity activity;
  NANOSetString(activity, APMPBOgtActivity::kName, "register");
  std::optional<APMPError> error;
  APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(activity, &error);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, APMPErrorCodeUnknownEntityType);
  error.reset();
  APMPRuntimeEntityConverter::statementValueFromRuntimeEntity(activity, &error);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, APMPErrorCodeUnknownEntityType);
}

TEST(EventEditingViews, CallbacksOutliveTheLoadedProgram) {
  // The program is decoded from bytes, loaded, then destroyed before any event: what the
  // callbacks hold must be their own values, not views of the program's records.
  N edit = lambda({"e"}, {call(e(), "setEventName", {str("renamed")}), ret(num(0))});
  std::string bytes =
      *MakeProgram({RegisterFunction()}, {{"register", {Rule(edit, "edit")}}}).protoBuffer();
  APMPEventEditing editing;
  std::optional<APMPError> error;
  {
    auto program = APMPBProgram::initWithBuffer(bytes);
    ASSERT_TRUE(program);
    ASSERT_TRUE(editing.loadProgram(*program, &error)) << error->code;
  }
  EXPECT_TRUE(editing.handleEvent(Event(), &error));
  ASSERT_FALSE(error);
  EXPECT_EQ(editing.eventContext().outputEvent().name(), "renamed");
}

TEST(EventEditingViews, ActivityLoadsFromAView) {
  N edit = lambda({"e"}, {call(e(), "setEventName", {str("seen")}), ret(num(0))});
  APMPBProgram program = MakeProgram({RegisterFunction()}, {{"register", {Rule(edit, "edit")}}});
  APMPEventEditing editing;
  std::optional<APMPError> error;
  editing.runtime().executeStatements(
      *NANOViewMessageArray<APMPBRuntimeEntity>(program, APMPBProgram::kInstructions), &error);
  ASSERT_FALSE(error);
  auto activities = NANOViewMessage<APMPBOgtActivities>(program, APMPBProgram::kOgtActivities);
  ASSERT_TRUE(activities);
  auto list = NANOViewMessageArray<APMPBOgtActivity>(*activities, APMPBOgtActivities::kActivities);
  ASSERT_TRUE(list);
  ASSERT_EQ(list->size(), 1u);
  ASSERT_TRUE(editing.loadActivityData((*list)[0], &error)) << error->code;
  EXPECT_TRUE(editing.handleEvent(Event(), &error));
  EXPECT_EQ(editing.eventContext().outputEvent().name(), "seen");
}

}  // namespace
