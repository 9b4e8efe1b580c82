#include "AppMeasurement/script/APMPLogicalCommandEvaluator.h"

#include "AppMeasurement/script/APMPEvaluator.h"
#include "AppMeasurement/script/APMPValueFunctions.h"

namespace {

APMPValuePtr And(const APMPValueList& a, const APMPScopePtr& scope, APMPErrorSlot* error) {
  if (!APMPCheckArgumentCount(a, 2, error)) return APMPUndefined();
  APMPValuePtr first = APMPEvaluator::evaluateStatement(a[0], scope, error);
  if (APMPHasError(error)) return APMPUndefined();
  bool truthy = first->booleanValueOrError(error);
  if (APMPHasError(error)) return APMPUndefined();
  if (!truthy) return first;
  APMPValuePtr second = APMPEvaluator::evaluateStatement(a[1], scope, error);
  return APMPHasError(error) ? APMPUndefined() : second;
}

APMPValuePtr Or(const APMPValueList& a, const APMPScopePtr& scope, APMPErrorSlot* error) {
  if (!APMPCheckArgumentCount(a, 2, error)) return APMPUndefined();
  APMPValuePtr first = APMPEvaluator::evaluateStatement(a[0], scope, error);
  if (APMPHasError(error)) return APMPUndefined();
  bool truthy = first->booleanValueOrError(error);
  if (APMPHasError(error)) return APMPUndefined();
  if (truthy) return first;
  APMPValuePtr second = APMPEvaluator::evaluateStatement(a[1], scope, error);
  return APMPHasError(error) ? APMPUndefined() : second;
}

APMPValuePtr Not(const APMPValueList& a, const APMPScopePtr& scope, APMPErrorSlot* error) {
  if (!APMPCheckArgumentCount(a, 1, error)) return APMPUndefined();
  APMPValuePtr value = APMPEvaluator::evaluateStatement(a[0], scope, error);
  if (APMPHasError(error)) return APMPUndefined();
  bool truthy = value->booleanValueOrError(error);
  if (APMPHasError(error)) return APMPUndefined();
  return APMPBooleanValue::booleanValueWithBool(!truthy);
}

}  // namespace

APMPLogicalCommandEvaluator::APMPLogicalCommandEvaluator() {
  handlers_ = {{u"1", And}, {u"28", Not}, {u"30", Or}};
  indexHandlers();
  direct_ = true;
  argumentMode_ = ArgumentMode::Lazy;
}

APMPValuePtr APMPLogicalCommandEvaluator::evaluateCommand(const std::u16string& command,
                                                          const APMPValueList& arguments,
                                                          const APMPScopePtr& scope,
                                                          APMPErrorSlot* error) {
  return runHandler(command, arguments, scope, error, false);
}
