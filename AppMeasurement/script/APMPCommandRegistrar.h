#pragma once

#include <array>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "AppMeasurement/script/APMPCommandEvaluator.h"
#include "AppMeasurement/script/APMPFunctionEvaluator.h"
#include "AppMeasurement/script/APMPScope.h"
#include "AppMeasurement/script/APMPStorageLedger.h"

// Dispatches each statement to the evaluator of its command code, or to the function
// evaluator for any other name. Shared, immutable after construction, no per-run state.
class APMPCommandRegistrar {
 public:
  // Inline: every evaluation goes through it.
  static APMPCommandRegistrar& sharedInstance() {
    static APMPCommandRegistrar& instance = *new APMPCommandRegistrar();
    return instance;
  }
  APMPCommandRegistrar();

  void registerEvaluator(std::shared_ptr<APMPCommandEvaluator> evaluator);
  APMPValuePtr evaluateStatement(const APMPValuePtr& value, const APMPScopePtr& scope,
                                 APMPErrorSlot* error);
  // The charges and bounds every evaluation passes before its value is looked at: one unit
  // of the budget (APMPCountInstruction), then the storage ledger; false with the error set.
  // A statement then also passes the depth bound.
  static bool admit(const APMPScopePtr& scope, APMPErrorSlot* error) {
    return admit(scope ? scope->instructionCounter() : nullptr, error);
  }
  // The same with the scope's counter already at hand (null outside a runtime).
  static bool admit(APMPInstructionCounter* counter, APMPErrorSlot* error) {
    if (counter != nullptr) {
      if (counter->count >= APMPInstructionCounter::kBudget) {
        APMPSetError(error, APMPErrorCodeInstructionBudget);
        return false;
      }
      ++counter->count;
    }
    if (APMPStorageLedger::isExhausted()) {
      APMPSetError(error, APMPErrorCodeTooLarge);
      return false;
    }
    return true;
  }

  // APMPEvaluateList: the elements of the array `value` evaluates to.
  const APMPValueList* evaluateList(const APMPValuePtr& value, const APMPScopePtr& scope,
                                    APMPErrorSlot* error, APMPValueList& scratch,
                                    APMPValuePtr* evaluated);

  // How deeply evaluations may nest on one thread before failing with error 19 (about 250
  // nested script calls). 1000 levels fit in 2 MB of stack even under AddressSanitizer, whose
  // frames are the largest we run with.
  static constexpr int kMaximumDepth = 1000;

 private:
  APMPCommandEvaluator* evaluatorForName(const APMPStatementValue& statement) const;

  // Each decimal code resolved once to its handler and argument mode; a null handler goes
  // through the evaluator's evaluateCommand.
  struct Route {
    APMPCommandEvaluator::Handler handler = nullptr;
    APMPCommandEvaluator::ArgumentMode mode = APMPCommandEvaluator::ArgumentMode::Lazy;
  };
  std::array<Route, 100> routes_{};

  std::vector<std::shared_ptr<APMPCommandEvaluator>> owned_;
  std::unordered_map<std::u16string, APMPCommandEvaluator*> commandEvaluators_;
  // The same table indexed by code, for the decimal codes.
  std::array<APMPCommandEvaluator*, 100> byCode_{};
  APMPFunctionEvaluator functionEvaluator_;
};
