#pragma once

#include <functional>
#include <string>
#include <vector>

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

  static int monitorLevel(int64_t scriptLevel, bool silent, bool monitored);
  void logWithLevel(int64_t level, const std::string& message,
                    const std::vector<std::string>& context, bool silent, bool monitored) override;

 private:
  MonitorSink monitor_;
};
