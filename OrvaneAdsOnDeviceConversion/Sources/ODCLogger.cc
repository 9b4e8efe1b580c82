#include "OrvaneAdsOnDeviceConversion/Sources/ODCLogger.h"

#include <cstdarg>
#include <cstdio>

#include "platform/foundation/JSONSerialization.h"
#include "platform/utilities/OULOSLog.h"

namespace {

constexpr char kSubsystem[] = "com.orvane.appads";
constexpr char kCategory[] = "<OnDeviceConversion>";

void logV(OULLoggerLevel level, int64_t code, const char* format, va_list args)
    __attribute__((format(printf, 3, 0)));
void logV(OULLoggerLevel level, int64_t code, const char* format, va_list args) {
  char messageCode[32];
  std::snprintf(messageCode, sizeof messageCode, "I-ODC%06ld", static_cast<long>(code));
  OULOSLogBasicV(level, kSubsystem, kCategory, false, messageCode, format, args);
}

}  // namespace

#define ODC_LOG_BODY(level)        \
  va_list args;                    \
  va_start(args, format);          \
  logV(level, code, format, args); \
  va_end(args)

void ODCLogError(int64_t code, const char* format, ...) { ODC_LOG_BODY(OULLoggerLevelError); }
void ODCLogWarning(int64_t code, const char* format, ...) { ODC_LOG_BODY(OULLoggerLevelWarning); }
void ODCLogDebug(int64_t code, const char* format, ...) { ODC_LOG_BODY(OULLoggerLevelDebug); }

OULError ODCErrorWithCode(int64_t code, const std::string& message) {
  ODCLogError(code, "%s", message.c_str());
  return OULError{kODCErrorDomain, code, message};
}

std::optional<platform::Value> ODCJSONObjectFromData(std::optional<std::string_view> data,
                                                     std::optional<OULError>* error) {
  auto fail = [&](OULError e) {
    if (error != nullptr) *error = std::move(e);
    return std::nullopt;
  };
  if (!data) return fail(ODCErrorWithCode(2000, "Data is nil."));
  platform::JSONReadingOptions options;
  options.fragmentsAllowed = true;
  auto json = platform::JSONSerialization::JSONObjectWithData(*data, options);
  if (!json.ok()) {
    return fail(OULError{"NSCocoaErrorDomain", 3840, std::string(json.status().message())});
  }
  if (!json->isDictionary()) return fail(ODCErrorWithCode(2001, "JSON root is not a dictionary."));
  return *std::move(json);
}

std::optional<std::string> ODCDataFromJSONObject(const platform::Value& object) {
  platform::JSONWritingOptions options;
  options.fragmentsAllowed = true;
  auto data = platform::JSONSerialization::dataWithJSONObject(object, options);
  if (!data.ok()) return std::nullopt;
  return *std::move(data);
}
