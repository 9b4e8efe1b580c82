#include "AppMeasurement/engine/APMMeasurement.h"

#include <algorithm>
#include <cmath>
#include <filesystem>

#include "AppMeasurement/engine/APMAnalytics.h"
#include "AppMeasurement/engine/APMBundleConsent.h"
#include "AppMeasurement/engine/APMEngineStores.h"
#include "AppMeasurement/engine/APMEngineTCFSink.h"
#include "AppMeasurement/engine/APMMeasurementSupport.h"
#include "AppMeasurement/foundation/APMAlarm.h"
#include "AppMeasurement/foundation/APMBlockGrouper.h"
#include "AppMeasurement/foundation/APMDataAdditions.h"
#include "AppMeasurement/foundation/APMDeepLinkCache.h"
#include "AppMeasurement/foundation/APMEnvironmentInfo.h"
#include "AppMeasurement/foundation/APMFilePaths.h"
#include "AppMeasurement/foundation/APMIdentity.h"
#include "AppMeasurement/foundation/APMMonitor.h"
#include "AppMeasurement/foundation/APMParameterLimits.h"
#include "AppMeasurement/foundation/APMPersistedConfig.h"
#include "AppMeasurement/foundation/APMRemoteConfig.h"
#include "AppMeasurement/foundation/APMScheduler.h"
#include "AppMeasurement/foundation/APMScreenReportingSetting.h"
#include "AppMeasurement/foundation/APMTCFClient.h"
#include "AppMeasurement/foundation/APMUserAttribute.h"
#include "AppMeasurement/storage/APMDatabase.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/runtime/ClassRegistry.h"
#include "platform/utilities/OULNetwork.h"
#include "platform/utilities/OULOSLog.h"

namespace {

// What the foundation reads of the shared engine, without holding it.
class EngineState : public APMMeasurementEngineState {
 public:
  explicit EngineState(std::weak_ptr<APMMeasurement> engine) : engine_(std::move(engine)) {}
  bool isEnabled() override {
    std::shared_ptr<APMMeasurement> engine = engine_.lock();
    return engine && engine->isEnabled();
  }
  std::shared_ptr<APMIdentity> identity() override {
    std::shared_ptr<APMMeasurement> engine = engine_.lock();
    return engine ? engine->engineIdentity() : nullptr;
  }
  std::shared_ptr<APMRemoteConfig> remoteConfig() override {
    std::shared_ptr<APMMeasurement> engine = engine_.lock();
    return engine ? engine->remoteConfigInstance() : nullptr;
  }

 private:
  std::weak_ptr<APMMeasurement> engine_;
};

struct SharedState {
  std::mutex mutex;
  std::shared_ptr<APMMeasurement> instance;  // guarded by mutex
  std::shared_ptr<EngineState> engineState;  // guarded by mutex
  bool creationAttempted = false;            // guarded by mutex
};

SharedState& shared() {
  static SharedState& state = *new SharedState();
  return state;
}

using apm_engine::monitor;

bool classExists(const char* name) { return platform::ClassRegistry::shared().contains(name); }

}  // namespace

// --- Process-wide instance ---

void APMMeasurement::initializeSharedInstance(const std::string& appID,
                                              bool isAnalyticsCollectionEnabled,
                                              bool isAnalyticsCollectionDeactivated,
                                              std::vector<std::string> safelistedEvents) {
  // Nothing run under this mutex calls sharedInstance() or remoteConfig(), which take it too.
  std::lock_guard<std::mutex> lock(shared().mutex);
  if (shared().creationAttempted) return;
  shared().creationAttempted = true;
  if (appID.empty()) return;
  APMMonitor::monitor();
  shared().instance = create(appID, isAnalyticsCollectionEnabled, isAnalyticsCollectionDeactivated,
                             std::move(safelistedEvents));
  if (shared().instance) {
    shared().engineState = std::make_shared<EngineState>(shared().instance);
    APMMeasurementEngineState::install(shared().engineState);
  }
}

bool APMMeasurement::hasSharedInstance() {
  std::lock_guard<std::mutex> lock(shared().mutex);
  return shared().creationAttempted && shared().instance != nullptr;
}

