#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "AppMeasurement/foundation/APMExperimentManaging.h"
#include "AppMeasurement/foundation/APMParameterLimits.h"
#include "AppMeasurement/foundation/APMRemoteConfigStore.h"
#include "AppMeasurement/messages/APMPBMessages.h"
#include "platform/foundation/Value.h"

class APMPersistedConfig;
class APMPEventEditing;
class APMSOTMPreviewHeadersSource;

// The engine's view of the server-side measurement configuration: it keeps the last
// configuration the server sent for this app (stored through APMRemoteConfigStore), parses it
// into look-up tables and answers the named settings every other part consults, each with a
// built-in default and, for numbers, an inclusive valid range (a server value outside it gives
// the default, never the bound). It also builds the configuration and upload URLs and answers
// per-event configuration, the consent configuration, the tag-manager upload settings and the
// event-editing host built from the configuration's programs.
//
// Server values are untrusted text: a setting is a number only in the fixed grammar
// [+-]digits[.digits] (C locale; no blanks, grouping, exponent, hex or NaN; an integer part
// beyond int64 is no number), otherwise its default applies.
//
// Threads: settings and tables may be read from any thread. A setting is checked once per
// parse and the checked number replaces the server's text; the check-and-cache of a look-up
// and the settings fill of a parse hold one lock, so a look-up never caches a stale value over
// the server's. Tables are emptied and refilled in place (the event-editing host keeps the
// settings cache it was made with). Storing and reading the configuration are meant for
// background threads (checked by a log line only).
class APMRemoteConfig : public APMExperimentClientDelegate,
                        public APMParameterLimits,
                        public std::enable_shared_from_this<APMRemoteConfig> {
 public:
  // The process-wide default instance: no app ID and no store, every setting its default.
  static std::shared_ptr<APMRemoteConfig> defaultInstance();
  // initWithAppID:database:persistedConfig:experimentManager:. nullptr for an empty app ID
  // (29000) or no store (29001). Reads and parses the stored configuration.
  static std::shared_ptr<APMRemoteConfig> create(
      std::string appID, std::weak_ptr<APMRemoteConfigStore> database,
      std::shared_ptr<APMPersistedConfig> persistedConfig,
      std::shared_ptr<APMExperimentManaging> experimentManager);
  // The designated initialiser: with a configuration it is stored and applied, otherwise the
  // stored one is read. Any argument may be empty; with neither store nor app ID the instance
  // is a default one.
  static std::shared_ptr<APMRemoteConfig> create(
      std::string appID, std::weak_ptr<APMRemoteConfigStore> database,
      std::optional<APMPBMeasurementConfig> measurementConfig,
      std::shared_ptr<APMPersistedConfig> persistedConfig,
      std::shared_ptr<APMExperimentManaging> experimentManager);
  ~APMRemoteConfig() override;

  // The hosts of the configuration and upload URLs ("host" or "host:port"). A loopback host
  // (127.0.0.1, localhost, [::1]) is reached over plain http, every other over https.
  struct Hosts {
    std::string config = "127.0.0.1:8970";
    std::string upload = "127.0.0.1:8970";
    std::string authorizedUpload = "127.0.0.1:8970";
  };
  static void setHosts(Hosts hosts);
  static Hosts hosts();
  // "http://host" for a loopback host, else "https://host". The deferred deep link and the
  // SKAdNetwork conversion values are asked of the upload host.
  static std::string baseURLWithHost(std::string_view host);
  // The engine's preview headers (held weakly); none without a source.
  void setSOTMPreviewHeadersSource(std::weak_ptr<APMSOTMPreviewHeadersSource> source);

  bool isDefault() const { return isDefault_; }
  const std::string& appID() const { return appID_; }

  // Configuration.
  bool updateMeasurementConfig(const std::optional<APMPBMeasurementConfig>& config);
  std::optional<APMPBMeasurementConfig> measurementConfigFromDatabase();
  void parseRemoteConfigFromMeasurementConfig(const APMPBMeasurementConfig& config);
  // What storing and parsing a configuration change in memory: the configuration with its
  // tables and settings. The engine takes it before it applies a fetched configuration, so that
  // one whose transaction rolls back leaves memory as the database has it.
  class AppliedState;
  std::shared_ptr<const AppliedState> appliedState() const;
  // Puts back what appliedState took. The experiment flags and the pending snapshot are not
  // part of it: they follow the experiment client, not the configuration.
  void restoreAppliedState(const AppliedState& state);
  void reset();
  int64_t version() const;
  bool isExpired();
  double lastRemoteConfigUpdateTimestamp();
  std::optional<std::string> remoteConfigURLWithPlatform(std::optional<std::string> platform,
                                                         int64_t SDKVersion,
                                                         int64_t runtimeVersion) const;
  std::optional<std::string> uploadSubdomain() const;
  std::string uploadURL() const;
  bool SOTMUploadEnabled();
  // The tag-manager upload URL: the authorized one under tracking authorization when it makes
  // a URL, else the plain one; nullopt without a setting or when the plain one makes no URL.
  std::optional<std::string> SOTMUploadURL() const;
  std::optional<platform::Value::Dictionary> SOTMUploadHTTPHeaders() const;

  // Per-event configuration (internal names).
  std::optional<APMPBEventConfig> eventConfigWithName(std::string_view name) const;
  bool isEventBlocklisted(std::string_view name) const;
  bool isEventCustomConversion(std::string_view name) const;
  bool eventHasSamplingRate(std::string_view name) const;
  int32_t samplingRateForEvent(std::string_view name) const;

  // Consent and data controls (copies).
  std::map<std::string, std::string> consentDefaults() const;
  std::map<std::string, std::string> consentDelegations() const;
  std::map<std::string, std::string> regionalDefaults() const;
  std::set<std::string> corePlatformServices() const;
  bool isDMARegion() const;
  std::vector<std::string> dataControls() const;

  // Experiments and scripts.
  std::vector<int64_t> experimentIDs() const;
  bool activateNewSnapshot();
  void updateCachedExperimentFlags();
  void clientDidReceiveNewSnapshot(APMExperimentClient& client) override;
  void clientDidReceiveFetchError(APMExperimentClient& client,
                                  const std::optional<APMError>& error) override;
  bool shouldFetchExperimentsForClient(APMExperimentClient& client) override;
  // The host built from the configuration's first program, or nullptr.
  std::shared_ptr<APMPEventEditing> eventEditing() const;

  // Generic look-ups: the checked number (an integer or real Value), nullopt for an empty key.
  using Converter = std::function<std::optional<platform::Value>(std::optional<platform::Value>)>;
  std::optional<platform::Value> numberFromCacheWithKey(std::string_view key,
                                                        const platform::Value& defaultValue,
                                                        std::optional<platform::Value> maxValue,
                                                        std::optional<platform::Value> minValue,
                                                        const Converter& block = nullptr) const;
  int32_t intValueFromCacheWithKey(std::string_view key, int32_t defaultValue, int32_t maxValue,
                                   int32_t minValue) const;
  int64_t int64ValueFromCacheWithKey(std::string_view key, int64_t defaultValue, int64_t maxValue,
                                     int64_t minValue) const;
  int64_t int64ValueFromCacheWithKey(std::string_view key, int64_t defaultValue) const;
  double timeIntervalInSecondsFromCacheWithKey(std::string_view key, double defaultValue,
                                               double maxValue, double minValue) const;
  bool boolValueFromCacheWithKey(std::string_view key, bool defaultValue) const;
  // The fixed grammar above; nullopt otherwise. Integers stay integers, fractions are reals.
  static std::optional<platform::Value> numberFromString(std::string_view text);
  // Caches a non-null value under a non-empty key (else 29019); the value cached, or nullopt.
  std::optional<platform::Value> cacheValue(const platform::Value& value,
                                            std::string_view key) const;

  // The settings.
  double uploadingBackoffInterval() const;
  int32_t maxAudienceCount() const;
  int32_t maxFiltersPerAudience() const;
  int32_t maxFilterResultCount() const;
  int32_t maxParametersPerFilter() const;
  double databaseDeleteStaleBundlesInterval() const;
  double maxQueueTime() const;
  double adIDCacheTime() const;
  bool gateIDFAOnATTMASEnabled() const;
  double monitoringSamplePeriod() const;
  bool isNetworkBackgroundSessionEnabled() const;
  double networkTimeout() const;
  double sessionDefaultTimeoutInterval() const;
  double sessionEventUserEngagementInterval() const;
  bool efficientEngagementReportingEnabled() const;
  bool redundantEngagementRemovalEnabled() const;
  int32_t maxConversionsPerDay() const;
  int32_t maxEventsPerDay() const;
  int32_t maxPublicEventsPerDay() const;
  int32_t maxErrorEventsPerDay() const;
  int32_t maxTrackedCurrencies() const;
  int32_t maxPublicUserProperties() const;
  int32_t maxEventNameCardinality() const;
  int64_t maxPublicEventParams() const override;
  int32_t maxEventsStored() const;
  double uploadingInterval() const;
  double uploadingInitialDelayInterval() const;
  int64_t uploadMaxBundlesLimit() const;
  int64_t uploadMaxEventsPerBundle() const;
  int64_t uploadMaxSizeLimitBytes() const;
  int32_t uploadingRetryCount() const;
  double uploadingRetryInterval() const;
  int32_t maxBundlesCreatedPerIteration() const;
  int32_t maxRealtimeEventCountPerDay() const;
  double uploadingDebugModeInterval() const;
  double uploadingRealTimeInterval() const;
  bool blocklistInternal() const;
  bool blocklistPublic() const;
  bool isEventSamplingEnabled() const;
  int32_t analyticsAccountTimeZoneOffsetMinutes() const;
  bool checksumEnabled() const;
  bool appInBackgroundParameterEnabled() const;
  int64_t maxItemScopedCustomParameters() const override;
  int64_t maxPublicEventParameterValueLength() const override;
  int32_t maxRealtimeDCUEventCountPerDay() const;
  int32_t maxPSMStartCount() const;
  int32_t maxPSMRetryCount() const;
  double PSMRetryInterval() const;
  int32_t hashPrefixBitLengthEmail() const;
  int32_t hashPrefixBitLengthPhone() const;
  int32_t maxSignInDelayInDays() const;
  bool adsOnDeviceConversionFeatureEnabled() const;
  bool isDeferredDeepLinkEnabled() const;
  int32_t maxDeferredDeepLinkRetryCount() const;
  double attributionCacheTTLInterval() const;
  double remoteConfigCacheTimeInterval() const;
  bool sessionStitchingTokenFeatureEnabled() const;
  bool SKANUpdateConversionValueEnabled() const;
  double SKANInitialCVFetchDelay() const;
  double SKANCVFetchRetryInterval() const;
  int32_t SKANCVFetchRetryLimit() const;
  double SKANFirstWindowCVFetchDelay() const;
  double SKANFirstWindowCVFetchRetryInterval() const;
  int32_t SKANFirstWindowCVFetchRetryLimit() const;
  double SKANFirstWindowUploadInterval() const;
  bool customerTypeEnabled() const;
  // The setting "measurement.sotm_upload_enabled" alone; SOTMUploadEnabled adds the rest.
  bool SOTMUploadSettingEnabled() const;
  // maxPublicEventParameterValueLength, but at least 256 (256 while it is below 257).
  int64_t maxInternalEventParameterValueLength() const override;

 private:
  struct SettingsCache;
  struct Tables;
  APMRemoteConfig(std::string appID, std::weak_ptr<APMRemoteConfigStore> database,
                  std::shared_ptr<APMPersistedConfig> persistedConfig,
                  std::shared_ptr<APMExperimentManaging> experimentManager);
  void start(std::optional<APMPBMeasurementConfig> measurementConfig);
  std::shared_ptr<APMPEventEditing> makeEventEditing() const;

  const std::string appID_;
  const std::weak_ptr<APMRemoteConfigStore> database_;
  const std::shared_ptr<APMPersistedConfig> persistedConfig_;
  const std::shared_ptr<APMExperimentManaging> experimentManager_;
  std::shared_ptr<APMExperimentClient> experimentClient_;
  bool isDefault_ = false;
  // Settings: one object for the instance's life, shared with the event-editing host.
  const std::shared_ptr<SettingsCache> settings_;
  // Every other table, the configuration and the host, under tablesMutex_.
  mutable std::mutex tablesMutex_;
  std::unique_ptr<Tables> tables_;
  // One parse at a time.
  std::mutex parseMutex_;
  std::mutex snapshotMutex_;
  bool pendingSnapshot_ = false;  // guarded by snapshotMutex_
  std::weak_ptr<APMSOTMPreviewHeadersSource> previewHeaders_;
};
