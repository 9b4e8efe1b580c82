#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "platform/foundation/Value.h"

class APMObject;

// The typed value of every event parameter and user property: a double (type 0), a 64-bit
// signed integer (1), a string (2) or an array (3). Immutable; copies share the held string
// or array, so a value may be handed between queues and copied freely.
//
// Equality is by exact type and value: integer 1 differs from double 1.0. A NaN double equals
// a NaN double, so that every value equals its own copy. Typed reads never convert between
// types (doubleValue of an integer value is 0.0).
//
// The elements of an array value are loose objects (APMObject) as the caller gave them; the
// parameter sanitiser puts maps of typed item parameters there.
class APMValue {
 public:
  static constexpr int64_t kTypeDouble = 0;
  static constexpr int64_t kTypeInt64 = 1;
  static constexpr int64_t kTypeString = 2;
  static constexpr int64_t kTypeArray = 3;

  using Array = std::vector<APMObject>;
  // What a value holds; the designated constructor pairs it with a type without checks.
  using Held = std::variant<double, int64_t, std::shared_ptr<const std::string>,
                            std::shared_ptr<const Array>>;

  // valueFromObject:allowArray:. An APMValue is returned as it is; a string (valid UTF-8)
  // becomes a string value; a number becomes a double when it is stored as a floating-point
  // number and a 64-bit integer otherwise (a boolean becomes 0 or 1); an array becomes an
  // array value only when arrays are allowed. Anything else logs 35001, nil logs 35000; both
  // give nothing.
  static std::optional<APMValue> valueFromObject(const APMObject& object, bool allowArray = false);

  // initWithDouble:, initWithInt64:.
  explicit APMValue(double value);
  explicit APMValue(int64_t value);
  // An int literal (or a boolean) is an integer value, never a double.
  explicit APMValue(int value) : APMValue(static_cast<int64_t>(value)) {}
  // A string value of text made by this library. Ill-formed UTF-8 is replaced by U+FFFD, so
  // the value always holds text.
  explicit APMValue(std::string value);
  explicit APMValue(const char* value) : APMValue(std::string(value)) {}
  // A string value of text already known to be valid UTF-8 (not checked again).
  struct ValidText {
    std::string text;
  };
  explicit APMValue(ValidText value);
  // An array value of the elements as given.
  explicit APMValue(Array elements);
  // initWithValueType:value:, the designated constructor: stores the pair as given.
  APMValue(int64_t valueType, Held held);

  // initWithString: and initWithArray: of a loose object: nothing (logging 35002 / 35004)
  // for nil, nothing (logging 35003 / 35005) for an object of another kind. A text that is
  // not valid UTF-8 is not a string.
  static std::optional<APMValue> createWithString(const APMObject& object);
  static std::optional<APMValue> createWithArray(const APMObject& object);

  int64_t valueType() const { return valueType_; }
  bool isDouble() const { return valueType_ == kTypeDouble; }
  bool isInt64() const { return valueType_ == kTypeInt64; }
  bool isString() const { return valueType_ == kTypeString; }
  bool isArray() const { return valueType_ == kTypeArray; }

  // Typed reads: 0.0 / 0 / nullptr unless the value is of that type. The pointers live as
  // long as any copy of this value.
  double doubleValue() const;
  int64_t int64Value() const;
  const std::string* stringValue() const;
  const Array* arrayValue() const;
  const Held& held() const { return held_; }

  // The held object's description ("1.5", "42", the text, "(\n    ...\n)" for arrays).
  std::string description() const;

  bool operator==(const APMValue& other) const;
  // The held object's hash XOR (valueType × 31).
  size_t hash() const;

 private:
  int64_t valueType_;
  Held held_;
};

// A map of typed values: what an event keeps as its parameters, and each sanitised item of an
// array value.
using APMValueMap = std::map<std::string, APMValue, std::less<>>;

// A loose object as an app or another library hands it in where a parameter is expected:
// nil, a plain platform value (string, number, boolean, array, dictionary, bytes, date,
// null), an already typed APMValue, a map of loose objects (item maps made by code) or a map
// of typed values (the sanitised items of an array value). A value type.
class APMObject {
 public:
  using Map = std::map<std::string, APMObject, std::less<>>;

  APMObject() = default;  // nil
  APMObject(platform::Value plain) : storage_(std::move(plain)) { checkText(); }
  APMObject(APMValue value) : storage_(std::move(value)) {}
  APMObject(Map map) : storage_(std::move(map)) {}
  APMObject(APMValueMap map) : storage_(std::move(map)) {}
  template <typename T>
  requires(std::is_constructible_v<platform::Value, T&&> &&
           !std::is_same_v<std::remove_cvref_t<T>, platform::Value>) APMObject(T&& plain)
      : storage_(platform::Value(std::forward<T>(plain))) {
    checkText();
  }

  // A map of loose objects from a plain dictionary (an app's parameters).
  static Map mapFromDictionary(const platform::Value::Dictionary& dictionary);

  bool isNil() const { return std::holds_alternative<std::monostate>(storage_); }
  const platform::Value* asPlain() const { return std::get_if<platform::Value>(&storage_); }
  const APMValue* asValue() const { return std::get_if<APMValue>(&storage_); }
  const Map* asMap() const { return std::get_if<Map>(&storage_); }
  const APMValueMap* asValueMap() const { return std::get_if<APMValueMap>(&storage_); }

  // The text when this is a plain string of valid UTF-8, else nullptr.
  const std::string* asText() const { return validText_ ? asPlain()->asString() : nullptr; }
  // A plain array, else nullptr.
  const platform::Value::Array* asPlainArray() const;
  // Whether this is a map: a Map, a map of typed values or a plain dictionary.
  bool isMap() const;

  // The platform class name the original would print for the object ("NSString",
  // "NSNumber", "NSArray", "NSDictionary", "NSData", "NSDate", "NSNull", "APMValue");
  // "(nil)" for nil. Text that is not valid UTF-8 reads as data.
  std::string className() const;
  std::string description() const;

  bool operator==(const APMObject& other) const;

 private:
  // Validates a plain string once, so that every later reading of the text is free.
  void checkText();

  std::variant<std::monostate, platform::Value, APMValue, Map, APMValueMap> storage_;
  bool validText_ = false;
};

using APMObjectMap = APMObject::Map;

template <>
struct std::hash<APMValue> {
  size_t operator()(const APMValue& value) const { return value.hash(); }
};