std::shared_ptr<APMMeasurement> APMMeasurement::sharedInstance() {
  std::lock_guard<std::mutex> lock(shared().mutex);
  // Straight to the console: the monitor would keep this level silent (and sample it into
  // the health data), while the app's developer is the one who must act on it.
  if (!shared().creationAttempted && classExists("KVLAnalytics")) {
    OULOSLogWarning("com.orvane.kavrelin.analytics", "<AppMeasurement>", false, "I-ACS023147",
                    "Orvane Analytics for Kavrelin has not been created. Please, configure "
                    "Kavrelin by calling [KVLApp configure]");
  }
  return shared().instance;
}

std::shared_ptr<APMRemoteConfig> APMMeasurement::remoteConfig() {
  std::shared_ptr<APMMeasurement> engine;
  {
    std::lock_guard<std::mutex> lock(shared().mutex);
    engine = shared().instance;
  }
  std::shared_ptr<APMRemoteConfig> config = engine ? engine->remoteConfigInstance() : nullptr;
  return config ? config : APMRemoteConfig::defaultInstance();
}

void APMMeasurement::resetSharedInstanceForTesting() {
  std::lock_guard<std::mutex> lock(shared().mutex);
  shared().instance.reset();
  shared().creationAttempted = false;
  shared().engineState.reset();
  APMMeasurementEngineState::install({});
}

std::shared_ptr<APMRemoteConfig> APMMeasurement::currentConfig() const {
  std::shared_ptr<APMRemoteConfig> config = remoteConfigInstance();
  return config ? config : APMRemoteConfig::defaultInstance();
}

std::shared_ptr<APMRemoteConfig> APMMeasurement::remoteConfigInstance() const {
  std::lock_guard<std::mutex> lock(remoteConfigMutex_);
  return remoteConfig_;
}

// --- Creation ---

std::shared_ptr<APMMeasurement> APMMeasurement::create(const std::string& appID,
                                                       bool isAnalyticsCollectionEnabled,
                                                       bool isAnalyticsCollectionDeactivated,
                                                       std::vector<std::string> safelistedEvents) {
  if (appID.empty()) {
    monitor().logWithLevel(1, 23170, "Cannot start Measurement. App ID is empty.");
    return nullptr;
  }
  bool facade = classExists("KVLAnalytics");
  std::string version = facade ? APMAnalytics::topLevelVersion() : "111500000";
  monitor().logWithLevel(6, 23007, "Analytics v." + version + " started");
  if (facade) {
    monitor().logWithLevel(8, 23222,
                           "Build " + std::to_string(APMIdentity::appMeasurementLibraryVersion()));
  }
  std::string prefix = facade ? "KVL" : "APM";
  std::string debugOn = "-" + prefix + "AnalyticsDebugEnabled";
  std::string debugOff = "-no" + prefix + "AnalyticsDebugEnabled";
  std::string verboseOn = "-" + prefix + "AnalyticsVerboseLoggingEnabled";
  std::string verboseOff = "-" + prefix + "AnalyticsVerboseLoggingDisabled";
  const char* docs = " (see docs/logging.md)";
  if (monitor().isDebugModeEnabled()) {
    monitor().logWithLevel(
        6, 23008,
        "To disable debug logging set the following application argument: " + debugOff + docs);
  } else {
    monitor().logWithLevel(
        6, 23008,
        "To enable debug logging set the following application argument: " + debugOn + docs);
  }
  monitor().logWithLevel(7, 23009, "Debug logging enabled");
  if (monitor().isVerboseLoggingEnabled()) {
    monitor().logWithLevel(
        7, 23207,
        "To disable verbose logging set the following application argument: " + verboseOff + docs);
  } else {
    monitor().logWithLevel(
        7, 23207,
        "To enable verbose logging set the following application argument: " + verboseOn + docs);
  }

  Collaborators collaborators;
  collaborators.network = OULNetwork::create(APMRemoteConfig::hosts().upload);
  if (!collaborators.network) {
    monitor().logWithLevel(1, 23010, "Failed to initialize network component");
  } else {
    collaborators.network->setIsDebugModeEnabled(monitor().isDebugModeEnabled());
  }
  collaborators.scheduler = std::make_shared<APMScheduler>("com.orvane.kvla.worker");
  collaborators.alarm =
      APMAlarm::create(collaborators.scheduler->workerQueue(), "Measurement timer");
  collaborators.persistedConfig = APMPersistedConfig::sharedInstance();
  return create(std::move(collaborators), appID, isAnalyticsCollectionEnabled,
                isAnalyticsCollectionDeactivated, std::move(safelistedEvents));
}

