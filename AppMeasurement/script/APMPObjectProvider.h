#pragma once

#include <functional>

#include "AppMeasurement/script/APMPFunctionValue.h"
#include "platform/foundation/Value.h"

// The module "internal.appMetadata": calling it converts the block's host object into script
// values (maps and arrays tracked by the caller's scope); its arguments are ignored.
class APMPObjectProvider : public APMPFunctionValue {
 public:
  using ObjectProviderBlock = std::function<platform::Value()>;
  APMPObjectProvider(std::u16string name, ObjectProviderBlock block);
  APMPValuePtr invokeWithArguments(const APMPValueList& arguments, const APMPScopePtr& scope,
                                   APMPErrorSlot* error) override;

 private:
  ObjectProviderBlock objectProviderBlock_;
};
