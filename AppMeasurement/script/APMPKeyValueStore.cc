#include "AppMeasurement/script/APMPKeyValueStore.h"

#include "AppMeasurement/script/APMPEvaluator.h"
#include "AppMeasurement/script/APMPScope.h"
#include "AppMeasurement/script/APMPText.h"
#include "AppMeasurement/script/APMPValueFunctions.h"

APMPKeyValueStore::APMPKeyValueStore(std::u16string functionName, GetValueBlock getValueBlock)
    : APMPFunctionValue(std::move(functionName), {}, {}, APMPScope::make()) {
  setValue(std::make_shared<APMPKeyValueStoreGetValue>(std::move(getValueBlock)), u"getValue");
}

APMPKeyValueStoreGetValue::APMPKeyValueStoreGetValue(APMPKeyValueStore::GetValueBlock block)
    : APMPFunctionValue(u"getValue", {}, {}, APMPScope::make()), getValueBlock_(std::move(block)) {}

APMPValuePtr APMPKeyValueStoreGetValue::invokeWithArguments(const APMPValueList& arguments,
                                                            const APMPScopePtr& scope,
                                                            APMPErrorSlot* error) {
  if (!APMPCheckArgumentCount(arguments, 2, error)) return APMPUndefined();
  APMPValueList values = APMPEvaluateArguments(arguments, scope, error);
  if (APMPHasError(error)) return APMPUndefined();
  std::u16string key = values[0]->stringValueOrError(error);
  if (APMPHasError(error)) return APMPUndefined();
  std::optional<std::string> answer =
      getValueBlock_ ? getValueBlock_(APMPUTF8FromUTF16(key)) : std::nullopt;
  if (answer) return APMPStringValue::make(APMPUTF16FromUTF8(*answer));
  return values[1];
}
