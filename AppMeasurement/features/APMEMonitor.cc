#include "AppMeasurement/features/APMEMonitor.h"

#include "AppMeasurement/foundation/APMMonitor.h"

APMEMonitor::APMEMonitor(std::shared_ptr<APMMonitor> monitor) : monitor_(std::move(monitor)) {}

APMEMonitor& APMEMonitor::shared() {
  static APMEMonitor* instance = new APMEMonitor();  // never destroyed: used at exit
  return *instance;
}

APMMonitor& APMEMonitor::target() const { return monitor_ ? *monitor_ : *APMMonitor::monitor(); }

void APMEMonitor::logWithLevel(int level, long messageCode, std::string_view message) const {
  target().logWithLevel(level, messageCode, message);
}

void APMEMonitor::logWithLevel(int level, long messageCode, std::string_view message,
                               APMLogContext context) const {
  target().logWithLevel(level, messageCode, message, std::move(context));
}

void APMEMonitor::logWithLevel(int level, long messageCode, std::string_view message,
                               APMLogContext context1, APMLogContext context2) const {
  target().logWithLevel(level, messageCode, message, std::move(context1), std::move(context2));
}

void APMEMonitor::logWithLevel(int level, long messageCode, std::string_view message,
                               APMLogContext context1, APMLogContext context2,
                               APMLogContext context3) const {
  target().logWithLevel(level, messageCode, message, std::move(context1), std::move(context2),
                        std::move(context3));
}

bool APMEMonitor::recordsLevel(int level) const {
  APMMonitor& monitor = target();
  if (level >= 8 && !monitor.isVerboseLoggingEnabled()) return false;
  return monitor.isLoggableLevel(level) || APMMonitor::isMonitorableLevel(level);
}

void APMEMonitor::clearMonitoringData() const { target().clearMonitoringData(); }
