#include "platform/utilities/OULOSLog.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>

#include "platform/foundation/PlatformLog.h"

namespace {

std::atomic<int>& threshold() {
  static std::atomic<int> level{OULLoggerLevelNotice};
  return level;
}

std::string_view orEmpty(const char* text) { return text ? std::string_view(text) : ""; }

// printf into a string; a format error leaves the format text itself, so a bad format never
// loses the line.
std::string formatMessage(const char* format, va_list args) {
  if (format == nullptr) return {};
  va_list measure;
  va_copy(measure, args);
  int size = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  if (size < 0) return format;
  std::string out(static_cast<size_t>(size) + 1, '\0');
  std::vsnprintf(out.data(), out.size(), format, args);
  out.resize(static_cast<size_t>(size));
  return out;
}

}  // namespace

const char* OULLoggerLevelName(int level) {
  switch (level) {
    case OULLoggerLevelError:
      return "ERROR";
    case OULLoggerLevelWarning:
      return "WARNING";
    case OULLoggerLevelNotice:
      return "NOTICE";
    case OULLoggerLevelInfo:
      return "INFO";
    case OULLoggerLevelDebug:
      return "DEBUG";
    default:
      return "LEVEL";
  }
}

void OULSetLoggerLevel(OULLoggerLevel level) {
  threshold().store(std::clamp(static_cast<int>(level), static_cast<int>(OULLoggerLevelMin),
                               static_cast<int>(OULLoggerLevelMax)));
}

OULLoggerLevel OULLoggerCurrentLevel() { return static_cast<OULLoggerLevel>(threshold().load()); }

bool OULIsLoggableLevel(OULLoggerLevel level) {
  return static_cast<int>(level) <= threshold().load();
}

void OULOSLogBasicPreformatted(OULLoggerLevel level, std::string_view subsystem,
                               std::string_view category, bool force, std::string_view messageCode,
                               std::string_view message) {
  if (!force && !OULIsLoggableLevel(level)) return;
  std::string line;
  line.reserve(subsystem.size() + category.size() + messageCode.size() + message.size() + 16);
  line += '[';
  line += subsystem;
  line += "] ";
  line += category;
  line += '[';
  line += messageCode;
  line += "] ";
  line += OULLoggerLevelName(level);
  if (level < OULLoggerLevelMin || level > OULLoggerLevelMax) {
    line += '(' + std::to_string(static_cast<int>(level)) + ')';
  }
  line += ": ";
  line += message;
  platform::PlatformLog::write(line);
}

void OULOSLogBasicV(OULLoggerLevel level, const char* subsystem, const char* category, bool force,
                    const char* messageCode, const char* format, va_list args) {
  // Cheap test first: a filtered line costs no formatting.
  if (!force && !OULIsLoggableLevel(level)) return;
  OULOSLogBasicPreformatted(level, orEmpty(subsystem), orEmpty(category), force,
                            orEmpty(messageCode), formatMessage(format, args));
}

void OULOSLogBasic(OULLoggerLevel level, const char* subsystem, const char* category, bool force,
                   const char* messageCode, const char* format, ...) {
  va_list args;
  va_start(args, format);
  OULOSLogBasicV(level, subsystem, category, force, messageCode, format, args);
  va_end(args);
}

#define OUL_DEFINE_LEVEL_LOG(name, level)                                                     \
  void name(const char* subsystem, const char* category, bool force, const char* messageCode, \
            const char* format, ...) {                                                        \
    va_list args;                                                                             \
    va_start(args, format);                                                                   \
    OULOSLogBasicV(level, subsystem, category, force, messageCode, format, args);             \
    va_end(args);                                                                             \
  }

OUL_DEFINE_LEVEL_LOG(OULOSLogError, OULLoggerLevelError)
OUL_DEFINE_LEVEL_LOG(OULOSLogWarning, OULLoggerLevelWarning)
OUL_DEFINE_LEVEL_LOG(OULOSLogNotice, OULLoggerLevelNotice)
OUL_DEFINE_LEVEL_LOG(OULOSLogInfo, OULLoggerLevelInfo)
OUL_DEFINE_LEVEL_LOG(OULOSLogDebug, OULLoggerLevelDebug)

#undef OUL_DEFINE_LEVEL_LOG
