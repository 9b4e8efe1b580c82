#include "platform/foundation/Value.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace platform {

std::optional<double> Value::numberAsDouble() const {
  if (auto b = asBool()) return *b ? 1.0 : 0.0;
  if (auto i = asInteger()) return static_cast<double>(*i);
  if (auto d = asReal()) return *d;
  return std::nullopt;
}

std::optional<int64_t> Value::numberAsInteger() const {
  if (auto b = asBool()) return *b ? 1 : 0;
  if (auto i = asInteger()) return *i;
  if (auto d = asReal()) {
    if (std::isnan(*d)) return 0;
    // 2^63 is exactly representable; anything at or past it saturates.
    if (*d >= 9223372036854775808.0) return std::numeric_limits<int64_t>::max();
    if (*d <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(*d);
  }
  return std::nullopt;
}

std::optional<int64_t> wholeInteger(double real) {
  // 2^63 is exactly representable; every double below it in magnitude converts safely.
  constexpr double kLimit = 9223372036854775808.0;
  if (!(real >= -kLimit && real < kLimit) || std::trunc(real) != real) return std::nullopt;
  return static_cast<int64_t>(real);
}

std::optional<bool> Value::numberAsBool() const {
  if (auto b = asBool()) return *b;
  if (auto i = asInteger()) return *i != 0;
  if (auto d = asReal()) return *d != 0.0;
  return std::nullopt;
}

const Value* Value::find(std::string_view key) const {
  const Dictionary* dict = asDictionary();
  if (dict == nullptr) return nullptr;
  auto it = dict->find(key);
  return it == dict->end() ? nullptr : &it->second;
}

Value& Value::operator[](std::string_view key) {
  if (isNull()) storage_ = Dictionary{};
  Dictionary* dict = asDictionary();
  if (dict == nullptr) std::abort();  // indexing a non-dictionary by key
  auto it = dict->find(key);
  if (it == dict->end()) it = dict->emplace(std::string(key), Value()).first;
  return it->second;
}

void Value::push_back(Value v) {
  if (isNull()) storage_ = Array{};
  Array* array = asArray();
  if (array == nullptr) std::abort();  // appending to a non-array
  array->push_back(std::move(v));
}

std::string Value::description() const {
  switch (type()) {
    case Type::Null:
      return "<null>";
    case Type::Bool:
      return *asBool() ? "1" : "0";
    case Type::Integer:
      return std::to_string(*asInteger());
    case Type::Real: {
      // The shortest text that reads back as the same double, as a number's description
      // prints it on the phone: 0.1 is "0.1", 3.0 is "3".
      double d = *asReal();
      if (std::isnan(d)) return "nan";
      if (std::isinf(d)) return d > 0 ? "inf" : "-inf";
      char buffer[32];
      auto result = std::to_chars(buffer, buffer + sizeof buffer, d);
      return std::string(buffer, result.ptr);
    }
    case Type::String:
      return *asString();
    case Type::Bytes:
      return "<" + std::to_string(asBytes()->data.size()) + " bytes>";
    case Type::Date: {
      char buffer[48];
      std::snprintf(buffer, sizeof buffer, "<date %.3f>", asDate()->secondsSince1970);
      return buffer;
    }
    case Type::Array: {
      std::string out = "(";
      bool first = true;
      for (const auto& v : *asArray()) {
        out += first ? "" : ", ";
        out += v.description();
        first = false;
      }
      return out + ")";
    }
    case Type::Dictionary: {
      std::string out = "{";
      bool first = true;
      for (const auto& [k, v] : *asDictionary()) {
        out += first ? "" : "; ";
        out += k + " = " + v.description();
        first = false;
      }
      return out + "}";
    }
    case Type::Object:
      return "<object>";
  }
  return {};
}

}  // namespace platform
