// Automatic start-up events (first open, engagement, app and OS updates).
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "AppMeasurement/engine/APMAnalytics.h"
#include "AppMeasurement/engine/APMAnalyticsPredicates.h"
#include "AppMeasurement/engine/APMBackwardCompatibilityUtil.h"
#include "AppMeasurement/engine/APMMeasurement.h"
#include "AppMeasurement/engine/APMMeasurementSupport.h"
#include "AppMeasurement/foundation/APMEnvironmentInfo.h"
#include "AppMeasurement/foundation/APMIdentity.h"
#include "AppMeasurement/foundation/APMKeychainWrapper.h"
#include "AppMeasurement/foundation/APMPersistedConfig.h"
#include "AppMeasurement/foundation/APMRemoteConfig.h"
#include "AppMeasurement/foundation/APMScheduler.h"
#include "AppMeasurement/foundation/APMUserAttribute.h"
#include "AppMeasurement/foundation/APMUserDefaults.h"
#include "AppMeasurement/storage/APMDatabase.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/storekit/SKAdNetwork.h"
#include "platform/uikit/UIApplicationNotifications.h"
#include "platform/utilities/OULAppEnvironmentUtil.h"

using apm_engine::monitor;

namespace {
APMLogContext errorContext(const APMErrorSlot& error) {
  return error ? APMLogContext(*error) : APMLogContext();
}

// A property the engine just set must now exist; false (with the message) otherwise.
bool checkExists(APMDatabase& database, const char* name, int64_t errorCode,
                 const char* errorMessage, int64_t absentCode, const char* absentMessage) {
  APMErrorSlot error;
  std::optional<bool> exists = database.containsUserAttributeWithName(name, &error);
  if (!exists) {
    monitor().logWithLevel(1, errorCode, errorMessage, errorContext(error));
    return false;
  }
  if (!*exists) {
    monitor().logWithLevel(1, absentCode, absentMessage);
    return false;
  }
  return true;
}
}  // namespace

void APMMeasurement::onStartMeasurement() {
  restoreUploadCutByExit();
  setPersonalizedAdsUserPropertyOnWorkerQueue();
  if (APMAnalytics::needFirstOpenAfterReset()) {
    reportFirstOpenOnWorkerQueue();
    APMAnalytics::setNeedFirstOpenAfterReset(false);
  }
  updateSchedule();
  if (APMBackwardCompatibilityUtil::disableOMRMeasurement()) {
    monitor().logWithLevel(1, 23210, "OMRMeasurement has been disabled");
  }
}

int64_t APMMeasurement::timestampMillisRoundedUpToNextHour(int64_t millis) {
  return (millis / 3600000) * 3600000 + 3600000;
}

std::optional<platform::Value::Dictionary> APMMeasurement::fileAttributesForPath(
    std::string_view path) {
  if (path.empty()) return std::nullopt;
  std::string file(path);
  struct stat info {};
  if (::stat(file.c_str(), &info) != 0) {
    int code = errno;
    monitor().logWithLevel(5, 23022, "Unable to read attributes of path. Path, error", file,
                           std::string(std::strerror(code)));
    return std::nullopt;
  }
  const char* type = S_ISDIR(info.st_mode)   ? "NSFileTypeDirectory"
                     : S_ISREG(info.st_mode) ? "NSFileTypeRegular"
                     : S_ISLNK(info.st_mode) ? "NSFileTypeSymbolicLink"
                                             : "NSFileTypeUnknown";
  double modified =
      static_cast<double>(info.st_mtim.tv_sec) + static_cast<double>(info.st_mtim.tv_nsec) / 1e9;
  return platform::Value::Dictionary{
      {"NSFileType", platform::Value(type)},
      {"NSFileSize", platform::Value(static_cast<int64_t>(info.st_size))},
      {"NSFilePosixPermissions", platform::Value(static_cast<int64_t>(info.st_mode & 07777))},
      {"NSFileModificationDate", platform::Value::date(modified)}};
}

void APMMeasurement::updateCachedAdCampaignInfoWithExistingOBRAIDProperty() {
  if (!database_) return;
  std::optional<platform::Value> buffer = persistedConfig_->adCampaignInfoBuffer();
  if (buffer && ((buffer->isBytes() && !buffer->asBytes()->data.empty()) ||
                 (buffer->isString() && !buffer->asString()->empty()))) {
    return;
  }
  APMErrorSlot error;
  std::optional<APMUserAttribute> obraid = database_->userAttributeWithName("_obraid", &error);
  if (!obraid || !obraid->value().stringValue()) return;
  APMPBAdCampaignInfo info;
  NANOSetInt64(info, APMPBAdCampaignInfo::kDeepLinkTimestampMillis,
               static_cast<int64_t>(obraid->lastSetTimestamp() * 1000));
  NANOSetString(info, APMPBAdCampaignInfo::kDeepLinkObraid, *obraid->value().stringValue());
  if (std::optional<std::string> encoded = info.protoBuffer()) {
    persistedConfig_->setAdCampaignInfoBuffer(platform::Value::bytes(*encoded));
  }
}