std::shared_ptr<APMMeasurement> APMMeasurement::create(Collaborators collaborators,
                                                       const std::string& appID,
                                                       bool isAnalyticsCollectionEnabled,
                                                       bool isAnalyticsCollectionDeactivated,
                                                       std::vector<std::string> safelistedEvents) {
  if (!collaborators.persistedConfig) {
    collaborators.persistedConfig = APMPersistedConfig::sharedInstance();
  }
  if (!collaborators.scheduler) {
    collaborators.scheduler = std::make_shared<APMScheduler>("com.orvane.kvla.worker");
  }
  if (!collaborators.alarm) {
    collaborators.alarm =
        APMAlarm::create(collaborators.scheduler->workerQueue(), "Measurement timer");
  }
  if (!collaborators.identity) collaborators.identity = APMIdentity::sharedInstance();
  std::shared_ptr<APMMeasurement> engine(
      new APMMeasurement(std::move(collaborators), appID, isAnalyticsCollectionEnabled,
                         isAnalyticsCollectionDeactivated, std::move(safelistedEvents)));
  if (engine->network_) engine->network_->setLoggerDelegate(engine);
  // Second phase: the engine is shared now, so its blocks can hold it weakly.
  engine->wasEnabledDuringInitialization_ = engine->shouldEnableMeasurement();
  engine->setEnabled(engine->wasEnabledDuringInitialization_);
  return engine;
}

APMMeasurement::APMMeasurement(Collaborators collaborators, const std::string& appID,
                               bool isAnalyticsCollectionEnabled,
                               bool isAnalyticsCollectionDeactivated,
                               std::vector<std::string> safelistedEvents)
    : databaseName_(collaborators.databaseName),
      alarm_(std::move(collaborators.alarm)),
      identity_(std::move(collaborators.identity)),
      network_(std::move(collaborators.network)),
      persistedConfig_(std::move(collaborators.persistedConfig)),
      scheduler_(std::move(collaborators.scheduler)),
      features_(std::move(collaborators.features)),
      appID_(appID),
      safelistedEvents_(std::move(safelistedEvents)),
      isAnalyticsCollectionEnabled_(isAnalyticsCollectionEnabled),
      isAnalyticsCollectionDeactivated_(isAnalyticsCollectionDeactivated) {
  // Each event's block holds the engine, so the engine outlives a group being written.
  eventGrouper_ = std::make_unique<APMBlockGrouper>(
      scheduler_, "APMMeasurement:2476", kMaxEventsPerCommit,
      [this](const std::function<void()>& runEvents) { writeEventGroup(runEvents); });
  std::optional<platform::Value> stored = persistedConfig_->loadTimestampValue();
  std::optional<double> storedTime = stored ? stored->numberAsDouble() : std::nullopt;
  if (storedTime) {
    initTimestamp_ = *storedTime;
  } else {
    initTimestamp_ = APMAnalytics::loadTimestamp();
    persistedConfig_->setLoadTimestampValue(platform::Value(initTimestamp_));
  }
}

APMMeasurement::~APMMeasurement() {
  // The observers hold the engine weakly and would do nothing, but they would stay registered
  // for the rest of the process.
  platform::NotificationCenter& center = platform::NotificationCenter::defaultCenter();
  for (uint64_t token : lifecycleObservers_) center.removeObserver(token);
  // Only this engine's own provider: whoever installed one before it answers again.
  if (remoteConfig_) APMParameterLimits::remove(remoteConfig_.get());
}

void APMMeasurement::schedule(const char* blockID, std::function<void(APMMeasurement&)> block) {
  std::weak_ptr<APMMeasurement> weak = weak_from_this();
  scheduler_->scheduleOnWorkerQueueBlockID(blockID, [weak, block = std::move(block)] {
    if (std::shared_ptr<APMMeasurement> engine = weak.lock()) block(*engine);
  });
}

// --- Enabling ---

