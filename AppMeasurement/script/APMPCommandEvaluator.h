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

  // How the handlers take their arguments: unevaluated (the handler evaluates what it needs),
  // evaluated in order first, or evaluated first after a check for exactly two.
  enum class ArgumentMode { Lazy, Eager, EagerPair };
  // The handler of a decimal command code and how it takes its arguments, for a registrar
  // that resolves each code once; null when `evaluateCommand` must be called instead (an
  // evaluator that is not table-driven, or a code it does not hold).
  Handler directHandlerForCode(int code) const {
    return direct_ && code >= 0 && code < 100 ? byCode_[static_cast<size_t>(code)] : nullptr;
  }
  ArgumentMode argumentMode() const { return argumentMode_; }

 protected:
  // For the table-driven subclasses.
  APMPValuePtr runHandler(const std::u16string& command, const APMPValueList& arguments,
                          const APMPScopePtr& scope, APMPErrorSlot* error, bool eager) const;
  // Subclass constructors call this once their handlers_ are filled.
  void indexHandlers();
  // The handler of a command, or null.
  const Handler* handlerFor(const std::u16string& command) const;
  std::unordered_map<std::u16string, Handler> handlers_;
  // Set by the table-driven evaluators whose `evaluateCommand` does no more than run the
  // handler of the code in `argumentMode_`.
  bool direct_ = false;
  ArgumentMode argumentMode_ = ArgumentMode::Lazy;

 private:
  // The handlers of the decimal codes, indexed by code: spares a text hash per evaluation.
  std::array<Handler, 100> byCode_{};
};
