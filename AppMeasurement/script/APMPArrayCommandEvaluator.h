#pragma once

#include <memory>
#include <string>
#include <unordered_map>

#include "AppMeasurement/script/APMPRuntimeValue.h"

class APMPArrayValue;

// The methods scripts call on arrays ("push", "map", "reduce", ...). Shared and immutable
// after construction.
class APMPArrayCommandEvaluator {
 public:
  using Handler = APMPValuePtr (*)(const std::shared_ptr<APMPArrayValue>& receiver,
                                   const APMPValueList& arguments, const APMPScopePtr& scope,
                                   APMPErrorSlot* error);
  static APMPArrayCommandEvaluator& sharedInstance();
  APMPArrayCommandEvaluator();

  APMPValuePtr evaluateCommand(const std::u16string& name,
                               const std::shared_ptr<APMPArrayValue>& receiver,
                               const APMPValueList& arguments, const APMPScopePtr& scope,
                               APMPErrorSlot* error) const;

 private:
  std::unordered_map<std::u16string, Handler> handlers_;
};
