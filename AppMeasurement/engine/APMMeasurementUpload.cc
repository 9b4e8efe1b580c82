// Upload scheduling, the upload pass and its answer, and the configuration fetch.
#include <algorithm>
#include <cfloat>
#include <cmath>

#include "AppMeasurement/engine/APMAnalytics.h"
#include "AppMeasurement/engine/APMBundleConsent.h"
#include "AppMeasurement/engine/APMMeasurement.h"
#include "AppMeasurement/engine/APMMeasurementSupport.h"
#include "AppMeasurement/foundation/APMAlarm.h"
#include "AppMeasurement/foundation/APMConsentSettingsUtil.h"
#include "AppMeasurement/foundation/APMDataAdditions.h"
#include "AppMeasurement/foundation/APMIdentity.h"
#include "AppMeasurement/foundation/APMPersistedConfig.h"
#include "AppMeasurement/foundation/APMRemoteConfig.h"
#include "AppMeasurement/foundation/APMScheduler.h"
#include "AppMeasurement/foundation/APMTCFClient.h"
#include "AppMeasurement/foundation/APMUserAttribute.h"
#include "AppMeasurement/script/APMPRuntime.h"
#include "AppMeasurement/storage/APMDatabase.h"
#include "platform/utilities/OULHTTPURLResponse.h"
#include "platform/utilities/OULNetwork.h"
#include "platform/utilities/OULNetworkConstants.h"

using apm_engine::monitor;

namespace {

using B = APMPBMeasurementBundle;
constexpr double kSuspension = 3600;
// While an upload request is out: the last-failure time it replaced. A request that never got
// its answer because the process ended is not a failure of the service; the next start puts the
// earlier time back, so the bundle goes out on the ordinary schedule, not after retry intervals.
constexpr std::string_view kUnansweredUploadKey = "unansweredUploadPreviousFailureTimestamp";
// The background task is held only while an upload is due within this many seconds.
constexpr double kBackgroundTaskHorizon = 30;

APMLogContext errorContext(const APMErrorSlot& error) {
  return error ? APMLogContext(*error) : APMLogContext();
}

bool isOK(int64_t status) {
  return status == kOULNetworkHTTPStatusOK || status == kOULNetworkHTTPStatusNoContent;
}

bool isBackoffStatus(int64_t status) {
  return status == kOULNetworkHTTPStatusCodeUnavailable ||
         status == kOULNetworkHTTPStatusCodeCannotAcceptTraffic;
}

// Bytes as a data object describes itself: "<0a1b2c3d 4e5f>", hex in groups of four bytes.
std::string dataDescription(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text = "<";
  text.reserve(bytes.size() * 2 + bytes.size() / 4 + 2);
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0 && i % 4 == 0) text += ' ';
    auto byte = static_cast<unsigned char>(bytes[i]);
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0xf];
  }
  return text + ">";
}

// The consent layers that a configuration sets (default, delegated, regional).
struct ConsentLayers {
  std::optional<platform::Value::Dictionary> defaults;
  std::optional<platform::Value::Dictionary> delegations;
  std::optional<platform::Value::Dictionary> regional;

  static ConsentLayers current() {
    return {APMConsentSettingsUtil::defaultSettings(), APMConsentSettingsUtil::delegatedSettings(),
            APMConsentSettingsUtil::regionalDefaults()};
  }
  void restore() const {
    APMConsentSettingsUtil::setDefaultSettings(defaults);
    APMConsentSettingsUtil::setDelegatedSettings(delegations);
    APMConsentSettingsUtil::setRegionalDefaults(regional);
  }
};

}  // namespace

// --- Scheduling ---

