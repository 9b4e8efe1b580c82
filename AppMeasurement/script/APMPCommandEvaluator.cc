#include "AppMeasurement/script/APMPCommandEvaluator.h"

#include "AppMeasurement/script/APMPEvaluator.h"

APMPValuePtr APMPCommandEvaluator::evaluateCommand(const std::u16string&, const APMPValueList&,
                                                   const APMPScopePtr&, APMPErrorSlot) {
  return APMPUndefined();
}

std::vector<std::u16string> APMPCommandEvaluator::allSupportedCommands() const {
  std::vector<std::u16string> commands;
  for (const auto& entry : handlers_) commands.push_back(entry.first);
  return commands;
}

APMPValuePtr APMPCommandEvaluator::runHandler(const std::u16string& command,
                                              const APMPValueList& arguments,
                                              const APMPScopePtr& scope, APMPErrorSlot error,
                                              bool eager) const {
  auto it = handlers_.find(command);
  if (it == handlers_.end()) return APMPUndefined();
  if (!eager) return it->second(arguments, scope, error);
  APMPValueList evaluated = APMPEvaluateArguments(arguments, scope, error);
  if (APMPHasError(error)) return APMPUndefined();
  return it->second(evaluated, scope, error);
}