void APMMeasurement::backfillSessionNumber() {
  if (persistedConfig_->sessionNumber() != 0 || !database_) return;
  APMErrorSlot error;
  std::optional<APMEventAggregates> sessions = database_->eventAggregatesWithName("_s", &error);
  if (sessions) {
    persistedConfig_->setSessionNumber(sessions->lifetimeCount());
  } else if (error) {
    monitor().logWithLevel(1, 23063, "Unable to query event aggregates. Name, error", "_s",
                           errorContext(error));
  }
}

bool APMMeasurement::isVersionSameAsOriginalVersion() {
  return features_.purchaseReporter->isVersionSameAsOriginalVersion();
}

std::optional<platform::Value> APMMeasurement::previousFirstOpenCount() {
  std::optional<std::string> stored =
      APMKeychainWrapper::keychainValueWithIdentifier("_pfo", identity_->appID());
  if (!stored) return std::nullopt;
  return platform::Value(*stored);
}

void APMMeasurement::setPreviousFirstOpenCount(const std::optional<platform::Value>& count) {
  if (!count) {
    APMKeychainWrapper::deleteKeychainValueWithIdentifier("_pfo", identity_->appID());
    return;
  }
  // The keychain keeps text: a number is stored as its decimal form.
  platform::Value text =
      count->isString() ? *count
                        : platform::Value(std::to_string(count->numberAsInteger().value_or(0)));
  APMKeychainWrapper::upsertKeychainValue(text, "_pfo", identity_->appID());
}

void APMMeasurement::reportFirstOpenOnWorkerQueue() {
  APMScheduler::checkOnBackgroundThreadWithMethodName("reportFirstOpenOnWorkerQueue");
  if (!database_) return;
  APMErrorSlot error;
  std::optional<bool> hasFirstOpen = database_->containsUserAttributeWithName("_fot", &error);
  if (!hasFirstOpen) {
    monitor().logWithLevel(1, 23019, "Failed to query first open property. Error",
                           errorContext(error));
    return;
  }
  std::optional<platform::Value> previous = previousFirstOpenCount();
  int64_t previousCount = 0;
  if (previous) {
    if (previous->isString())
      previousCount = std::atoll(previous->asString()->c_str());
    else
      previousCount = previous->numberAsInteger().value_or(0);
  }
  if (*hasFirstOpen) {
    if (previousCount < 1) setPreviousFirstOpenCount(platform::Value(int64_t{1}));
    APMAnalytics::settings()->removeObjectForKey("deferred_analytics_collection");
    reportSessionStartAtLaunchOnWorkerQueue();
    persistedConfig_->setLoadTimestampValue(std::nullopt);
    return;
  }
  bool fresh = previousCount >= 1 || isVersionSameAsOriginalVersion();
  double firstOpenTime = persistedConfig_->firstOpenTimestampMilliseconds() > 0
                             ? persistedConfig_->firstOpenTimestampMilliseconds() / 1000.0
                             : initTimestamp_;
  std::optional<APMUserAttribute> fi =
      APMUserAttribute::create("auto", "_fi", APMValue(int64_t{fresh ? 1 : 0}), firstOpenTime);
  if (fi) setUserAttributeOnWorkerQueue(*fi);
  if (!checkExists(*database_, "_fi", 23161,
                   "Failed to query first open after install property after setting it. Error",
                   23162, "Failed to set first open after install property")) {
    return;
  }
  int64_t firstOpenMillis = static_cast<int64_t>(initTimestamp_ * 1000);
  std::optional<APMUserAttribute> fot = APMUserAttribute::create(
      "auto", "_fot", APMValue(timestampMillisRoundedUpToNextHour(firstOpenMillis)),
      initTimestamp_);
  if (fot) setUserAttributeOnWorkerQueue(*fot);
  if (!checkExists(*database_, "_fot", 23020,
                   "Failed to query first open property after setting it. Error", 23021,
                   "Failed to set first open property")) {
    return;
  }
  std::shared_ptr<APMRemoteConfig> config = currentConfig();
  bool efficient = config->efficientEngagementReportingEnabled();
  APMObjectMap parameters;
  if (!previousRZQAppID_.empty())
    parameters.emplace("_przq", APMObject(platform::Value(previousRZQAppID_)));
  parameters.emplace("_pfo", APMObject(platform::Value(int64_t{previousCount >= 1 ? 1 : 0})));
  parameters.emplace("_uwa", APMObject(platform::Value(int64_t{fresh ? 0 : 1})));
  std::optional<platform::Value> deferred = APMAnalytics::deferredAnalyticsCollection();
  if (deferred && deferred->numberAsBool().value_or(false)) {
    parameters.emplace("_dac", APMObject(platform::Value(int64_t{1})));
  }
  if (efficient) parameters.emplace("_et", APMObject(platform::Value(int64_t{1})));
  APMObjectMap screen = features_.screenViewReporter->screenParameters();
  if (std::optional<APMEvent> firstOpen =
          APMEvent::create("auto", false, "_f", initTimestamp_, 0, parameters)) {
    firstOpen->addScreenParameters(screen);
    handleInternalEventOnWorkerQueue(std::move(*firstOpen));
  }
  APMAnalytics::settings()->removeObjectForKey("deferred_analytics_collection");
  persistedConfig_->setLoadTimestampValue(std::nullopt);
  if (features_.screenViewReporter->isAppActive()) {
    reportSessionStartOnWorkerQueueWithTimestamp(initTimestamp_, false);
  }
  if (!config->redundantEngagementRemovalEnabled()) {
    APMObjectMap engagement{{"_et", APMObject(platform::Value(int64_t{1}))}};
    if (efficient) engagement.emplace("_fr", APMObject(platform::Value(int64_t{1})));
    if (std::optional<APMEvent> event =
            APMEvent::create("auto", false, "_e", initTimestamp_, 0, engagement)) {
      event->addScreenParameters(screen);
      handleInternalEventOnWorkerQueue(std::move(*event));
    }
  }
  persistedConfig_->setFirstOpenTimestampMilliseconds(firstOpenMillis);
  // A link that opened the app before this first open is its campaign, clicked just before.
  reportStoredCampaignEventOnWorkerQueue(firstOpenMillis - 1);
  if (shouldAllowAdNetworkRegistration()) {
    SKAdNetwork::registerAppForAdNetworkAttribution();
  } else {
    monitor().logWithLevel(7, 23217, "Opted out of registration for ad network attribution");
  }
}

