#include "AppMeasurement/features/APMAdExposureReporter.h"

#include "AppMeasurement/engine/APMAnalyticsPredicates.h"
#include "AppMeasurement/engine/APMFeatureServices.h"
#include "AppMeasurement/features/APMReporterFacade.h"
#include "AppMeasurement/features/APMScreenParameters.h"
#include "AppMeasurement/features/APMSessionReporter.h"
#include "AppMeasurement/foundation/APMMonitor.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchQueue.h"

namespace {

APMMonitor& monitor() { return *APMMonitor::monitor(); }

APMObjectMap currentScreenParameters() {
  return APMFeatureServices::current().screenViewReporter->screenParameters();
}

int64_t millisecondsBetween(double start, double end) {
  return static_cast<int64_t>((end - start) * 1000);
}

}  // namespace

std::shared_ptr<APMAdExposureReporter> APMAdExposureReporter::sharedInstance() {
  // Never destroyed: the notification centre may call it up to exit.
  static auto* instance = new std::shared_ptr<APMAdExposureReporter>([] {
    std::shared_ptr<APMAdExposureReporter> reporter(new APMAdExposureReporter());
    std::weak_ptr<APMAdExposureReporter> weak = reporter;
    reporter->observer_ = platform::NotificationCenter::defaultCenter().addObserverForName(
        APMSessionReporter::kEngagementTimerDidFireNotification, nullptr, nullptr,
        [weak](const platform::Notification& notification) {
          if (std::shared_ptr<APMAdExposureReporter> self = weak.lock()) {
            self->handleEngagementTimer(notification);
          }
        });
    return reporter;
  }());
  return *instance;
}

APMAdExposureReporter::APMAdExposureReporter()
    : queue_(platform::DispatchQueue::createSerial("APMAdExposureReporter")),
      adExposureStartTime_(currentTime()) {}

APMAdExposureReporter::~APMAdExposureReporter() {
  if (observer_ != 0) platform::NotificationCenter::defaultCenter().removeObserver(observer_);
}

double APMAdExposureReporter::currentTime() { return platform::Clock::current()->uptime(); }

void APMAdExposureReporter::beginAdUnitExposure(const std::string& adUnitID) {
  if (adUnitID.empty()) {
    monitor().logWithLevel(5, 1000,
                           "Ignoring call to begin ad unit exposure. Received empty ad unit ID");
    return;
  }
  double now = currentTime();
  std::weak_ptr<APMAdExposureReporter> weak = weak_from_this();
  queue_->async([weak, adUnitID, now] {
    std::shared_ptr<APMAdExposureReporter> self = weak.lock();
    if (!self) return;
    if (self->adUnitCounts_.size() >= kMaxAdUnits) {
      // Also for a unit already tracked: the limit is checked before the unit.
      monitor().logWithLevel(5, 1002, "Reached limit on ad units. Ignoring ad unit with ID",
                             adUnitID);
      return;
    }
    if (self->adUnitCounts_.empty()) self->adExposureStartTime_ = now;
    if (!self->adUnitCounts_.contains(adUnitID)) self->adUnitStartTimes_[adUnitID] = now;
    self->adUnitCounts_[adUnitID] += 1;
  });
}

void APMAdExposureReporter::endAdUnitExposure(const std::string& adUnitID) {
  if (adUnitID.empty()) {
    monitor().logWithLevel(5, 1003,
                           "Ignoring call to end ad unit exposure. Received empty ad unit ID");
    return;
  }
  double now = currentTime();
  APMObjectMap parameters = currentScreenParameters();
  queue_->sync([&] {
    auto count = adUnitCounts_.find(adUnitID);
    if (count == adUnitCounts_.end()) {
      monitor().logWithLevel(5, 1004, "Unknown ad unit. Ignoring ad unit with ID", adUnitID);
      return;
    }
    if (count->second >= 2) {
      count->second -= 1;
      return;
    }
    logAdUnitExposureEventOnSerialQueueWithID(adUnitID, now, parameters);
    adUnitCounts_.erase(count);
    adUnitStartTimes_.erase(adUnitID);
    if (adUnitCounts_.empty()) {
      logAdExposureEventOnSerialQueueWithEndTime(now, parameters);
      adExposureStartTime_ = now;
    }
  });
}

