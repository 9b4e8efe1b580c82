#include "AppMeasurement/foundation/APMDataTypeValidator.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <string>

#include "AppMeasurement/foundation/APMMonitor.h"
#include "AppMeasurement/foundation/APMNameTables.h"
#include "AppMeasurement/foundation/APMParameterLimits.h"
#include "platform/foundation/Text.h"

namespace {

using Validator = APMDataTypeValidator;

bool fail(int64_t* failureCode, int64_t code) {
  if (failureCode) *failureCode = code;
  return false;
}

bool pass(int64_t* failureCode) {
  if (failureCode) *failureCode = Validator::kFailureNone;
  return true;
}

// Warnings for values (the app's data), errors for names and everything else.
int levelForKind(int kind) {
  return kind == Validator::kKindEventParameterValue || kind == Validator::kKindUserPropertyValue
             ? 3
             : 0;
}

APMLogContext contextOf(const APMObject& item) {
  if (const std::string* text = item.asText()) return APMLogContext(*text);
  return APMLogContext::object(item.className(), item.description());
}

void log(int level, int64_t code, const std::string& message) {
  APMMonitor::monitor()->logWithLevel(level, code, message);
}

void log(int level, int64_t code, const std::string& message, APMLogContext context) {
  APMMonitor::monitor()->logWithLevel(level, code, message, std::move(context));
}

std::string label(int kind) { return std::string(Validator::labelForKind(kind)); }

// Code points of valid UTF-8 text; counts only when the byte length cannot answer.
bool longerThan(const std::string& text, int64_t maxLength) {
  if (static_cast<int64_t>(text.size()) <= maxLength) return false;
  return static_cast<int64_t>(platform::Text::utf32Length(text)) > maxLength;
}

bool shorterThan(const std::string& text, int64_t minLength) {
  if (minLength <= 1) return text.empty() && minLength == 1;
  return static_cast<int64_t>(platform::Text::utf32Length(text)) < minLength;
}

// The string rule on the item's text (nullptr when it is no string). The item may be absent
// when the text is given.
bool checkText(const std::string* text, const APMObject* item, int64_t minLength, int64_t maxLength,
               int kind, int64_t* failureCode) {
  int level = levelForKind(kind);
  if (text == nullptr && item->isNil()) {
    log(level, 13001, label(kind) + " is required and can't be nil");
    return fail(failureCode, Validator::kFailureMissing);
  }
  if (text == nullptr) {
    log(level, 13000, label(kind) + " must be of type NSString", contextOf(*item));
    return fail(failureCode, Validator::kFailureWrongType);
  }
  if (text->empty() && minLength >= 1) {
    if (kind != Validator::kKindEventParameterValue && kind != Validator::kKindUserPropertyValue) {
      log(level, 13001, label(kind) + " is required and can't be empty");
    }
    return fail(failureCode, Validator::kFailureMissing);
  }
  if (longerThan(*text, maxLength)) {
    log(level, 13000,
        label(kind) + " is too long. The maximum supported length is " + std::to_string(maxLength),
        APMLogContext(*text));
    return fail(failureCode, Validator::kFailureTooLong);
  }
  if (shorterThan(*text, minLength)) {
    log(level, 13000,
        label(kind) + " is too short. The minimum supported length is " + std::to_string(minLength),
        APMLogContext(*text));
    return fail(failureCode, Validator::kFailureTooShort);
  }
  return pass(failureCode);
}

// Whether every code point satisfies the predicate; ASCII is answered from a table.
template <typename Predicate>
bool allCodePoints(std::string_view text, const bool (&asciiTable)[128], Predicate predicate) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  int32_t length = static_cast<int32_t>(text.size());
  int32_t offset = 0;
  while (offset < length) {
    if (bytes[offset] < 0x80) {
      if (!asciiTable[bytes[offset++]]) return false;
      continue;
    }
    UChar32 c;
    U8_NEXT(bytes, offset, length, c);
    if (c < 0 || !predicate(static_cast<char32_t>(c))) return false;
  }
  return true;
}

struct AsciiTables {
  bool letters[128] = {};
  bool nameCharacters[128] = {};
  AsciiTables() {
    for (char32_t c = 0; c < 128; ++c) {
      letters[c] = APMDataTypeValidator::isLetter(c);
      nameCharacters[c] = APMDataTypeValidator::isNameCharacter(c);
    }
  }
};

const AsciiTables& asciiTables() {
  static const AsciiTables& tables = *new AsciiTables();
  return tables;
}

char32_t firstCodePoint(std::string_view text) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  int32_t offset = 0;
  UChar32 c;
  U8_NEXT(bytes, offset, static_cast<int32_t>(text.size()), c);
  return c < 0 ? 0xFFFD : static_cast<char32_t>(c);
}

