#include "AppMeasurement/script/APMPObjectProvider.h"

#include "AppMeasurement/script/APMPRuntimeEntityConverter.h"
#include "AppMeasurement/script/APMPScope.h"

APMPObjectProvider::APMPObjectProvider(std::u16string name, ObjectProviderBlock block)
    : APMPFunctionValue(std::move(name), {}, {}, APMPScope::make()),
      objectProviderBlock_(std::move(block)) {}

APMPValuePtr APMPObjectProvider::invokeWithArguments(const APMPValueList&,
                                                     const APMPScopePtr& scope,
                                                     APMPErrorSlot* error) {
  platform::Value object = objectProviderBlock_ ? objectProviderBlock_() : platform::Value();
  return APMPRuntimeEntityConverter::runtimeValueFromNSObject(&object, scope, error);
}
