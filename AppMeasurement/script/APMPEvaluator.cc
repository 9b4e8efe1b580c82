#include "AppMeasurement/script/APMPEvaluator.h"

#include <algorithm>

#include "AppMeasurement/script/APMPCommandRegistrar.h"
#include "AppMeasurement/script/APMPScope.h"

APMPValuePtr APMPEvaluator::evaluateStatement(const APMPValuePtr& value, const APMPScopePtr& scope,
                                              APMPErrorSlot* error) {
  return APMPCommandRegistrar::sharedInstance().evaluateStatement(value, scope, error);
}

APMPValuePtr APMPEvaluator::executeStatements(const APMPValueList& statements,
                                              const APMPScopePtr& scope, APMPErrorSlot* error) {
  APMPValuePtr result = APMPUndefined();
  for (const auto& statement : statements) {
    result = evaluateStatement(statement, scope, error);
    if (APMPHasError(error)) return APMPUndefined();
    if (result->kind() == APMPValueKind::Control) return result;
  }
  return result;
}

APMPValueList APMPEvaluateArguments(const APMPValueList& arguments, const APMPScopePtr& scope,
                                    APMPErrorSlot* error) {
  APMPValueList evaluated;
  evaluated.reserve(arguments.size());
  for (const auto& argument : arguments) {
    evaluated.push_back(APMPEvaluator::evaluateStatement(argument, scope, error));
    if (APMPHasError(error)) break;
  }
  return evaluated;
}

bool APMPCountInstruction(const APMPScopePtr& scope, APMPErrorSlot* error) {
  APMPInstructionCounter* counter = scope ? scope->instructionCounter() : nullptr;
  if (counter == nullptr) return true;
  if (counter->count >= APMPInstructionCounter::kBudget) {
    APMPSetError(error, APMPErrorCodeInstructionBudget);
    return false;
  }
  ++counter->count;
  return true;
}

namespace {
thread_local APMPInstructionCounter* gWorkCounter = nullptr;
}

APMPWorkCounterScope::APMPWorkCounterScope(APMPInstructionCounter* counter)
    : previous_(gWorkCounter) {
  if (counter != nullptr) gWorkCounter = counter;
}

APMPWorkCounterScope::~APMPWorkCounterScope() { gWorkCounter = previous_; }

void APMPChargeWork(size_t units) {
  // Work below one evaluation's worth is part of the step that does it: small programs are
  // charged exactly one unit per evaluation.
  APMPInstructionCounter* counter = gWorkCounter;
  if (counter == nullptr || units < APMPInstructionCounter::kWorkPerInstruction) return;
  uint64_t count = counter->count + units / APMPInstructionCounter::kWorkPerInstruction;
  counter->count =
      static_cast<uint32_t>(std::min<uint64_t>(count, APMPInstructionCounter::kBudget));
}
