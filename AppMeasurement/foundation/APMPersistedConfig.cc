#include "AppMeasurement/foundation/APMPersistedConfig.h"

#include <cstdlib>
#include <random>

#include "AppMeasurement/foundation/APMFilePaths.h"
#include "AppMeasurement/foundation/APMMonitor.h"
#include "AppMeasurement/foundation/APMUserDefaults.h"
#include "platform/dispatch/Clock.h"
#include "platform/foundation/PropertyListSerialization.h"

namespace {

constexpr double kSynchronizeDelaySeconds = 1.0;

#define APM_KEY(name) "/orvane/measurement/" name
constexpr std::string_view kLastDeleteStale = APM_KEY("last_delete_stale");
constexpr std::string_view kSearchAdCampaign = APM_KEY("is_search_ad_campaign");
constexpr std::string_view kSearchAdLastAttempt = APM_KEY("search_ad_last_attempt_timestamp");
constexpr std::string_view kSearchAdRetries = APM_KEY("search_ad_number_of_retries");
constexpr std::string_view kAppInstanceID = APM_KEY("app_instance_id");
constexpr std::string_view kRZQAppID = APM_KEY("rzq_app_id");
constexpr std::string_view kPelmoraAppID = APM_KEY("pelmora_app_id");
constexpr std::string_view kHashedIDFA = APM_KEY("hashed_idfa");
constexpr std::string_view kDiversionKey = APM_KEY("diversion_key");
constexpr std::string_view kLastBackoff = APM_KEY("last_backoff");
constexpr std::string_view kLastSuccessfulUpload = APM_KEY("last_successful_upload");
constexpr std::string_view kLastFailedUpload = APM_KEY("last_failed_upload");
constexpr std::string_view kAppVersion = APM_KEY("app_version");
constexpr std::string_view kOSVersion = APM_KEY("os_version");
constexpr std::string_view kLastMonitorSampled = APM_KEY("last_monitor_data_sampled_timestamp");
constexpr std::string_view kFirstOpenMs = APM_KEY("first_open_timestamp_ms");
constexpr std::string_view kLastModified = APM_KEY("last_modified_since_key");
constexpr std::string_view kConfigETag = APM_KEY("config_etag");
constexpr std::string_view kConfigRZQVersion = APM_KEY("config_rzq_version");
constexpr std::string_view kLoadTimestamp = APM_KEY("load_timestamp");
constexpr std::string_view kAllowPersonalizedAds = APM_KEY("allow_personalized_ads");
constexpr std::string_view kFeatureRollouts = APM_KEY("kavrelin_feature_rollouts");
constexpr std::string_view kDeepLinkComplete = APM_KEY("deep_link_retrieval_complete");
constexpr std::string_view kDeepLinkRetries = APM_KEY("deep_link_retry_count");
constexpr std::string_view kLastAdIDReset = APM_KEY("set_last_advertising_id_reset");
constexpr std::string_view kUnmatchedFirstOpen = APM_KEY("unmatched_first_open");
constexpr std::string_view kPreviousFirstOpenCount = APM_KEY("previous_first_open_count");
constexpr std::string_view kPreviousConsentSignals = APM_KEY("previous_bundled_consent_signals");
constexpr std::string_view kAdCampaignBuffer = APM_KEY("ad_campaign_info_buffer");
constexpr std::string_view kLastEngagementEnd = APM_KEY("last_engagement_end");
constexpr std::string_view kSessionNumber = APM_KEY("session_number");
constexpr std::string_view kSessionTimeout = APM_KEY("session_timeout");
constexpr std::string_view kDefaultEventParameters = APM_KEY("default_event_parameters");
constexpr std::string_view kLastUploadedEventMillis = APM_KEY("last_uploaded_event_millis");
constexpr std::string_view kSKANEventTime = APM_KEY("skan_evaluation_event_time_millis");
constexpr std::string_view kSKANBackoff = APM_KEY("skan_evaluation_update_backoff_millis");
#undef APM_KEY

std::optional<platform::Value> stringValue(std::optional<std::string> value) {
  if (!value) return std::nullopt;
  return platform::Value(std::move(*value));
}

double asDouble(const std::optional<platform::Value>& value) {
  return value ? value->numberAsDouble().value_or(0) : 0;
}
int64_t asInt64(const std::optional<platform::Value>& value) {
  return value ? value->numberAsInteger().value_or(0) : 0;
}
bool asBool(const std::optional<platform::Value>& value) {
  return value ? value->numberAsBool().value_or(false) : false;
}
std::optional<std::string> asString(const std::optional<platform::Value>& value) {
  if (!value || !value->isString()) return std::nullopt;
  return *value->asString();
}

// A uniformly drawn integer below the bound (arc4random_uniform on the phone).
uint32_t randomBelow(uint32_t bound) {
  static std::mutex& mutex = *new std::mutex();
  static std::random_device& device = *new std::random_device();
  std::lock_guard<std::mutex> lock(mutex);
  return std::uniform_int_distribution<uint32_t>(0, bound - 1)(device);
}

}  // namespace

