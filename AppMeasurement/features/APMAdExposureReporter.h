#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "AppMeasurement/features/APMScreen.h"
#include "AppMeasurement/foundation/APMValue.h"
#include "platform/foundation/NotificationCenter.h"

namespace platform {
class DispatchQueue;
}

// Measures how long ad units are on screen: "_xu" per ad unit (with "_ai") and "_xa" for the
// time any unit was shown, both origin "am" with "_xt" in milliseconds, reported when a unit
// ends, at a screen change (credited to the screen that was shown), when the session
// reporter's engagement timer fires and when the app resigns active. Exposures shorter than
// a second are not logged. At most kMaxAdUnits units are tracked at once.
//
// Threads: callers come from any thread; the counts and start times are touched only on the
// reporter's serial queue "APMAdExposureReporter". Beginning is queued asynchronously; ending
// and the periodic cuts run synchronously on that queue. Times are uptime
// (platform::Clock, running while the device sleeps).
class APMAdExposureReporter : public std::enable_shared_from_this<APMAdExposureReporter> {
 public:
  static constexpr size_t kMaxAdUnits = 100;

  // The one reporter, made on first use; it observes the engagement-timer notification.
  static std::shared_ptr<APMAdExposureReporter> sharedInstance();
  ~APMAdExposureReporter();
  APMAdExposureReporter(const APMAdExposureReporter&) = delete;
  APMAdExposureReporter& operator=(const APMAdExposureReporter&) = delete;

  bool isReportingEnabled() const { return reportingEnabled_.load(); }
  void setReportingEnabled(bool enabled) { reportingEnabled_.store(enabled); }

  void beginAdUnitExposure(const std::string& adUnitID);
  void endAdUnitExposure(const std::string& adUnitID);

  // The screen-view reporter's and the notification centre's calls.
  void handleScreenDidChangeFromScreen(const std::shared_ptr<APMScreen>& previous,
                                       const std::shared_ptr<APMScreen>& next);
  void handleAppDidBecomeActive();
  void handleAppWillResignActiveWithScreen(const std::shared_ptr<APMScreen>& screen);
  void handleEngagementTimer(const platform::Notification& notification);

  // The periodic cut, now, with these screen parameters (synchronous).
  void logExposureEventsWithScreenParameters(const APMObjectMap& screenParameters);

  // Forgets every unit and restarts the overall exposure now, reporting on. For tests.
  void resetForTesting();

 private:
  APMAdExposureReporter();
  // Serial queue only.
  void logExposureEventsOnSerialQueueWithEndTime(double endTime, const APMObjectMap& parameters);
  void logAdExposureEventOnSerialQueueWithEndTime(double endTime, const APMObjectMap& parameters);
  void logAdUnitExposureEventOnSerialQueueWithID(const std::string& adUnitID, double endTime,
                                                 const APMObjectMap& parameters);
  void updateStartTimesOnSerialQueue(double uptime);
  static double currentTime();

  std::shared_ptr<platform::DispatchQueue> queue_;
  // On queue_ only:
  std::map<std::string, int64_t> adUnitCounts_;
  std::map<std::string, double> adUnitStartTimes_;
  double adExposureStartTime_ = 0;

  std::atomic<bool> reportingEnabled_{true};
  platform::NotificationCenter::ObserverToken observer_ = 0;
};
