#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace platform {

// The process-wide system log (what NSLog and os_log write to on the phone).
// Lines go to standard error unless a sink is installed; tests install one to
// capture what was written. Thread-safe: may be called from any thread or queue.
class PlatformLog {
 public:
  using Sink = std::function<void(const std::string& line)>;

  // Writes one line (no trailing newline expected).
  static void write(std::string_view line);

  // Replaces the sink; an empty function restores standard error. Returns the previous sink.
  static Sink setSink(Sink sink);
};

}  // namespace platform