bool APMMeasurement::shouldEnableMeasurement() {
  if (isAnalyticsCollectionDeactivated_) return false;
  int64_t state = persistedConfig_->measurementEnabledState();
  if (state == 1) return true;
  if (state == 2) return false;
  return isAnalyticsCollectionEnabled_;
}

void APMMeasurement::setEnabled(bool enabled) {
  schedule("APMMeasurement:619",
           [enabled](APMMeasurement& engine) { engine.setEnabledOnWorkerQueue(enabled); });
}

void APMMeasurement::setEnabledOnWorkerQueue(bool enabled) {
  APMScheduler::checkOnBackgroundThreadWithMethodName("setIsEnabledOnWorkerQueue");
  if (isAnalyticsCollectionDeactivated_ && enabled) {
    monitor().logWithLevel(6, 23206, "Analytics collection deactivated");
    return;
  }
  if (!isAnalyticsCollectionDeactivated_)
    APMAnalytics::setDeferredAnalyticsCollectionIfUnset(!enabled);
  enabled_.store(enabled);
  if (enabled) {
    if (!startMeasurementOnWorkerQueue()) {
      monitor().logWithLevel(0, 23011, "Failed to start Analytics. Analytics is disabled");
      setEnabled(false);
      return;
    }
    features_.sessionReporter->setReportingEnabled(true);
    features_.searchAdReporter->setSearchAdReporterEnabled(true);
    monitor().logWithLevel(6, 23012, "Analytics collection enabled");
    if (APMIsScreenReportingEnabled() && classExists("KVLAnalytics")) {
      monitor().logWithLevel(
          6, 23220,
          "Analytics screen reporting is enabled. Call "
          "Analytics.logEvent(AnalyticsEventScreenView, "
          "parameters: [...]) to log a screen view event. To disable automatic screen reporting, "
          "set the flag KavrelinAutomaticScreenReportingEnabled to NO (boolean) in the Info.plist");
    }
  } else {
    // A launch link kept past the attribution window would otherwise be reported, as a
    // campaign of unknown source, whenever collection is next switched on.
    APMClearExpiredCachedDeepLink(*currentConfig());
    alarm_->cancel();
    features_.sessionReporter->setReportingEnabled(false);
    features_.searchAdReporter->setSearchAdReporterEnabled(false);
    monitor().logWithLevel(6, 23013, "Analytics collection disabled");
  }
}

bool APMMeasurement::startMeasurementOnWorkerQueue() {
  APMScheduler::checkOnBackgroundThreadWithMethodName("startMeasurementOnWorkerQueue");
  {
    std::lock_guard<std::mutex> lock(initializeComponentsLock_);
    if (!didInitializeComponents_.load()) {
      if (!initializeComponentsOnWorkerQueue()) return false;
      didInitializeComponents_.store(true);
    }
  }
  onStartMeasurement();
  return true;
}

bool APMMeasurement::shouldWipeDataWithAppIDFromRZQ(const std::string& appIDFromRZQ,
                                                    const std::string& persistedAppIDFromRZQ) {
  int64_t retries = APMAnalytics::resetRetryCount();
  if (retries >= 1 && retries <= 9) return true;
  if (appIDFromRZQ.empty() || persistedAppIDFromRZQ.empty() ||
      appIDFromRZQ == persistedAppIDFromRZQ) {
    return false;
  }
  monitor().logWithLevel(4, 23294,
                         "Analytics data will reset due to change in Orvane App ID. Original ID, "
                         "new ID",
                         persistedAppIDFromRZQ, appIDFromRZQ);
  return true;
}

void APMMeasurement::updatePersistedAppIDFromRZQ() {
  std::string fromIdentity = identity_->appIDFromRZQ().value_or("");
  if (fromIdentity != persistedConfig_->appIDFromRZQ().value_or("")) {
    persistedConfig_->setAppIDFromRZQ(fromIdentity);
  }
  if (APMAnalytics::origin() == "ka") persistedConfig_->setAppIDFromRZQ(appID_);
  persistedConfig_->setAppIDFromPelmora(std::nullopt);
}

