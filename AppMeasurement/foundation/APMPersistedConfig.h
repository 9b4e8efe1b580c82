#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "AppMeasurement/foundation/APMPersistentDictionary.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Value.h"

class APMUserDefaults;

// The library's small store of local state that outlives the process but has no place in the
// database: identifiers, upload and back-off times, session state, fetch validators,
// deep-link and search-ads progress, SKAdNetwork times and a few flags. Values live in an
// APMPersistentDictionary over "<suite>.plist" in Application Support; the
// measurement-enabled state lives in the app's own preferences instead.
//
// Every typed write runs synchronously on the serial queue "APMPersistedConfig", so callers
// may be on any thread except that queue. Typed reads answer from the dictionary in memory
// (under its lock) without the queue: a write that has returned is always seen. Beside the
// dictionary's own write (one second after the first change), each generic setter re-arms a
// synchronize request one second after the last change (by the installed clock);
// setLoadTimestampValue, setAllowPersonalizedAds, setDeferredDeepLinkRetrievalComplete and
// setSearchAdCampaignValue rely on the dictionary's write alone.
//
// Typed getters answer 0, false or nullopt when the key is absent or holds another kind;
// "raw" getters answer whatever value is stored.
class APMPersistedConfig : public std::enable_shared_from_this<APMPersistedConfig> {
 public:
  static constexpr std::string_view kSharedSuiteName = "com.orvane.rzq.measurement";

  // The process's instance over kSharedSuiteName; nullptr (logged, 27001, at every call)
  // when it could not be made.
  // Never destroyed (queue threads use it while the process exits); what it has not written
  // yet is written by an exit handler.
  static std::shared_ptr<APMPersistedConfig> sharedInstance();
  // initWithSuiteName:. nullptr for an empty name. Migrates an older preferences file of the
  // suite first. When the store cannot be opened the object still exists: its reads answer
  // neutral values and its writes are lost.
  static std::shared_ptr<APMPersistedConfig> create(std::string_view suiteName);
  ~APMPersistedConfig();
  APMPersistedConfig(const APMPersistedConfig&) = delete;
  APMPersistedConfig& operator=(const APMPersistedConfig&) = delete;

  const std::string& suiteName() const { return suiteName_; }
  const std::shared_ptr<APMPersistentDictionary>& store() const { return store_; }

  // Generic operations. An empty key reads as neutral and writes nothing; the store read from
  // or written to logs it (43001, 43002; the user defaults their own codes).
  bool boolForKey(std::string_view key);
  int64_t int64ForKey(std::string_view key);
  int64_t int64ForKey(std::string_view key, APMUserDefaults& userDefault);
  double doubleForKey(std::string_view key);
  std::optional<std::string> stringForKey(std::string_view key);
  std::optional<platform::Value::Dictionary> dictionaryForKey(std::string_view key);
  std::optional<platform::Value> numberForKey(std::string_view key);  // raw
  void setBool(bool value, std::string_view key);
  void setInt64(int64_t value, std::string_view key);
  void setDouble(double value, std::string_view key);
  void setString(std::optional<std::string> value, std::string_view key);
  // A dictionary holding a value with no property-list form is refused (27002).
  void setDictionary(std::optional<platform::Value::Dictionary> value, std::string_view key);
  void setNumber(std::optional<platform::Value> value, std::string_view key);

  // Removes every key of the plist; the measurement-enabled state survives.
  void clearValues();
  void scheduleSynchronizeToDisk();
  void cancelScheduledSynchronize();
  // Off the main thread: the store's synchronize now; on it: scheduleSynchronizeToDisk.
  void synchronizeToDisk();
  // The store's synchronize now, on any thread: for values that must be on disk before they
  // are used (identity values).
  void synchronizeToDiskNow();
  // How many synchronize requests reached the store; for tests.
  int64_t synchronizeCountForTesting() const;

