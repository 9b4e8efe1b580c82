#include "AppMeasurement/script/APMPComparisonCommandEvaluator.h"

#include "AppMeasurement/script/APMPValueFunctions.h"

namespace {

APMPValuePtr Bool(bool value) { return APMPBooleanValue::booleanValueWithBool(value); }

APMPValuePtr LooseEqual(const APMPValueList& a, const APMPScopePtr&, APMPErrorSlot* error) {
  bool equal = APMPLooseEquals(*a[0], *a[1], error);
  return APMPHasError(error) ? APMPUndefined() : Bool(equal);
}

APMPValuePtr LooseNotEqual(const APMPValueList& a, const APMPScopePtr&, APMPErrorSlot* error) {
  bool equal = APMPLooseEquals(*a[0], *a[1], error);
  return APMPHasError(error) ? APMPUndefined() : Bool(!equal);
}

APMPValuePtr StrictEqual(const APMPValueList& a, const APMPScopePtr&, APMPErrorSlot* error) {
  bool equal = APMPStrictEquals(*a[0], *a[1], error);
  return APMPHasError(error) ? APMPUndefined() : Bool(equal);
}

APMPValuePtr StrictNotEqual(const APMPValueList& a, const APMPScopePtr&, APMPErrorSlot* error) {
  bool equal = APMPStrictEquals(*a[0], *a[1], error);
  return APMPHasError(error) ? APMPUndefined() : Bool(!equal);
}

APMPValuePtr Less(const APMPValueList& a, const APMPScopePtr&, APMPErrorSlot*) {
  return Bool(APMPCompareValues(*a[0], *a[1]) == -1);
}

APMPValuePtr LessOrEqual(const APMPValueList& a, const APMPScopePtr&, APMPErrorSlot*) {
  int c = APMPCompareValues(*a[0], *a[1]);
  return Bool(c == -1 || c == 0);
}

APMPValuePtr Greater(const APMPValueList& a, const APMPScopePtr&, APMPErrorSlot*) {
  return Bool(APMPCompareValues(*a[1], *a[0]) == -1);
}

APMPValuePtr GreaterOrEqual(const APMPValueList& a, const APMPScopePtr&, APMPErrorSlot*) {
  int c = APMPCompareValues(*a[1], *a[0]);
  return Bool(c == -1 || c == 0);
}

}  // namespace

APMPComparisonCommandEvaluator::APMPComparisonCommandEvaluator() {
  handlers_ = {{u"12", LooseEqual},  {u"18", Greater},        {u"19", GreaterOrEqual},
               {u"20", StrictEqual}, {u"21", StrictNotEqual}, {u"23", Less},
               {u"24", LessOrEqual}, {u"29", LooseNotEqual}};
  indexHandlers();
  direct_ = true;
  argumentMode_ = ArgumentMode::EagerPair;
}

APMPValuePtr APMPComparisonCommandEvaluator::evaluateCommand(const std::u16string& command,
                                                             const APMPValueList& arguments,
                                                             const APMPScopePtr& scope,
                                                             APMPErrorSlot* error) {
  if (handlerFor(command) == nullptr) return APMPUndefined();
  if (!APMPCheckArgumentCount(arguments, 2, error)) return APMPUndefined();
  return runHandler(command, arguments, scope, error, true);
}
