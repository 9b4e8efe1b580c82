// Wiping every measurement datum: at start when the app identifier changed, and on the public
// reset, which also takes a new app instance identifier and reports a new first open.
#include <limits>

#include "AppMeasurement/engine/APMAnalytics.h"
#include "AppMeasurement/engine/APMMeasurement.h"
#include "AppMeasurement/engine/APMMeasurementSupport.h"
#include "AppMeasurement/engine/APMPSMContext.h"
#include "AppMeasurement/foundation/APMConsentSettingsUtil.h"
#include "AppMeasurement/foundation/APMFilePaths.h"
#include "AppMeasurement/foundation/APMIdentity.h"
#include "AppMeasurement/foundation/APMPersistedConfig.h"
#include "AppMeasurement/foundation/APMRemoteConfig.h"
#include "AppMeasurement/foundation/APMScheduler.h"
#include "AppMeasurement/storage/APMDatabase.h"
#include "platform/foundation/FileManager.h"

using apm_engine::monitor;

bool APMMeasurement::deleteDatabaseFiles() {
  std::string path = APMApplicationSupportPath(databaseName_);
  if (path.empty()) return true;
  bool deleted = true;
  platform::FileManager& files = platform::FileManager::defaultManager();
  for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
    std::string file = path + suffix;
    if (!files.fileExistsAtPath(file)) continue;
    APMErrorSlot error;
    if (!APMDeleteFileAtPath(file, &error)) {
      monitor().logWithLevel(1, 23014, "Failed to delete old database file. Error",
                             error ? APMLogContext(*error) : APMLogContext());
      deleted = false;
    }
  }
  return deleted;
}

bool APMMeasurement::wipeoutAnalyticsDataAndResetComponents() {
  APMScheduler::checkOnBackgroundThreadWithMethodName("wipeoutAnalyticsDataAndResetComponents");
  monitor().logWithLevel(6, 23171, "Resetting App Measurement data");
  // The older on-device conversion flow starts over: no client, counts, retries or pending
  // retry alarm of the old data (releasing the alarm cancels it). An engine without the flow
  // (no client class linked) stays without it.
  if (ODM1Context_) ODM1Context_ = std::make_shared<APMPSMContext>();
  previousRZQAppID_ = persistedConfig_->appIDFromRZQ().value_or("");
  persistedConfig_->clearValues();
  monitor().clearMonitoringData();
  if (APMConsentSettingsUtil::adPersonalization()) {
    APMConsentSettingsUtil::unsetAdPersonalization();
    APMConsentSettingsUtil::setDefaultSettings(std::nullopt);
    APMConsentSettingsUtil::setDelegatedSettings(std::nullopt);
  }
  bool wiped = true;
  if (database_) {
    APMErrorSlot error;
    if (!database_->reset(&error)) {
      monitor().logWithLevel(1, 23209, "Failed to reset database");
      return false;
    }
    if (std::shared_ptr<APMRemoteConfig> config = remoteConfigInstance()) config->reset();
    // A new session reporter over the cleared persisted configuration: no session, timeout
    // or engagement of the old data; it reports while collection is on.
    if (features_.sessionReporter) {
      features_.sessionReporter->resetWithPersistedConfig(persistedConfig_);
      features_.sessionReporter->setReportingEnabled(isEnabled());
    }
  } else {
    // Not opened yet (an app-identifier change at start): the old app's file goes, so the
    // database opened next is empty. A file that stays fails the wipe, to be tried again.
    wiped = deleteDatabaseFiles();
  }
  identity_->updateIdentifiersAndWait();
  identity_->resetEphemeralAppInstanceID();
  identity_->resetSessionStitchingToken();
  return wiped;
}

bool APMMeasurement::resetAnalyticsDataWithAppInstanceID(
    const std::optional<std::string>& appInstanceID) {
  APMScheduler::checkOnBackgroundThreadWithMethodName("resetAnalyticsData");
  if (!appInstanceID || appInstanceID->empty()) {
    if (!APMConsentSettingsUtil::isAnalyticsStorageDenied()) {
      monitor().logWithLevel(1, 23167, "Cannot reset with an empty app instance ID");
      return false;
    }
    monitor().logWithLevel(7, 23218, "Resetting with an empty app instance ID");
  }
  double loadTimestamp = APMAnalytics::loadTimestamp();
  bool result = false;
  std::weak_ptr<APMMeasurement> weak = weak_from_this();
  scheduler_->dispatchSyncOnWorkerQueueBlockID("APMMeasurement:3406", [&] {
    std::shared_ptr<APMMeasurement> engine = weak.lock();
    if (!engine) return;
    result = wipeoutAnalyticsDataAndResetComponents();
    if (!result) return;
    if (appInstanceID && !appInstanceID->empty()) identity_->setAppInstanceID(*appInstanceID);
    updatePersistedAppIDFromRZQ();
    monitor().logWithLevel(6, 23168, "Analytics data has been reset");
    if (!isAnalyticsCollectionDeactivated_) {
      APMAnalytics::setDeferredAnalyticsCollectionIfUnset(!isEnabled());
    }
    initTimestamp_ = loadTimestamp;
    persistedConfig_->setLoadTimestampValue(platform::Value(loadTimestamp));
    if (isEnabled()) {
      setPersonalizedAdsUserPropertyOnWorkerQueue();
      reportFirstOpenOnWorkerQueue();
    }
  });
  return result;
}

double APMMeasurement::firstOpenTimestamp() {
  if (!database_) return 0;
  APMErrorSlot error;
  std::optional<std::vector<APMUserAttribute>> properties =
      database_->userAttributesIncludingInternal(true, &error);
  if (!properties) {
    monitor().logWithLevel(1, 23123, "Unable to query current user properties. Error",
                           error ? APMLogContext(*error) : APMLogContext());
    return 0;
  }
  if (properties->empty()) {
    monitor().logWithLevel(2, 23124, "Cannot extract first open timestamp. Empty user properties");
    return 0;
  }
  double earliest = std::numeric_limits<double>::max();
  for (const APMUserAttribute& property : *properties) {
    if (property.name() == "_fot") return property.lastSetTimestamp();
    earliest = std::min(earliest, property.lastSetTimestamp());
  }
  return earliest;
}
