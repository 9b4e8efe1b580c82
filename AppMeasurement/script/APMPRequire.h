#pragma once

#include <memory>
#include <string>
#include <unordered_map>

#include "AppMeasurement/script/APMPDynamicProvider.h"
#include "AppMeasurement/script/APMPFunctionValue.h"

// The script function "require": one argument, the module name; modules are made once by
// the provider and cached.
class APMPRequire : public APMPFunctionValue {
 public:
  explicit APMPRequire(std::shared_ptr<APMPDynamicProvider> provider);
  APMPValuePtr invokeWithArguments(const APMPValueList& arguments, const APMPScopePtr& scope,
                                   APMPErrorSlot* error) override;
  void mark(APMPMarker& marker) override;

 private:
  std::shared_ptr<APMPDynamicProvider> provider_;
  std::unordered_map<std::u16string, APMPValuePtr> modules_;
};
