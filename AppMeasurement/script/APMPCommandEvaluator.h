#pragma once

#include <string>
#include <unordered_map>
#include <vector>

#include "AppMeasurement/script/APMPRuntimeValue.h"

// Base of the command evaluators: each maps command codes to handlers.
class APMPCommandEvaluator {
 public:
  using Handler = APMPValuePtr (*)(const APMPValueList& arguments, const APMPScopePtr& scope,
                                   APMPErrorSlot error);
  virtual ~APMPCommandEvaluator() = default;

  // The base returns undefined without error.
  virtual APMPValuePtr evaluateCommand(const std::u16string& command,
                                       const APMPValueList& arguments, const APMPScopePtr& scope,
                                       APMPErrorSlot error);
  virtual std::vector<std::u16string> allSupportedCommands() const;

 protected:
  // For the table-driven subclasses.
  APMPValuePtr runHandler(const std::u16string& command, const APMPValueList& arguments,
                          const APMPScopePtr& scope, APMPErrorSlot error, bool eager) const;
  std::unordered_map<std::u16string, Handler> handlers_;
};
