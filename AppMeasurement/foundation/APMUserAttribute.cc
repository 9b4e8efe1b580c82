#include "AppMeasurement/foundation/APMUserAttribute.h"

#include "AppMeasurement/foundation/APMDataTypeValidator.h"
#include "AppMeasurement/foundation/APMMilliseconds.h"

std::optional<APMUserAttribute> APMUserAttribute::create(std::string origin, std::string name,
                                                         APMValue value, double lastSetTimestamp) {
  if (!APMDataTypeValidator::isValidInternalUserAttributeName(name) ||
      !APMDataTypeValidator::isValidInternalUserAttributeValue(value, name)) {
    return std::nullopt;
  }
  return APMUserAttribute(std::move(origin), std::move(name), std::move(value), lastSetTimestamp);
}

bool APMUserAttribute::isPublic() const { return !name_.empty() && name_[0] != '_'; }

APMPBUserAttribute APMUserAttribute::protoUserAttribute() const {
  APMPBUserAttribute message;
  NANOSetString(message, APMPBUserAttribute::kName, name_);
  if (value_.isDouble()) {
    NANOSetDouble(message, APMPBUserAttribute::kDoubleValue, value_.doubleValue());
  } else if (value_.isInt64()) {
    NANOSetInt64(message, APMPBUserAttribute::kIntValue, value_.int64Value());
  } else if (const std::string* text = value_.stringValue()) {
    NANOSetString(message, APMPBUserAttribute::kStringValue, *text);
  }
  NANOSetInt64(message, APMPBUserAttribute::kSetTimestampMillis,
               APMMillisecondsFromSeconds(lastSetTimestamp_));
  return message;
}
