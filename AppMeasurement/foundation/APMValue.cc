#include "AppMeasurement/foundation/APMValue.h"

#include <charconv>
#include <cmath>
#include <functional>

#include "AppMeasurement/foundation/APMMonitor.h"
#include "platform/foundation/Text.h"

namespace {

void logValueError(int64_t code, std::string_view message) {
  APMMonitor::monitor()->logWithLevel(0, code, message);
}

void logValueError(int64_t code, std::string_view message, const APMObject& object) {
  APMMonitor::monitor()->logWithLevel(
      0, code, message, APMLogContext::object(object.className(), object.description()));
}

// NSNumber's description: integral doubles print without a fraction, others as the
// shortest text that reads back to the same double.
std::string describeDouble(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

template <typename Map>
std::string describeMap(const Map& map) {
  std::string out = "{";
  for (const auto& [key, element] : map) {
    out += "\n    " + key + " = " + element.description() + ";";
  }
  return out + "\n}";
}

bool sameDouble(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }

}  // namespace

// --- APMValue. ---

APMValue::APMValue(double value) : valueType_(kTypeDouble), held_(value) {}

APMValue::APMValue(int64_t value) : valueType_(kTypeInt64), held_(value) {}

APMValue::APMValue(std::string value)
    : valueType_(kTypeString),
      held_(std::make_shared<const std::string>(platform::Text::isValidUTF8(value)
                                                    ? std::move(value)
                                                    : platform::Text::sanitizedUTF8(value))) {}

APMValue::APMValue(ValidText value)
    : valueType_(kTypeString), held_(std::make_shared<const std::string>(std::move(value.text))) {}

APMValue::APMValue(Array elements)
    : valueType_(kTypeArray), held_(std::make_shared<const Array>(std::move(elements))) {}

APMValue::APMValue(int64_t valueType, Held held) : valueType_(valueType), held_(std::move(held)) {}

std::optional<APMValue> APMValue::valueFromObject(const APMObject& object, bool allowArray) {
  if (const APMValue* value = object.asValue()) return *value;
  if (object.isNil()) {
    logValueError(35000, "Cannot create Value type with nil value");
    return std::nullopt;
  }
  if (const platform::Value* plain = object.asPlain()) {
    if (const std::string* text = object.asText()) return APMValue(ValidText{*text});
    if (const double* real = plain->asReal()) return APMValue(*real);
    if (const int64_t* integer = plain->asInteger()) return APMValue(*integer);
    if (const bool* flag = plain->asBool()) return APMValue(static_cast<int64_t>(*flag ? 1 : 0));
    if (allowArray && plain->isArray()) {
      Array elements;
      elements.reserve(plain->asArray()->size());
      for (const platform::Value& element : *plain->asArray()) elements.emplace_back(element);
      return APMValue(std::move(elements));
    }
  }
  logValueError(35001,
                "Cannot create Value type with unsupported value. The Value has to be NSNumber, "
                "NSString or NSArray (if supported). Value",
                object);
  return std::nullopt;
}

std::optional<APMValue> APMValue::createWithString(const APMObject& object) {
  if (object.isNil()) {
    logValueError(35002, "Cannot create String value with nil");
    return std::nullopt;
  }
  const std::string* text = object.asText();
  if (text == nullptr) {
    logValueError(35003, "Cannot create String value with non-string value. Value", object);
    return std::nullopt;
  }
  return APMValue(ValidText{*text});
}

std::optional<APMValue> APMValue::createWithArray(const APMObject& object) {
  if (object.isNil()) {
    logValueError(35004, "Cannot create Array value with nil");
    return std::nullopt;
  }
  const platform::Value::Array* plain = object.asPlainArray();
  if (plain == nullptr) {
    logValueError(35005, "Cannot create Array value with non-array value. Value", object);
    return std::nullopt;
  }
  Array elements(plain->begin(), plain->end());
  return APMValue(std::move(elements));
}

double APMValue::doubleValue() const {
  const double* value = std::get_if<double>(&held_);
  return isDouble() && value ? *value : 0.0;
}

int64_t APMValue::int64Value() const {
  const int64_t* value = std::get_if<int64_t>(&held_);
  return isInt64() && value ? *value : 0;
}

const std::string* APMValue::stringValue() const {
  const auto* value = std::get_if<std::shared_ptr<const std::string>>(&held_);
  return isString() && value ? value->get() : nullptr;
}

const APMValue::Array* APMValue::arrayValue() const {
  const auto* value = std::get_if<std::shared_ptr<const Array>>(&held_);
  return isArray() && value ? value->get() : nullptr;
}

std::string APMValue::description() const {
  if (const double* value = std::get_if<double>(&held_)) return describeDouble(*value);
  if (const int64_t* value = std::get_if<int64_t>(&held_)) return std::to_string(*value);
  if (const auto* text = std::get_if<std::shared_ptr<const std::string>>(&held_)) {
    return *text ? **text : std::string();
  }
  const auto& array = std::get<std::shared_ptr<const Array>>(held_);
  std::string out = "(";
  bool first = true;
  if (array) {
    for (const APMObject& element : *array) {
      out += first ? "\n    " : ",\n    ";
      out += element.description();
      first = false;
    }
  }
  out += "\n)";
  return out;
}

bool APMValue::operator==(const APMValue& other) const {
  if (valueType_ != other.valueType_ || held_.index() != other.held_.index()) return false;
  if (const double* value = std::get_if<double>(&held_)) {
    return sameDouble(*value, std::get<double>(other.held_));
  }
  if (const int64_t* value = std::get_if<int64_t>(&held_)) {
    return *value == std::get<int64_t>(other.held_);
  }
  if (const auto* text = std::get_if<std::shared_ptr<const std::string>>(&held_)) {
    const auto& otherText = std::get<std::shared_ptr<const std::string>>(other.held_);
    if (*text == otherText) return true;
    return *text && otherText && **text == *otherText;
  }
  const auto& array = std::get<std::shared_ptr<const Array>>(held_);
  const auto& otherArray = std::get<std::shared_ptr<const Array>>(other.held_);
  if (array == otherArray) return true;
  return array && otherArray && *array == *otherArray;
}

size_t APMValue::hash() const {
  size_t heldHash = 0;
  if (const double* value = std::get_if<double>(&held_)) {
    // All NaNs are equal, so they hash alike; 0.0 and -0.0 are equal too.
    heldHash = std::isnan(*value) ? 0x7ff8 : std::hash<double>()(*value == 0 ? 0.0 : *value);
  } else if (const int64_t* value = std::get_if<int64_t>(&held_)) {
    heldHash = std::hash<int64_t>()(*value);
  } else if (const auto* text = std::get_if<std::shared_ptr<const std::string>>(&held_)) {
    heldHash = *text ? std::hash<std::string>()(**text) : 0;
  } else {
    const auto& array = std::get<std::shared_ptr<const Array>>(held_);
    heldHash = array ? array->size() : 0;
  }
  return heldHash ^ static_cast<size_t>(valueType_ * 31);
}

// --- APMObject. ---

APMObject::Map APMObject::mapFromDictionary(const platform::Value::Dictionary& dictionary) {
  Map map;
  for (const auto& [key, value] : dictionary) map.emplace_hint(map.end(), key, value);
  return map;
}

void APMObject::checkText() {
  const platform::Value* plain = asPlain();
  const std::string* text = plain ? plain->asString() : nullptr;
  validText_ = text && platform::Text::isValidUTF8(*text);
}

const platform::Value::Array* APMObject::asPlainArray() const {
  const platform::Value* plain = asPlain();
  return plain ? plain->asArray() : nullptr;
}

bool APMObject::isMap() const {
  if (asMap() || asValueMap()) return true;
  const platform::Value* plain = asPlain();
  return plain && plain->isDictionary();
}

std::string APMObject::className() const {
  if (isNil()) return "(nil)";
  if (asValue()) return "APMValue";
  if (asMap() || asValueMap()) return "NSDictionary";
  const platform::Value& plain = *asPlain();
  switch (plain.type()) {
    case platform::Value::Type::Null:
      return "NSNull";
    case platform::Value::Type::Bool:
    case platform::Value::Type::Integer:
    case platform::Value::Type::Real:
      return "NSNumber";
    case platform::Value::Type::String:
      return asText() ? "NSString" : "NSData";
    case platform::Value::Type::Bytes:
      return "NSData";
    case platform::Value::Type::Date:
      return "NSDate";
    case platform::Value::Type::Array:
      return "NSArray";
    case platform::Value::Type::Dictionary:
      return "NSDictionary";
    case platform::Value::Type::Object:
      return "NSObject";
  }
  return "NSObject";
}

std::string APMObject::description() const {
  if (isNil()) return "(null)";
  if (const APMValue* value = asValue()) return value->description();
  if (const Map* map = asMap()) return describeMap(*map);
  if (const APMValueMap* map = asValueMap()) return describeMap(*map);
  const platform::Value& plain = *asPlain();
  if (plain.isString() && !asText())
    return "<" + std::to_string(plain.asString()->size()) + " bytes>";
  if (const std::string* text = plain.asString()) return *text;
  return plain.description();
}

bool APMObject::operator==(const APMObject& other) const { return storage_ == other.storage_; }
