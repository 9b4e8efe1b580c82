#pragma once

#include "AppMeasurement/script/APMPRuntimeValue.h"
#include "platform/foundation/Value.h"

// Conversions between script values and host objects (`platform::Value`: null, bool,
// integer, real, text, array, dictionary).
class APMPRuntimeEntityConverter {
 public:
  // Null gives null; text a string; a bool the shared boolean; an integer or real a number;
  // a dictionary a new tracked map; an array a new tracked array; anything else error 13.
  static APMPValuePtr runtimeValueFromNSObject(const platform::Value* object,
                                               const APMPScopePtr& scope, APMPErrorSlot error);
  // Null gives absent (nullopt); undefined the empty text; a map a dictionary; an array a
  // list (holes give the empty text, null elements are left out); every other value its
  // number when that is not NaN, else its text.
  static std::optional<platform::Value> objectFromRuntimeValue(const APMPValuePtr& value,
                                                               APMPErrorSlot error);
  static platform::Value::Dictionary dictionaryFromMapValue(const APMPValuePtr& map,
                                                            APMPErrorSlot error);

  // Nesting bound of both directions (a map that contains itself would never end).
  static constexpr int kMaximumNesting = 64;
};
