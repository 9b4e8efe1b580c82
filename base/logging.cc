#include "base/logging.h"

#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "base/fatal_message.h"
#include "platform/foundation/PlatformLog.h"

namespace base {

LogSeverity NormalizeSeverity(int severity) {
  if (severity < static_cast<int>(LogSeverity::kInfo)) return LogSeverity::kInfo;
  if (severity > static_cast<int>(LogSeverity::kFatal)) return LogSeverity::kError;
  return static_cast<LogSeverity>(severity);
}

std::string LogPrefix(LogSeverity severity, const char* file, int line) {
  static constexpr char kLetters[] = {'I', 'W', 'E', 'F'};
  std::string_view base_name = file != nullptr ? file : "";
  std::size_t slash = base_name.find_last_of("/\\");
  if (slash != std::string_view::npos) base_name.remove_prefix(slash + 1);

  struct timeval now;
  gettimeofday(&now, nullptr);
  struct tm parts;
  localtime_r(&now.tv_sec, &parts);
  char stamp[64];
  std::snprintf(stamp, sizeof(stamp), "%c%02d%02d %02d:%02d:%02d.%06ld %7ld ",
                kLetters[static_cast<int>(severity)], parts.tm_mon + 1, parts.tm_mday,
                parts.tm_hour, parts.tm_min, parts.tm_sec, static_cast<long>(now.tv_usec),
                static_cast<long>(syscall(SYS_gettid)));
  std::string prefix(stamp);
  prefix.append(base_name);
  prefix.push_back(':');
  prefix.append(std::to_string(line));
  prefix.append("] ");
  return prefix;
}

void LogMessage(LogSeverity severity, const char* file, int line, std::string_view message) {
  std::string text = LogPrefix(severity, file, line);
  text.append(message);
  platform::PlatformLog::write(text);
  if (severity == LogSeverity::kFatal) {
    RecordFatalMessage(text);
    std::abort();
  }
}

void LogFatal(const char* file, int line, std::string_view message) {
  LogMessage(LogSeverity::kFatal, file, line, message);
  std::abort();  // Not reached: a fatal message aborts.
}

CheckFailure::CheckFailure(const char* file, int line, const char* expression)
    : file_(file), line_(line) {
  stream_ << "Check failed: " << expression;
}

CheckFailure::~CheckFailure() { LogFatal(file_, line_, stream_.str()); }

}  // namespace base
