// The application's life cycle: launch, becoming active, resigning active (an upload inside a
// background task so that pending data leaves before the app is suspended) and returning to the
// foreground.
#include <cmath>
#include <mutex>

#include "AppMeasurement/engine/APMAnalytics.h"
#include "AppMeasurement/engine/APMMeasurement.h"
#include "AppMeasurement/engine/APMMeasurementSupport.h"
#include "AppMeasurement/foundation/APMAEU.h"
#include "AppMeasurement/foundation/APMPersistedConfig.h"
#include "AppMeasurement/foundation/APMRemoteConfig.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/uikit/UIApplicationNotifications.h"

using apm_engine::monitor;

namespace {
constexpr const char* kBackgroundTaskName = "APMAnalyticsMeasurementBackgroundTask";
}  // namespace

void APMMeasurement::subscribeForAppDidFinishLaunchingNotifications() {
  static std::once_flag once;
  std::call_once(once, [] {
    platform::NotificationCenter::defaultCenter().addObserverForName(
        UIApplicationDidFinishLaunchingNotification, nullptr, nullptr,
        &APMMeasurement::handleAppDidFinishLaunching);
  });
}

void APMMeasurement::handleAppDidFinishLaunching(const platform::Notification& notification) {
  // The screen-view reporter exists from launch on, so that it sees the first screens.
  (void)APMFeatureServices::current().screenViewReporter;
  // The launch options may carry a link that opened the app: cached for the campaign report.
  if (!notification.userInfo.isNull()) {
    handleStoredURLAfterAppLaunchWithUserInfo(notification.userInfo);
  }
}

void APMMeasurement::subscribeForAppForegroundBackgroundNotifications() {
  platform::NotificationCenter& center = platform::NotificationCenter::defaultCenter();
  for (uint64_t token : lifecycleObservers_) center.removeObserver(token);
  lifecycleObservers_.clear();
  std::weak_ptr<APMMeasurement> weak = weak_from_this();
  auto observe = [&](const char* name, void (APMMeasurement::*handler)()) {
    lifecycleObservers_.push_back(center.addObserverForName(
        name, nullptr, nullptr, [weak, handler](const platform::Notification&) {
          if (std::shared_ptr<APMMeasurement> engine = weak.lock()) (engine.get()->*handler)();
        }));
  };
  observe(UIApplicationDidBecomeActiveNotification, &APMMeasurement::handleAppDidBecomeActiveEvent);
  observe(UIApplicationWillResignActiveNotification,
          &APMMeasurement::handleAppWillResignActiveEvent);
  observe(UIApplicationWillEnterForegroundNotification,
          &APMMeasurement::handleAppWillEnterForegroundNotification);
}

void APMMeasurement::handleAppDidBecomeActiveEvent() {
  std::shared_ptr<APMRemoteConfig> config = currentConfig();
  if (config->blocklistInternal()) refreshStaleConfiguration();
  schedule("APMMeasurement:3979", [](APMMeasurement& engine) { engine.fetchSKANCV(); });
}

void APMMeasurement::refreshStaleConfiguration() {
  schedule("APMMeasurement:3972", [](APMMeasurement& engine) {
    std::shared_ptr<APMRemoteConfig> current = engine.currentConfig();
    if (std::fabs(apm_engine::now() - current->lastRemoteConfigUpdateTimestamp()) < 604800) return;
    if (engine.isNetworkReadyForRequest()) {
      engine.fetchRemoteConfig();
    } else {
      monitor().logWithLevel(
          8, 23143, "Network operation is pending. Ignoring request to fetch configuration");
    }
  });
}

void APMMeasurement::handleAppWillResignActiveEvent() {
  persistedConfig_->synchronizeToDisk();
  monitor().logWithLevel(8, 23144, "App will resign active state. Scheduling data upload");
  std::weak_ptr<APMMeasurement> weak = weak_from_this();
  UIBackgroundTaskIdentifier task = UIBackgroundTaskInvalid;
  if (std::shared_ptr<UIApplication> application = APMAEU::sharedApplication()) {
    task = application->beginBackgroundTaskWithName(kBackgroundTaskName, [weak] {
      if (std::shared_ptr<APMMeasurement> engine = weak.lock()) engine->terminateBackgroundTask();
    });
  }
  swapBackgroundTaskWithNewTaskID(task);
  monitor().logWithLevel(8, 23145, "Background task started. Task ID", static_cast<int64_t>(task));
  // Through the public-call queue, so that every call already made is stored first.
  APMAnalytics::queueOperationWithBlock([weak] {
    if (std::shared_ptr<APMMeasurement> engine = weak.lock()) {
      engine->schedule("APMMeasurement:4025", [](APMMeasurement& e) { e.uploadData(); });
    }
  });
}

void APMMeasurement::handleAppWillEnterForegroundNotification() { terminateBackgroundTask(); }

void APMMeasurement::terminateBackgroundTask() {
  persistedConfig_->synchronizeToDisk();
  swapBackgroundTaskWithNewTaskID(UIBackgroundTaskInvalid);
}

void APMMeasurement::swapBackgroundTaskWithNewTaskID(UIBackgroundTaskIdentifier taskID) {
  UIBackgroundTaskIdentifier previous = backgroundUpdateTask_.exchange(taskID);
  if (previous == UIBackgroundTaskInvalid) return;
  monitor().logWithLevel(7, 23142, "Cancelling background upload task. Task ID ",
                         static_cast<int64_t>(previous));
  if (std::shared_ptr<UIApplication> application = APMAEU::sharedApplication()) {
    application->endBackgroundTask(previous);
  }
}

bool APMMeasurement::shouldUseBackgroundSession() {
  return currentConfig()->isNetworkBackgroundSessionEnabled() &&
         backgroundUpdateTask_.load() != UIBackgroundTaskInvalid;
}
