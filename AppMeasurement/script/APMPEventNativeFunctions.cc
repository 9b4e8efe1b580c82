#include "AppMeasurement/script/APMPEventNativeFunctions.h"

#include "AppMeasurement/script/APMPEvaluator.h"
#include "AppMeasurement/script/APMPEventContext.h"
#include "AppMeasurement/script/APMPObjectManager.h"
#include "AppMeasurement/script/APMPRuntimeEntityConverter.h"
#include "AppMeasurement/script/APMPText.h"
#include "AppMeasurement/script/APMPValueFunctions.h"

namespace {

using Handlers = std::unordered_map<std::u16string, APMPEventNativeFunctions::Handler>;

APMPValuePtr GetEventName(const APMPValueList& a, const APMPScopePtr&, APMPEventContext& context,
                          APMPErrorSlot* error) {
  if (!APMPCheckArgumentCount(a, 0, error)) return APMPUndefined();
  return APMPStringValue::make(APMPUTF16FromUTF8(context.outputEvent().name()));
}

APMPValuePtr GetParamValue(const APMPValueList& a, const APMPScopePtr& scope,
                           APMPEventContext& context, APMPErrorSlot* error) {
  if (!APMPCheckArgumentCount(a, 1, error)) return APMPUndefined();
  std::u16string name = a[0]->stringValueOrError(error);
  if (APMPHasError(error)) return APMPUndefined();
  const platform::Value* value = context.outputEvent().parameterForName(APMPUTF8FromUTF16(name));
  return APMPRuntimeEntityConverter::runtimeValueFromNSObject(value, scope, error);
}

APMPValuePtr GetParams(const APMPValueList& a, const APMPScopePtr& scope, APMPEventContext& context,
                       APMPErrorSlot* error) {
  if (!APMPCheckArgumentCount(a, 0, error)) return APMPUndefined();
  platform::Value parameters(context.outputEvent().parameters());
  return APMPRuntimeEntityConverter::runtimeValueFromNSObject(&parameters, scope, error);
}

APMPValuePtr GetTimestamp(const APMPValueList& a, const APMPScopePtr&, APMPEventContext& context,
                          APMPErrorSlot* error) {
  if (!APMPCheckArgumentCount(a, 0, error)) return APMPUndefined();
  return APMPNumberValue::make(context.outputEvent().timestamp());
}

APMPValuePtr SetEventName(const APMPValueList& a, const APMPScopePtr&, APMPEventContext& context,
                          APMPErrorSlot* error) {
  if (!APMPCheckArgumentCount(a, 1, error)) return APMPUndefined();
  if (a[0]->kind() == APMPValueKind::Null || a[0]->kind() == APMPValueKind::Undefined) {
    APMPSetError(error, APMPErrorCodeArgumentType);
    return APMPUndefined();
  }
  std::u16string name = a[0]->stringValueOrError(error);
  if (APMPHasError(error)) return APMPUndefined();
  context.outputEvent().setName(APMPUTF8FromUTF16(name));
  return APMPStringValue::make(std::move(name));
}

APMPValuePtr SetParamValue(const APMPValueList& a, const APMPScopePtr&, APMPEventContext& context,
                           APMPErrorSlot* error) {
  if (!APMPCheckArgumentCount(a, 2, error)) return APMPUndefined();
  std::optional<platform::Value> value =
      APMPRuntimeEntityConverter::objectFromRuntimeValue(a[1], error);
  if (APMPHasError(error)) return APMPUndefined();
  std::u16string name = a[0]->stringValueOrError(error);
  if (APMPHasError(error)) return APMPUndefined();
  context.outputEvent().setParameter(std::move(value), APMPUTF8FromUTF16(name));
  return a[1];
}

const Handlers& SharedHandlers() {
  static const Handlers& handlers =
      *new Handlers{{u"getEventName", GetEventName}, {u"getParamValue", GetParamValue},
                    {u"getParams", GetParams},       {u"getTimestamp", GetTimestamp},
                    {u"setEventName", SetEventName}, {u"setParamValue", SetParamValue}};
  return handlers;
}

}  // namespace

APMPEventNativeFunctions::APMPEventNativeFunctions(std::shared_ptr<APMPEventContext> context)
    : eventContext_(std::move(context)), handlers_(SharedHandlers()) {}

APMPValuePtr APMPEventNativeFunctions::applyWithName(const std::u16string& name,
                                                     const APMPValueList& arguments,
                                                     const APMPScopePtr& scope,
                                                     APMPErrorSlot* error) {
  auto it = handlers_.find(name);
  if (it == handlers_.end()) return APMPMapValue::applyWithName(name, arguments, scope, error);
  APMPValueList evaluated = APMPEvaluateArguments(arguments, scope, error);
  if (APMPHasError(error)) return APMPUndefined();
  return it->second(evaluated, scope, *eventContext_, error);
}