  // Typed items.
  double lastDeleteStaleBundlesTimestamp();
  void setLastDeleteStaleBundlesTimestamp(double value);
  std::optional<platform::Value> searchAdCampaignValue();
  void setSearchAdCampaignValue(std::optional<platform::Value> value);
  double lastSearchAdLookUpTimestamp();
  void setLastSearchAdLookUpTimestamp(double value);
  int64_t searchAdRetryCount();
  void setSearchAdRetryCount(int64_t value);
  std::optional<std::string> appInstanceID();
  // appInstanceID() has a value (read without copying it).
  bool hasAppInstanceID();
  void setAppInstanceID(std::optional<std::string> value);
  std::optional<std::string> appIDFromRZQ();
  void setAppIDFromRZQ(std::optional<std::string> value);
  std::optional<std::string> appIDFromPelmora();
  void setAppIDFromPelmora(std::optional<std::string> value);
  std::optional<std::string> hashedResettableDeviceID();
  void setHashedResettableDeviceID(std::optional<std::string> value);
  std::optional<std::string> diversionKey();
  void setDiversionKey(std::optional<std::string> value);
  int64_t measurementEnabledState();
  void setMeasurementEnabledState(int64_t value);
  double lastBackoffTimestamp();
  void setLastBackoffTimestamp(double value);
  double lastSuccessfulUploadTimestamp();
  void setLastSuccessfulUploadTimestamp(double value);
  double lastFailedUploadTimestamp();
  void setLastFailedUploadTimestamp(double value);
  std::optional<std::string> appVersion();
  void setAppVersion(std::optional<std::string> value);
  std::optional<std::string> osVersion();
  void setOSVersion(std::optional<std::string> value);
  // Seconds in [0, 86400), drawn once (read, draw and store in one step on the config queue).
  double midnightOffset();
  double lastMonitorDataSampledTimestamp();
  void setLastMonitorDataSampledTimestamp(double value);
  int64_t firstOpenTimestampMilliseconds();
  void setFirstOpenTimestampMilliseconds(int64_t value);
  std::optional<platform::Value> configServerLastModifiedString();  // raw
  void setConfigServerLastModifiedString(std::optional<std::string> value);
  std::optional<std::string> configServerETag();
  void setConfigServerETag(std::optional<std::string> value);
  int64_t configRZQVersion();
  void setConfigRZQVersion(int64_t value);
  std::optional<platform::Value> loadTimestampValue();  // raw
  void setLoadTimestampValue(std::optional<platform::Value> value);
  std::optional<platform::Value> allowPersonalizedAds();  // raw
  void setAllowPersonalizedAds(std::optional<platform::Value> value);
  std::optional<std::string> kavrelinFeatureRollouts();
  void setKavrelinFeatureRollouts(std::optional<std::string> value);
  std::optional<platform::Value> deferredDeepLinkRetrievalComplete();  // raw
  void setDeferredDeepLinkRetrievalComplete(std::optional<platform::Value> value);
  int64_t deferredDeepLinkRetryCount();
  void setDeferredDeepLinkRetryCount(int64_t value);
  // Stored as the integer 0 or 1; any non-zero number (0.5 too) reads true.
  bool shouldSetLastAdvertisingIDResetUserProperty();
  void setShouldSetLastAdvertisingIDResetUserProperty(bool value);
  bool unmatchedFirstOpenWithoutIDFA();
  void setUnmatchedFirstOpenWithoutIDFA(bool value);
  std::optional<platform::Value> previousFirstOpenCount();  // raw
  void setPreviousFirstOpenCount(std::optional<platform::Value> value);
  std::optional<std::string> previousBundledConsentSignals();
  void setPreviousBundledConsentSignals(std::optional<std::string> value);
  std::optional<platform::Value> adCampaignInfoBuffer();  // raw
  void setAdCampaignInfoBuffer(std::optional<platform::Value> value);
  double lastSessionActivityClockTime();
  void setLastSessionActivityClockTime(double value);
  int64_t sessionNumber();
  void setSessionNumber(int64_t value);
  std::optional<platform::Value> sessionTimeoutValue();  // raw
  void setSessionTimeoutValue(std::optional<platform::Value> value);
  std::optional<platform::Value::Dictionary> defaultEventParameters();
  void setDefaultEventParameters(std::optional<platform::Value::Dictionary> value);
  int64_t lastUploadedEventTimestampMillis();
  void setLastUploadedEventTimestampMillis(int64_t value);
  int64_t SKANEvaluationEventTimeMillis();
  void setSKANEvaluationEventTimeMillis(int64_t value);
  int64_t SKANEvaluationUpdateBackoffMillis();
  void setSKANEvaluationUpdateBackoffMillis(int64_t value);

  // The keys, "/orvane/measurement/<name>".
  static constexpr std::string_view kMeasurementEnabledStateKey =
      "/orvane/measurement/measurement_enabled_state";
  static constexpr std::string_view kMidnightOffsetKey = "/orvane/measurement/midnight_offset";

 private:
  explicit APMPersistedConfig(std::string suiteName);
  // The stored value, from the dictionary in memory; any thread.
  std::optional<platform::Value> readRaw(std::string_view key);
  // Stores through the dictionary on the config queue; `synchronize` re-arms the request.
  void write(std::optional<platform::Value> value, std::string_view key, bool synchronize);
  // Runs the synchronize after the delay, or waits again if a later change moved its deadline;
  // nothing if cancelled since `generation`.
  void armSynchronize(double delaySeconds, uint64_t generation);

  const std::string suiteName_;
  std::shared_ptr<APMPersistentDictionary> store_;
  std::shared_ptr<platform::DispatchQueue> queue_;
  // The pending synchronize request: a request runs only while its generation is current.
  mutable std::mutex mutex_;
  uint64_t syncGeneration_ = 0;  // guarded by mutex_
  // The pending synchronize: its timer is armed, and when (uptime) it is due. Guarded by mutex_.
  bool syncArmed_ = false;
  double syncDeadline_ = 0;
  std::atomic<int64_t> synchronizeCount_{0};
};