std::shared_ptr<APMPersistedConfig> APMPersistedConfig::sharedInstance() {
  static const std::shared_ptr<APMPersistedConfig>& instance = []() -> auto& {
    auto* made = new std::shared_ptr<APMPersistedConfig>(create(kSharedSuiteName));
    std::atexit([] {
      const std::shared_ptr<APMPersistedConfig>& config = sharedInstance();
      if (config && config->store_) config->store_->synchronize();
    });
    return *made;
  }
  ();
  if (!instance) {
    APMMonitor::monitor()->logWithLevel(1, 27001, "PersistedConfig's shared instance is nil");
  }
  return instance;
}

std::shared_ptr<APMPersistedConfig> APMPersistedConfig::create(std::string_view suiteName) {
  if (suiteName.empty()) return nullptr;
  std::shared_ptr<APMPersistedConfig> config(new APMPersistedConfig(std::string(suiteName)));
  APMMigratePreferencesPlist(config->suiteName_);
  config->store_ = APMPersistentDictionary::create(config->suiteName_);
  return config;
}

APMPersistedConfig::APMPersistedConfig(std::string suiteName)
    : suiteName_(std::move(suiteName)),
      queue_(platform::DispatchQueue::createSerial("APMPersistedConfig")) {}

APMPersistedConfig::~APMPersistedConfig() { cancelScheduledSynchronize(); }

std::optional<platform::Value> APMPersistedConfig::readRaw(std::string_view key) {
  // An empty key goes to the store too, which refuses it with its code.
  if (!store_) return std::nullopt;
  // Writes run synchronously on the config queue, so every write that has returned is in the
  // store; the store's own lock makes this read whole. Waiting for the queue would add nothing
  // but a hop per read.
  return store_->objectForKey(key);
}

void APMPersistedConfig::write(std::optional<platform::Value> value, std::string_view key,
                               bool synchronize) {
  if (!store_) return;
  queue_->sync([&] { store_->setObject(std::move(value), key); });
  if (synchronize) scheduleSynchronizeToDisk();
}

bool APMPersistedConfig::boolForKey(std::string_view key) { return asBool(readRaw(key)); }
int64_t APMPersistedConfig::int64ForKey(std::string_view key) { return asInt64(readRaw(key)); }
int64_t APMPersistedConfig::int64ForKey(std::string_view key, APMUserDefaults& userDefault) {
  int64_t result = 0;
  queue_->sync([&] { result = asInt64(userDefault.numberForKey(key)); });
  return result;
}
double APMPersistedConfig::doubleForKey(std::string_view key) { return asDouble(readRaw(key)); }
std::optional<std::string> APMPersistedConfig::stringForKey(std::string_view key) {
  return asString(readRaw(key));
}
std::optional<platform::Value::Dictionary> APMPersistedConfig::dictionaryForKey(
    std::string_view key) {
  auto value = readRaw(key);
  if (!value || !value->isDictionary()) return std::nullopt;
  return *value->asDictionary();
}
std::optional<platform::Value> APMPersistedConfig::numberForKey(std::string_view key) {
  return readRaw(key);
}

void APMPersistedConfig::setBool(bool value, std::string_view key) {
  write(platform::Value(value), key, true);
}
void APMPersistedConfig::setInt64(int64_t value, std::string_view key) {
  write(platform::Value(static_cast<long long>(value)), key, true);
}
void APMPersistedConfig::setDouble(double value, std::string_view key) {
  write(platform::Value(value), key, true);
}
void APMPersistedConfig::setString(std::optional<std::string> value, std::string_view key) {
  write(stringValue(std::move(value)), key, true);
}
void APMPersistedConfig::setDictionary(std::optional<platform::Value::Dictionary> value,
                                       std::string_view key) {
  if (value && !platform::PropertyListSerialization::propertyListIsValid(platform::Value(*value))) {
    APMMonitor::monitor()->logWithLevel(1, 27002, "Unsupported value passed in dictionary");
    return;
  }
  std::optional<platform::Value> stored;
  if (value) stored = platform::Value(std::move(*value));
  write(std::move(stored), key, true);
}
void APMPersistedConfig::setNumber(std::optional<platform::Value> value, std::string_view key) {
  write(std::move(value), key, true);
}