bool APMMeasurement::initializeComponentsOnWorkerQueue() {
  // 1. Identity.
  if (!identity_) return false;
  // 2. Consent that takes effect at start; the start options' set and a deferred reset are
  // used up.
  setProspectiveConsentSettings();
  APMAnalytics::removeStartUpConsentSettings();
  APMAnalytics::removeDeferredResetOnDeniedConsent();
  // 3. App-identifier change. A wipe that fails keeps the retry count and fails the start:
  // nothing of the half-wiped data may be uploaded, and the next start wipes again.
  if (shouldWipeDataWithAppIDFromRZQ(identity_->appIDFromRZQ().value_or(""),
                                     persistedConfig_->appIDFromRZQ().value_or(""))) {
    APMAnalytics::setResetRetryCount(APMAnalytics::resetRetryCount() + 1);
    if (!wipeoutAnalyticsDataAndResetComponents()) {
      monitor().logWithLevel(4, 23208, "Failed to wipe out Analytics data");
      return false;
    }
    APMAnalytics::setResetRetryCount(0);
  }
  // 4. Identifiers; an identifier chosen by a reset that could not finish is taken now.
  identity_->updateIdentifiers();
  std::optional<std::string> afterReset = APMAnalytics::appInstanceIDAfterReset();
  if (afterReset && !afterReset->empty()) {
    identity_->setAppInstanceID(*afterReset);
    APMAnalytics::setAppInstanceIDAfterReset(std::nullopt);
  }
  // 5.
  updatePersistedAppIDFromRZQ();
  // 6. Database, retried once.
  if (!database_) {
    auto settings = std::make_shared<APMEngineDatabaseSettings>(weak_from_this(), persistedConfig_);
    database_ = APMDatabase::create(databaseName_, settings, nullptr, scheduler_->workerQueue());
    if (!database_) {
      database_ = APMDatabase::create(databaseName_, settings, nullptr, scheduler_->workerQueue());
    }
    if (!database_) return false;
  }
  // 7. Remote configuration.
  if (!remoteConfigInstance()) {
    remoteConfigStore_ = std::make_shared<APMDatabaseRemoteConfigStore>(database_.get());
    std::shared_ptr<APMRemoteConfig> config = APMRemoteConfig::create(
        appID_, remoteConfigStore_, persistedConfig_, features_.experimentManager);
    if (!config) return false;
    // The sanitiser and the validator apply the server's parameter limits from now on. A reset,
    // a wipe or a rolled-back configuration changes this object in place, so they follow.
    APMParameterLimits::install(config);
    std::lock_guard<std::mutex> lock(remoteConfigMutex_);
    remoteConfig_ = std::move(config);
  }
  // 8. Audience and session reporter come from the feature services.
  if (!features_.audience || !features_.sessionReporter) return false;
  features_.audience->setDatabase(database_.get());
  // 9. Session reporter.
  features_.sessionReporter->resetWithPersistedConfig(persistedConfig_);
  // 10. The library's folder stays out of device backups.
  APMErrorSlot backupError;
  std::string folder =
      std::filesystem::path(APMApplicationSupportPath(databaseName_)).parent_path().string();
  if (!APMExcludePathFromBackup(folder, &backupError)) {
    monitor().logWithLevel(5, 23015, "Failed to exclude directory from backup. Error",
                           backupError ? APMLogContext(*backupError) : APMLogContext());
  }
  // 11.
  monitor().logWithLevel(7, 23016, "Analytics is ready to receive events");
  // 12. Where the app came from is fixed for the process; the metadata of each event reads it.
  isFromAppStore_ = APMIdentity::isFromAppStore();
  monitor().setEncodeContexts(*isFromAppStore_);
  // 13.
  APMErrorSlot error;
  if (!database_->maybeDeleteStaleData(&error) && error) {
    monitor().logWithLevel(5, 23018, "Unable to delete stale data. Error", *error);
  }
  // 14.
  updateConsentSettingsUtilWithRemoteConfig();
  // 15.
  checkPSMDependencyOnWorkerQueue();
  checkODM2DependencyOnWorkerQueue();
  maybeDeleteExpiredPSMValueOnWorkerQueue();
  // 16.
  updateCachedAdCampaignInfoWithExistingOBRAIDProperty();
  setPersonalizedAdsUserPropertyOnWorkerQueue();
  backfillSessionNumber();
  reportFirstOpenOnWorkerQueue();
  // 17. The stored launch link, else the deferred deep link.
  startDeepLinksOnWorkerQueue();
  // 18.
  reportAppUpdateOnWorkerQueue();
  reportOSUpdateOnWorkerQueue();
  // 19. Search ads.
  features_.searchAdReporter->resetWithWorkerQueue(scheduler_->workerQueue(), persistedConfig_);
  features_.searchAdReporter->setSearchAdReporterEnabled(true);
  features_.searchAdReporter->start();
  // 20. IAB TCF.
  tcfSink_ = std::make_shared<APMEngineTCFSink>();
  tcfClient_ = std::make_shared<APMTCFClient>(tcfSink_);
  tcfClient_->setIsDMARegion(currentConfig()->isDMARegion());
  tcfClientSetConsentFromData();
  // 21. Feature rollouts belong to the remote-configuration library when it is present.
  if (persistedConfig_->kavrelinFeatureRollouts() && !classExists("KVLRemoteConfig")) {
    persistedConfig_->setKavrelinFeatureRollouts(std::nullopt);
  }
  // 22.
  subscribeForAppForegroundBackgroundNotifications();
  return true;
}

