#include "AppMeasurement/script/APMPEventNativeFunctions.h"

#include <cstring>

#include "AppMeasurement/script/APMPEvaluator.h"
#include "AppMeasurement/script/APMPEventContext.h"
#include "AppMeasurement/script/APMPObjectManager.h"
#include "AppMeasurement/script/APMPRuntimeEntityConverter.h"
#include "AppMeasurement/script/APMPText.h"
#include "AppMeasurement/script/APMPValueFunctions.h"

namespace {

APMPValuePtr GetEventName(const APMPValueList& a, const APMPScopePtr&, APMPEventContext& context,
                          APMPErrorSlot* error) {
  if (!APMPCheckArgumentCount(a, 0, error)) return APMPUndefined();
  return APMPStringValue::make(APMPUTF16FromUTF8(context.outputEvent().name()));
}

APMPValuePtr GetParamValue(const APMPValueList& a, const APMPScopePtr& scope,
                           APMPEventContext& context, APMPErrorSlot* error) {
  if (!APMPCheckArgumentCount(a, 1, error)) return APMPUndefined();
  std::u16string scratch;
  std::u16string_view name = APMPStringConversion(*a[0], scratch, error);
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
  std::u16string scratch;
  std::u16string_view name = APMPStringConversion(*a[0], scratch, error);
  if (APMPHasError(error)) return APMPUndefined();
  context.outputEvent().setParameter(std::move(value), APMPUTF8FromUTF16(name));
  return a[1];
}

// The handler of a method name, or null: six fixed names, told apart by length and one
// comparison of their code units instead of a hash of the name per call.
bool Is(std::u16string_view name, std::u16string_view fixed) {
  return std::memcmp(name.data(), fixed.data(), fixed.size() * sizeof(char16_t)) == 0;
}

APMPEventNativeFunctions::Handler HandlerFor(std::u16string_view name) {
  switch (name.size()) {
    case 12:
      if (name[0] == u's') return Is(name, u"setEventName") ? SetEventName : nullptr;
      if (name[3] == u'E') return Is(name, u"getEventName") ? GetEventName : nullptr;
      return Is(name, u"getTimestamp") ? GetTimestamp : nullptr;
    case 13:
      if (name[0] == u's') return Is(name, u"setParamValue") ? SetParamValue : nullptr;
      return Is(name, u"getParamValue") ? GetParamValue : nullptr;
    case 9:
      return Is(name, u"getParams") ? GetParams : nullptr;
    default:
      return nullptr;
  }
}

}  // namespace

APMPEventNativeFunctions::APMPEventNativeFunctions(std::shared_ptr<APMPEventContext> context)
    : eventContext_(std::move(context)) {}

APMPValuePtr APMPEventNativeFunctions::applyWithName(const std::u16string& name,
                                                     const APMPValueList& arguments,
                                                     const APMPScopePtr& scope,
                                                     APMPErrorSlot* error) {
  Handler handler = HandlerFor(name);
  if (handler == nullptr) return APMPMapValue::applyWithName(name, arguments, scope, error);
  APMPPooledList scratch;
  const APMPValueList* evaluated = APMPEvaluateArgumentsInPlace(arguments, scope, error, scratch);
  if (evaluated == nullptr) return APMPUndefined();
  return handler(*evaluated, scope, *eventContext_, error);
}
