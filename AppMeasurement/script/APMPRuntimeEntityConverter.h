#pragma once

#include "AppMeasurement/messages/APMPBMessages.h"
#include "AppMeasurement/script/APMPRuntimeValue.h"
#include "platform/foundation/Value.h"

// Conversions between script values and host objects (`platform::Value`: null, bool,
// integer, real, text, array, dictionary).
class APMPRuntimeEntityConverter {
 public:
  // Program entities (the remote configuration's `RuntimeEntity` messages) to values: type 1
  // a string (empty when absent), 2 a number (NaN when absent), 3 the shared boolean (false
  // when absent), 4 a statement of the converted arguments; any other type error 12; a
  // statement without a function name error 14. Statements nested deeper than
  // kMaximumEntityNesting fail with error 19.
  //
  // The entity is an APMPBRuntimeEntity or a view of one (NANOViewMessage*): the tree is read in
  // place through views, never copied. A message of another kind has no entity type (error 12).
  static APMPValuePtr runtimeValueFromRuntimeEntity(const NANOMessageBase& entity,
                                                    APMPErrorSlot* error);
  static APMPValuePtr stringValueFromRuntimeEntity(const NANOMessageBase& entity);
  static APMPValuePtr numberValueFromRuntimeEntity(const NANOMessageBase& entity);
  static APMPValuePtr booleanValueFromRuntimeEntity(const NANOMessageBase& entity);
  static APMPValuePtr statementValueFromRuntimeEntity(const NANOMessageBase& entity,
                                                      APMPErrorSlot* error);
  static constexpr int kMaximumEntityNesting = 512;

  // Null gives null; text a string; a bool the shared boolean; an integer or real a number;
  // a dictionary a new tracked map; an array a new tracked array; anything else error 13.
  static APMPValuePtr runtimeValueFromNSObject(const platform::Value* object,
                                               const APMPScopePtr& scope, APMPErrorSlot* error);
  // Null gives absent (nullopt); undefined the empty text; a map a dictionary; an array a
  // list (holes give the empty text, null elements are left out); every other value its
  // number when that is not NaN, else its text.
  static std::optional<platform::Value> objectFromRuntimeValue(const APMPValuePtr& value,
                                                               APMPErrorSlot* error);
  static platform::Value::Dictionary dictionaryFromMapValue(const APMPValuePtr& map,
                                                            APMPErrorSlot* error);

  // Nesting bound of both directions (a map that contains itself would never end).
  static constexpr int kMaximumNesting = 64;
};