void APMMeasurement::reachabilityDidChange() {
  schedule("APMMeasurement:998", [](APMMeasurement& engine) {
    engine.updateSchedule();
    engine.maybeFetchSKANCVAfterReachabilityChange();
  });
}

void APMMeasurement::OULNetwork_logWithLevel(OULLoggerLevel level, int64_t messageCode,
                                             const std::string& message,
                                             const std::vector<platform::Value>& contexts) {
  int mapped = 3;
  switch (static_cast<int>(level)) {
    case 3:
      mapped = 1;
      break;
    case 4:
      mapped = 4;
      break;
    case 5:
      mapped = 3;
      break;
    case 6:
      mapped = 6;
      break;
    case 7:
      mapped = 7;
      break;
    default:
      mapped = 3;
      break;
  }
  std::vector<APMLogContext> logContexts(contexts.begin(), contexts.end());
  monitor().logWithLevel(mapped, messageCode, message, logContexts);
}

int32_t APMMeasurement::currentDayNumber() const { return dayNumberAt(apm_engine::now()); }

int32_t APMMeasurement::dayNumberAt(double now) const {
  return static_cast<int32_t>(std::floor((now - persistedConfig_->midnightOffset()) / 86400.0));
}

// --- Raw-event metadata ---

namespace {

// The memory inputs with the stored ones: the fields the database gives taken from `stored`.
APMRawEventMetadataInputs mergedMetadataInputs(const APMRawEventMetadataInputs& memory,
                                               APMRawEventMetadataInputs stored) {
  APMRawEventMetadataInputs inputs = memory;
  inputs.sessionStitchingToken = std::move(stored.sessionStitchingToken);
  inputs.userAttributes = std::move(stored.userAttributes);
  inputs.storedNPA = std::move(stored.storedNPA);
  inputs.odm1Value = std::move(stored.odm1Value);
  inputs.odm1SessionValue = std::move(stored.odm1SessionValue);
  inputs.odm2Value = std::move(stored.odm2Value);
  return inputs;
}

}  // namespace

void APMMeasurement::readRawEventMetadataMemoryInputs(APMEventMemoryInputs& memory) {
  APMIdentity::SingleRefreshCheck check(*identity_);
  APMRawEventMetadataInputs inputs;
  inputs.appID = identity_->appID();
  inputs.fromAppStore = isFromAppStore_ ? *isFromAppStore_ : APMIdentity::isFromAppStore();
  inputs.appVersion = identity_->appVersion();
  inputs.rzqAppID = identity_->appIDFromRZQ().value_or("");
  inputs.installationID = identity_->kavrelinInstallationID();
  memory.sessionNumber = persistedConfig_->sessionNumber();
  memory.sessionExpired = features_.sessionReporter->isSessionExpired();
  inputs.appVersionMajor = identity_->appVersionMajor();
  inputs.appVersionMinor = identity_->appVersionMinor();
  inputs.appVersionRelease = identity_->appVersionRelease();
  inputs.consent = APMBundleConsent::currentState(*this);
  inputs.identifiers = APMBundleConsent::identifiersFrom(*identity_, false);
  std::shared_ptr<APMEnvironmentInfo> environment = APMEnvironmentInfo::sharedInstance();
  inputs.deviceModel = environment->deviceModel();
  inputs.osVersion = environment->deviceOSVersion();
  inputs.timeZoneOffsetMinutes = environment->timeZoneOffsetMinutes();
  inputs.userDefaultLanguage = environment->userDefaultLanguage();
  readRawEventAttribution(inputs);
  if (!lastMetadataMemoryInputs_ || !(*lastMetadataMemoryInputs_ == inputs)) {
    lastMetadataMemoryInputs_ =
        std::make_shared<const APMRawEventMetadataInputs>(std::move(inputs));
  }
  memory.metadata = lastMetadataMemoryInputs_;
}

