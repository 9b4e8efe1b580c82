#pragma once

#include <string>

#include "absl/base/log_severity.h"

// The hooks through which the Abseil dependency logs and stops: its internal log function
// (ABSL_INTERNAL_LOG), the raw-log filter-and-prefix hook and the raw-log abort hook
// (ABSL_RAW_LOG, ABSL_RAW_CHECK).
namespace base {

// Logging settings the hooks read. Thread-safe.
struct LogSettings {
  // Messages below this severity are dropped (0 info .. 3 fatal).
  static int MinLogLevel();
  static void SetMinLogLevel(int level);
  // With QuietRawLog on, raw messages below error and below this threshold are dropped too.
  static int RawLogThreshold();
  static void SetRawLogThreshold(int level);
  static bool QuietRawLog();
  static void SetQuietRawLog(bool quiet);
  // Frames of the stack trace written before a raw-log abort.
  static int FatalStackTraceDepth();
  static void SetFatalStackTraceDepth(int depth);
  // Set once a raw-log abort has begun.
  static bool RawLogAborting();
};

// ABSL_INTERNAL_LOG's target: logs the message at the severity (clamped as NormalizeSeverity
// does) with the file and line it names.
void InternalLogFunction(absl::LogSeverity severity, const char* file, int line,
                         const std::string& message);

// Drops a raw message by the settings above, or writes the standard prefix into the buffer and
// advances it.
bool RawLogFilterAndPrefix(absl::LogSeverity severity, const char* file, int line, char** buffer,
                           int* size);

// Writes a stack trace to standard error, marks the process as aborting and aborts.
[[noreturn]] void RawLogAbort(const char* file, int line, const char* buf_start,
                              const char* prefix_end, const char* buf_end);

// Attach the internal log function, and the two raw-log hooks; each only once.
void InstallInternalLogFunction();
void InstallRawLogHooks();

}  // namespace base