void APMMeasurement::updateSchedule() {
  APMScheduler::checkOnBackgroundThreadWithMethodName("updateSchedule");
  if (!database_) return;
  std::shared_ptr<APMRemoteConfig> config = currentConfig();
  // Nothing due soon: the background task is not needed.
  auto stopWaiting = [this] {
    alarm_->cancel();
    if (network_) network_->setReachabilityDelegate({});
    terminateBackgroundTask();
  };
  if (suspendedUploadTimestamp_ != 0 && !std::isnan(suspendedUploadTimestamp_)) {
    double distance = std::fabs(apm_engine::uptime() - suspendedUploadTimestamp_);
    if (distance < kSuspension) {
      monitor().logWithLevel(3, 23023,
                             "Upload has been suspended. Will update scheduling later. Seconds",
                             kSuspension - distance);
      stopWaiting();
      return;
    }
    suspendedUploadTimestamp_ = 0;
  }
  // The scheduler's table reads, checked against other writers once.
  bool hasData = false;
  double next = 0;
  database_->performReads([&] {
    hasData = hasDataToUpload();
    if (hasData) next = nextUploadingTime();
  });
  if (!hasData) {
    config->activateNewSnapshot();
    monitor().logWithLevel(8, 23024, "No data to upload. Upload task will not be scheduled");
    stopWaiting();
    return;
  }
  if (std::fabs(next) < DBL_EPSILON) {
    monitor().logWithLevel(8, 23025, "No next uploading time. Upload task will not be scheduled");
    stopWaiting();
    return;
  }
  if (network_ && !network_->isNetworkConnected()) {
    monitor().logWithLevel(8, 23026, "No network. Upload task will not be scheduled");
    network_->setReachabilityDelegate(weak_from_this());
    alarm_->cancel();
    terminateBackgroundTask();
    return;
  }
  if (network_) network_->setReachabilityDelegate({});
  double backoff = persistedConfig_->lastBackoffTimestamp();
  double backoffInterval = config->uploadingBackoffInterval();
  if (backoff > 0 && apm_engine::now() - backoff < backoffInterval) {
    next = std::max(next, backoff + backoffInterval);
  }
  std::optional<double> scheduled = alarm_->scheduledTimestamp();
  if (scheduled && *scheduled != 0 && *scheduled <= next) {
    monitor().logWithLevel(8, 23027,
                           "Do not schedule an upload task. Task already exists. Will be executed "
                           "in seconds",
                           *scheduled - apm_engine::now());
    if (*scheduled - apm_engine::now() > kBackgroundTaskHorizon) terminateBackgroundTask();
    return;
  }
  double delay = next - apm_engine::now();
  if (std::fabs(delay) < DBL_EPSILON) delay = 0.001;
  std::weak_ptr<APMMeasurement> weak = weak_from_this();
  alarm_->runAfterDelay(delay, [weak] {
    std::shared_ptr<APMMeasurement> engine = weak.lock();
    if (!engine) return;
    engine->schedule("APMMeasurement:1747", [](APMMeasurement& e) { e.uploadData(); });
  });
  monitor().logWithLevel(8, 23028, "Upload task scheduled to be executed in approx. (s)", delay);
  if (delay > kBackgroundTaskHorizon) terminateBackgroundTask();
}

