#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/runtime/RuntimeObject.h"

namespace platform {

// The one dynamic value of the program: what the phone's property-list objects are
// (null, number, string, data, date, array, dictionary), and, as a collection on the phone may
// hold any object, a reference to an object of a class of the runtime (an options entry, a
// value a caller could not bridge). Booleans, integers and reals stay distinct kinds, because
// equality and conversions depend on the kind.
// A value type: copies are deep and independent, except that an object is shared by reference
// (equal when it is the same object). An object has no JSON or property-list form.
// Not synchronised.
class Value {
 public:
  enum class Type { Null, Bool, Integer, Real, String, Bytes, Date, Array, Dictionary, Object };

  using Array = std::vector<Value>;
  using Dictionary = std::map<std::string, Value, std::less<>>;
  using Object = std::shared_ptr<RuntimeObject>;

  // Raw bytes (NSData): kept apart from text.
  struct Bytes {
    std::string data;
    bool operator==(const Bytes&) const = default;
  };
  // A moment, in seconds since 1970-01-01T00:00:00Z.
  struct Date {
    double secondsSince1970 = 0;
    bool operator==(const Date&) const = default;
  };

  Value() = default;  // null
  Value(std::nullptr_t) {}
  Value(bool b) : storage_(b) {}
  Value(int i) : storage_(static_cast<int64_t>(i)) {}
  Value(long i) : storage_(static_cast<int64_t>(i)) {}
  Value(long long i) : storage_(static_cast<int64_t>(i)) {}
  Value(unsigned i) : storage_(static_cast<int64_t>(i)) {}
  Value(double d) : storage_(d) {}
  Value(const char* s) : storage_(std::string(s)) {}
  Value(std::string s) : storage_(std::move(s)) {}
  Value(std::string_view s) : storage_(std::string(s)) {}
  Value(Bytes b) : storage_(std::move(b)) {}
  Value(Date d) : storage_(d) {}
  Value(Array a) : storage_(std::move(a)) {}
  Value(Dictionary d) : storage_(std::move(d)) {}
  // A null object makes the null value.
  explicit Value(Object o) {
    if (o) storage_ = std::move(o);
  }

  static Value bytes(std::string data) { return Value(Bytes{std::move(data)}); }
  static Value date(double secondsSince1970) { return Value(Date{secondsSince1970}); }

  Type type() const { return static_cast<Type>(storage_.index()); }
  bool isNull() const { return type() == Type::Null; }
  bool isBool() const { return type() == Type::Bool; }
  bool isInteger() const { return type() == Type::Integer; }
  bool isReal() const { return type() == Type::Real; }
  // Integer, real or bool: what the phone calls a number.
  bool isNumber() const { return isBool() || isInteger() || isReal(); }
  bool isString() const { return type() == Type::String; }
  bool isBytes() const { return type() == Type::Bytes; }
  bool isDate() const { return type() == Type::Date; }
  bool isArray() const { return type() == Type::Array; }
  bool isDictionary() const { return type() == Type::Dictionary; }
  bool isObject() const { return type() == Type::Object; }

  // Typed access: the value when it is of that kind, else nullptr. The pointer is
  // owned by this value and lives as long as it is not changed.
  const bool* asBool() const { return std::get_if<bool>(&storage_); }
  const int64_t* asInteger() const { return std::get_if<int64_t>(&storage_); }
  const double* asReal() const { return std::get_if<double>(&storage_); }
  const std::string* asString() const { return std::get_if<std::string>(&storage_); }
  const Bytes* asBytes() const { return std::get_if<Bytes>(&storage_); }
  const Date* asDate() const { return std::get_if<Date>(&storage_); }
  const Array* asArray() const { return std::get_if<Array>(&storage_); }
  Array* asArray() { return std::get_if<Array>(&storage_); }
  const Dictionary* asDictionary() const { return std::get_if<Dictionary>(&storage_); }
  Dictionary* asDictionary() { return std::get_if<Dictionary>(&storage_); }
  // The object, never null, when this is an object, else nullptr.
  const Object* asObject() const { return std::get_if<Object>(&storage_); }

  // Numeric reading of a bool, integer or real (NSNumber's doubleValue / longLongValue);
  // empty for every other kind. The integer reading of a real saturates at the int64
  // limits and gives 0 for NaN, never undefined behaviour.
  std::optional<double> numberAsDouble() const;
  std::optional<int64_t> numberAsInteger() const;
  std::optional<bool> numberAsBool() const;

  // Dictionary lookup: the entry for key, or nullptr when this is no dictionary or
  // has no such key.
  const Value* find(std::string_view key) const;

  // Dictionary and array building. operator[] turns a null value into an empty
  // dictionary first; on any other non-dictionary it is a programming error.
  Value& operator[](std::string_view key);
  void push_back(Value v);

  // Deep equality; kinds must match (1 != 1.0 != true), as isEqual: on the phone does
  // not promise across kinds and the callers here rely on the kinds being distinct.
  bool operator==(const Value& other) const = default;

  // A short human-readable description, for log lines and tests.
  std::string description() const;

 private:
  std::variant<std::monostate, bool, int64_t, double, std::string, Bytes, Date, Array, Dictionary,
               Object>
      storage_;
};

// The real as an int64 when it is a whole number that the type holds ([-2^63, 2^63)); nothing
// for NaN, infinities, fractions and anything beyond.
std::optional<int64_t> wholeInteger(double real);

}  // namespace platform
