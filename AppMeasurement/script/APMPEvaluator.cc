#include "AppMeasurement/script/APMPEvaluator.h"

#include "AppMeasurement/script/APMPCommandRegistrar.h"
#include "AppMeasurement/script/APMPScope.h"

APMPValuePtr APMPEvaluator::evaluateStatement(const APMPValuePtr& value, const APMPScopePtr& scope,
                                              APMPErrorSlot error) {
  return APMPCommandRegistrar::sharedInstance().evaluateStatement(value, scope, error);
}

APMPValuePtr APMPEvaluator::executeStatements(const APMPValueList& statements,
                                              const APMPScopePtr& scope, APMPErrorSlot error) {
  APMPValuePtr result = APMPUndefined();
  for (const auto& statement : statements) {
    result = evaluateStatement(statement, scope, error);
    if (APMPHasError(error)) return APMPUndefined();
    if (result->kind() == APMPValueKind::Control) return result;
  }
  return result;
}

APMPValueList APMPEvaluateArguments(const APMPValueList& arguments, const APMPScopePtr& scope,
                                    APMPErrorSlot error) {
  APMPValueList evaluated;
  evaluated.reserve(arguments.size());
  for (const auto& argument : arguments) {
    evaluated.push_back(APMPEvaluator::evaluateStatement(argument, scope, error));
    if (APMPHasError(error)) break;
  }
  return evaluated;
}

bool APMPCountInstruction(const APMPScopePtr& scope, APMPErrorSlot error) {
  APMPInstructionCounter* counter = scope ? scope->instructionCounter() : nullptr;
  if (counter == nullptr) return true;
  if (counter->count >= APMPInstructionCounter::kBudget) {
    APMPSetError(error, APMPErrorCodeInstructionBudget);
    return false;
  }
  ++counter->count;
  return true;
}