void APMPersistedConfig::clearValues() {
  if (!store_) return;
  queue_->sync([&] { store_->clearAllData(); });
  scheduleSynchronizeToDisk();
}

void APMPersistedConfig::scheduleSynchronizeToDisk() {
  // One timer at a time: a change moves the deadline, and the timer, when it fires before the
  // deadline, waits for the rest (a burst of changes would otherwise leave a pending timer
  // per change).
  const double deadline = platform::Clock::current()->uptime() + kSynchronizeDelaySeconds;
  uint64_t generation;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    syncDeadline_ = deadline;
    if (syncArmed_) return;
    syncArmed_ = true;
    generation = syncGeneration_;
  }
  armSynchronize(kSynchronizeDelaySeconds, generation);
}

void APMPersistedConfig::armSynchronize(double delaySeconds, uint64_t generation) {
  std::weak_ptr<APMPersistedConfig> weak = weak_from_this();
  queue_->after(delaySeconds, [weak, generation] {
    auto self = weak.lock();
    if (!self) return;
    double remaining;
    {
      std::lock_guard<std::mutex> lock(self->mutex_);
      if (self->syncGeneration_ != generation) return;  // cancelled
      // Within a microsecond counts as due: a clock advanced in steps may fall short of the
      // deadline by a rounding error.
      remaining = self->syncDeadline_ - platform::Clock::current()->uptime();
      if (remaining <= 1e-6) self->syncArmed_ = false;
    }
    if (remaining > 1e-6) return self->armSynchronize(remaining, generation);
    self->synchronizeToDisk();
  });
}

void APMPersistedConfig::cancelScheduledSynchronize() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++syncGeneration_;
  syncArmed_ = false;
}

void APMPersistedConfig::synchronizeToDisk() {
  if (platform::DispatchQueue::isMainThread()) {
    scheduleSynchronizeToDisk();
    return;
  }
  synchronizeToDiskNow();
}

void APMPersistedConfig::synchronizeToDiskNow() {
  ++synchronizeCount_;
  if (store_) store_->synchronize();
}

int64_t APMPersistedConfig::synchronizeCountForTesting() const { return synchronizeCount_.load(); }

// Typed items.

double APMPersistedConfig::lastDeleteStaleBundlesTimestamp() {
  return doubleForKey(kLastDeleteStale);
}
void APMPersistedConfig::setLastDeleteStaleBundlesTimestamp(double value) {
  setDouble(value, kLastDeleteStale);
}
std::optional<platform::Value> APMPersistedConfig::searchAdCampaignValue() {
  return readRaw(kSearchAdCampaign);
}
void APMPersistedConfig::setSearchAdCampaignValue(std::optional<platform::Value> value) {
  if (!value || !value->isNumber() || !store_) return;
  // Straight into the dictionary, which guards itself.
  store_->setObject(std::move(value), kSearchAdCampaign);
}
double APMPersistedConfig::lastSearchAdLookUpTimestamp() {
  return doubleForKey(kSearchAdLastAttempt);
}
void APMPersistedConfig::setLastSearchAdLookUpTimestamp(double value) {
  setDouble(value, kSearchAdLastAttempt);
}
int64_t APMPersistedConfig::searchAdRetryCount() { return int64ForKey(kSearchAdRetries); }
void APMPersistedConfig::setSearchAdRetryCount(int64_t value) { setInt64(value, kSearchAdRetries); }
std::optional<std::string> APMPersistedConfig::appInstanceID() {
  return stringForKey(kAppInstanceID);
}
bool APMPersistedConfig::hasAppInstanceID() {
  return store_ && store_->hasStringForKey(kAppInstanceID);
}
void APMPersistedConfig::setAppInstanceID(std::optional<std::string> value) {
  setString(std::move(value), kAppInstanceID);
}
std::optional<std::string> APMPersistedConfig::appIDFromRZQ() { return stringForKey(kRZQAppID); }
void APMPersistedConfig::setAppIDFromRZQ(std::optional<std::string> value) {
  setString(std::move(value), kRZQAppID);
}
std::optional<std::string> APMPersistedConfig::appIDFromPelmora() {
  return stringForKey(kPelmoraAppID);
}
void APMPersistedConfig::setAppIDFromPelmora(std::optional<std::string> value) {
  setString(std::move(value), kPelmoraAppID);
}
std::optional<std::string> APMPersistedConfig::hashedResettableDeviceID() {
  return stringForKey(kHashedIDFA);
}
void APMPersistedConfig::setHashedResettableDeviceID(std::optional<std::string> value) {
  setString(std::move(value), kHashedIDFA);
}
std::optional<std::string> APMPersistedConfig::diversionKey() {
  return stringForKey(kDiversionKey);
}
void APMPersistedConfig::setDiversionKey(std::optional<std::string> value) {
  setString(std::move(value), kDiversionKey);
}
int64_t APMPersistedConfig::measurementEnabledState() {
  return int64ForKey(kMeasurementEnabledStateKey, *APMUserDefaults::sharedUserDefaults());
}
void APMPersistedConfig::setMeasurementEnabledState(int64_t value) {
  queue_->sync([&] {
    auto defaults = APMUserDefaults::sharedUserDefaults();
    defaults->setObject(platform::Value(static_cast<long long>(value)),
                        kMeasurementEnabledStateKey);
    defaults->synchronize();
  });
}
double APMPersistedConfig::lastBackoffTimestamp() { return doubleForKey(kLastBackoff); }
void APMPersistedConfig::setLastBackoffTimestamp(double value) { setDouble(value, kLastBackoff); }
double APMPersistedConfig::lastSuccessfulUploadTimestamp() {
  return doubleForKey(kLastSuccessfulUpload);
}
void APMPersistedConfig::setLastSuccessfulUploadTimestamp(double value) {
  setDouble(value, kLastSuccessfulUpload);
}
double APMPersistedConfig::lastFailedUploadTimestamp() { return doubleForKey(kLastFailedUpload); }
void APMPersistedConfig::setLastFailedUploadTimestamp(double value) {
  setDouble(value, kLastFailedUpload);
}
std::optional<std::string> APMPersistedConfig::appVersion() { return stringForKey(kAppVersion); }
void APMPersistedConfig::setAppVersion(std::optional<std::string> value) {
  setString(std::move(value), kAppVersion);
}
std::optional<std::string> APMPersistedConfig::osVersion() { return stringForKey(kOSVersion); }
void APMPersistedConfig::setOSVersion(std::optional<std::string> value) {
  setString(std::move(value), kOSVersion);
}

