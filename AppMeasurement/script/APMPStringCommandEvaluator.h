#pragma once

#include <string>
#include <unordered_map>

#include "AppMeasurement/script/APMPRuntimeValue.h"

// The methods scripts call on strings ("charAt", "indexOf", "split", ...). Shared and
// immutable after construction.
class APMPStringCommandEvaluator {
 public:
  using Handler = APMPValuePtr (*)(const std::u16string& receiver, const APMPValueList& arguments,
                                   const APMPScopePtr& scope, APMPErrorSlot* error);
  static APMPStringCommandEvaluator& sharedInstance();
  APMPStringCommandEvaluator();

  // Error 17 for a name outside the table; otherwise the arguments are evaluated in order and
  // the method runs on them.
  APMPValuePtr evaluateCommand(const std::u16string& name, const std::u16string& receiver,
                               const APMPValueList& arguments, const APMPScopePtr& scope,
                               APMPErrorSlot* error) const;

  // How long one regular-expression match may run, in the matcher's time units (about a
  // millisecond each) before it fails with the facility's time-out error.
  static constexpr int kRegularExpressionTimeLimit = 200;

 private:
  std::unordered_map<std::u16string, Handler> handlers_;
};
