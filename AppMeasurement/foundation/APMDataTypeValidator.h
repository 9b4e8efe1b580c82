#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "AppMeasurement/foundation/APMValue.h"

// Decides whether names, origins, parameter and user-property values, screen parameters,
// conditional-user-property fields, numeric values, currency codes and array parameters are
// acceptable. Every rule answers a boolean, writes at most one monitor line per rejection and
// stores a failure code (kFailure...) into failureCode when it is given (0 on success). No
// rule throws or changes its input; the caller decides what to drop.
//
// Inputs are loose objects as an app passes them (nil, another kind, text that is not valid
// UTF-8 all give a failure code, never a crash). Lengths are counted in code points unless a
// rule says otherwise. The value-length limits are read from APMParameterLimits::current() at
// each call. Class operations only; thread-safe (the character classes are ICU's, read-only).
class APMDataTypeValidator {
 public:
  // Kinds of item, selecting the label of messages.
  enum Kind : int {
    kKindEventName = 0,
    kKindEventOrigin = 1,
    kKindEventParameterName = 2,
    kKindEventParameterValue = 3,
    kKindUserPropertyName = 4,
    kKindUserPropertyValue = 5,
    kKindScreenParameterValue = 6,
    kKindConditionalUserPropertyOrigin = 7,
    kKindConditionalUserPropertyName = 8,
    kKindConditionalUserPropertyValue = 9,
  };
  enum FailureCode : int64_t {
    kFailureNone = 0,
    kFailureMissing = 1,
    kFailureTooLong = 2,
    kFailureInvalidCharacters = 3,
    kFailureReserved = 4,
    kFailureWrongType = 5,
    kFailureNotForwardedOrigin = 6,
    kFailureTooShort = 7,
    kFailureNotNumeric = 8,
    kFailureNotCurrencyCode = 9,
    kFailureArrayOnNonEcommerceEvent = 10,
    kFailureArrayNotNamedItems = 11,
    kFailureTooManyArrayItems = 12,
    kFailureNestedArray = 13,
    kFailureArrayItemNotMap = 14,
  };
  static constexpr int64_t kMaxArrayItems = 200;

  // The label of a kind ("Event name" ...; "Object" for any other index).
  static std::string_view labelForKind(int kind);

  // Building blocks.
  static bool isValidString(const APMObject& item, int64_t minLength, int64_t maxLength, int kind,
                            int64_t* failureCode = nullptr);
  static bool isValidInternalName(const APMObject& item, int64_t maxLength, int kind,
                                  int64_t* failureCode = nullptr);
  static bool isValidPublicName(const APMObject& item, int64_t maxLength, int kind,
                                int64_t* failureCode = nullptr);
  static bool isValidValue(const APMObject& item, int64_t minLength, int64_t maxLength, int kind,
                           int64_t* failureCode = nullptr);
  static bool hasReservedPrefixes(std::string_view name);

  // Events.
  static bool isValidPublicEventName(const APMObject& name, int64_t* failureCode = nullptr);
  static bool isValidInternalEventName(const APMObject& name, int64_t* failureCode = nullptr);
  static bool isValidInternalEventOrigin(const APMObject& origin, int64_t* failureCode = nullptr);
  static bool isValidForwardedEventOrigin(const APMObject& origin, int64_t* failureCode = nullptr);
  static bool isValidPublicEventParameterName(const APMObject& name,
                                              int64_t* failureCode = nullptr);
  static bool isValidInternalEventParameterName(const APMObject& name,
                                                int64_t* failureCode = nullptr);
  // The two rules above on a name already known to be valid UTF-8 text (the keys the
  // sanitiser reads), without making a loose object of it.
  static bool isValidPublicEventParameterNameText(const std::string& name,
                                                  int64_t* failureCode = nullptr);
  static bool isValidInternalEventParameterNameText(const std::string& name,
                                                    int64_t* failureCode = nullptr);
  static bool isValidPublicEventParameterValue(const APMObject& value,
                                               int64_t* failureCode = nullptr);
  static bool isValidInternalEventParameterValue(const APMObject& value,
                                                 int64_t* failureCode = nullptr);
  // An absent event name is not an e-commerce event.
  static bool isValidArrayParamForEvent(std::optional<std::string_view> eventName,
                                        std::string_view paramName, int64_t arrayCount,
                                        bool isNestedArrayParam, int64_t* failureCode = nullptr);
  static bool isValidArrayParamItem(const APMObject& item, int64_t* failureCode = nullptr);
  static bool isValidScreenParameterValue(const APMObject& value, int64_t* failureCode = nullptr);
  static bool isValidNumericValue(const APMObject& value, int64_t* failureCode = nullptr);
  // Exactly 3 UTF-16 units, all letters.
  static bool isValidCurrencyCode(const APMObject& value, int64_t* failureCode = nullptr);

  // User properties.
  static bool isValidPublicUserAttributeName(const APMObject& name, int64_t* failureCode = nullptr);
  static bool isValidPublicUserAttributeValue(const APMObject& value,
                                              int64_t* failureCode = nullptr);
  static bool isValidInternalUserAttributeName(const APMObject& name,
                                               int64_t* failureCode = nullptr);
  static bool isValidInternalUserAttributeValue(const APMObject& value, std::string_view name,
                                                int64_t* failureCode = nullptr);

  // Conditional user properties.
  static bool isValidConditionalUserPropertyOrigin(const APMObject& origin,
                                                   int64_t* failureCode = nullptr);
  static bool isValidConditionalUserPropertyName(const APMObject& name,
                                                 int64_t* failureCode = nullptr);
  static bool isValidConditionalUserPropertyValue(const APMObject& value,
                                                  int64_t* failureCode = nullptr);

  // Character classes: letters are Unicode's L* categories; name characters add decimal
  // digits (Nd) and "_".
  static bool isLetter(char32_t codePoint);
  static bool isNameCharacter(char32_t codePoint);
};