double APMMeasurement::nextUploadingTime() {
  std::shared_ptr<APMRemoteConfig> config = currentConfig();
  APMErrorSlot error;
  std::optional<double> bundleTime = database_->queryLatestBundleTime(&error);
  if (!bundleTime && error) {
    monitor().logWithLevel(5, 23030, "Failed to query latest bundle time. Error",
                           errorContext(error));
  }
  error.reset();
  std::optional<double> rawTime = database_->queryLatestRawEventTime(&error);
  if (!rawTime && error) {
    monitor().logWithLevel(5, 23029, "Failed to query latest raw event time. Error",
                           errorContext(error));
  }
  double latest = std::max(bundleTime.value_or(0), rawTime.value_or(0));
  if (std::fabs(latest) < DBL_EPSILON) return 0;
  double interval;
  if (monitor().isDebugModeEnabled()) {
    interval = config->uploadingRealTimeInterval();
  } else {
    error.reset();
    std::optional<bool> realtimeBundles = database_->containsRealtimeBundlesWithError(&error);
    if (!realtimeBundles && error) {
      monitor().logWithLevel(5, 23031, "Failed to query for real-time bundle indicator. Error",
                             errorContext(error));
    }
    error.reset();
    std::optional<bool> realtimeEvents = database_->containsRealtimeRawEventsWithError(&error);
    if (!realtimeEvents && error) {
      monitor().logWithLevel(5, 23032, "Failed to query for real-time raw event indicator. Error",
                             errorContext(error));
    }
    if (realtimeBundles.value_or(false) || realtimeEvents.value_or(false)) {
      interval = config->uploadingRealTimeInterval();
    } else if (config->SKANUpdateConversionValueEnabled() && isInFirstSKANPostbackWindow()) {
      // Conversion values of the first postback window count only if they arrive in time.
      interval = config->SKANFirstWindowUploadInterval();
    } else {
      interval = config->uploadingInterval();
    }
  }
  double now = apm_engine::now();
  double mirrored = now - std::fabs(latest - now);
  double lastSuccess = persistedConfig_->lastSuccessfulUploadTimestamp();
  double next = (std::fabs(now - lastSuccess) < interval)
                    ? lastSuccess + interval
                    : mirrored + config->uploadingInitialDelayInterval();
  double lastFailure = persistedConfig_->lastFailedUploadTimestamp();
  if (lastFailure >= mirrored) {
    double retryInterval = config->uploadingRetryInterval();
    for (int32_t k = 0; k < config->uploadingRetryCount(); ++k) {
      next += retryInterval * std::pow(2.0, k);
      if (next > lastFailure) return next;
    }
    return 0;
  }
  if (monitor().isDebugModeEnabled()) {
    return std::min(next, mirrored + config->uploadingDebugModeInterval());
  }
  return next;
}

bool APMMeasurement::hasDataToUpload() {
  APMErrorSlot error;
  std::optional<bool> queueEmpty = database_->isQueuedBundleTableEmpty(&error);
  if (!queueEmpty) {
    monitor().logWithLevel(1, 23117, "Failed to check if queue table is empty. Error",
                           errorContext(error));
    return false;
  }
  if (!*queueEmpty) return true;
  std::optional<bool> rawEmpty = database_->isRawEventsTableEmpty(&error);
  if (!rawEmpty) {
    monitor().logWithLevel(1, 23118, "Failed to check if raw events table is empty. Error",
                           errorContext(error));
    return false;
  }
  return !*rawEmpty;
}

bool APMMeasurement::isNetworkReadyForRequest() {
  if (!isNetworkRequestPending_) return !(network_ && network_->hasUploadInProgress());
  if (network_ && !network_->hasUploadInProgress()) {
    monitor().logWithLevel(1, 23041, "Analytics is uploading but network is not uploading");
  }
  return false;
}

// --- Upload ---

