#include "AppMeasurement/script/APMPCommandEvaluator.h"

#include "AppMeasurement/script/APMPEvaluator.h"

APMPValuePtr APMPCommandEvaluator::evaluateCommand(const std::u16string&, const APMPValueList&,
                                                   const APMPScopePtr&, APMPErrorSlot*) {
  return APMPUndefined();
}

std::vector<std::u16string> APMPCommandEvaluator::allSupportedCommands() const {
  std::vector<std::u16string> commands;
  for (const auto& entry : handlers_) commands.push_back(entry.first);
  return commands;
}

void APMPCommandEvaluator::indexHandlers() {
  for (const auto& [name, handler] : handlers_) {
    int code = APMPStatementValue(name, {}).commandCode();
    if (code >= 0) byCode_[static_cast<size_t>(code)] = handler;
  }
}

const APMPCommandEvaluator::Handler* APMPCommandEvaluator::handlerFor(
    const std::u16string& command) const {
  int code = -1;
  if (command.size() == 1 && command[0] >= u'0' && command[0] <= u'9') code = command[0] - u'0';
  if (command.size() == 2 && command[0] >= u'1' && command[0] <= u'9' && command[1] >= u'0' &&
      command[1] <= u'9')
    code = (command[0] - u'0') * 10 + (command[1] - u'0');
  if (code >= 0)
    return byCode_[static_cast<size_t>(code)] ? &byCode_[static_cast<size_t>(code)] : nullptr;
  auto it = handlers_.find(command);
  return it == handlers_.end() ? nullptr : &it->second;
}

APMPValuePtr APMPCommandEvaluator::runHandler(const std::u16string& command,
                                              const APMPValueList& arguments,
                                              const APMPScopePtr& scope, APMPErrorSlot* error,
                                              bool eager) const {
  const Handler* handler = handlerFor(command);
  if (handler == nullptr || *handler == nullptr) return APMPUndefined();
  if (!eager) return (*handler)(arguments, scope, error);
  APMPPooledList evaluated;
  if (!APMPEvaluateArgumentsInto(arguments, scope, error, evaluated.values()))
    return APMPUndefined();
  return (*handler)(evaluated.values(), scope, error);
}
