#include "AppMeasurement/features/APMSessionReporter.h"

#include <algorithm>
#include <cmath>

#include "AppMeasurement/engine/APMAnalyticsPredicates.h"
#include "AppMeasurement/engine/APMMeasurement.h"
#include "AppMeasurement/features/APMReporterFacade.h"
#include "AppMeasurement/features/APMScreenParameters.h"
#include "AppMeasurement/foundation/APMAlarm.h"
#include "AppMeasurement/foundation/APMMonitor.h"
#include "AppMeasurement/foundation/APMPersistedConfig.h"
#include "AppMeasurement/foundation/APMRemoteConfig.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/NotificationCenter.h"

namespace {

APMMonitor& monitor() { return *APMMonitor::monitor(); }

std::shared_ptr<APMRemoteConfig> remoteConfig() { return APMMeasurement::remoteConfig(); }

APMObject integer(int64_t value) { return APMObject(APMValue(value)); }

// Runs the block on the main queue: now when the caller is there, else at its next turn.
void onMainQueue(platform::Block block) {
  std::shared_ptr<platform::DispatchQueue> main = platform::DispatchQueue::main();
  if (main->isCurrent()) {
    block();
  } else {
    main->async(std::move(block));
  }
}

}  // namespace

std::shared_ptr<APMSessionReporter> APMSessionReporter::create() {
  return std::shared_ptr<APMSessionReporter>(new APMSessionReporter());
}

std::shared_ptr<APMSessionReporter> APMSessionReporter::installed() {
  return std::dynamic_pointer_cast<APMSessionReporter>(
      APMFeatureServices::current().sessionReporter);
}

void APMSessionReporter::resetWithPersistedConfig(
    std::shared_ptr<APMPersistedConfig> persistedConfig) {
  if (!persistedConfig) return;
  double timeout = remoteConfig()->sessionDefaultTimeoutInterval();
  if (std::optional<platform::Value> stored = persistedConfig->sessionTimeoutValue()) {
    if (std::optional<double> seconds = stored->numberAsDouble()) timeout = *seconds;
    // The app's timeout applies to this reporter only.
    persistedConfig->setSessionTimeoutValue(std::nullopt);
  }
  timeoutSessionInterval_.store(timeout);
  double uptime = currentUptime();
  engagementStartUptime_.store(uptime);
  freerideEngagementStartUptime_.store(uptime);
  reportingEnabled_.store(false);
  std::shared_ptr<APMAlarm> previous;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    persistedConfig_ = std::move(persistedConfig);
    previous = std::move(timer_);
    timer_ = APMAlarm::create(platform::DispatchQueue::main(), "Engagement timer");
  }
  // Releasing an alarm cancels it, wherever the last holder lets go.
  previous.reset();
}

bool APMSessionReporter::isCreated() const { return persistedConfig() != nullptr; }

std::shared_ptr<APMAlarm> APMSessionReporter::timer() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return timer_;
}

std::shared_ptr<APMPersistedConfig> APMSessionReporter::persistedConfig() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return persistedConfig_;
}

void APMSessionReporter::setReportingEnabled(bool enabled) {
  reportingEnabled_.store(enabled);
  std::weak_ptr<APMSessionReporter> weak = weak_from_this();
  onMainQueue([weak, enabled] {
    std::shared_ptr<APMSessionReporter> self = weak.lock();
    std::shared_ptr<APMAlarm> timer = self ? self->timer() : nullptr;
    if (!timer) return;
    if (!enabled) {
      timer->cancel();
    } else if (APMAnalyticsIsAppActive() && !timer->hasActiveTimer()) {
      self->rescheduleUserEngagementTimer();
    }
  });
}

void APMSessionReporter::setTimeoutSessionInterval(double seconds) {
  if (seconds < 0 || std::isnan(seconds)) {
    monitor().logWithLevel(3, 33001,
                           "Received negative timeout session duration. Setting to 0.0 instead.");
    seconds = 0.0;
  }
  timeoutSessionInterval_.store(seconds);
}

bool APMSessionReporter::shouldStartNewSession() {
  return APMAnalyticsIsAppActive() && isSessionExpired();
}

