#include "AppMeasurement/messages/APMPBFlag.h"

#include <cstdio>

#include "AppMeasurement/messages/NANO.h"
#include "platform/foundation/PlatformLog.h"

namespace {

void report(const APMPBFlagLogger& logger, long code, const char* message,
            const std::string& context) {
  if (logger) {
    logger(1, code, message, context);
    return;
  }
  char prefix[32];
  std::snprintf(prefix, sizeof prefix, "I-ACS%06ld", code);
  std::string line = std::string(prefix) + " " + message;
  if (!context.empty()) line += " " + context;
  platform::PlatformLog::write(line);
}

}  // namespace

NANOObject APMPBFlagGetValue(const APMPBFlag* flag) {
  if (flag == nullptr) return {};
  if (NANOHasField(*flag, APMPBFlag::kIntValue)) {
    return NANONumber::fromInt64(NANOGetInt64(*flag, APMPBFlag::kIntValue));
  }
  if (NANOHasField(*flag, APMPBFlag::kDoubleValue)) {
    return NANONumber::fromDouble(NANOGetDouble(*flag, APMPBFlag::kDoubleValue));
  }
  if (NANOHasField(*flag, APMPBFlag::kStringValue)) {
    if (auto text = NANOGetString(*flag, APMPBFlag::kStringValue)) return *text;
    return {};
  }
  if (NANOHasField(*flag, APMPBFlag::kBoolValue)) {
    return NANONumber::fromBool(NANOGetBool(*flag, APMPBFlag::kBoolValue));
  }
  return {};
}

std::optional<APMPBFlag> APMPBFlagCreate(const NANOObject& name, const NANOObject& value,
                                         const APMPBFlagLogger& logger) {
  if (std::holds_alternative<std::monostate>(name)) {
    report(logger, 850000, "Flag name must not be nil", "");
    return std::nullopt;
  }
  const auto* text = std::get_if<std::string>(&name);
  if (text == nullptr) {
    report(logger, 850001, "Flag name must be a string", NANOObjectTypeName(name));
    return std::nullopt;
  }
  const auto* number = std::get_if<NANONumber>(&value);
  const auto* string = std::get_if<std::string>(&value);
  if (number == nullptr && string == nullptr) {
    report(logger, 850002, "Flag value is invalid", NANOObjectTypeName(value));
    return std::nullopt;
  }
  auto flag = APMPBFlag::initWithBuffer(std::nullopt);
  if (!flag) return std::nullopt;
  NANOSetString(*flag, APMPBFlag::kName, *text);
  if (string != nullptr) {
    NANOSetString(*flag, APMPBFlag::kStringValue, *string);
  } else if (number->isFloatingPoint()) {
    NANOSetDouble(*flag, APMPBFlag::kDoubleValue, number->doubleValue());
  } else {
    NANOSetInt64(*flag, APMPBFlag::kIntValue, number->longLongValue());
  }
  return flag;
}
