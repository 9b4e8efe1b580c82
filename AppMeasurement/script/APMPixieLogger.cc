#include "AppMeasurement/script/APMPixieLogger.h"

int APMPixieLogger::monitorLevel(int64_t scriptLevel, bool silent, bool monitored) {
  switch (scriptLevel) {
    case 2:
      return 8;
    case 3:
      return 7;
    case 5:
      return silent ? 5 : (monitored ? 4 : 3);
    case 6:
      return silent ? 2 : (monitored ? 1 : 0);
    default:
      return 6;
  }
}

void APMPixieLogger::logWithLevel(int64_t level, const std::string& message,
                                  const std::vector<std::string>& context, bool silent,
                                  bool monitored) {
  if (monitor_) monitor_(monitorLevel(level, silent, monitored), kMessageCode, message, context);
}

APMPixieLogger::MonitorSink APMPixieLogger::sinkForMonitor(std::shared_ptr<APMMonitor> monitor) {
  return [monitor = std::move(monitor)](int level, int64_t messageCode, const std::string& message,
                                        const std::vector<std::string>& contexts) {
    if (!monitor) return;
    std::vector<APMLogContext> logContexts(contexts.begin(), contexts.end());
    monitor->logWithLevel(level, messageCode, message, logContexts);
  };
}