double APMPersistedConfig::midnightOffset() {
  // Once drawn the offset only changes by a clear; only the draw needs the queue.
  if (store_) {
    if (std::optional<platform::Value> stored = store_->numberForKey(kMidnightOffsetKey)) {
      return stored->numberAsDouble().value_or(0);
    }
  }
  double offset = 0;
  bool drawn = false;
  // Read, draw and store in one block, so that two first readers agree on one value.
  queue_->sync([&] {
    std::optional<platform::Value> stored;
    if (store_) stored = store_->numberForKey(kMidnightOffsetKey);
    if (stored) {
      offset = stored->numberAsDouble().value_or(0);
      return;
    }
    offset = randomBelow(86'400'000) / 1000.0;
    if (store_) store_->setDouble(offset, kMidnightOffsetKey);
    drawn = true;
  });
  if (drawn) scheduleSynchronizeToDisk();
  return offset;
}

double APMPersistedConfig::lastMonitorDataSampledTimestamp() {
  return doubleForKey(kLastMonitorSampled);
}
void APMPersistedConfig::setLastMonitorDataSampledTimestamp(double value) {
  setDouble(value, kLastMonitorSampled);
}
int64_t APMPersistedConfig::firstOpenTimestampMilliseconds() { return int64ForKey(kFirstOpenMs); }
void APMPersistedConfig::setFirstOpenTimestampMilliseconds(int64_t value) {
  setInt64(value, kFirstOpenMs);
}
std::optional<platform::Value> APMPersistedConfig::configServerLastModifiedString() {
  return readRaw(kLastModified);
}
void APMPersistedConfig::setConfigServerLastModifiedString(std::optional<std::string> value) {
  setString(std::move(value), kLastModified);
}
std::optional<std::string> APMPersistedConfig::configServerETag() {
  return stringForKey(kConfigETag);
}
void APMPersistedConfig::setConfigServerETag(std::optional<std::string> value) {
  setString(std::move(value), kConfigETag);
}
int64_t APMPersistedConfig::configRZQVersion() { return int64ForKey(kConfigRZQVersion); }
void APMPersistedConfig::setConfigRZQVersion(int64_t value) { setInt64(value, kConfigRZQVersion); }
std::optional<platform::Value> APMPersistedConfig::loadTimestampValue() {
  return readRaw(kLoadTimestamp);
}
void APMPersistedConfig::setLoadTimestampValue(std::optional<platform::Value> value) {
  write(std::move(value), kLoadTimestamp, false);
}
std::optional<platform::Value> APMPersistedConfig::allowPersonalizedAds() {
  return readRaw(kAllowPersonalizedAds);
}
void APMPersistedConfig::setAllowPersonalizedAds(std::optional<platform::Value> value) {
  write(std::move(value), kAllowPersonalizedAds, false);
}
std::optional<std::string> APMPersistedConfig::kavrelinFeatureRollouts() {
  return stringForKey(kFeatureRollouts);
}
void APMPersistedConfig::setKavrelinFeatureRollouts(std::optional<std::string> value) {
  setString(std::move(value), kFeatureRollouts);
}
std::optional<platform::Value> APMPersistedConfig::deferredDeepLinkRetrievalComplete() {
  return readRaw(kDeepLinkComplete);
}
void APMPersistedConfig::setDeferredDeepLinkRetrievalComplete(
    std::optional<platform::Value> value) {
  write(std::move(value), kDeepLinkComplete, false);
}
int64_t APMPersistedConfig::deferredDeepLinkRetryCount() { return int64ForKey(kDeepLinkRetries); }
void APMPersistedConfig::setDeferredDeepLinkRetryCount(int64_t value) {
  setInt64(value, kDeepLinkRetries);
}
bool APMPersistedConfig::shouldSetLastAdvertisingIDResetUserProperty() {
  return boolForKey(kLastAdIDReset);
}
void APMPersistedConfig::setShouldSetLastAdvertisingIDResetUserProperty(bool value) {
  setInt64(value ? 1 : 0, kLastAdIDReset);
}
bool APMPersistedConfig::unmatchedFirstOpenWithoutIDFA() { return boolForKey(kUnmatchedFirstOpen); }
void APMPersistedConfig::setUnmatchedFirstOpenWithoutIDFA(bool value) {
  setInt64(value ? 1 : 0, kUnmatchedFirstOpen);
}
std::optional<platform::Value> APMPersistedConfig::previousFirstOpenCount() {
  return readRaw(kPreviousFirstOpenCount);
}
void APMPersistedConfig::setPreviousFirstOpenCount(std::optional<platform::Value> value) {
  setNumber(std::move(value), kPreviousFirstOpenCount);
}
std::optional<std::string> APMPersistedConfig::previousBundledConsentSignals() {
  return stringForKey(kPreviousConsentSignals);
}
void APMPersistedConfig::setPreviousBundledConsentSignals(std::optional<std::string> value) {
  setString(std::move(value), kPreviousConsentSignals);
}
std::optional<platform::Value> APMPersistedConfig::adCampaignInfoBuffer() {
  return readRaw(kAdCampaignBuffer);
}
void APMPersistedConfig::setAdCampaignInfoBuffer(std::optional<platform::Value> value) {
  write(std::move(value), kAdCampaignBuffer, true);
}
double APMPersistedConfig::lastSessionActivityClockTime() {
  return doubleForKey(kLastEngagementEnd);
}
void APMPersistedConfig::setLastSessionActivityClockTime(double value) {
  setDouble(value, kLastEngagementEnd);
}
int64_t APMPersistedConfig::sessionNumber() { return int64ForKey(kSessionNumber); }
void APMPersistedConfig::setSessionNumber(int64_t value) { setInt64(value, kSessionNumber); }
std::optional<platform::Value> APMPersistedConfig::sessionTimeoutValue() {
  return readRaw(kSessionTimeout);
}
void APMPersistedConfig::setSessionTimeoutValue(std::optional<platform::Value> value) {
  setNumber(std::move(value), kSessionTimeout);
}
std::optional<platform::Value::Dictionary> APMPersistedConfig::defaultEventParameters() {
  return dictionaryForKey(kDefaultEventParameters);
}
void APMPersistedConfig::setDefaultEventParameters(
    std::optional<platform::Value::Dictionary> value) {
  setDictionary(std::move(value), kDefaultEventParameters);
}
int64_t APMPersistedConfig::lastUploadedEventTimestampMillis() {
  return int64ForKey(kLastUploadedEventMillis);
}
void APMPersistedConfig::setLastUploadedEventTimestampMillis(int64_t value) {
  setInt64(value, kLastUploadedEventMillis);
}
int64_t APMPersistedConfig::SKANEvaluationEventTimeMillis() { return int64ForKey(kSKANEventTime); }
void APMPersistedConfig::setSKANEvaluationEventTimeMillis(int64_t value) {
  setInt64(value, kSKANEventTime);
}
int64_t APMPersistedConfig::SKANEvaluationUpdateBackoffMillis() {
  return int64ForKey(kSKANBackoff);
}
void APMPersistedConfig::setSKANEvaluationUpdateBackoffMillis(int64_t value) {
  setInt64(value, kSKANBackoff);
}
