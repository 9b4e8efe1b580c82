// Editing-like programs over 100,000 input events, each run by the script runtime and, as the
// anchor, by Duktape (built from Debian's source with the same optimisation as ours) with the
// same logic in JavaScript:
// - BM_EventEditing / BM_DuktapeEventEditing: through the event-editing host (rename a
//   parameter, drop one by name, create an event on a condition). Both sides work on the same
//   C++ event context: Duktape's script reaches the event through native functions as ours
//   does, and nothing copies the whole event in or out of either engine;
// - BM_ScriptRuntime / BM_DuktapeAnchor: one script function over a converted event map, the
//   result converted back, on both sides.
// Loading a program of realistic size (kProgramStatements statements nested kProgramDepth
// deep), against decoding the same bytes as the anchor:
// - BM_ProgramDecode: the anchor, APMPBProgram from its bytes;
// - BM_ProgramConvert: the instructions converted to statement values as loadProgram does,
//   reading the entities in place through views;
// - BM_ProgramConvertThroughCopies: the same conversion through the copying getters, as it
//   was done before (kept here as the reference point of the ratio).
// The hostile shapes of tests/AppMeasurement/script/HostileShapes.h, one event each:
// - BM_HostileShape/<n>: time per event of shape n (each ends within the bounds of one
//   event's run); the worst of them is printed, and its ratio to BM_EventEditing's 100,000
//   ordinary events.
// The ratios of the medians are printed last, one per line.

#include <benchmark/benchmark.h>
#include <duktape.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "AppMeasurement/script/APMPEventEditing.h"
#include "AppMeasurement/script/APMPFunctionValue.h"
#include "AppMeasurement/script/APMPRuntime.h"
#include "AppMeasurement/script/APMPRuntimeEntityConverter.h"
#include "AppMeasurement/script/APMPScope.h"
#include "AppMeasurement/script/APMPValueFunctions.h"
#include "bench/MedianRatios.h"
#include "tests/AppMeasurement/script/HostileShapes.h"
#include "tests/AppMeasurement/script/ScriptEntities.h"
#include "tests/AppMeasurement/script/ScriptProgram.h"

using namespace script_test;

