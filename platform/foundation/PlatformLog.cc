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

}  // namespace

void PlatformLog::write(std::string_view line) {
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
