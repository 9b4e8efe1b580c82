#pragma once

#include <cstdint>

#include "AppMeasurement/script/APMPRuntimeValue.h"

// The shared helpers of values and commands: kinds, argument counts, integer conversions,
// equality and ordering.

bool APMPIsObjectLike(const APMPRuntimeValue& value);
bool APMPIsArrayIndex(const APMPRuntimeValue& value);

bool APMPCheckArgumentCount(const APMPValueList& arguments, size_t n, APMPErrorSlot* error);
bool APMPCheckMinArgumentCount(const APMPValueList& arguments, size_t n, APMPErrorSlot* error);
bool APMPCheckMaxArgumentCount(const APMPValueList& arguments, size_t n, APMPErrorSlot* error);

uint32_t APMPToUint32(double value);
int32_t APMPToInt32(double value);
double APMPToInteger(double value);
// A double to int64 without undefined behaviour: NaN gives 0, out-of-range values saturate.
int64_t APMPSaturatingInt64(double value);

// The string conversion of `value`: a string value's own text in place (charged as its
// conversion is), any other value's conversion held in `scratch`. The view lives as long as
// the value and `scratch`.
std::u16string_view APMPStringConversion(const APMPRuntimeValue& value, std::u16string& scratch,
                                         APMPErrorSlot* error);

bool APMPStringValuesEqual(const APMPRuntimeValue& a, const APMPRuntimeValue& b,
                           APMPErrorSlot* error);
bool APMPNumberValuesEqual(const APMPRuntimeValue& a, const APMPRuntimeValue& b,
                           APMPErrorSlot* error);
bool APMPStrictEquals(const APMPRuntimeValue& a, const APMPRuntimeValue& b, APMPErrorSlot* error);
bool APMPLooseEquals(const APMPRuntimeValue& a, const APMPRuntimeValue& b, APMPErrorSlot* error);

// 0 undefined and null, 1 numbers and booleans, 2 strings, 3 everything else.
int APMPComparisonTypeOf(const APMPRuntimeValue& value);
// -1, 0 or 1 (1 also for unordered values and for conversion failures).
int APMPCompareValues(const APMPRuntimeValue& x, const APMPRuntimeValue& y);

// The typed views of a value pointer; null when the value is of another kind.
class APMPArrayValue;
class APMPFunctionValue;
class APMPMapValue;
APMPArrayValue* APMPAsArray(const APMPValuePtr& value);
APMPFunctionValue* APMPAsFunction(const APMPValuePtr& value);
APMPMapValue* APMPAsMap(const APMPValuePtr& value);
std::shared_ptr<APMPFunctionValue> APMPSharedFunction(const APMPValuePtr& value);
std::shared_ptr<APMPArrayValue> APMPSharedArray(const APMPValuePtr& value);