namespace {

constexpr int kEvents = 100000;

std::vector<platform::Value> Inputs() {
  std::vector<platform::Value> inputs;
  const char* names[] = {"purchase", "screen_view", "login", "add_to_cart"};
  for (int i = 0; i < kEvents; ++i) {
    platform::Value event;
    event["name"] = platform::Value(names[i % 4]);
    platform::Value& params = event["params"];
    params["value"] = platform::Value(static_cast<double>(i % 20));
    params["currency"] = platform::Value("EUR");
    params["debug"] = platform::Value(1);
    std::string item = "sku-";
    item.append(std::to_string(i % 97));
    params["item"] = platform::Value(std::move(item));
    inputs.push_back(std::move(event));
  }
  return inputs;
}

// Two values alike for the output checks: numbers by value whatever their type (a script keeps
// every number as a double), texts and dictionaries member by member.
bool Alike(const platform::Value& a, const platform::Value& b) {
  if (auto x = a.numberAsDouble()) {
    auto y = b.numberAsDouble();
    return y && *x == *y;
  }
  if (auto x = a.asDictionary()) {
    auto y = b.asDictionary();
    if (!y || x->size() != y->size()) return false;
    for (const auto& [key, value] : *x) {
      auto it = y->find(key);
      if (it == y->end() || !Alike(value, it->second)) return false;
    }
    return true;
  }
  return a == b;
}

[[noreturn]] void Mismatch(const char* side, const std::string& what) {
  std::fprintf(stderr, "apm_script_bench: %s: %s\n", side, what.c_str());
  std::exit(1);
}

// function edit(e) {
//   let p = e["params"]; let out = {}; let q = {};
//   if (e["name"] == "purchase") { out["name"] = "buy"; } else { out["name"] = e["name"]; }
//   for (let k in p) { if (k != "debug") { q[k] = p[k]; } }
//   out["params"] = q;
//   if (p["value"] > 10) { out["created"] = "big_" + e["name"]; }
//   return out;
// }
Ns Program() {
  N e = var("e"), p = var("p");
  return {func(
      "edit", {"e"},
      {letv("p", get(e, str("params"))), letv("out", obj({})), letv("q", obj({})),
       ifElse(eq(get(e, str("name")), str("purchase")), {set(var("out"), str("name"), str("buy"))},
              {set(var("out"), str("name"), get(e, str("name")))}),
       forIn("k", p,
             {ifElse(ne(var("k"), str("debug")), {set(var("q"), var("k"), get(p, var("k")))})}),
       set(var("out"), str("params"), var("q")),
       ifElse(gt(get(p, str("value")), num(10)),
              {set(var("out"), str("created"), add(str("big_"), get(e, str("name"))))}),
       ret(var("out"))})};
}

// What edit(e) returns for an input, written directly.
platform::Value ExpectedEdit(const platform::Value& input) {
  const std::string& name = *input.find("name")->asString();
  platform::Value::Dictionary params = *input.find("params")->asDictionary();
  platform::Value out;
  out["name"] = platform::Value(name == "purchase" ? std::string("buy") : name);
  if (params.at("value").numberAsDouble().value_or(0) > 10) {
    out["created"] = platform::Value("big_" + name);
  }
  params.erase("debug");
  out["params"] = platform::Value(std::move(params));
  return out;
}

// Runs one side's edit over every input once, outside the timed loop, and exits with a
// message at the first output that is not the expected one.
template <typename Run>
void CheckFunction(const char* side, const std::vector<platform::Value>& inputs, Run run) {
  for (const auto& input : inputs) {
    std::optional<platform::Value> output = run(input);
    platform::Value expected = ExpectedEdit(input);
    if (!output || !Alike(*output, expected)) {
      Mismatch(side, "edit(" + input.description() + ") gave " +
                         (output ? output->description() : std::string("an error")) +
                         ", expected " + expected.description());
    }
  }
}

void BM_ScriptRuntime(benchmark::State& state) {
  std::vector<platform::Value> inputs = Inputs();
  APMPRuntime runtime;
  APMPValueList program;
  for (auto& n : Program()) program.push_back(n.value);
  std::optional<APMPError> error;
  runtime.executeStatements(program, &error);
  auto edit = APMPSharedFunction(runtime.globalScope()->valueForName(u"edit"));
  auto run = [&](const platform::Value& input) {
    runtime.resetInstructionCount();
    APMPScopePtr scope = runtime.getRunScope();
    APMPValuePtr event =
        APMPRuntimeEntityConverter::runtimeValueFromNSObject(&input, scope, &error);
    APMPValuePtr result = edit->invokeWithEvaluatedArguments({event}, &error);
    auto output = APMPRuntimeEntityConverter::objectFromRuntimeValue(result, &error);
    runtime.collectGarbage();
    return output;
  };
  CheckFunction("script runtime, script function", inputs, run);
  size_t created = 0;
  for (auto _ : state) {
    for (const auto& input : inputs) {
      auto output = run(input);
      if (error) state.SkipWithError("script failed");
      if (output && output->find("created")) ++created;
    }
  }
  benchmark::DoNotOptimize(created);
  state.SetItemsProcessed(state.iterations() * kEvents);
}

void PushValue(duk_context* ctx, const platform::Value& v) {
  if (auto s = v.asString()) {
    duk_push_lstring(ctx, s->data(), s->size());
  } else if (auto d = v.numberAsDouble()) {
    duk_push_number(ctx, *d);
  } else if (auto dict = v.asDictionary()) {
    duk_idx_t object = duk_push_object(ctx);
    for (const auto& [key, value] : *dict) {
      PushValue(ctx, value);
      duk_put_prop_lstring(ctx, object, key.data(), key.size());
    }
  } else {
    duk_push_null(ctx);
  }
}

platform::Value ReadValue(duk_context* ctx, duk_idx_t index) {
  if (duk_is_string(ctx, index)) {
    duk_size_t length = 0;
    const char* text = duk_get_lstring(ctx, index, &length);
    return platform::Value(std::string(text, length));
  }
  if (duk_is_number(ctx, index)) return platform::Value(duk_get_number(ctx, index));
  if (duk_is_object(ctx, index)) {
    platform::Value::Dictionary out;
    duk_enum(ctx, index, DUK_ENUM_OWN_PROPERTIES_ONLY);
    while (duk_next(ctx, -1, 1)) {
      duk_size_t length = 0;
      const char* key = duk_get_lstring(ctx, -2, &length);
      out[std::string(key, length)] = ReadValue(ctx, -1);
      duk_pop_2(ctx);
    }
    duk_pop(ctx);
    return platform::Value(std::move(out));
  }
  return platform::Value();
}

void BM_DuktapeAnchor(benchmark::State& state) {
  std::vector<platform::Value> inputs = Inputs();
  duk_context* ctx = duk_create_heap_default();
  duk_eval_string_noresult(ctx, R"JS(
    function edit(e) {
      var p = e["params"]; var out = {}; var q = {};
      if (e["name"] == "purchase") { out["name"] = "buy"; } else { out["name"] = e["name"]; }
      for (var k in p) { if (k != "debug") { q[k] = p[k]; } }
      out["params"] = q;
      if (p["value"] > 10) { out["created"] = "big_" + e["name"]; }
      return out;
    })JS");
  auto run = [&](const platform::Value& input) -> std::optional<platform::Value> {
    duk_get_global_string(ctx, "edit");
    PushValue(ctx, input);
    bool ok = duk_pcall(ctx, 1) == DUK_EXEC_SUCCESS;
    std::optional<platform::Value> output;
    if (ok) output = ReadValue(ctx, -1);
    duk_pop(ctx);
    return output;
  };
  CheckFunction("Duktape, script function", inputs, run);
  size_t created = 0;
  for (auto _ : state) {
    for (const auto& input : inputs) {
      auto output = run(input);
      if (!output) state.SkipWithError("duktape failed");
      if (output && output->find("created")) ++created;
    }
  }
  benchmark::DoNotOptimize(created);
  duk_destroy_heap(ctx);
  state.SetItemsProcessed(state.iterations() * kEvents);
}

// The same work through the event-editing host, as the engine drives it: an edit callback
// renames "value" to "amount" on purchases and drops "debug"; a create callback logs
// "big_purchase" when the amount is above 10.
APMPBProgram EditingProgram() {
  N e = var("e");
  N edit =
      lambda({"e"}, {ifElse(eq(method(e, "getEventName", {}), str("purchase")),
                            {method(e, "setParamValue",
                                    {str("amount"), method(e, "getParamValue", {str("value")})}),
                             method(e, "setParamValue", {str("value"), null()})}),
                     method(e, "setParamValue", {str("debug"), null()}), ret(num(0))});
  N create = lambda(
      {"e"},
      {ifElse(gt(method(e, "getParamValue", {str("amount")}), num(10)),
              {callf("log", {str("big_purchase"), method(e, "getTimestamp", {}),
                             obj({{"amount", method(e, "getParamValue", {str("amount")})}})})})});
  N registerFunction = func(
      "register", {"rule"},
      {letv("reg", callf("require", {str("internal.registerCallback")})),
       callf("reg", {str(""), get(var("rule"), str("cb")), get(var("rule"), str("options"))})});
  auto rule = [](N callback, const char* type) {
    return obj({{"cb", callback}, {"options", obj({{"type", str(type)}})}});
  };
  return MakeProgram(
      {registerFunction, letv("log", callf("require", {str("internal.eventLogger")}))},
      {{"register", {rule(edit, "edit"), rule(create, "create")}}});
}

std::vector<APMPEvent> EditingInputs() {
  std::vector<APMPEvent> events;
  for (const auto& input : Inputs()) {
    platform::Value::Dictionary params = *input.find("params")->asDictionary();
    events.emplace_back(*input.find("name")->asString(), 1000.0, std::move(params));
  }
  return events;
}

// Events the rule creates in one pass over the inputs: purchases whose value is above 10. Both
// sides of the editing pair must create exactly these, or they compare different work.
size_t ExpectedCreated(const std::vector<APMPEvent>& inputs) {
  size_t count = 0;
  for (const auto& input : inputs) {
    const platform::Value* value = input.parameterForName("value");
    if (input.name() == "purchase" && value && value->numberAsDouble().value_or(0) > 10) ++count;
  }
  return count;
}

// Checks one side's handling of one input against the rule written directly: purchases get
// "amount" for "value", every event loses "debug", and a purchase above 10 creates one
// "big_purchase" with its amount and the input's timestamp. Exits with a message otherwise.
void CheckEdited(const char* side, const APMPEvent& input, const APMPEventContext& context) {
  const bool purchase = input.name() == "purchase";
  platform::Value::Dictionary params = input.parameters();
  const platform::Value value = params.at("value");
  params.erase("debug");
  if (purchase) {
    params.erase("value");
    params["amount"] = value;
  }
  const APMPEvent& output = context.outputEvent();
  if (output.name() != input.name() || output.timestamp() != input.timestamp() ||
      !Alike(platform::Value(output.parameters()), platform::Value(params))) {
    Mismatch(side, "the " + input.name() + " event became " + output.name() + " " +
                       platform::Value(output.parameters()).description() + ", expected " +
                       platform::Value(params).description());
  }
  const bool create = purchase && value.numberAsDouble().value_or(0) > 10;
  const auto& created = context.eventsToLog();
  if (created.size() != (create ? 1u : 0u)) {
    Mismatch(side, "the " + input.name() + " event created " + std::to_string(created.size()) +
                       " events, expected " + (create ? "1" : "0"));
  }
  if (create &&
      (created[0].name() != "big_purchase" || created[0].timestamp() != input.timestamp() ||
       !Alike(platform::Value(created[0].parameters()),
              platform::Value(platform::Value::Dictionary{{"amount", value}})))) {
    Mismatch(side, "the created event is " + created[0].name() + " " +
                       platform::Value(created[0].parameters()).description());
  }
}

void BM_EventEditing(benchmark::State& state) {
  std::vector<APMPEvent> inputs = EditingInputs();
  APMPEventEditing editing;
  std::optional<APMPError> error;
  if (!editing.loadProgram(EditingProgram(), &error)) state.SkipWithError("load failed");
  for (const auto& input : inputs) {
    editing.handleEvent(input, &error);
    if (error) Mismatch("script runtime, event editing", "event failed");
    CheckEdited("script runtime, event editing", input, editing.eventContext());
  }
  size_t created = 0;
  for (auto _ : state) {
    for (const auto& input : inputs) {
      editing.handleEvent(input, &error);
      if (error) state.SkipWithError("event failed");
      created += editing.eventContext().eventsToLog().size();
    }
  }
  if (created != ExpectedCreated(inputs) * state.iterations()) {
    state.SkipWithError("other events were created than the rule's");
  }
  benchmark::DoNotOptimize(created);
  state.SetItemsProcessed(state.iterations() * kEvents);
}

// The event context Duktape's native functions work on while an event is handled.
APMPEventContext* gDuktapeEvent = nullptr;

// A script value as an event parameter: texts and numbers; anything else is no value.
std::optional<platform::Value> ParameterOf(duk_context* ctx, duk_idx_t index) {
  if (duk_is_string(ctx, index)) {
    duk_size_t length = 0;
    const char* text = duk_get_lstring(ctx, index, &length);
    return platform::Value(std::string(text, length));
  }
  if (duk_is_number(ctx, index)) return platform::Value(duk_get_number(ctx, index));
  return std::nullopt;
}

std::string KeyOf(duk_context* ctx, duk_idx_t index) {
  duk_size_t length = 0;
  const char* text = duk_to_lstring(ctx, index, &length);
  return std::string(text, length);
}

duk_ret_t DukGetEventName(duk_context* ctx) {
  const std::string& name = gDuktapeEvent->outputEvent().name();
  duk_push_lstring(ctx, name.data(), name.size());
  return 1;
}

duk_ret_t DukGetTimestamp(duk_context* ctx) {
  duk_push_number(ctx, gDuktapeEvent->outputEvent().timestamp());
  return 1;
}

duk_ret_t DukGetParamValue(duk_context* ctx) {
  const platform::Value* value = gDuktapeEvent->outputEvent().parameterForName(KeyOf(ctx, 0));
  if (value == nullptr) {
    duk_push_null(ctx);
  } else {
    PushValue(ctx, *value);
  }
  return 1;
}

duk_ret_t DukSetParamValue(duk_context* ctx) {
  gDuktapeEvent->outputEvent().setParameter(ParameterOf(ctx, 1), KeyOf(ctx, 0));
  duk_dup(ctx, 1);
  return 1;
}

// log(name, timestamp, params)
duk_ret_t DukLog(duk_context* ctx) {
  platform::Value::Dictionary parameters;
  duk_enum(ctx, 2, DUK_ENUM_OWN_PROPERTIES_ONLY);
  while (duk_next(ctx, -1, 1)) {
    if (auto value = ParameterOf(ctx, -1)) parameters[KeyOf(ctx, -2)] = std::move(*value);
    duk_pop_2(ctx);
  }
  duk_pop(ctx);
  gDuktapeEvent->logEventWithName(KeyOf(ctx, 0), duk_get_number(ctx, 1), parameters);
  return 0;
}

void BM_DuktapeEventEditing(benchmark::State& state) {
  std::vector<APMPEvent> inputs = EditingInputs();
  duk_context* ctx = duk_create_heap_default();
  // The event object: one for the run, its methods native functions on the current event.
  duk_push_object(ctx);
  const std::pair<const char*, std::pair<duk_c_function, duk_idx_t>> methods[] = {
      {"getEventName", {DukGetEventName, 0}},
      {"getTimestamp", {DukGetTimestamp, 0}},
      {"getParamValue", {DukGetParamValue, 1}},
      {"setParamValue", {DukSetParamValue, 2}},
  };
  for (const auto& [name, function] : methods) {
    duk_push_c_function(ctx, function.first, function.second);
    duk_put_prop_string(ctx, -2, name);
  }
  duk_put_global_string(ctx, "ev");
  duk_push_c_function(ctx, DukLog, 3);
  duk_put_global_string(ctx, "log");
  duk_eval_string_noresult(ctx, R"JS(
    function edit(e) {
      if (e.getEventName() == "purchase") {
        e.setParamValue("amount", e.getParamValue("value"));
        e.setParamValue("value", null);
      }
      e.setParamValue("debug", null);
      return 0;
    }
    function create(e) {
      if (e.getParamValue("amount") > 10)
        log("big_purchase", e.getTimestamp(), {amount: e.getParamValue("amount")});
    }
    function handle() { edit(ev); create(ev); })JS");
  APMPEventContext context;
  gDuktapeEvent = &context;
  for (const auto& input : inputs) {
    context.setInputEvent(input);
    duk_get_global_string(ctx, "handle");
    if (duk_pcall(ctx, 0) != DUK_EXEC_SUCCESS) Mismatch("Duktape", "event failed");
    duk_pop(ctx);
    CheckEdited("Duktape, event editing", input, context);
  }
  size_t created = 0, edited = 0;
  for (auto _ : state) {
    for (const auto& input : inputs) {
      // As APMPEventEditing::handleEvent: the input and its output copy, the callbacks, and
      // whether anything changed.
      context.setInputEvent(input);
      duk_get_global_string(ctx, "handle");
      if (duk_pcall(ctx, 0) != DUK_EXEC_SUCCESS) state.SkipWithError("duktape failed");
      duk_pop(ctx);
      if (!context.outputEvent().isEqualToEvent(context.inputEvent())) ++edited;
      created += context.eventsToLog().size();
    }
  }
  gDuktapeEvent = nullptr;
  if (created != ExpectedCreated(inputs) * state.iterations() ||
      edited != inputs.size() * state.iterations()) {
    state.SkipWithError("other events were edited or created than the rule's");
  }
  benchmark::DoNotOptimize(created);
  duk_destroy_heap(ctx);
  state.SetItemsProcessed(state.iterations() * kEvents);
}

constexpr int kProgramStatements = 200;
constexpr int kProgramDepth = 30;

// kProgramStatements instructions, each a statement nested kProgramDepth deep whose every
// level also holds a string, a number and a boolean argument.
std::string ProgramBytes() {
  auto leaf = [](int type, int i) {
    APMPBRuntimeEntity e;
    NANOSetInt32(e, APMPBRuntimeEntity::kType, type);
    if (type == 1) NANOSetString(e, APMPBRuntimeEntity::kStringValue, "arg" + std::to_string(i));
    if (type == 2) NANOSetDouble(e, APMPBRuntimeEntity::kNumberValue, i);
    if (type == 3) NANOSetBool(e, APMPBRuntimeEntity::kBooleanValue, i % 2 == 0);
    return e;
  };
  std::vector<APMPBRuntimeEntity> instructions;
  for (int s = 0; s < kProgramStatements; ++s) {
    APMPBRuntimeEntity inner = leaf(1, s);
    for (int level = 0; level < kProgramDepth; ++level) {
      APMPBRuntimeEntity statement;
      NANOSetInt32(statement, APMPBRuntimeEntity::kType, 4);
      NANOSetString(statement, APMPBRuntimeEntity::kStatement, std::to_string(level % 40));
      NANOSetMessageArray(
          statement, APMPBRuntimeEntity::kValue,
          std::vector<APMPBRuntimeEntity>{leaf(1, level), leaf(2, level), leaf(3, level), inner});
      inner = std::move(statement);
    }
    instructions.push_back(std::move(inner));
  }
  APMPBProgram program;
  NANOSetMessageArray(program, APMPBProgram::kInstructions, instructions);
  return *program.protoBuffer();
}

// The conversion as it was: every level reads its arguments through NANOGetMessageArray, which
// copies each argument's whole subtree.
APMPValuePtr ConvertThroughCopies(const APMPBRuntimeEntity& entity, APMPErrorSlot* error) {
  switch (NANOGetInt32(entity, APMPBRuntimeEntity::kType)) {
    case 1:
      return APMPRuntimeEntityConverter::stringValueFromRuntimeEntity(entity);
    case 2:
      return APMPRuntimeEntityConverter::numberValueFromRuntimeEntity(entity);
    case 3:
      return APMPRuntimeEntityConverter::booleanValueFromRuntimeEntity(entity);
    case 4: {
      std::optional<std::string> name = NANOGetString(entity, APMPBRuntimeEntity::kStatement);
      if (!name) {
        APMPSetError(error, APMPErrorCodeMissingFunctionName);
        return APMPUndefined();
      }
      APMPValueList arguments;
      if (auto children =
              NANOGetMessageArray<APMPBRuntimeEntity>(entity, APMPBRuntimeEntity::kValue)) {
        for (const auto& child : *children) {
          arguments.push_back(ConvertThroughCopies(child, error));
          if (APMPHasError(error)) return APMPUndefined();
        }
      }
      return std::make_shared<APMPStatementValue>(APMPUTF16FromUTF8(*name), std::move(arguments));
    }
    default:
      break;
  }
  APMPSetError(error, APMPErrorCodeUnknownEntityType);
  return APMPUndefined();
}

// Both conversions must make the same values, kProgramStatements statements, or the ratios
// compare different work. Checked once, outside the timed loops; exits otherwise.
void CheckConversions(const APMPBProgram& program) {
  std::optional<APMPError> error;
  auto views = NANOViewMessageArray<APMPBRuntimeEntity>(program, APMPBProgram::kInstructions);
  auto copies = NANOGetMessageArray<APMPBRuntimeEntity>(program, APMPBProgram::kInstructions);
  if (!views || !copies || views->size() != kProgramStatements ||
      copies->size() != kProgramStatements) {
    Mismatch("program load",
             "the decoded program has not " + std::to_string(kProgramStatements) + " instructions");
  }
  for (size_t i = 0; i < views->size(); ++i) {
    APMPValuePtr a = APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity((*views)[i], &error);
    APMPValuePtr b = ConvertThroughCopies((*copies)[i], &error);
    if (error || !a->isEqualToRuntimeValue(*b)) {
      Mismatch("program load", "the conversions of instruction " + std::to_string(i) + " differ");
    }
  }
}

void BM_ProgramDecode(benchmark::State& state) {
  const std::string bytes = ProgramBytes();
  {
    auto program = APMPBProgram::initWithBuffer(bytes);
    if (!program || program->protoBuffer() != bytes) {
      Mismatch("program decode", "the bytes do not decode to the program they encode");
    }
  }
  for (auto _ : state) {
    auto program = APMPBProgram::initWithBuffer(bytes);
    if (!program) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(program);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}

void BM_ProgramConvert(benchmark::State& state) {
  const auto program = APMPBProgram::initWithBuffer(ProgramBytes());
  CheckConversions(*program);
  std::optional<APMPError> error;
  for (auto _ : state) {
    auto instructions =
        NANOViewMessageArray<APMPBRuntimeEntity>(*program, APMPBProgram::kInstructions);
    for (const NANOMessageView& entity : *instructions) {
      benchmark::DoNotOptimize(
          APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(entity, &error));
    }
    if (error) state.SkipWithError("conversion failed");
  }
}

void BM_ProgramConvertThroughCopies(benchmark::State& state) {
  const auto program = APMPBProgram::initWithBuffer(ProgramBytes());
  std::optional<APMPError> error;
  CheckConversions(*program);
  for (auto _ : state) {
    auto instructions =
        NANOGetMessageArray<APMPBRuntimeEntity>(*program, APMPBProgram::kInstructions);
    for (const APMPBRuntimeEntity& entity : *instructions) {
      benchmark::DoNotOptimize(ConvertThroughCopies(entity, &error));
    }
    if (error) state.SkipWithError("conversion failed");
  }
}

// One hostile event per iteration, on a host that has loaded the shape's program.
void BM_HostileShape(benchmark::State& state) {
  HostileShape shape = HostileShapes()[static_cast<size_t>(state.range(0))];
  state.SetLabel(shape.name);
  APMPEventEditing editing;
  std::optional<APMPError> error;
  if (!editing.loadProgram(HostileProgram(shape), &error)) state.SkipWithError("load failed");
  APMPEvent event("hostile", 1, {});
  for (auto _ : state) {
    error.reset();
    editing.handleEvent(event, &error);
    if (shape.domain.empty() != !error) state.SkipWithError("unexpected outcome");
  }
}
// Each shape spends up to a whole event's budget: a few iterations, one repetition.
BENCHMARK(BM_HostileShape)
    ->DenseRange(0, static_cast<int64_t>(HostileShapes().size()) - 1)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->Repetitions(1);

BENCHMARK(BM_ProgramDecode)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ProgramConvert)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ProgramConvertThroughCopies)->Unit(benchmark::kMicrosecond);

