#include "AppMeasurement/script/APMPMathCommandEvaluator.h"

#include <cmath>

#include "AppMeasurement/script/APMPText.h"
#include "AppMeasurement/script/APMPValueFunctions.h"

namespace {

// Both number conversions, first then second; false when one fails.
bool TwoNumbers(const APMPValueList& a, double& x, double& y, APMPErrorSlot* error) {
  if (!APMPCheckArgumentCount(a, 2, error)) return false;
  x = a[0]->doubleValueOrError(error);
  if (APMPHasError(error)) return false;
  y = a[1]->doubleValueOrError(error);
  return !APMPHasError(error);
}

APMPValuePtr Add(const APMPValueList& a, const APMPScopePtr&, APMPErrorSlot* error) {
  if (!APMPCheckArgumentCount(a, 2, error)) return APMPUndefined();
  if (!APMPIsObjectLike(*a[0]) && !APMPIsObjectLike(*a[1])) {
    double x, y;
    if (!TwoNumbers(a, x, y, error)) return APMPUndefined();
    return APMPNumberValue::make(x + y);
  }
  if (a[0]->kind() == APMPValueKind::String) {
    // Appending to a text: the left text is not copied when its storage has room.
    auto left = std::static_pointer_cast<APMPStringValue>(a[0]);
    if (a[1]->kind() == APMPValueKind::String)
      return APMPStringValue::appending(left, static_cast<const APMPStringValue&>(*a[1]).value(),
                                        error);
    std::u16string second = a[1]->stringValueOrError(error);
    if (APMPHasError(error)) return APMPUndefined();
    return APMPStringValue::appending(left, second, error);
  }
  std::u16string text = a[0]->stringValueOrError(error);
  if (APMPHasError(error)) return APMPUndefined();
  std::u16string second = a[1]->stringValueOrError(error);
  if (APMPHasError(error)) return APMPUndefined();
  if (text.size() + second.size() > kAPMPMaximumStringLength) {
    APMPSetError(error, APMPErrorCodeTooLarge);
    return APMPUndefined();
  }
  text += second;
  return APMPStringValue::make(std::move(text));
}

APMPValuePtr Subtract(const APMPValueList& a, const APMPScopePtr&, APMPErrorSlot* error) {
  double x, y;
  if (!TwoNumbers(a, x, y, error)) return APMPUndefined();
  return APMPNumberValue::make(x - y);
}

APMPValuePtr Multiply(const APMPValueList& a, const APMPScopePtr&, APMPErrorSlot* error) {
  double x, y;
  if (!TwoNumbers(a, x, y, error)) return APMPUndefined();
  return APMPNumberValue::make(x * y);
}

APMPValuePtr Divide(const APMPValueList& a, const APMPScopePtr&, APMPErrorSlot* error) {
  double x, y;
  if (!TwoNumbers(a, x, y, error)) return APMPUndefined();
  return APMPNumberValue::make(x / y);
}

APMPValuePtr Remainder(const APMPValueList& a, const APMPScopePtr&, APMPErrorSlot* error) {
  double x, y;
  if (!TwoNumbers(a, x, y, error)) return APMPUndefined();
  return APMPNumberValue::make(std::fmod(x, y));
}

APMPValuePtr Negate(const APMPValueList& a, const APMPScopePtr&, APMPErrorSlot* error) {
  if (!APMPCheckArgumentCount(a, 1, error)) return APMPUndefined();
  double x = a[0]->doubleValueOrError(error);
  if (APMPHasError(error)) return APMPUndefined();
  return APMPNumberValue::make(-x);
}

APMPValuePtr FirstOfTwo(const APMPValueList& a, const APMPScopePtr&, APMPErrorSlot* error) {
  if (!APMPCheckArgumentCount(a, 2, error)) return APMPUndefined();
  return a[0];
}

APMPValuePtr Single(const APMPValueList& a, const APMPScopePtr&, APMPErrorSlot* error) {
  if (!APMPCheckArgumentCount(a, 1, error)) return APMPUndefined();
  return a[0];
}

}  // namespace

APMPMathCommandEvaluator::APMPMathCommandEvaluator() {
  handlers_ = {{u"0", Add},     {u"10", Divide},     {u"25", Remainder},  {u"26", Multiply},
               {u"27", Negate}, {u"32", FirstOfTwo}, {u"33", FirstOfTwo}, {u"34", Single},
               {u"35", Single}, {u"37", Subtract}};
  indexHandlers();
  direct_ = true;
  argumentMode_ = ArgumentMode::Eager;
}

APMPValuePtr APMPMathCommandEvaluator::evaluateCommand(const std::u16string& command,
                                                       const APMPValueList& arguments,
                                                       const APMPScopePtr& scope,
                                                       APMPErrorSlot* error) {
  return runHandler(command, arguments, scope, error, true);
}
