#include "AppMeasurement/script/APMPEditingModules.h"

#include "AppMeasurement/script/APMPEditingCallbackHandler.h"
#include "AppMeasurement/script/APMPEvaluator.h"
#include "AppMeasurement/script/APMPEventContext.h"
#include "AppMeasurement/script/APMPMapValue.h"
#include "AppMeasurement/script/APMPRuntimeEntityConverter.h"
#include "AppMeasurement/script/APMPScope.h"
#include "AppMeasurement/script/APMPText.h"
#include "AppMeasurement/script/APMPValueFunctions.h"

APMPRegisterCallbackNativeFunctionValue::APMPRegisterCallbackNativeFunctionValue(
    std::shared_ptr<APMPEditingCallbackHandler> callbackHandler)
    : APMPFunctionValue(u"internal.registerCallback", {}, {}, APMPScope::make()),
      callbackHandler_(std::move(callbackHandler)) {}

APMPValuePtr APMPRegisterCallbackNativeFunctionValue::invokeWithArguments(
    const APMPValueList& arguments, const APMPScopePtr& scope, APMPErrorSlot* error) {
  if (!APMPCheckArgumentCount(arguments, 3, error)) return APMPUndefined();
  APMPValueList values = APMPEvaluateArguments(arguments, scope, error);
  if (APMPHasError(error)) return APMPUndefined();
  std::shared_ptr<APMPFunctionValue> callback = APMPSharedFunction(values[1]);
  APMPMapValue* options = APMPAsMap(values[2]);
  if (!callback || options == nullptr) {
    APMPSetError(error, APMPErrorCodeArgumentType);
    return APMPUndefined();
  }
  if (!options->hasProperty(u"type")) {
    APMPSetEditingError(error, APMPEditingErrorCodeMissingType);
    return APMPUndefined();
  }
  std::u16string type = options->valueForProperty(u"type")->stringValueOrError(error);
  if (APMPHasError(error)) return APMPUndefined();
  int64_t priority = 1000;
  if (options->hasProperty(u"priority")) {
    double d = options->valueForProperty(u"priority")->doubleValueOrError(error);
    if (APMPHasError(error)) return APMPUndefined();
    priority = APMPToInt32(d);
  }
  callbackHandler_->registerWithPriority(priority, std::move(callback), type, error);
  return APMPUndefined();
}

APMPEventLogger::APMPEventLogger(std::shared_ptr<APMPEventContext> eventContext)
    : APMPFunctionValue(u"internal.eventLogger", {}, {}, APMPScope::make()),
      eventContext_(std::move(eventContext)) {}

APMPValuePtr APMPEventLogger::invokeWithArguments(const APMPValueList& arguments,
                                                  const APMPScopePtr& scope, APMPErrorSlot* error) {
  if (!APMPCheckArgumentCount(arguments, 3, error)) return APMPUndefined();
  APMPValueList values = APMPEvaluateArguments(arguments, scope, error);
  if (APMPHasError(error)) return APMPUndefined();
  std::u16string name = values[0]->stringValueOrError(error);
  if (APMPHasError(error)) return APMPUndefined();
  double timestamp = values[1]->doubleValueOrError(error);
  if (APMPHasError(error)) return APMPUndefined();
  if (APMPAsMap(values[2]) == nullptr) {
    APMPSetError(error, APMPErrorCodeArgumentType);
    return APMPUndefined();
  }
  platform::Value::Dictionary parameters =
      APMPRuntimeEntityConverter::dictionaryFromMapValue(values[2], error);
  if (APMPHasError(error)) return APMPUndefined();
  eventContext_->logEventWithName(
      APMPUTF8FromUTF16(name), static_cast<double>(APMPSaturatingInt64(APMPToInteger(timestamp))),
      parameters);
  return APMPUndefined();
}
