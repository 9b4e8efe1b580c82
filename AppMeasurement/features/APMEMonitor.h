#pragma once

#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "AppMeasurement/foundation/APMLogContext.h"

class APMMonitor;

// The monitor every experiment class logs through: forwards each line unchanged to the
// measurement monitor it wraps. Safe from any thread (the wrapped monitor is).
class APMEMonitor {
 public:
  // initWithMonitor:. A null monitor means the process-wide measurement monitor, read at
  // each line (tests replace it).
  explicit APMEMonitor(std::shared_ptr<APMMonitor> monitor = nullptr);

  // The one instance the experiment classes share (APMEManager::monitor).
  static APMEMonitor& shared();

  void logWithLevel(int level, long messageCode, std::string_view message) const;
  void logWithLevel(int level, long messageCode, std::string_view message,
                    APMLogContext context) const;
  void logWithLevel(int level, long messageCode, std::string_view message, APMLogContext context1,
                    APMLogContext context2) const;
  void logWithLevel(int level, long messageCode, std::string_view message, APMLogContext context1,
                    APMLogContext context2, APMLogContext context3) const;
  // Whether a line of the level is printed or kept as health data. Callers whose contexts
  // cost something to describe (snapshots) build them only when this holds.
  bool recordsLevel(int level) const;
  void clearMonitoringData() const;

 private:
  APMMonitor& target() const;
  std::shared_ptr<APMMonitor> monitor_;
};
