#pragma once

#include "AppMeasurement/script/APMPFunctionValue.h"

// The module "internal.platform": calling it gives undefined; its "getVersion" property
// gives the runtime version.
class APMPRuntimePlatform : public APMPFunctionValue {
 public:
  APMPRuntimePlatform();
};

// "getVersion": ignores its arguments (not evaluated) and returns `runtimeVersion`.
class APMPFunctionGetVersion : public APMPFunctionValue {
 public:
  APMPFunctionGetVersion();
  APMPValuePtr invokeWithArguments(const APMPValueList& arguments, const APMPScopePtr& scope,
                                   APMPErrorSlot* error) override;
};
