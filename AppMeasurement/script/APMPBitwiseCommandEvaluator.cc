#include "AppMeasurement/script/APMPBitwiseCommandEvaluator.h"

#include "AppMeasurement/script/APMPValueFunctions.h"

namespace {

// The 32-bit patterns of both operands; false when a count or conversion fails.
bool TwoOperands(const APMPValueList& a, uint32_t& x, uint32_t& y, APMPErrorSlot* error) {
  if (!APMPCheckArgumentCount(a, 2, error)) return false;
  double first = a[0]->doubleValueOrError(error);
  if (APMPHasError(error)) return false;
  double second = a[1]->doubleValueOrError(error);
  if (APMPHasError(error)) return false;
  x = APMPToUint32(first);
  y = APMPToUint32(second);
  return true;
}

APMPValuePtr Signed(uint32_t bits) {
  return APMPNumberValue::make(static_cast<double>(static_cast<int32_t>(bits)));
}

APMPValuePtr And(const APMPValueList& a, const APMPScopePtr&, APMPErrorSlot* error) {
  uint32_t x, y;
  return TwoOperands(a, x, y, error) ? Signed(x & y) : APMPUndefined();
}

APMPValuePtr Or(const APMPValueList& a, const APMPScopePtr&, APMPErrorSlot* error) {
  uint32_t x, y;
  return TwoOperands(a, x, y, error) ? Signed(x | y) : APMPUndefined();
}

APMPValuePtr Xor(const APMPValueList& a, const APMPScopePtr&, APMPErrorSlot* error) {
  uint32_t x, y;
  return TwoOperands(a, x, y, error) ? Signed(x ^ y) : APMPUndefined();
}

APMPValuePtr Not(const APMPValueList& a, const APMPScopePtr&, APMPErrorSlot* error) {
  if (!APMPCheckArgumentCount(a, 1, error)) return APMPUndefined();
  double x = a[0]->doubleValueOrError(error);
  if (APMPHasError(error)) return APMPUndefined();
  return Signed(~APMPToUint32(x));
}

APMPValuePtr ShiftLeft(const APMPValueList& a, const APMPScopePtr&, APMPErrorSlot* error) {
  uint32_t x, y;
  return TwoOperands(a, x, y, error) ? Signed(x << (y & 31)) : APMPUndefined();
}

APMPValuePtr ShiftRight(const APMPValueList& a, const APMPScopePtr&, APMPErrorSlot* error) {
  uint32_t x, y;
  if (!TwoOperands(a, x, y, error)) return APMPUndefined();
  // Arithmetic shift of the signed pattern (well defined since C++20).
  return APMPNumberValue::make(static_cast<double>(static_cast<int32_t>(x) >> (y & 31)));
}

APMPValuePtr ShiftRightUnsigned(const APMPValueList& a, const APMPScopePtr&, APMPErrorSlot* error) {
  uint32_t x, y;
  if (!TwoOperands(a, x, y, error)) return APMPUndefined();
  return APMPNumberValue::make(static_cast<double>(x >> (y & 31)));
}

}  // namespace

APMPBitwiseCommandEvaluator::APMPBitwiseCommandEvaluator() {
  handlers_ = {{u"56", And},        {u"57", ShiftLeft},          {u"58", Not}, {u"59", Or},
               {u"60", ShiftRight}, {u"61", ShiftRightUnsigned}, {u"62", Xor}};
  indexHandlers();
  direct_ = true;
  argumentMode_ = ArgumentMode::Eager;
}

APMPValuePtr APMPBitwiseCommandEvaluator::evaluateCommand(const std::u16string& command,
                                                          const APMPValueList& arguments,
                                                          const APMPScopePtr& scope,
                                                          APMPErrorSlot* error) {
  return runHandler(command, arguments, scope, error, true);
}
