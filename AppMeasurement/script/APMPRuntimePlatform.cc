#include "AppMeasurement/script/APMPRuntimePlatform.h"

#include "AppMeasurement/script/APMPRuntime.h"
#include "AppMeasurement/script/APMPScope.h"

APMPRuntimePlatform::APMPRuntimePlatform()
    : APMPFunctionValue(u"internal.platform", {}, {}, APMPScope::make()) {
  setValue(std::make_shared<APMPFunctionGetVersion>(), u"getVersion");
}

APMPFunctionGetVersion::APMPFunctionGetVersion()
    : APMPFunctionValue(u"getVersion", {}, {}, APMPScope::make()) {}

APMPValuePtr APMPFunctionGetVersion::invokeWithArguments(const APMPValueList&, const APMPScopePtr&,
                                                         APMPErrorSlot*) {
  return APMPNumberValue::make(static_cast<double>(APMPRuntime::runtimeVersion()));
}