void APMMeasurement::uploadData() {
  APMScheduler::checkOnBackgroundThreadWithMethodName("uploadData");
  if (!database_ || !network_) return;
  std::shared_ptr<APMRemoteConfig> config = currentConfig();
  if (suspendedUploadTimestamp_ > 0) {
    updateSchedule();
    return;
  }
  monitor().logWithLevel(8, 23033, "Starting data upload");
  if (!isNetworkReadyForRequest()) {
    monitor().logWithLevel(8, 23034, "Network operation is pending. Ignoring upload request");
    return;
  }
  if (!network_->isNetworkConnected()) {
    monitor().logWithLevel(7, 23035, "Network not connected, ignoring upload request");
    updateSchedule();
    return;
  }
  // The first upload waits for the configuration: nothing is bundled under an expired one.
  if (!config->isExpired()) {
    for (int32_t made = 0; made < config->maxBundlesCreatedPerIteration() && bundleRawEvents();) {
      ++made;
    }
  }
  APMErrorSlot error;
  std::optional<std::vector<APMQueuedBundle>> queued = database_->queryBundlesWithCountLimit(
      config->uploadMaxBundlesLimit(), config->uploadMaxSizeLimitBytes(), &error);
  if (!queued) {
    monitor().logWithLevel(1, 23036, "Failed to query bundles. Error", errorContext(error));
    terminateBackgroundTask();
    return;
  }
  if (queued->empty()) {
    config->activateNewSnapshot();
    monitor().logWithLevel(8, 23037, "No data to upload");
    if (config->isExpired())
      fetchRemoteConfig();
    else
      terminateBackgroundTask();
    return;
  }
  // Destination: the measurement service, or the app's own tag-manager server.
  bool sotm = config->SOTMUploadEnabled();
  std::string url = config->uploadURL();
  OULNetwork::Headers headers;
  if (sotm) {
    std::optional<std::string> sotmURL = config->SOTMUploadURL();
    if (!sotmURL || sotmURL->empty()) {
      monitor().logWithLevel(1, 23263, "Unable to get a valid SOTM upload URL.");
      return;
    }
    url = *sotmURL;
    for (const auto& [name, value] :
         config->SOTMUploadHTTPHeaders().value_or(platform::Value::Dictionary{})) {
      if (const std::string* text = value.asString()) headers[name] = *text;
    }
    // A preview key from a debug link rides along, so the tag-manager server shows the batch.
    for (const auto& [name, value] : SOTMPreviewHeaders().value_or(platform::Value::Dictionary{})) {
      if (const std::string* text = value.asString()) headers[name] = *text;
    }
  }
  std::vector<APMQueuedBundle> batchBundles = prepareBatch(std::move(*queued));
  if (batchBundles.empty()) return;
  APMPBMeasurementBatch batch;
  std::vector<APMPBMeasurementBundle> bundles;
  std::vector<int64_t> rowIDs;
  for (APMQueuedBundle& entry : batchBundles) {
    bundles.push_back(entry.bundle);
    rowIDs.push_back(entry.rowID);
  }
  NANOSetMessageArray(batch, APMPBMeasurementBatch::kBundles, bundles);
  if (std::optional<std::string> subdomain = config->uploadSubdomain();
      sotm && subdomain && !subdomain->empty()) {
    NANOSetString(batch, APMPBMeasurementBatch::kUploadSubdomain, *subdomain);
  }
  std::optional<std::string> payload = batch.protoBuffer();
  if (!payload) return;
  // The batch's hex text is up to twice its size: made only when the line is printed.
  if (monitor().isLoggableLevel(7)) {
    monitor().logWithLevel(7, 23039, "Measurement data sent to network. Timestamp (ms), data",
                           static_cast<int64_t>(apm_engine::now() * 1000),
                           dataDescription(*payload));
  }
  if (!uploadingBundleIDs_.empty()) {
    monitor().logWithLevel(2, 23047, "Set uploading progress before finishing the previous upload");
  } else {
    uploadingBundleIDs_ = rowIDs;
  }
  // An upload that never answers counts as failed (within this run; see kUnansweredUploadKey).
  persistedConfig_->setNumber(platform::Value(persistedConfig_->lastFailedUploadTimestamp()),
                              kUnansweredUploadKey);
  persistedConfig_->setLastFailedUploadTimestamp(apm_engine::now());
  // This pass is the upload an armed alarm waited for; every answer re-arms it, so an earlier
  // alarm cannot resend during a back-off the answer asks for.
  alarm_->cancel();
  isNetworkRequestPending_ = true;
  uint64_t serial = ++nextRequestSerial_;
  pendingRequestSerial_ = serial;
  network_->setTimeoutInterval(config->networkTimeout());
  std::weak_ptr<APMMeasurement> weak = weak_from_this();
  std::string transfer = network_->postURL(
      url, headers, std::move(*payload), scheduler_->workerQueue(), shouldUseBackgroundSession(),
      [weak, serial](const std::optional<OULHTTPURLResponse>& response,
                     const std::optional<std::string>&, const std::optional<OULError>& error) {
        if (std::shared_ptr<APMMeasurement> engine = weak.lock()) {
          engine->networkUploadCompletion(serial, response, error);
        }
      });
  if (transfer.empty()) {
    monitor().logWithLevel(2, 23040, "Unable to create network session.");
    failRequestThatWasNotSent();
  }
}

