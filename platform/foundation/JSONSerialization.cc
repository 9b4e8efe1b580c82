#include "platform/foundation/JSONSerialization.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

#include "absl/status/status.h"
#include "platform/foundation/JSONBounds.h"

namespace platform {

namespace {

using Json = nlohmann::json;

Value fromJson(const Json& json) {
  switch (json.type()) {
    case Json::value_t::null:
    case Json::value_t::discarded:
      return Value();
    case Json::value_t::boolean:
      return Value(json.get<bool>());
    case Json::value_t::number_integer:
      return Value(static_cast<long long>(json.get<int64_t>()));
    case Json::value_t::number_unsigned: {
      uint64_t u = json.get<uint64_t>();
      if (u > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
        return Value(static_cast<double>(u));
      }
      return Value(static_cast<long long>(u));
    }
    case Json::value_t::number_float:
      return Value(json.get<double>());
    case Json::value_t::string:
      return Value(json.get_ref<const std::string&>());
    case Json::value_t::array: {
      Value::Array array;
      array.reserve(json.size());
      for (const auto& element : json) array.push_back(fromJson(element));
      return Value(std::move(array));
    }
    case Json::value_t::object: {
      Value::Dictionary dict;
      for (const auto& [key, element] : json.items()) dict.emplace(key, fromJson(element));
      return Value(std::move(dict));
    }
    case Json::value_t::binary:
      break;
  }
  return Value();
}

// Converts to nlohmann's tree; on a value JSON cannot hold, sets `error` and stops.
bool toJson(const Value& value, int depth, Json& out, std::string& error) {
  if (depth > JSONSerialization::kMaxDepth) {
    error = "JSON nesting deeper than " + std::to_string(JSONSerialization::kMaxDepth);
    return false;
  }
  switch (value.type()) {
    case Value::Type::Null:
      out = nullptr;
      return true;
    case Value::Type::Bool:
      out = *value.asBool();
      return true;
    case Value::Type::Integer:
      out = *value.asInteger();
      return true;
    case Value::Type::Real:
      if (!std::isfinite(*value.asReal())) {
        error = "Invalid number value (NaN or infinity) in JSON write";
        return false;
      }
      out = *value.asReal();
      return true;
    case Value::Type::String:
      out = *value.asString();
      return true;
    case Value::Type::Bytes:
      error = "Invalid type in JSON write (data)";
      return false;
    case Value::Type::Date:
      error = "Invalid type in JSON write (date)";
      return false;
    case Value::Type::Object:
      error = "Invalid type in JSON write (object)";
      return false;
    case Value::Type::Array: {
      out = Json::array();
      for (const auto& element : *value.asArray()) {
        Json item;
        if (!toJson(element, depth + 1, item, error)) return false;
        out.push_back(std::move(item));
      }
      return true;
    }
    case Value::Type::Dictionary: {
      out = Json::object();
      for (const auto& [key, element] : *value.asDictionary()) {
        Json item;
        if (!toJson(element, depth + 1, item, error)) return false;
        out[key] = std::move(item);
      }
      return true;
    }
  }
  error = "Invalid type in JSON write";
  return false;
}

}  // namespace

absl::StatusOr<Value> JSONSerialization::JSONObjectWithData(std::string_view data,
                                                            ReadingOptions options) {
  // Measured before parsing, so that neither the parser nor the conversion below recurses
  // without bound on hostile input.
  if (exceedsJSONBounds(data, {kMaxDepth, std::numeric_limits<size_t>::max()})) {
    return absl::InvalidArgumentError("JSON nesting deeper than " + std::to_string(kMaxDepth));
  }
  Json json;
  try {
    json = Json::parse(data.begin(), data.end());
  } catch (const Json::exception& e) {
    return absl::InvalidArgumentError(std::string("Invalid JSON: ") + e.what());
  }
  if (!options.fragmentsAllowed && !json.is_array() && !json.is_object()) {
    return absl::InvalidArgumentError("JSON text did not start with array or object");
  }
  return fromJson(json);
}

absl::StatusOr<std::string> JSONSerialization::dataWithJSONObject(const Value& object,
                                                                  WritingOptions options) {
  if (!options.fragmentsAllowed && !object.isArray() && !object.isDictionary()) {
    return absl::InvalidArgumentError("Invalid top-level type in JSON write");
  }
  Json json;
  std::string error;
  if (!toJson(object, 1, json, error)) return absl::InvalidArgumentError(error);
  try {
    return json.dump(options.prettyPrinted ? 2 : -1);
  } catch (const Json::exception& e) {
    // Strings that are not valid UTF-8 are refused here.
    return absl::InvalidArgumentError(std::string("Invalid string in JSON write: ") + e.what());
  }
}

bool JSONSerialization::isValidJSONObject(const Value& object, bool fragmentsAllowed) {
  return dataWithJSONObject(object, {.prettyPrinted = false, .fragmentsAllowed = fragmentsAllowed})
      .ok();
}

}  // namespace platform
