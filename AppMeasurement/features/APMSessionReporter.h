#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "AppMeasurement/engine/APMFeatureServices.h"
#include "AppMeasurement/features/APMScreen.h"

class APMAlarm;
class APMPersistedConfig;

// Sessions and engagement: decides when a session has expired (|now − last activity| above
// the timeout), numbers sessions, logs the session start "_s" and the engagement "_e"
// (origin "auto", through APMReporterFacade), and runs the engagement timer whose firing
// posts kAPMSessionReporterEngagementTimerDidFire.
//
// The engine makes it ready in its component block (resetWithPersistedConfig); until then
// it is not created and ignores the life-cycle calls. Reporting starts disabled until the
// engine enables it.
//
// Threads: life-cycle handlers and the timer run on the main thread; the engine calls from
// its worker queue. The fields all of them touch are atomics; the engagement timer ("Engagement
// timer", an alarm on the main queue) is armed and cancelled only on the main queue — a call
// from elsewhere hands that step to it. Times: uptime (platform::Clock, running while the
// device sleeps) for engagement, clock time (seconds since 1970) for activity.
class APMSessionReporter : public APMSessionReporting,
                           public std::enable_shared_from_this<APMSessionReporter> {
 public:
  static constexpr const char* kEngagementTimerDidFireNotification =
      "kAPMSessionReporterEngagementTimerDidFire";
  // Longest engagement one "_e" reports.
  static constexpr double kMaxEngagementSeconds = 3600;

  // A reporter not yet made ready (see resetWithPersistedConfig).
  static std::shared_ptr<APMSessionReporter> create();
  // The session reporter the engine was given, when it is this class; else nullptr.
  static std::shared_ptr<APMSessionReporter> installed();

  // initWithPersistedConfig:. The timeout is the app's stored one when there is one (erased
  // from the persisted configuration: it applies once), else the remote default; both
  // engagement starts are now.
  void resetWithPersistedConfig(std::shared_ptr<APMPersistedConfig> persistedConfig) override;
  // Whether the engine has made it ready.
  bool isCreated() const;

  void setReportingEnabled(bool enabled) override;
  bool isReportingEnabled() const { return reportingEnabled_.load(); }
  void setTimeoutSessionInterval(double seconds) override;
  double timeoutSessionInterval() const { return timeoutSessionInterval_.load(); }

  bool shouldStartNewSession();
  bool isSessionExpired() override;
  bool extendSession() override;
  void updatePropertiesForNewSessionStart() override;
  std::optional<APMUserAttribute> sessionIDPropertyWithTimestamp(double timestamp) override;
  std::optional<APMUserAttribute> sessionNumberProperty() override;
  std::optional<APMEvent> sessionStartEvent(double timestamp, bool inBackground) override;
  // Sets, or with nothing removes, "_sid" and "_sno".
  void setSessionID(std::optional<int64_t> sessionID, std::optional<int64_t> sessionNumber);

  void logSessionStartEvent();
  void logUserEngagementEvent();
  // Logs "_e" (when the app is active and reporting is on) and answers its milliseconds.
  int64_t logEngagementEventAndReturnTimeWithScreen(const std::shared_ptr<APMScreen>& screen,
                                                    bool isRedundant);
  // For the screen-view event: the engagement since the free-ride start, in whole
  // milliseconds, restarting it (0 when efficient engagement reporting is off).
  int64_t cutFreerideEngagementTimeMillis();

  // Main thread.
  void handleAppDidBecomeActive();
  void handleAppWillResignActiveWithScreen(const std::shared_ptr<APMScreen>& screen);
  void handleScreenDidChangeFromScreen(const std::shared_ptr<APMScreen>& previous,
                                       const std::shared_ptr<APMScreen>& next);
  void rescheduleUserEngagementTimer();

  double currentUptime() const;
  double currentClockTime() const;
  double incurredEngagementTime();

 private:
  APMSessionReporter() = default;
  std::shared_ptr<APMPersistedConfig> persistedConfig() const;
  std::shared_ptr<APMAlarm> timer() const;
  void cancelTimer();

  mutable std::mutex mutex_;  // guards persistedConfig_ and timer_ (the pointers only)
  std::shared_ptr<APMPersistedConfig> persistedConfig_;
  std::shared_ptr<APMAlarm> timer_;
  std::atomic<double> engagementStartUptime_{0};
  std::atomic<double> freerideEngagementStartUptime_{0};
  std::atomic<bool> reportingEnabled_{false};
  std::atomic<double> timeoutSessionInterval_{0};
};

// The session-start event "_s" (origin "auto", not public): "_sid" = the timestamp in whole
// seconds, "_sno" = the session number, and "_aib" = 1 in the background, else the current
// screen's parameters.
std::optional<APMEvent> APMSessionStartEvent(int64_t sessionNumber, bool inBackground,
                                             double timestamp);
