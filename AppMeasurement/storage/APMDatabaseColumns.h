#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "AppMeasurement/foundation/APMValue.h"
#include "AppMeasurement/storage/APMSqliteStore.h"

// Typed reads of one column of a record, shared by the record operations of APMDatabase.
namespace apm_database_columns {

// A stored number narrowed to 32 bits saturates rather than wraps; anything else reads as 0.
inline int32_t saturatedInt32(const platform::Value& value) {
  int64_t number = value.numberAsInteger().value_or(0);
  number = std::clamp<int64_t>(number, std::numeric_limits<int32_t>::min(),
                               std::numeric_limits<int32_t>::max());
  return static_cast<int32_t>(number);
}

// The column when it holds a number (not null), else nullptr.
inline const platform::Value* numberColumn(const APMSqliteRecord& record, std::string_view column) {
  auto it = record.find(column);
  return it != record.end() && it->second.isNumber() ? &it->second : nullptr;
}

inline int32_t int32Column(const APMSqliteRecord& record, std::string_view column,
                           int32_t whenAbsent = 0) {
  const platform::Value* value = numberColumn(record, column);
  return value ? saturatedInt32(*value) : whenAbsent;
}

inline double doubleColumn(const APMSqliteRecord& record, std::string_view column,
                           double whenAbsent = 0) {
  const platform::Value* value = numberColumn(record, column);
  return value ? value->numberAsDouble().value_or(whenAbsent) : whenAbsent;
}

inline std::optional<int64_t> int64Column(const APMSqliteRecord& record, std::string_view column) {
  auto it = record.find(column);
  if (it == record.end() || !it->second.isInteger()) return std::nullopt;
  return *it->second.asInteger();
}

inline std::string textColumn(const APMSqliteRecord& record, std::string_view column) {
  auto it = record.find(column);
  if (it == record.end() || !it->second.isString()) return {};
  return *it->second.asString();
}

// A non-empty blob (an empty one reads as absent).
inline std::optional<std::string> blobColumn(const APMSqliteRecord& record,
                                             std::string_view column) {
  auto it = record.find(column);
  if (it == record.end() || !it->second.isBytes()) return std::nullopt;
  return it->second.asBytes()->data;
}

// A user-property value as SQLite stores it: text, a real for a double, a 64-bit integer
// otherwise (whatever the column's declared type).
inline platform::Value storedValue(const APMValue& value) {
  if (const std::string* text = value.stringValue()) return platform::Value(*text);
  if (value.isDouble()) return platform::Value(value.doubleValue());
  return platform::Value(static_cast<long long>(value.int64Value()));
}

}  // namespace apm_database_columns
