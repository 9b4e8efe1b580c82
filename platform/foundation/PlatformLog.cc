#include "platform/foundation/PlatformLog.h"

#include <cstdio>
#include <mutex>
#include <utility>

namespace platform {
namespace {

// Never destroyed: threads and exit handlers (the preference store's last write) may log
// while the process exits.
std::mutex& sinkMutex() {
  static auto* mutex = new std::mutex();
  return *mutex;
}

PlatformLog::Sink& currentSink() {
  static auto* sink = new PlatformLog::Sink();
  return *sink;
}

// The calling thread's innermost collector, or null.
thread_local PlatformLog::ThreadCollector* threadCollector = nullptr;

}  // namespace

PlatformLog::ThreadCollector::ThreadCollector() : outer_(threadCollector) {
  threadCollector = this;
}

PlatformLog::ThreadCollector::~ThreadCollector() { threadCollector = outer_; }

void PlatformLog::write(std::string_view line) {
  if (threadCollector != nullptr) {
    threadCollector->lines_.emplace_back(line);
    return;
  }
  std::lock_guard<std::mutex> lock(sinkMutex());
  if (currentSink()) {
    currentSink()(std::string(line));
    return;
  }
  std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
}

PlatformLog::Sink PlatformLog::setSink(Sink sink) {
  std::lock_guard<std::mutex> lock(sinkMutex());
  return std::exchange(currentSink(), std::move(sink));
}

}  // namespace platform