std::vector<APMQueuedBundle> APMMeasurement::prepareBatch(std::vector<APMQueuedBundle> queued) {
  std::shared_ptr<APMRemoteConfig> config = currentConfig();
  // The consent of this pass: the IAB TCF values first, as they may have changed.
  tcfClientSetConsentFromData();
  APMBundleConsent::State state = APMBundleConsent::currentState(*this);
  std::vector<std::string> controls = config->dataControls();
  bool needsEphemeral =
      std::find(controls.begin(), controls.end(), "app_instance_id") != controls.end();
  APMBundleConsent::Identifiers ids = APMBundleConsent::identifiersFrom(*identity_, needsEphemeral);
  std::optional<APMPBUserAttribute> npa;
  APMErrorSlot error;
  if (std::optional<APMUserAttribute> stored = database_->userAttributeWithName("_npa", &error)) {
    npa = stored->protoUserAttribute();
  }
  // Redaction override: a denied signal now, or a first open in this or an earlier bundle.
  bool override = state.consentSignals.find('0') != std::string::npos;
  for (APMQueuedBundle& entry : queued) {
    if (!override && APMBundleConsent::hasFirstOpenEvent(entry.bundle)) override = true;
    APMBundleConsent::applyConsentIdentifiers(entry.bundle, state, ids, override);
    APMBundleConsent::applyDMAFields(entry.bundle, state, npa, override);
  }
  double lastSuccess = persistedConfig_->lastSuccessfulUploadTimestamp();
  if (lastSuccess > 0) {
    monitor().logWithLevel(8, 23038,
                           "Uploading events. Elapsed time since last successful upload (s)",
                           apm_engine::now() - lastSuccess);
  }
  // One app and one device per batch; the resettable identifier wins over the vendor one.
  std::string appID = NANOGetString(queued.front().bundle, B::kAppId).value_or("");
  std::optional<std::string> resettable;
  std::optional<std::string> vendor;
  for (const APMQueuedBundle& entry : queued) {
    std::optional<std::string> id = NANOGetString(entry.bundle, B::kResettableDeviceId);
    if (id && !id->empty()) {
      resettable = id;
      break;
    }
  }
  if (!resettable) {
    for (const APMQueuedBundle& entry : queued) {
      std::optional<std::string> id = NANOGetString(entry.bundle, B::kVendorDeviceId);
      if (id && !id->empty()) {
        vendor = id;
        break;
      }
    }
  }
  std::vector<APMQueuedBundle> kept;
  for (APMQueuedBundle& entry : queued) {
    if (NANOGetString(entry.bundle, B::kAppId).value_or("") != appID) break;
    uint32_t slot = resettable ? B::kResettableDeviceId : B::kVendorDeviceId;
    const std::optional<std::string>& chosen = resettable ? resettable : vendor;
    std::optional<std::string> own = NANOGetString(entry.bundle, slot);
    if (own && !own->empty() && own != chosen) break;
    kept.push_back(std::move(entry));
  }
  int64_t uploadMillis = static_cast<int64_t>(apm_engine::now() * 1000);
  std::vector<APMQueuedBundle> batch;
  int64_t latestEnd = lastEventEndTimestampMsec_;
  for (APMQueuedBundle& entry : kept) {
    if (!batch.empty() &&
        !APMBundleConsent::areBatchCompatible(batch.front().bundle, entry.bundle)) {
      break;
    }
    NANOSetInt64(entry.bundle, B::kUploadLibraryVersion,
                 APMIdentity::appMeasurementLibraryVersion());
    NANOSetInt64(entry.bundle, B::kUploadTimestampMillis, uploadMillis);
    APMBundleConsent::applyDataControls(entry.bundle, controls, ids);
    if (config->checksumEnabled()) {
      NANOClearField(entry.bundle, B::kPayloadChecksum);
      NANOSetInt64(entry.bundle, B::kPayloadChecksum,
                   apm_64LSBMD5(entry.bundle.protoBuffer().value_or("")));
    }
    latestEnd = std::max(latestEnd, NANOGetInt64(entry.bundle, B::kEndTimestampMillis));
    batch.push_back(std::move(entry));
  }
  lastEventEndTimestampMsec_ = latestEnd;
  return batch;
}