void APMAdExposureReporter::logAdUnitExposureEventOnSerialQueueWithID(
    const std::string& adUnitID, double endTime, const APMObjectMap& parameters) {
  if (!reportingEnabled_.load()) {
    monitor().logWithLevel(5, 1007, "Ad unit exposure not logged. Reporting is disabled.");
    return;
  }
  if (adUnitID.empty()) {
    monitor().logWithLevel(5, 1008, "Ad unit exposure not logged. Received empty ad unit ID");
    return;
  }
  if (!APMAnalyticsIsAppActive()) {
    monitor().logWithLevel(8, 1011, "Ad unit exposure not logged. App is not active.");
    return;
  }
  auto start = adUnitStartTimes_.find(adUnitID);
  int64_t milliseconds =
      millisecondsBetween(start == adUnitStartTimes_.end() ? endTime : start->second, endTime);
  if (milliseconds < 1000) {
    monitor().logWithLevel(8, 1009,
                           "Ad unit exposure not logged. Exposure time was less than 1 sec");
    return;
  }
  APMObjectMap event = parameters;
  event["_ai"] = APMObject(APMValue(adUnitID));
  event["_xt"] = APMObject(APMValue(milliseconds));
  APMReporterFacade::current()->logInternalEvent("am", "_xu", event);
}

void APMAdExposureReporter::logAdExposureEventOnSerialQueueWithEndTime(
    double endTime, const APMObjectMap& parameters) {
  if (!reportingEnabled_.load()) {
    monitor().logWithLevel(5, 1005, "Ad exposure not logged. Reporting is disabled.");
    return;
  }
  if (!APMAnalyticsIsAppActive()) {
    monitor().logWithLevel(8, 1010, "Ad exposure not logged. App is not active.");
    return;
  }
  int64_t milliseconds = millisecondsBetween(adExposureStartTime_, endTime);
  if (milliseconds < 1000) {
    monitor().logWithLevel(8, 1006, "Ad exposure not logged. Exposure time was less than 1 sec");
    return;
  }
  APMObjectMap event = parameters;
  event["_xt"] = APMObject(APMValue(milliseconds));
  APMReporterFacade::current()->logInternalEvent("am", "_xa", event);
}

void APMAdExposureReporter::logExposureEventsOnSerialQueueWithEndTime(
    double endTime, const APMObjectMap& parameters) {
  for (const auto& [adUnitID, count] : adUnitCounts_) {
    logAdUnitExposureEventOnSerialQueueWithID(adUnitID, endTime, parameters);
  }
  if (!adUnitCounts_.empty()) logAdExposureEventOnSerialQueueWithEndTime(endTime, parameters);
  updateStartTimesOnSerialQueue(endTime);
}

void APMAdExposureReporter::updateStartTimesOnSerialQueue(double uptime) {
  if (adUnitCounts_.empty()) return;
  for (auto& [adUnitID, start] : adUnitStartTimes_) start = uptime;
  adExposureStartTime_ = uptime;
}

void APMAdExposureReporter::logExposureEventsWithScreenParameters(
    const APMObjectMap& screenParameters) {
  double now = currentTime();
  queue_->sync([&] { logExposureEventsOnSerialQueueWithEndTime(now, screenParameters); });
}

void APMAdExposureReporter::handleScreenDidChangeFromScreen(
    const std::shared_ptr<APMScreen>& previous, const std::shared_ptr<APMScreen>& next) {
  if (!previous) return;
  logExposureEventsWithScreenParameters(APMScreenEventParameters(*previous));
}

void APMAdExposureReporter::handleAppDidBecomeActive() {
  double now = currentTime();
  queue_->sync([&] { updateStartTimesOnSerialQueue(now); });
}

void APMAdExposureReporter::handleAppWillResignActiveWithScreen(
    const std::shared_ptr<APMScreen>& screen) {
  APMObjectMap parameters = screen ? APMScreenEventParameters(*screen) : APMObjectMap{};
  if (parameters.empty()) parameters = currentScreenParameters();
  logExposureEventsWithScreenParameters(parameters);
}

void APMAdExposureReporter::handleEngagementTimer(const platform::Notification&) {
  logExposureEventsWithScreenParameters(currentScreenParameters());
}

void APMAdExposureReporter::resetForTesting() {
  double now = currentTime();
  queue_->sync([&] {
    adUnitCounts_.clear();
    adUnitStartTimes_.clear();
    adExposureStartTime_ = now;
  });
  reportingEnabled_.store(true);
}