const std::string* nameText(const APMObject& item) { return item.asText(); }

bool internalNameRule(const std::string* text, const APMObject* item, int64_t maxLength, int kind,
                      int64_t* failureCode) {
  if (!checkText(text, item, 1, maxLength, kind, failureCode)) return false;
  if (!allCodePoints(*text, asciiTables().nameCharacters, Validator::isNameCharacter)) {
    log(0, 13002, label(kind) + " must contain only letters, numbers, or underscores",
        APMLogContext(*text));
    return fail(failureCode, Validator::kFailureInvalidCharacters);
  }
  return pass(failureCode);
}

bool publicNameRule(const std::string* text, const APMObject* item, int64_t maxLength, int kind,
                    int64_t* failureCode) {
  if (!internalNameRule(text, item, maxLength, kind, failureCode)) return false;
  if (!Validator::isLetter(firstCodePoint(*text))) {
    log(0, 13003, label(kind) + " must start with a letter", APMLogContext(*text));
    return fail(failureCode, Validator::kFailureInvalidCharacters);
  }
  return pass(failureCode);
}

bool publicParameterNameRule(const std::string* text, const APMObject* item, int64_t* failureCode) {
  if (!publicNameRule(text, item, 40, Validator::kKindEventParameterName, failureCode)) {
    return false;
  }
  if (Validator::hasReservedPrefixes(*text)) {
    log(0, 13008, "Parameter name uses reserved prefix. Ignoring parameter", APMLogContext(*text));
    return fail(failureCode, Validator::kFailureReserved);
  }
  return pass(failureCode);
}

}  // namespace

std::string_view APMDataTypeValidator::labelForKind(int kind) {
  switch (kind) {
    case kKindEventName:
      return "Event name";
    case kKindEventOrigin:
      return "Event origin";
    case kKindEventParameterName:
      return "Event parameter name";
    case kKindEventParameterValue:
      return "Event parameter value";
    case kKindUserPropertyName:
      return "User property name";
    case kKindUserPropertyValue:
      return "User property value";
    case kKindScreenParameterValue:
      return "Screen parameter value";
    case kKindConditionalUserPropertyOrigin:
      return "Conditional user property origin";
    case kKindConditionalUserPropertyName:
      return "Conditional user property name";
    case kKindConditionalUserPropertyValue:
      return "Conditional user property value";
    default:
      return "Object";
  }
}

bool APMDataTypeValidator::isLetter(char32_t codePoint) {
  if (codePoint < 0x80) {
    return (codePoint >= U'a' && codePoint <= U'z') || (codePoint >= U'A' && codePoint <= U'Z');
  }
  return (U_GET_GC_MASK(static_cast<UChar32>(codePoint)) & U_GC_L_MASK) != 0;
}

bool APMDataTypeValidator::isNameCharacter(char32_t codePoint) {
  if (codePoint < 0x80) {
    return codePoint == U'_' || isLetter(codePoint) || (codePoint >= U'0' && codePoint <= U'9');
  }
  return codePoint == U'_' || isLetter(codePoint) ||
         u_charType(static_cast<UChar32>(codePoint)) == U_DECIMAL_DIGIT_NUMBER;
}

bool APMDataTypeValidator::isValidString(const APMObject& item, int64_t minLength,
                                         int64_t maxLength, int kind, int64_t* failureCode) {
  return checkText(item.asText(), &item, minLength, maxLength, kind, failureCode);
}

bool APMDataTypeValidator::isValidInternalName(const APMObject& item, int64_t maxLength, int kind,
                                               int64_t* failureCode) {
  return internalNameRule(item.asText(), &item, maxLength, kind, failureCode);
}

bool APMDataTypeValidator::isValidPublicName(const APMObject& item, int64_t maxLength, int kind,
                                             int64_t* failureCode) {
  return publicNameRule(item.asText(), &item, maxLength, kind, failureCode);
}

bool APMDataTypeValidator::isValidValue(const APMObject& item, int64_t minLength, int64_t maxLength,
                                        int kind, int64_t* failureCode) {
  const APMValue* value = item.asValue();
  if (item.isNil()) {
    log(3, 13004, label(kind) + " cannot be nil");
    return fail(failureCode, kFailureMissing);
  }
  if (value == nullptr) {
    log(3, 13005, label(kind) + " must be a APMValue instance. value",
        APMLogContext(item.className()));
    return fail(failureCode, kFailureWrongType);
  }
  if (const std::string* text = value->stringValue()) {
    return checkText(text, &item, minLength, maxLength, kind, failureCode);
  }
  return pass(failureCode);
}

