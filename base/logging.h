#pragma once

#include <cstddef>
#include <sstream>
#include <string>
#include <string_view>

// The base library's logging and fatal checks. Lines go to the platform log (standard error
// unless a sink is installed). A failed check logs "Check failed: <expression> <message>" with
// the source location in the line prefix, records the text for crash reports and aborts.
namespace base {

enum class LogSeverity : int { kInfo = 0, kWarning = 1, kError = 2, kFatal = 3 };

// Maps any integer severity onto the four known ones: below info counts as info, above fatal
// counts as error (a stray value must never turn a message into a crash).
LogSeverity NormalizeSeverity(int severity);

// The standard line prefix: severity letter, wall-clock time (MMDD hh:mm:ss.uuuuuu), thread
// identifier, base name of the file and the line, ending in "] ".
std::string LogPrefix(LogSeverity severity, const char* file, int line);

// The same prefix written into out (snprintf semantics: the full length is returned, at most
// size - 1 bytes and a terminating zero are written). Does not allocate.
int FormatLogPrefix(char* out, size_t size, LogSeverity severity, const char* file, int line);

// Writes one log line with its prefix. A fatal severity also records the line and aborts.
void LogMessage(LogSeverity severity, const char* file, int line, std::string_view message);

// Logs at fatal severity and aborts.
[[noreturn]] void LogFatal(const char* file, int line, std::string_view message);

// Collects the message of a failed check; its destructor logs the whole text and aborts.
class CheckFailure {
 public:
  CheckFailure(const char* file, int line, const char* expression);
  CheckFailure(const CheckFailure&) = delete;
  CheckFailure& operator=(const CheckFailure&) = delete;
  // Logs the collected text at fatal severity and aborts; never returns.
  ~CheckFailure();

  std::ostream& stream() { return stream_; }

 private:
  const char* file_;
  int line_;
  std::ostringstream stream_;
};

// Appends the first message part after the expression with one separating space.
class CheckMessageSeparator {
 public:
  explicit CheckMessageSeparator(std::ostream& stream) : stream_(stream) {}
  template <typename T>
  std::ostream& operator<<(const T& value) {
    stream_ << ' ' << value;
    return stream_;
  }

 private:
  std::ostream& stream_;
};

}  // namespace base

// KVL_CHECK(condition) << "optional message";
// The quoted condition is part of the logged text, so callers write it as they want it read.
#define KVL_CHECK(condition) \
  if (condition) {           \
  } else                     \
    ::base::CheckMessageSeparator(::base::CheckFailure(__FILE__, __LINE__, #condition).stream())

#define KVL_LOG(severity, message) \
  ::base::LogMessage(::base::LogSeverity::severity, __FILE__, __LINE__, (message))
