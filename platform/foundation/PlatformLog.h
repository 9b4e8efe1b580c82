#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

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

  // Takes the lines that the thread which made it writes while it lives, in place of the sink;
  // the lines of every other thread go where they went before. So a piece of work can tell its
  // own log lines from those of work running beside it on other threads. Collectors of one
  // thread nest (the innermost collects). Lives on the stack of its thread: made, read and
  // destroyed there only.
  class ThreadCollector {
   public:
    ThreadCollector();
    ~ThreadCollector();
    ThreadCollector(const ThreadCollector&) = delete;
    ThreadCollector& operator=(const ThreadCollector&) = delete;

    // What this thread wrote since the collector was made, oldest first.
    const std::vector<std::string>& lines() const { return lines_; }

   private:
    friend class PlatformLog;
    ThreadCollector* outer_;  // the thread's collector before this one, or null
    std::vector<std::string> lines_;
  };
};

}  // namespace platform
