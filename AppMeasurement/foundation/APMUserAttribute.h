#pragma once

#include <optional>
#include <string>

#include "AppMeasurement/foundation/APMValue.h"
#include "AppMeasurement/messages/APMPBMessages.h"

// One user property as stored and uploaded: who set it, its (internal or public) name, its
// typed value and when it was set (seconds since 1970). Immutable; a value type that may be
// handed between queues.
class APMUserAttribute {
 public:
  // initWithOrigin:name:value:lastSetTimestamp:. Nothing unless the internal user-property
  // name and value rules of APMDataTypeValidator accept the name and the value.
  static std::optional<APMUserAttribute> create(std::string origin, std::string name,
                                                APMValue value, double lastSetTimestamp);

  const std::string& origin() const { return origin_; }
  const std::string& name() const { return name_; }
  const APMValue& value() const { return value_; }
  double lastSetTimestamp() const { return lastSetTimestamp_; }

  // A non-empty name that does not begin with "_".
  bool isPublic() const;

  // A new UserAttribute message: the name; double_value, int_value or string_value by the
  // value's type (an array value sets none); set_timestamp_millis, the time in milliseconds
  // truncated (and saturated for times out of range).
  APMPBUserAttribute protoUserAttribute() const;

  bool operator==(const APMUserAttribute&) const = default;

 private:
  APMUserAttribute(std::string origin, std::string name, APMValue value, double lastSetTimestamp)
      : origin_(std::move(origin)),
        name_(std::move(name)),
        value_(std::move(value)),
        lastSetTimestamp_(lastSetTimestamp) {}

  std::string origin_;
  std::string name_;
  APMValue value_;
  double lastSetTimestamp_;
};
