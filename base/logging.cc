#include "base/logging.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "base/base_init.h"
#include "base/fatal_message.h"
#include "platform/dispatch/Clock.h"
#include "platform/foundation/PlatformLog.h"

namespace base {
namespace {

// Every program that uses this library links this file (the fatal checks live here), so the
// layer is set up from here, by static initialisation, before main and the app delegate run.
// A static initialiser in a file of its own could be dropped by the linker.
[[maybe_unused]] const bool base_library_initialized = (InitializeBaseLibrary(), true);

}  // namespace

LogSeverity NormalizeSeverity(int severity) {
  if (severity < static_cast<int>(LogSeverity::kInfo)) return LogSeverity::kInfo;
  if (severity > static_cast<int>(LogSeverity::kFatal)) return LogSeverity::kError;
  return static_cast<LogSeverity>(severity);
}

int FormatLogPrefix(char* out, size_t size, LogSeverity severity, const char* file, int line) {
  static constexpr char kLetters[] = {'I', 'W', 'E', 'F'};
  const char* base_name = file != nullptr ? file : "";
  for (const char* p = base_name; *p != '\0'; ++p) {
    if (*p == '/' || *p == '\\') base_name = p + 1;
  }
  // The program's one clock, so that lines written under a test's manual clock carry its time.
  const double now = platform::Clock::current()->now();
  const double seconds = std::floor(now);
  const time_t wholeSeconds = static_cast<time_t>(seconds);
  const long microseconds = std::min(999999L, static_cast<long>((now - seconds) * 1e6));
  struct tm parts;
  localtime_r(&wholeSeconds, &parts);
  return std::snprintf(out, size, "%c%02d%02d %02d:%02d:%02d.%06ld %7ld %s:%d] ",
                       kLetters[static_cast<int>(severity)], parts.tm_mon + 1, parts.tm_mday,
                       parts.tm_hour, parts.tm_min, parts.tm_sec, microseconds,
                       static_cast<long>(syscall(SYS_gettid)), base_name, line);
}

std::string LogPrefix(LogSeverity severity, const char* file, int line) {
  char buffer[512];
  int length = FormatLogPrefix(buffer, sizeof(buffer), severity, file, line);
  if (length < 0) return std::string();
  if (static_cast<size_t>(length) < sizeof(buffer)) return std::string(buffer, length);
  std::string prefix(length + 1, '\0');
  FormatLogPrefix(prefix.data(), prefix.size(), severity, file, line);
  prefix.resize(length);
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
