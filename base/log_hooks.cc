#include "base/log_hooks.h"

#include <execinfo.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "absl/base/internal/raw_logging.h"
#include "base/logging.h"

namespace base {
namespace {

std::atomic<int> min_log_level{0};
std::atomic<int> raw_log_threshold{2};
std::atomic<bool> quiet_raw_log{false};
std::atomic<int> fatal_stack_trace_depth{32};
std::atomic<bool> raw_log_aborting{false};

}  // namespace

int LogSettings::MinLogLevel() { return min_log_level; }
void LogSettings::SetMinLogLevel(int level) { min_log_level = level; }
int LogSettings::RawLogThreshold() { return raw_log_threshold; }
void LogSettings::SetRawLogThreshold(int level) { raw_log_threshold = level; }
bool LogSettings::QuietRawLog() { return quiet_raw_log; }
void LogSettings::SetQuietRawLog(bool quiet) { quiet_raw_log = quiet; }
int LogSettings::FatalStackTraceDepth() { return fatal_stack_trace_depth; }
void LogSettings::SetFatalStackTraceDepth(int depth) { fatal_stack_trace_depth = depth; }
bool LogSettings::RawLogAborting() { return raw_log_aborting; }

void InternalLogFunction(absl::LogSeverity severity, const char* file, int line,
                         const std::string& message) {
  LogMessage(NormalizeSeverity(static_cast<int>(severity)), file, line, message);
}

bool RawLogFilterAndPrefix(absl::LogSeverity severity, const char* file, int line, char** buffer,
                           int* size) {
  const int level = static_cast<int>(severity);
  if (level < min_log_level.load()) return false;
  if (level < static_cast<int>(absl::LogSeverity::kError) && level < raw_log_threshold.load() &&
      quiet_raw_log.load()) {
    return false;
  }
  if (*size <= 0) return true;
  // Raw logging may run where allocation is unsafe: the prefix is formatted in place.
  const int length =
      FormatLogPrefix(*buffer, static_cast<size_t>(*size), NormalizeSeverity(level), file, line);
  const int written = std::min(length, *size - 1);
  *buffer += written;
  *size -= written;
  return true;
}

void RawLogAbort(const char* file, int line, const char* buf_start, const char* prefix_end,
                 const char* buf_end) {
  const int depth = std::clamp(fatal_stack_trace_depth.load(), 0, 256);
  void* frames[256];
  const int count = depth > 0 ? backtrace(frames, depth) : 0;
  static constexpr char kHeader[] = "*** Check failure stack trace: ***\n";
  ssize_t ignored = write(STDERR_FILENO, kHeader, sizeof(kHeader) - 1);
  (void)ignored;
  backtrace_symbols_fd(frames, count, STDERR_FILENO);
  raw_log_aborting = true;
  std::abort();
}

void InstallInternalLogFunction() {
  static std::once_flag once;
  std::call_once(
      once, [] { absl::raw_logging_internal::RegisterInternalLogFunction(&InternalLogFunction); });
}

void InstallRawLogHooks() {
  static std::once_flag once;
  std::call_once(once, [] {
    absl::raw_logging_internal::RegisterLogFilterAndPrefixHook(&RawLogFilterAndPrefix);
    absl::raw_logging_internal::RegisterAbortHook(&RawLogAbort);
  });
}

}  // namespace base
