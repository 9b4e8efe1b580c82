#include "AppMeasurement/foundation/APMASLLogger.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <string>

#include "platform/utilities/OULOSLog.h"

namespace {

constexpr char kSubsystem[] = "com.orvane.kavrelin.analytics";

}  // namespace

OULLoggerLevel APMASLLogger::OULLoggerLevelFromLogLevel(int logLevel) {
  switch (logLevel) {
    case 0:
    case 1:
    case 2:
      return OULLoggerLevelError;
    case 3:
    case 4:
    case 5:
      return OULLoggerLevelWarning;
    case 6:
      return OULLoggerLevelNotice;
    case 7:
    case 8:
      return OULLoggerLevelDebug;
    default:
      return OULLoggerLevelWarning;
  }
}

void APMASLLogger::logMessage(std::string_view message, std::string_view logTag,
                              int64_t messageCode, int logLevel) {
  std::string escaped;
  escaped.reserve(message.size() + 8);
  for (char c : message) {
    // A NUL would end the format early; it cannot be part of a console line.
    if (c == '\0') continue;
    escaped += c;
    if (c == '%') escaped += '%';
  }
  char code[32];
  std::snprintf(code, sizeof code, "I-ACS%06" PRId64, messageCode);
  std::string tag(logTag);
  tag.erase(std::remove(tag.begin(), tag.end(), '\0'), tag.end());
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  OULOSLogBasic(OULLoggerLevelFromLogLevel(logLevel), kSubsystem, tag.c_str(), logLevel == 7, code,
                escaped.c_str());
#pragma GCC diagnostic pop
}
