#include "AppMeasurement/foundation/APMErrorEventSink.h"

#include <mutex>

namespace {

class APMDroppingErrorEventSink : public APMErrorEventSink {
 public:
  void logInternalEvent(const std::string&, const std::string&, const APMValueMap&) override {}
};

std::mutex& sinkMutex() {
  static std::mutex& mutex = *new std::mutex();
  return mutex;
}

// Guarded by sinkMutex().
std::shared_ptr<APMErrorEventSink>& installedSink() {
  static std::shared_ptr<APMErrorEventSink>& sink = *new std::shared_ptr<APMErrorEventSink>();
  return sink;
}

}  // namespace

std::shared_ptr<APMErrorEventSink> APMErrorEventSink::current() {
  static const std::shared_ptr<APMErrorEventSink>& dropping =
      *new std::shared_ptr<APMErrorEventSink>(std::make_shared<APMDroppingErrorEventSink>());
  std::lock_guard<std::mutex> lock(sinkMutex());
  return installedSink() ? installedSink() : dropping;
}

void APMErrorEventSink::install(std::shared_ptr<APMErrorEventSink> sink) {
  std::lock_guard<std::mutex> lock(sinkMutex());
  installedSink() = std::move(sink);
}