bool APMDataTypeValidator::hasReservedPrefixes(std::string_view name) {
  return name.starts_with("kavrelin_") || name.starts_with("orvane_") || name.starts_with("oa_");
}

bool APMDataTypeValidator::isValidPublicEventName(const APMObject& name, int64_t* failureCode) {
  if (!isValidPublicName(name, 40, kKindEventName, failureCode)) return false;
  const std::string& text = *nameText(name);
  if (text == "screen_view") return pass(failureCode);
  if (APMEventNameMap().contains(text) && !APMAllowedPublicEventNameMap().contains(text)) {
    log(0, 13006, "Event name is reserved. Ignoring event", APMLogContext(text));
    return fail(failureCode, kFailureReserved);
  }
  if (hasReservedPrefixes(text)) {
    log(0, 13007, "Event name uses reserved prefix. Ignoring event", APMLogContext(text));
    return fail(failureCode, kFailureReserved);
  }
  return pass(failureCode);
}

bool APMDataTypeValidator::isValidInternalEventName(const APMObject& name, int64_t* failureCode) {
  return isValidInternalName(name, 40, kKindEventName, failureCode);
}

bool APMDataTypeValidator::isValidInternalEventOrigin(const APMObject& origin,
                                                      int64_t* failureCode) {
  return isValidInternalName(origin, 32, kKindEventOrigin, failureCode);
}

bool APMDataTypeValidator::isValidForwardedEventOrigin(const APMObject& origin,
                                                       int64_t* failureCode) {
  static constexpr std::string_view kSuffix = "+otm";
  const std::string* text = origin.asText();
  if (text && text->empty()) return fail(failureCode, kFailureMissing);
  if (text == nullptr || !text->ends_with(kSuffix)) {
    return fail(failureCode, kFailureNotForwardedOrigin);
  }
  APMObject stem(std::string_view(*text).substr(0, text->size() - kSuffix.size()));
  return isValidInternalName(stem, 32, kKindEventOrigin, failureCode);
}

bool APMDataTypeValidator::isValidPublicEventParameterName(const APMObject& name,
                                                           int64_t* failureCode) {
  return publicParameterNameRule(name.asText(), &name, failureCode);
}

bool APMDataTypeValidator::isValidInternalEventParameterName(const APMObject& name,
                                                             int64_t* failureCode) {
  return isValidInternalName(name, 40, kKindEventParameterName, failureCode);
}

bool APMDataTypeValidator::isValidPublicEventParameterNameText(const std::string& name,
                                                               int64_t* failureCode) {
  return publicParameterNameRule(&name, nullptr, failureCode);
}

bool APMDataTypeValidator::isValidInternalEventParameterNameText(const std::string& name,
                                                                 int64_t* failureCode) {
  return internalNameRule(&name, nullptr, 40, kKindEventParameterName, failureCode);
}

bool APMDataTypeValidator::isValidPublicEventParameterValue(const APMObject& value,
                                                            int64_t* failureCode) {
  // Only text has a length limit; other values need no settings.
  const APMValue* typed = value.asValue();
  if (typed && !typed->isString()) return pass(failureCode);
  return isValidValue(value, 0, APMParameterLimits::current()->maxPublicEventParameterValueLength(),
                      kKindEventParameterValue, failureCode);
}

bool APMDataTypeValidator::isValidInternalEventParameterValue(const APMObject& value,
                                                              int64_t* failureCode) {
  const APMValue* typed = value.asValue();
  if (typed && !typed->isString()) return pass(failureCode);
  return isValidValue(value, 0,
                      APMParameterLimits::current()->maxInternalEventParameterValueLength(),
                      kKindEventParameterValue, failureCode);
}

bool APMDataTypeValidator::isValidArrayParamForEvent(std::optional<std::string_view> eventName,
                                                     std::string_view paramName, int64_t arrayCount,
                                                     bool isNestedArrayParam,
                                                     int64_t* failureCode) {
  if (isNestedArrayParam) {
    log(0, 13013, "Nested array parameters are not allowed. Name",
        APMLogContext(std::string(paramName)));
    return fail(failureCode, kFailureNestedArray);
  }
  if (!eventName || !APMIsEcommerceEventName(*eventName)) {
    log(0, 13013,
        "Only ecommerce events are allowed to contain array parameters. Invalid ecommerce name",
        eventName ? APMLogContext(std::string(*eventName)) : APMLogContext());
    return fail(failureCode, kFailureArrayOnNonEcommerceEvent);
  }
  if (paramName != "items") {
    log(0, 13013,
        label(kKindEventParameterName) +
            " is an invalid ecommerce items. The name of array parameters for ecommerce should "
            "be \"items\". Invalid parameter name",
        APMLogContext(std::string(paramName)));
    return fail(failureCode, kFailureArrayNotNamedItems);
  }
  if (arrayCount > kMaxArrayItems) {
    log(0, 13013,
        "Array parameter has too many items. The maximum number of supported items is " +
            std::to_string(kMaxArrayItems) + ". Invalid array size",
        APMLogContext(static_cast<long long>(arrayCount)));
    return fail(failureCode, kFailureTooManyArrayItems);
  }
  return pass(failureCode);
}

