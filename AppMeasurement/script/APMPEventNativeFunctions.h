#pragma once

#include <memory>
#include <string>

#include "AppMeasurement/script/APMPMapValue.h"

class APMPEventContext;

// The event object handed to callbacks: "getEventName", "getParamValue", "getParams",
// "getTimestamp", "setEventName" and "setParamValue" over the context's output event; other
// names get the map behaviour.
class APMPEventNativeFunctions : public APMPMapValue {
 public:
  using Handler = APMPValuePtr (*)(const APMPValueList& arguments, const APMPScopePtr& scope,
                                   APMPEventContext& context, APMPErrorSlot* error);
  explicit APMPEventNativeFunctions(std::shared_ptr<APMPEventContext> context);

  APMPValuePtr applyWithName(const std::u16string& name, const APMPValueList& arguments,
                             const APMPScopePtr& scope, APMPErrorSlot* error) override;

 private:
  std::shared_ptr<APMPEventContext> eventContext_;
};
