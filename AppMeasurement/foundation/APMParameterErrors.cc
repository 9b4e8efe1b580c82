#include "AppMeasurement/foundation/APMParameterErrors.h"

#include "AppMeasurement/foundation/APMErrorEventSink.h"
#include "platform/foundation/Text.h"

namespace {

bool hasKey(const APMValueMap& parameters, std::string_view key) {
  return parameters.find(key) != parameters.end();
}

// Code points of a string, elements of an array, 0 for anything else.
int64_t lengthOf(const APMObject& value) {
  if (const APMValue* typed = value.asValue()) {
    if (const std::string* text = typed->stringValue()) {
      return static_cast<int64_t>(platform::Text::utf32Length(*text));
    }
    if (const APMValue::Array* array = typed->arrayValue()) {
      return static_cast<int64_t>(array->size());
    }
    return 0;
  }
  if (const std::string* text = value.asText()) {
    return static_cast<int64_t>(platform::Text::utf32Length(*text));
  }
  if (const platform::Value::Array* array = value.asPlainArray()) {
    return static_cast<int64_t>(array->size());
  }
  return 0;
}

}  // namespace

std::string APMTrimmedErrorValue(std::string_view text, int64_t maximum) {
  size_t limit = maximum < 0 ? 0 : static_cast<size_t>(maximum);
  // Byte length bounds the code points, so short texts skip the count.
  if (text.size() <= limit || platform::Text::utf32Length(text) <= limit) return std::string(text);
  return platform::Text::prefixCodePoints(text, limit) + "...";
}

void APMSetErrorCodeParameter(APMValueMap& parameters, int64_t code) {
  parameters.emplace(kAPMErrorCodeParameter, APMValue(code));
}

void APMSetErrorValueParameters(APMValueMap& parameters, const APMObject& name, int64_t maximum,
                                const APMObject* value) {
  if (hasKey(parameters, kAPMErrorValueParameter) || hasKey(parameters, kAPMErrorLengthParameter)) {
    return;
  }
  const std::string* text = name.asText();
  if (const APMValue* typed = name.asValue(); typed && typed->stringValue()) {
    text = typed->stringValue();
  }
  std::string nameText = text ? *text : name.className();
  parameters.emplace(kAPMErrorValueParameter, APMValue(APMTrimmedErrorValue(nameText, maximum)));
  if (value) parameters.emplace(kAPMErrorLengthParameter, APMValue(lengthOf(*value)));
}

void APMSetErrorParameters(APMValueMap& parameters, int64_t code, const APMObject& name,
                           int64_t maximum, const APMObject* value) {
  if (hasKey(parameters, kAPMErrorValueParameter) || hasKey(parameters, kAPMErrorLengthParameter) ||
      hasKey(parameters, kAPMErrorCodeParameter)) {
    return;
  }
  APMSetErrorCodeParameter(parameters, code);
  APMSetErrorValueParameters(parameters, name, maximum, value);
}

void APMSetArrayParameterError(APMValueMap& parameters, int64_t failureCode,
                               std::string_view parameterName,
                               const std::optional<std::string>& eventName) {
  switch (failureCode) {
    case 10:
      APMSetErrorParameters(parameters, 21, eventName ? APMObject(*eventName) : APMObject(), 40,
                            nullptr);
      return;
    case 11:
      APMSetErrorParameters(parameters, 20, APMObject(parameterName), 40, nullptr);
      return;
    case 12:
      APMSetErrorParameters(parameters, 17, APMObject(parameterName), 40, nullptr);
      return;
    case 13:
      APMSetErrorParameters(parameters, 22, APMObject(parameterName), 40, nullptr);
      return;
    default:
      return;
  }
}

void APMLogErrorEvent(int64_t code) {
  if (code == 0) return;
  APMValueMap parameters;
  parameters.emplace(kAPMErrorCodeParameter, APMValue(code));
  APMErrorEventSink::current()->logInternalEvent("auto", "_err", parameters);
}

void APMLogErrorEventWithValue(int64_t code, const APMObject& name, int64_t maximum,
                               const APMObject* value) {
  if (code == 0) return;
  APMValueMap parameters;
  parameters.emplace(kAPMErrorCodeParameter, APMValue(code));
  bool passValue = value && (code == 4 || code == 7 || lengthOf(*value) > maximum);
  APMSetErrorValueParameters(parameters, name, maximum, passValue ? value : nullptr);
  APMErrorEventSink::current()->logInternalEvent("auto", "_err", parameters);
}