void APMMeasurement::readRawEventMetadataStoredInputs(std::vector<APMUserAttribute> userAttributes,
                                                      APMEventMemoryInputs& memory,
                                                      APMRawEventMetadataInputs& stored) {
  bool hasUserID = false;
  bool hasNPA = false;
  for (const APMUserAttribute& property : userAttributes) {
    hasUserID |= property.name() == "_id";
    hasNPA |= property.name() == "_npa";
  }
  if (!memory.stitchingToken) {
    std::optional<std::string> token = identity_->sessionStitchingTokenWithSessionNumber(
        memory.sessionNumber, memory.sessionExpired, hasUserID);
    if (!lastStitchingToken_ || *lastStitchingToken_ != token) {
      lastStitchingToken_ = std::make_shared<const std::optional<std::string>>(std::move(token));
    }
    memory.stitchingToken = lastStitchingToken_;
  }
  stored.sessionStitchingToken = *memory.stitchingToken;
  stored.userAttributes = std::move(userAttributes);
  if (!hasNPA) stored.storedNPA = database_->userAttributeWithName("_npa", nullptr);
  readRawEventODMValues(stored);
}

APMRawEventMetadataInputs APMMeasurement::rawEventMetadataInputsWithUserAttributes(
    const std::vector<APMUserAttribute>& userAttributes) {
  APMEventMemoryInputs memory;
  readRawEventMetadataMemoryInputs(memory);
  APMRawEventMetadataInputs stored;
  readRawEventMetadataStoredInputs(userAttributes, memory, stored);
  return mergedMetadataInputs(*memory.metadata, std::move(stored));
}

APMPBMeasurementBundle APMMeasurement::createRawEventMetadataWithUserAttributes(
    const std::vector<APMUserAttribute>& userAttributes) {
  return APMRawEventMetadataFromInputs(rawEventMetadataInputsWithUserAttributes(userAttributes));
}

const APMMeasurement::RawEventMetadata& APMMeasurement::rawEventMetadataWithUserAttributes(
    std::vector<APMUserAttribute> userAttributes, APMEventMemoryInputs& memory) {
  APMRawEventMetadataInputs stored;
  readRawEventMetadataStoredInputs(std::move(userAttributes), memory, stored);
  // Most events are written with the inputs of the event before them.
  if (lastRawEventMetadata_ &&
      (lastRawEventMetadata_->memoryInputs == memory.metadata ||
       *lastRawEventMetadata_->memoryInputs == *memory.metadata) &&
      lastRawEventMetadata_->storedInputs == stored) {
    return *lastRawEventMetadata_;
  }
  APMPBMeasurementBundle bundle =
      APMRawEventMetadataFromInputs(mergedMetadataInputs(*memory.metadata, stored));
  // Equal bundles encode to equal bytes: inputs that changed without changing the bundle keep
  // its encoding and fingerprint.
  if (!lastRawEventMetadata_ || !(lastRawEventMetadata_->bundle == bundle)) {
    RawEventMetadata made;
    made.encoded = bundle.protoBuffer().value_or(std::string());
    made.fingerprint = apm_64LSBMD5(made.encoded);
    made.bundle = std::move(bundle);
    lastRawEventMetadata_ = std::move(made);
  }
  lastRawEventMetadata_->memoryInputs = memory.metadata;
  lastRawEventMetadata_->storedInputs = std::move(stored);
  return *lastRawEventMetadata_;
}