void APMMeasurement::failRequestThatWasNotSent() {
  // Without this the pending flag would stay set and refuse every later upload and fetch; a
  // late answer of this request is ignored by its serial.
  isNetworkRequestPending_ = false;
  pendingRequestSerial_ = 0;
  uploadingBundleIDs_.clear();
  persistedConfig_->setNumber(std::nullopt, kUnansweredUploadKey);
  persistedConfig_->setLastFailedUploadTimestamp(apm_engine::now());
  updateSchedule();
}

void APMMeasurement::restoreUploadCutByExit() {
  if (isNetworkRequestPending_) return;  // this run's own request, still out
  std::optional<platform::Value> previous = persistedConfig_->numberForKey(kUnansweredUploadKey);
  if (!previous) return;
  persistedConfig_->setLastFailedUploadTimestamp(previous->numberAsDouble().value_or(0));
  persistedConfig_->setNumber(std::nullopt, kUnansweredUploadKey);
}

void APMMeasurement::networkUploadCompletion(uint64_t requestSerial,
                                             const std::optional<OULHTTPURLResponse>& response,
                                             const std::optional<OULError>& networkError) {
  if (requestSerial != pendingRequestSerial_) return;
  isNetworkRequestPending_ = false;
  pendingRequestSerial_ = 0;
  persistedConfig_->setNumber(std::nullopt, kUnansweredUploadKey);
  int64_t status = response ? response->statusCode : 0;
  double now = apm_engine::now();
  if (isOK(status)) {
    monitor().logWithLevel(7, 23044, "Successful upload. Got network response. Code, size", status,
                           response->expectedContentLength);
    persistedConfig_->setLastSuccessfulUploadTimestamp(now);
    persistedConfig_->setLastFailedUploadTimestamp(0);
    persistedConfig_->setLastBackoffTimestamp(0);
    SKANRetryCount_ = 0;
    persistedConfig_->setLastUploadedEventTimestampMillis(
        std::max(persistedConfig_->lastUploadedEventTimestampMillis(), lastEventEndTimestampMsec_));
    updateSchedule();
    APMErrorSlot error;
    if (!database_->deleteBundlesWithRowIDs(uploadingBundleIDs_, &error)) {
      monitor().logWithLevel(1, 23122, "Failed to delete bundles from database. Error",
                             errorContext(error));
      monitor().logWithLevel(1, 23045,
                             "Unable to delete uploaded bundles. Uploads will be suspended for "
                             "seconds",
                             kSuspension);
      suspendedUploadTimestamp_ = apm_engine::uptime();
    } else {
      suspendedUploadTimestamp_ = 0;
    }
    uploadingBundleIDs_.clear();
    std::shared_ptr<APMRemoteConfig> config = currentConfig();
    if ((network_->isNetworkConnected() && hasDataToUpload()) || config->isExpired()) {
      uploadData();
    } else {
      // A postponed on-device conversion request, else the schedule and the SKAdNetwork fetch.
      continueAfterSuccessfulUpload();
    }
    return;
  }
  persistedConfig_->setLastFailedUploadTimestamp(now);
  if (isBackoffStatus(status)) persistedConfig_->setLastBackoffTimestamp(now);
  monitor().logWithLevel(7, 23043, "Network upload failed. Will retry later. Code, error", status,
                         networkError ? APMLogContext(networkError->description) : APMLogContext());
  APMErrorSlot error;
  if (!database_->incrementRetryCounterForBundlesWithIDs(uploadingBundleIDs_, &error)) {
    monitor().logWithLevel(2, 23166, "Failed to update the bundles' retry counts. Error",
                           errorContext(error));
  }
  uploadingBundleIDs_.clear();
  updateSchedule();
}

// --- Configuration fetch ---