BENCHMARK(BM_DuktapeEventEditing)->Unit(benchmark::kMillisecond)->MinTime(1);
BENCHMARK(BM_EventEditing)->Unit(benchmark::kMillisecond)->MinTime(1);
BENCHMARK(BM_DuktapeAnchor)->Unit(benchmark::kMillisecond)->MinTime(1);
BENCHMARK(BM_ScriptRuntime)->Unit(benchmark::kMillisecond)->MinTime(1);

}  // namespace

int main(int argc, char** argv) {
  if (!kvlbench::initialize(argc, argv)) return 1;
  kvlbench::MedianReporter reporter;
  reporter.ratio("event editing ours/duktape", "BM_EventEditing", "BM_DuktapeEventEditing");
  reporter.ratio("script function ours/duktape", "BM_ScriptRuntime", "BM_DuktapeAnchor");
  reporter.ratio("program convert through views/decode", "BM_ProgramConvert", "BM_ProgramDecode");
  reporter.ratio("program convert through copies/decode", "BM_ProgramConvertThroughCopies",
                 "BM_ProgramDecode");
  reporter.ratio("program convert copies/views", "BM_ProgramConvertThroughCopies",
                 "BM_ProgramConvert");
  // Each hostile shape is slow and timed over a fixed count of events: one run is its figure.
  reporter.once("BM_HostileShape/");
  reporter.run();
  std::printf("\nprogram of %d statements, depth %d\n", kProgramStatements, kProgramDepth);
  std::vector<HostileShape> shapes = HostileShapes();
  size_t worst = 0;
  for (size_t i = 1; i < shapes.size(); ++i) {
    if (reporter.median("BM_HostileShape/" + std::to_string(i)) >
        reporter.median("BM_HostileShape/" + std::to_string(worst)))
      worst = i;
  }
  std::string worstName = "BM_HostileShape/" + std::to_string(worst);
  if (reporter.median(worstName) > 0) {
    std::printf("hostile shapes: worst %.1f ms per event (%s)\n", reporter.median(worstName) * 1e3,
                shapes[worst].name.c_str());
  }
  // Asked for unless the filter left the hostile shapes out.
  if (reporter.selected(worstName)) {
    reporter.ratio("hostile worst event/100000 ordinary events", worstName, "BM_EventEditing");
  }
  reporter.printRatios();
  benchmark::Shutdown();
  return reporter.complete() ? 0 : 1;
}
