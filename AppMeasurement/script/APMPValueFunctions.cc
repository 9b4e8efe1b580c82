#include "AppMeasurement/script/APMPValueFunctions.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <typeinfo>

#include "AppMeasurement/script/APMPArrayValue.h"
#include "AppMeasurement/script/APMPEvaluator.h"
#include "AppMeasurement/script/APMPFunctionValue.h"
#include "AppMeasurement/script/APMPMapValue.h"
#include "AppMeasurement/script/APMPText.h"

bool APMPIsObjectLike(const APMPRuntimeValue& value) {
  switch (value.kind()) {
    case APMPValueKind::Array:
    case APMPValueKind::Function:
    case APMPValueKind::Map:
    case APMPValueKind::String:
      return true;
    default:
      return false;
  }
}

bool APMPIsArrayIndex(const APMPRuntimeValue& value) {
  if (value.kind() != APMPValueKind::Number && value.kind() != APMPValueKind::String) return false;
  std::optional<APMPError> error;
  double d = value.doubleValueOrError(&error);
  return !error && std::isfinite(d) && d >= 0 && std::trunc(d) == d;
}

bool APMPCheckArgumentCount(const APMPValueList& arguments, size_t n, APMPErrorSlot* error) {
  if (arguments.size() == n) return true;
  APMPSetError(error, APMPErrorCodeArgumentCount);
  return false;
}

bool APMPCheckMinArgumentCount(const APMPValueList& arguments, size_t n, APMPErrorSlot* error) {
  if (arguments.size() >= n) return true;
  APMPSetError(error, APMPErrorCodeArgumentCount);
  return false;
}

bool APMPCheckMaxArgumentCount(const APMPValueList& arguments, size_t n, APMPErrorSlot* error) {
  if (arguments.size() <= n) return true;
  APMPSetError(error, APMPErrorCodeArgumentCount);
  return false;
}

int32_t APMPToInt32(double value) {
  if (!std::isfinite(value)) return 0;
  double t = std::trunc(value);
  double r = std::fmod(t, 4294967296.0);  // keeps the sign of t
  if (r >= 2147483648.0) return std::numeric_limits<int32_t>::max();
  if (r < -2147483648.0) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(r);
}

uint32_t APMPToUint32(double value) { return static_cast<uint32_t>(APMPToInt32(value)); }

double APMPToInteger(double value) {
  if (std::isnan(value)) return 0;
  if (value == 0 || std::isinf(value)) return value;
  return std::trunc(value);
}

int64_t APMPSaturatingInt64(double value) {
  if (std::isnan(value)) return 0;
  if (value >= 9223372036854775808.0) return std::numeric_limits<int64_t>::max();
  if (value <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(value);
}

std::u16string_view APMPStringConversion(const APMPRuntimeValue& value, std::u16string& scratch,
                                         APMPErrorSlot* error) {
  if (value.kind() == APMPValueKind::String) {
    std::u16string_view text = static_cast<const APMPStringValue&>(value).value();
    APMPChargeWork(text.size());
    return text;
  }
  scratch = value.stringValueOrError(error);
  return scratch;
}

bool APMPStringValuesEqual(const APMPRuntimeValue& a, const APMPRuntimeValue& b,
                           APMPErrorSlot* error) {
  std::u16string scratchX, scratchY;
  std::u16string_view x = APMPStringConversion(a, scratchX, error);
  if (APMPHasError(error)) return false;
  std::u16string_view y = APMPStringConversion(b, scratchY, error);
  if (APMPHasError(error)) return false;
  return x == y;
}

bool APMPNumberValuesEqual(const APMPRuntimeValue& a, const APMPRuntimeValue& b,
                           APMPErrorSlot* error) {
  double x = a.doubleValueOrError(error);
  if (APMPHasError(error)) return false;
  double y = b.doubleValueOrError(error);
  if (APMPHasError(error)) return false;
  return x == y;
}

bool APMPStrictEquals(const APMPRuntimeValue& a, const APMPRuntimeValue& b, APMPErrorSlot* error) {
  if (typeid(a) != typeid(b)) return false;
  switch (a.kind()) {
    case APMPValueKind::Number:
    case APMPValueKind::Boolean:
      return APMPNumberValuesEqual(a, b, error);
    case APMPValueKind::String: {
      if (&a == &b) return true;
      std::u16string_view x = static_cast<const APMPStringValue&>(a).value();
      std::u16string_view y = static_cast<const APMPStringValue&>(b).value();
      if (x.size() != y.size()) return false;
      size_t same = APMPCommonPrefixLength(x, y);
      if (!APMPChargeWork(same, error)) return false;
      return same == x.size();
    }
    default:
      return &a == &b;
  }
}

int APMPComparisonTypeOf(const APMPRuntimeValue& value) {
  switch (value.kind()) {
    case APMPValueKind::Undefined:
    case APMPValueKind::Null:
      return 0;
    case APMPValueKind::Number:
    case APMPValueKind::Boolean:
      return 1;
    case APMPValueKind::String:
      return 2;
    default:
      return 3;
  }
}

bool APMPLooseEquals(const APMPRuntimeValue& first, const APMPRuntimeValue& second,
                     APMPErrorSlot* error) {
  int classFirst = APMPComparisonTypeOf(first), classSecond = APMPComparisonTypeOf(second);
  const APMPRuntimeValue& a = classSecond < classFirst ? second : first;
  const APMPRuntimeValue& b = classSecond < classFirst ? first : second;
  switch (std::min(classFirst, classSecond)) {
    case 2:
      return APMPStringValuesEqual(a, b, error);
    case 1:
      return APMPNumberValuesEqual(a, b, error);
    case 0:
      return APMPComparisonTypeOf(b) == 0;
    default:
      return &a == &b;
  }
}

int APMPCompareValues(const APMPRuntimeValue& x, const APMPRuntimeValue& y) {
  std::optional<APMPError> error;
  if (APMPIsObjectLike(x) && APMPIsObjectLike(y)) {
    std::u16string a = x.stringValueOrError(&error);
    if (error) return 1;
    std::u16string b = y.stringValueOrError(&error);
    if (error) return 1;
    return APMPCompareText(a, b);
  }
  double a = x.doubleValueOrError(&error);
  if (error) return 1;
  double b = y.doubleValueOrError(&error);
  if (error) return 1;
  if (a < b) return -1;
  if (a == b) return 0;
  return 1;
}

APMPArrayValue* APMPAsArray(const APMPValuePtr& value) {
  return value && value->kind() == APMPValueKind::Array ? static_cast<APMPArrayValue*>(value.get())
                                                        : nullptr;
}

APMPFunctionValue* APMPAsFunction(const APMPValuePtr& value) {
  return value && value->kind() == APMPValueKind::Function
             ? static_cast<APMPFunctionValue*>(value.get())
             : nullptr;
}

APMPMapValue* APMPAsMap(const APMPValuePtr& value) {
  return value && value->kind() == APMPValueKind::Map ? static_cast<APMPMapValue*>(value.get())
                                                      : nullptr;
}

std::shared_ptr<APMPFunctionValue> APMPSharedFunction(const APMPValuePtr& value) {
  return APMPAsFunction(value) ? std::static_pointer_cast<APMPFunctionValue>(value) : nullptr;
}

std::shared_ptr<APMPArrayValue> APMPSharedArray(const APMPValuePtr& value) {
  return APMPAsArray(value) ? std::static_pointer_cast<APMPArrayValue>(value) : nullptr;
}