void APMMeasurement::fetchRemoteConfig() {
  if (!network_) return;
  std::shared_ptr<APMRemoteConfig> config = currentConfig();
  std::optional<std::string> url = config->remoteConfigURLWithPlatform(
      "ios", APMIdentity::appMeasurementLibraryVersion(), APMPRuntime::runtimeVersion());
  if (!url) {
    monitor().logWithLevel(2, 23125, "Invalid server URL to get configuration");
    return;
  }
  monitor().logWithLevel(8, 23126, "Fetching configuration from the server");
  OULNetwork::Headers headers;
  std::string version = std::to_string(APMIdentity::appMeasurementLibraryVersion());
  // Validators stored by another library version are not offered: that version may have
  // understood less of the configuration.
  if (persistedConfig_->configRZQVersion() == APMIdentity::appMeasurementLibraryVersion()) {
    std::optional<platform::Value> modified = persistedConfig_->configServerLastModifiedString();
    if (modified && modified->isString() && !modified->asString()->empty()) {
      headers["If-Modified-Since"] = *modified->asString();
    }
    std::optional<std::string> etag = persistedConfig_->configServerETag();
    if (etag && !etag->empty()) headers["If-None-Match"] = *etag;
  }
  isNetworkRequestPending_ = true;
  uint64_t serial = ++nextRequestSerial_;
  pendingRequestSerial_ = serial;
  network_->setTimeoutInterval(config->networkTimeout());
  std::weak_ptr<APMMeasurement> weak = weak_from_this();
  std::string transfer = network_->getURL(
      *url, headers, scheduler_->workerQueue(), shouldUseBackgroundSession(),
      [weak, serial, version](const std::optional<OULHTTPURLResponse>& response,
                              const std::optional<std::string>& data,
                              const std::optional<OULError>& error) {
        if (std::shared_ptr<APMMeasurement> engine = weak.lock()) {
          engine->configFetchCompletion(serial, response, data.value_or(""), error, version);
        }
      });
  if (transfer.empty()) {
    monitor().logWithLevel(2, 23040, "Unable to create network session.");
    failRequestThatWasNotSent();
  }
}

