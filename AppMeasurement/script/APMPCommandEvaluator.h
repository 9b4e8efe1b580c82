#pragma once

#include <array>
#include <string>
#include <unordered_map>
#include <vector>

#include "AppMeasurement/script/APMPRuntimeValue.h"

// Base of the command evaluators: each maps command codes to handlers.
class APMPCommandEvaluator {
 public:
  using Handler = APMPValuePtr (*)(const APMPValueList& arguments, const APMPScopePtr& scope,
                                   APMPErrorSlot* error);
  virtual ~APMPCommandEvaluator() = default;

  // The base returns undefined without error.
  virtual APMPValuePtr evaluateCommand(const std::u16string& command,
                                       const APMPValueList& arguments, const APMPScopePtr& scope,
                                       APMPErrorSlot* error);
  virtual std::vector<std::u16string> allSupportedCommands() const;

 protected:
  // For the table-driven subclasses.
  APMPValuePtr runHandler(const std::u16string& command, const APMPValueList& arguments,
                          const APMPScopePtr& scope, APMPErrorSlot* error, bool eager) const;
  // Subclass constructors call this once their handlers_ are filled.
  void indexHandlers();
  // The handler of a command, or null.
  const Handler* handlerFor(const std::u16string& command) const;
  std::unordered_map<std::u16string, Handler> handlers_;

 private:
  // The handlers of the decimal codes, indexed by code: spares a text hash per evaluation.
  std::array<Handler, 100> byCode_{};
};