bool APMSessionReporter::isSessionExpired() {
  std::shared_ptr<APMPersistedConfig> config = persistedConfig();
  if (!config) return false;
  return std::fabs(currentClockTime() - config->lastSessionActivityClockTime()) >
         timeoutSessionInterval_.load();
}

bool APMSessionReporter::extendSession() {
  std::shared_ptr<APMPersistedConfig> config = persistedConfig();
  if (!config || isSessionExpired()) return false;
  config->setLastSessionActivityClockTime(currentClockTime());
  return true;
}

void APMSessionReporter::updatePropertiesForNewSessionStart() {
  std::shared_ptr<APMPersistedConfig> config = persistedConfig();
  if (!config) return;
  config->setSessionNumber(config->sessionNumber() + 1);
  config->setLastSessionActivityClockTime(currentClockTime());
}

std::optional<APMUserAttribute> APMSessionReporter::sessionIDPropertyWithTimestamp(
    double timestamp) {
  return APMUserAttribute::create("auto", "_sid", APMValue(static_cast<int64_t>(timestamp)),
                                  timestamp);
}

std::optional<APMUserAttribute> APMSessionReporter::sessionNumberProperty() {
  std::shared_ptr<APMPersistedConfig> config = persistedConfig();
  if (!config) return std::nullopt;
  return APMUserAttribute::create("auto", "_sno", APMValue(config->sessionNumber()),
                                  currentClockTime());
}

std::optional<APMEvent> APMSessionReporter::sessionStartEvent(double timestamp, bool inBackground) {
  std::shared_ptr<APMPersistedConfig> config = persistedConfig();
  if (!config) return std::nullopt;
  return APMSessionStartEvent(config->sessionNumber(), inBackground, timestamp);
}

void APMSessionReporter::setSessionID(std::optional<int64_t> sessionID,
                                      std::optional<int64_t> sessionNumber) {
  std::shared_ptr<APMReporterFacade> facade = APMReporterFacade::current();
  auto value = [](std::optional<int64_t> number) -> std::optional<APMValue> {
    if (!number) return std::nullopt;
    return APMValue(*number);
  };
  facade->setInternalUserProperty(value(sessionID), "_sid", "auto");
  facade->setInternalUserProperty(value(sessionNumber), "_sno", "auto");
}

void APMSessionReporter::logSessionStartEvent() {
  if (!APMAnalyticsIsAppActive()) {
    monitor().logWithLevel(7, 33005, "Session start event not logged. Application is not active");
    return;
  }
  std::shared_ptr<APMPersistedConfig> config = persistedConfig();
  if (!reportingEnabled_.load() || !config) return;
  updatePropertiesForNewSessionStart();
  int64_t sessionID = static_cast<int64_t>(currentClockTime());
  int64_t sessionNumber = config->sessionNumber();
  setSessionID(sessionID, sessionNumber);
  APMReporterFacade::current()->logInternalEvent(
      "auto", "_s", APMObjectMap{{"_sid", integer(sessionID)}, {"_sno", integer(sessionNumber)}});
}

double APMSessionReporter::incurredEngagementTime() {
  double start = remoteConfig()->efficientEngagementReportingEnabled()
                     ? freerideEngagementStartUptime_.load()
                     : engagementStartUptime_.load();
  double incurred = currentUptime() - start;
  if (incurred < 0) {
    monitor().logWithLevel(4, 33004,
                           "Incurred engagement time is negative. Setting to 0.0 instead");
    return 0;
  }
  return incurred;
}

int64_t APMSessionReporter::logEngagementEventAndReturnTimeWithScreen(
    const std::shared_ptr<APMScreen>& screen, bool isRedundant) {
  if (!APMAnalyticsIsAppActive()) {
    monitor().logWithLevel(7, 33006, "User engagement event not logged. Application is not active");
    return 0;
  }
  bool efficient = remoteConfig()->efficientEngagementReportingEnabled();
  int64_t milliseconds = 0;
  if (reportingEnabled_.load()) {
    milliseconds =
        static_cast<int64_t>(std::min(incurredEngagementTime(), kMaxEngagementSeconds) * 1000);
    APMObjectMap parameters{{"_et", integer(milliseconds)}};
    if (screen) {
      for (auto& [key, value] : APMScreenEventParameters(*screen)) parameters[key] = value;
    }
    if (efficient && isRedundant) parameters.emplace("_fr", integer(1));
    APMReporterFacade::current()->logInternalEvent("auto", "_e", parameters);
  }
  double uptime = currentUptime();
  engagementStartUptime_.store(uptime);
  if (efficient && !isRedundant) freerideEngagementStartUptime_.store(uptime);
  if (std::shared_ptr<APMPersistedConfig> config = persistedConfig()) {
    config->setLastSessionActivityClockTime(currentClockTime());
  }
  rescheduleUserEngagementTimer();
  return milliseconds;
}

