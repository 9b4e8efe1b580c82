#pragma once

#include <memory>

#include "AppMeasurement/script/APMPFunctionValue.h"

class APMPEditingCallbackHandler;
class APMPEventContext;

// The module "internal.registerCallback": (unused, callback function, options map with
// "type" and an optional "priority").
class APMPRegisterCallbackNativeFunctionValue : public APMPFunctionValue {
 public:
  explicit APMPRegisterCallbackNativeFunctionValue(
      std::shared_ptr<APMPEditingCallbackHandler> callbackHandler);
  APMPValuePtr invokeWithArguments(const APMPValueList& arguments, const APMPScopePtr& scope,
                                   APMPErrorSlot* error) override;

 private:
  std::shared_ptr<APMPEditingCallbackHandler> callbackHandler_;
};

// The module "internal.eventLogger": (name, timestamp, parameters map) logs a new event.
class APMPEventLogger : public APMPFunctionValue {
 public:
  explicit APMPEventLogger(std::shared_ptr<APMPEventContext> eventContext);
  APMPValuePtr invokeWithArguments(const APMPValueList& arguments, const APMPScopePtr& scope,
                                   APMPErrorSlot* error) override;

 private:
  std::shared_ptr<APMPEventContext> eventContext_;
};
