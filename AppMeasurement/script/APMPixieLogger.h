#pragma once

#include <functional>
#include <string>
#include <vector>

#include "AppMeasurement/foundation/APMMonitor.h"
#include "AppMeasurement/script/APMPMessageLogger.h"

// Logs script messages through the measurement monitor with message code 24005, mapping the
// script level (and the silent and monitored switches) to a monitor level.
class APMPixieLogger : public APMPLoggerDelegate {
 public:
  static constexpr int64_t kMessageCode = 24005;
  // The monitor's logWithLevel:messageCode:message:contexts:, given by the composition root.
  using MonitorSink = std::function<void(int level, int64_t messageCode, const std::string& message,
                                         const std::vector<std::string>& contexts)>;
  explicit APMPixieLogger(MonitorSink monitor) : monitor_(std::move(monitor)) {}
  // Logs through the given monitor.
  explicit APMPixieLogger(std::shared_ptr<APMMonitor> monitor)
      : monitor_(sinkForMonitor(std::move(monitor))) {}
  // Logs through the process-wide monitor.
  APMPixieLogger() : APMPixieLogger(APMMonitor::monitor()) {}

  // A sink that hands each line to the monitor, the context texts as its contexts.
  static MonitorSink sinkForMonitor(std::shared_ptr<APMMonitor> monitor);

  static int monitorLevel(int64_t scriptLevel, bool silent, bool monitored);
  void logWithLevel(int64_t level, const std::string& message,
                    const std::vector<std::string>& context, bool silent, bool monitored) override;

 private:
  MonitorSink monitor_;
};