void APMSessionReporter::logUserEngagementEvent() {
  logEngagementEventAndReturnTimeWithScreen(nullptr, false);
}

int64_t APMSessionReporter::cutFreerideEngagementTimeMillis() {
  if (!remoteConfig()->efficientEngagementReportingEnabled()) return 0;
  int64_t milliseconds = static_cast<int64_t>(incurredEngagementTime() * 1000);
  freerideEngagementStartUptime_.store(currentUptime());
  return milliseconds;
}

void APMSessionReporter::handleAppDidBecomeActive() {
  double uptime = currentUptime();
  engagementStartUptime_.store(uptime);
  freerideEngagementStartUptime_.store(uptime);
  rescheduleUserEngagementTimer();
  if (shouldStartNewSession() && reportingEnabled_.load()) {
    setSessionID(std::nullopt, std::nullopt);
    logSessionStartEvent();
  }
}

void APMSessionReporter::handleAppWillResignActiveWithScreen(
    const std::shared_ptr<APMScreen>& screen) {
  logEngagementEventAndReturnTimeWithScreen(screen, false);
  cancelTimer();
}

void APMSessionReporter::handleScreenDidChangeFromScreen(const std::shared_ptr<APMScreen>& previous,
                                                         const std::shared_ptr<APMScreen>& next) {
  if (!previous || incurredEngagementTime() < 1.0) return;
  std::shared_ptr<APMRemoteConfig> config = remoteConfig();
  bool efficient = config->efficientEngagementReportingEnabled();
  if (efficient && config->redundantEngagementRemovalEnabled()) return;
  logEngagementEventAndReturnTimeWithScreen(previous, efficient);
}

void APMSessionReporter::rescheduleUserEngagementTimer() {
  std::weak_ptr<APMSessionReporter> weak = weak_from_this();
  onMainQueue([weak] {
    std::shared_ptr<APMSessionReporter> self = weak.lock();
    std::shared_ptr<APMAlarm> timer = self ? self->timer() : nullptr;
    if (!timer) return;
    timer->runAfterDelay(remoteConfig()->sessionEventUserEngagementInterval(), [weak] {
      platform::NotificationCenter::defaultCenter().postNotificationName(
          kEngagementTimerDidFireNotification);
      if (std::shared_ptr<APMSessionReporter> reporter = weak.lock()) {
        reporter->logUserEngagementEvent();
      }
    });
  });
}

void APMSessionReporter::cancelTimer() {
  std::weak_ptr<APMSessionReporter> weak = weak_from_this();
  onMainQueue([weak] {
    std::shared_ptr<APMSessionReporter> self = weak.lock();
    if (std::shared_ptr<APMAlarm> timer = self ? self->timer() : nullptr) timer->cancel();
  });
}

double APMSessionReporter::currentUptime() const { return platform::Clock::current()->uptime(); }

double APMSessionReporter::currentClockTime() const { return platform::Clock::current()->now(); }

std::optional<APMEvent> APMSessionStartEvent(int64_t sessionNumber, bool inBackground,
                                             double timestamp) {
  APMObjectMap parameters{{"_sid", integer(static_cast<int64_t>(timestamp))},
                          {"_sno", integer(sessionNumber)}};
  if (inBackground) {
    parameters.emplace("_aib", integer(1));
  } else {
    for (auto& [key, value] :
         APMFeatureServices::current().screenViewReporter->screenParameters()) {
      parameters.emplace(key, value);
    }
  }
  return APMEvent::create("auto", false, "_s", timestamp, 0, parameters);
}
