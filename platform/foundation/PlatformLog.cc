#include "platform/foundation/PlatformLog.h"

#include <cstdio>
#include <mutex>
#include <utility>

namespace platform {
namespace {

std::mutex& sinkMutex() {
  static std::mutex mutex;
  return mutex;
}

PlatformLog::Sink& currentSink() {
  static PlatformLog::Sink sink;
  return sink;
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