void APMMeasurement::configFetchCompletion(uint64_t requestSerial,
                                           const std::optional<OULHTTPURLResponse>& response,
                                           const std::string& body,
                                           const std::optional<OULError>& networkError,
                                           const std::string& libraryVersion) {
  if (requestSerial != pendingRequestSerial_) return;
  isNetworkRequestPending_ = false;
  pendingRequestSerial_ = 0;
  int64_t status = response ? response->statusCode : 0;
  monitor().logWithLevel(8, 23127, "Fetched configuration. Status code", status);
  double now = apm_engine::now();
  bool fetched = isOK(status) || status == kOULNetworkHTTPStatusCodeNotModified ||
                 status == kOULNetworkHTTPStatusCodeNotFound;
  if (!fetched) {
    APMLogContext reason =
        networkError ? APMLogContext(networkError->description) : APMLogContext();
    monitor().logWithLevel(3, 23128, "Network request failed to fetch remote config. Code, Error",
                           status, reason);
    persistedConfig_->setLastFailedUploadTimestamp(now);
    if (isBackoffStatus(status)) persistedConfig_->setLastBackoffTimestamp(now);
    monitor().logWithLevel(3, 23129, "Network fetch failed. Will retry later. Code, error", status,
                           reason);
    updateSchedule();
    return;
  }
  persistedConfig_->setLastFailedUploadTimestamp(0);
  persistedConfig_->setLastBackoffTimestamp(0);
  APMErrorSlot error;
  bool timestampStored = database_->updateRemoteConfigSuccessfulTimestamp(now, &error);
  if (status == kOULNetworkHTTPStatusCodeNotFound ||
      status == kOULNetworkHTTPStatusCodeNotModified) {
    if (status == kOULNetworkHTTPStatusCodeNotFound) {
      monitor().logWithLevel(3, 23130, "Configuration not found. Using default configuration");
    } else {
      monitor().logWithLevel(8, 23131,
                             "Configuration has not been modified. Using the same configuration. "
                             "Code",
                             status);
    }
    if (!timestampStored) {
      monitor().logWithLevel(1, 23132, "Failed to update config last set timestamp. Error",
                             errorContext(error));
    }
  } else {
    monitor().logWithLevel(8, 23133,
                           "Successfully fetched configuration from the server. Code, size", status,
                           static_cast<int64_t>(body.size()));
    if (!timestampStored) {
      monitor().logWithLevel(1, 23134, "Failed to set last set timestamp in database. Error",
                             errorContext(error));
    }
    if (body.size() > kMaxRemoteConfigBytes) {
      // Far beyond what any configuration holds: refused before it is decoded or stored, and
      // said at error level so that it shows.
      monitor().logWithLevel(1, 23135, "Configuration data is invalid. Size, limit",
                             static_cast<int64_t>(body.size()),
                             static_cast<int64_t>(kMaxRemoteConfigBytes));
    } else if (!body.empty()) {
      // What applying changes in memory before the audiences are stored; put back when the
      // transaction rolls back, so that memory keeps the configuration the database keeps.
      std::shared_ptr<const APMRemoteConfig::AppliedState> previousConfig;
      ConsentLayers previousConsent;
      bool previousNPAUpdate = false;
      bool memoryChanged = false;
      bool applied = database_->performTransaction([&] {
        std::optional<APMPBMeasurementConfig> config =
            APMPBMeasurementConfig::initWithBuffer(std::string_view(body));
        if (!config || !config->protoBuffer()) {
          monitor().logWithLevel(2, 23135, "Configuration data is invalid.");
          return false;
        }
        if (NANOGetString(*config, APMPBMeasurementConfig::kAppId).value_or("") !=
            identity_->appIDFromRZQ().value_or("")) {
          monitor().logWithLevel(2, 23136, "Configuration does not have valid Orvane App ID.");
          return false;
        }
        // The audiences are stored as filters, not as part of the configuration.
        std::vector<APMPBAudience> audiences =
            NANOGetMessageArray<APMPBAudience>(*config, APMPBMeasurementConfig::kAudiences)
                .value_or(std::vector<APMPBAudience>{});
        NANOClearField(*config, APMPBMeasurementConfig::kAudiences);
        previousConfig = currentConfig()->appliedState();
        previousConsent = ConsentLayers::current();
        previousNPAUpdate = shouldUpdateNPAUserProperty();
        if (!currentConfig()->updateMeasurementConfig(*config)) {
          monitor().logWithLevel(2, 23138,
                                 "Failed to update configuration with new server configuration",
                                 platform::Value::bytes(body));
          return false;
        }
        memoryChanged = true;
        updateConsentSettingsUtilWithRemoteConfig();
        if (!features_.audience->updateAudiences(audiences)) {
          monitor().logWithLevel(2, 23137,
                                 "Failed to update audiences with new server configuration");
          return false;
        }
        return true;
      });
      if (!applied && memoryChanged) {
        currentConfig()->restoreAppliedState(*previousConfig);
        previousConsent.restore();
        setShouldUpdateNPAUserProperty(previousNPAUpdate);
      }
      if (applied) {
        std::optional<std::string> modified = response->valueForHTTPHeaderField("Last-Modified");
        std::optional<std::string> etag = response->valueForHTTPHeaderField("ETag");
        persistedConfig_->setConfigServerLastModifiedString(modified);
        persistedConfig_->setConfigServerETag(etag);
        persistedConfig_->setConfigRZQVersion(std::stoll(libraryVersion));
      }
    }
  }
  suspendedUploadTimestamp_ = timestampStored ? 0 : apm_engine::uptime();
  if (tcfClient_) tcfClient_->setIsDMARegion(currentConfig()->isDMARegion());
  // On-device conversion, and the deferred deep link in place of the upload step.
  if (continueAfterAnsweredConfigFetch()) return;
  // The upload that waited for the configuration goes now, or is scheduled (a pending request
  // or a suspension is for uploadData to find).
  if (network_->isNetworkConnected() && hasDataToUpload()) {
    uploadData();
  } else {
    updateSchedule();
  }
}