bool APMDataTypeValidator::isValidArrayParamItem(const APMObject& item, int64_t* failureCode) {
  if (!item.isMap()) {
    log(0, 13014, "Array param must be a dictionary. Parameters", contextOf(item));
    return fail(failureCode, kFailureArrayItemNotMap);
  }
  return pass(failureCode);
}

bool APMDataTypeValidator::isValidScreenParameterValue(const APMObject& value,
                                                       int64_t* failureCode) {
  return isValidString(value, 1,
                       APMParameterLimits::current()->maxPublicEventParameterValueLength(),
                       kKindScreenParameterValue, failureCode);
}

bool APMDataTypeValidator::isValidNumericValue(const APMObject& value, int64_t* failureCode) {
  const APMValue* typed = value.asValue();
  if (typed && (typed->isInt64() || typed->isDouble())) return pass(failureCode);
  log(3, 13011, label(kKindEventParameterValue) + " must be specified with a numeric type. value",
      APMLogContext(value.description()));
  return fail(failureCode, kFailureNotNumeric);
}

bool APMDataTypeValidator::isValidCurrencyCode(const APMObject& value, int64_t* failureCode) {
  const APMValue* typed = value.asValue();
  const std::string* text = typed ? typed->stringValue() : nullptr;
  if (text && text->size() <= 12 && platform::Text::utf16Length(*text) == 3 &&
      allCodePoints(*text, asciiTables().letters, isLetter)) {
    return pass(failureCode);
  }
  log(3, 13012,
      label(kKindEventParameterValue) + " must contain a 3-letter ISO_4217 currency code. value",
      contextOf(value));
  return fail(failureCode, kFailureNotCurrencyCode);
}

bool APMDataTypeValidator::isValidPublicUserAttributeName(const APMObject& name,
                                                          int64_t* failureCode) {
  if (!isValidPublicName(name, 24, kKindUserPropertyName, failureCode)) return false;
  const std::string& text = *nameText(name);
  if (APMUserPropertyPublicToInternalNames().contains(text)) {
    log(0, 13009, "User property name is reserved. Ignoring user property", APMLogContext(text));
    return fail(failureCode, kFailureReserved);
  }
  if (hasReservedPrefixes(text)) {
    log(0, 13010, "User property name uses reserved prefix. Ignoring user property",
        APMLogContext(text));
    return fail(failureCode, kFailureReserved);
  }
  return pass(failureCode);
}

bool APMDataTypeValidator::isValidPublicUserAttributeValue(const APMObject& value,
                                                           int64_t* failureCode) {
  return isValidValue(value, 1, 36, kKindUserPropertyValue, failureCode);
}

bool APMDataTypeValidator::isValidInternalUserAttributeName(const APMObject& name,
                                                            int64_t* failureCode) {
  return isValidInternalName(name, 24, kKindUserPropertyName, failureCode);
}

bool APMDataTypeValidator::isValidInternalUserAttributeValue(const APMObject& value,
                                                             std::string_view name,
                                                             int64_t* failureCode) {
  int64_t maxLength = 36;
  if (name == "_id" || name == "_obraid") maxLength = 256;
  if (name == "_psmvalue" || name == "_psmvalue_oads") maxLength = 512;
  return isValidValue(value, 1, maxLength, kKindUserPropertyValue, failureCode);
}

bool APMDataTypeValidator::isValidConditionalUserPropertyOrigin(const APMObject& origin,
                                                                int64_t* failureCode) {
  return isValidInternalName(origin, 32, kKindConditionalUserPropertyOrigin, failureCode);
}

bool APMDataTypeValidator::isValidConditionalUserPropertyName(const APMObject& name,
                                                              int64_t* failureCode) {
  return isValidInternalName(name, 24, kKindConditionalUserPropertyName, failureCode);
}

bool APMDataTypeValidator::isValidConditionalUserPropertyValue(const APMObject& value,
                                                               int64_t* failureCode) {
  return isValidValue(value, 1, 36, kKindConditionalUserPropertyValue, failureCode);
}