void APMMeasurement::reportSessionStartAtLaunchOnWorkerQueue() {
  if (OULAppEnvironmentUtil::isSystemVersionAtLeast(15) && APMHasSceneManifest() &&
      APMIsActivePrewarm()) {
    // A prewarmed launch is not yet the user's: the session starts when the scene connects.
    reportSessionStartWhenSceneWillConnectOnWorkerQueue();
  } else if (features_.screenViewReporter->isAppActive()) {
    reportSessionStartOnWorkerQueueWithTimestamp(initTimestamp_, false);
  }
}

void APMMeasurement::reportSessionStartWhenSceneWillConnectOnWorkerQueue() {
  APMScheduler::checkOnBackgroundThreadWithMethodName(
      "reportSessionStartWhenSceneWillConnectOnWorkerQueue");
  if (!OULAppEnvironmentUtil::isSystemVersionAtLeast(13)) return;
  platform::NotificationCenter& center = platform::NotificationCenter::defaultCenter();
  auto token = std::make_shared<std::atomic<platform::NotificationCenter::ObserverToken>>(0);
  std::weak_ptr<APMMeasurement> weak = weak_from_this();
  // Registered while the token is still 0, so the first delivery can see an unset token when
  // the scene connects on another thread at once; the flag makes that delivery the only one.
  auto fired = std::make_shared<std::atomic<bool>>(false);
  token->store(center.addObserverForName(
      UISceneWillConnectNotification, nullptr, nullptr,
      [weak, token, fired](const platform::Notification&) {
        if (fired->exchange(true)) return;
        platform::NotificationCenter::defaultCenter().removeObserver(token->load());
        if (std::shared_ptr<APMMeasurement> engine = weak.lock()) engine->reportSessionStart();
      }));
  if (fired->load()) center.removeObserver(token->load());
}

void APMMeasurement::reportAppUpdateOnWorkerQueue() {
  APMScheduler::checkOnBackgroundThreadWithMethodName("reportAppUpdateOnWorkerQueue");
  std::string current = identity_->appVersion();
  std::string stored = persistedConfig_->appVersion().value_or("");
  if (current == stored) return;
  persistedConfig_->setAppVersion(current);
  if (!stored.empty()) {
    APMAnalytics::logInternalEventWithOrigin(
        "auto", "_au", APMObjectMap{{"_pv", APMObject(platform::Value(stored))}});
  }
}

void APMMeasurement::reportOSUpdateOnWorkerQueue() {
  APMScheduler::checkOnBackgroundThreadWithMethodName("reportOSUpdateOnWorkerQueue");
  std::string current = APMEnvironmentInfo::sharedInstance()->deviceOSVersion();
  std::string stored = persistedConfig_->osVersion().value_or("");
  if (current == stored) return;
  persistedConfig_->setOSVersion(current);
  if (!stored.empty()) {
    APMAnalytics::logInternalEventWithOrigin(
        "auto", "_ou", APMObjectMap{{"_po", APMObject(platform::Value(stored))}});
  }
}
