#pragma once

#include <string>
#include <string_view>
#include <unordered_map>

#include "AppMeasurement/script/APMPRuntimeValue.h"

// The methods scripts call on strings ("charAt", "indexOf", "split", ...). Shared and
// immutable after construction.
class APMPStringCommandEvaluator {
 public:
  using Handler = APMPValuePtr (*)(std::u16string_view receiver, const APMPValueList& arguments,
                                   const APMPScopePtr& scope, APMPErrorSlot* error);
  static APMPStringCommandEvaluator& sharedInstance();
  APMPStringCommandEvaluator();

  // Error 17 for a name outside the table; otherwise the arguments are evaluated in order and
  // the method runs on them. The receiver's text must stay valid for the call (the string
  // value that holds it is kept alive by its caller).
  APMPValuePtr evaluateCommand(const std::u16string& name, std::u16string_view receiver,
                               const APMPValueList& arguments, const APMPScopePtr& scope,
                               APMPErrorSlot* error) const;

  // How long the regular-expression matches of one run (an event, a program load) may take
  // together, in the matcher's time units (about a millisecond each); the match that passes it
  // fails with the facility's time-out error, and so does every later one of the run. Each
  // time unit is also charged to the evaluation budget (kRegularExpressionWorkPerTimeUnit units
  // of work), and a match stops with error 18 as soon as the budget is spent. Outside a
  // runtime each match has the whole limit.
  static constexpr int kRegularExpressionTimeLimit = 200;
  static constexpr size_t kRegularExpressionWorkPerTimeUnit = 10000;

 private:
  std::unordered_map<std::u16string, Handler> handlers_;
};
