// Every setting of the remote configuration at its bounds, one unit outside them, as text that
// is no number, and (for the seconds kind) in the server's milliseconds.
#include <cmath>
#include <functional>

#include <gtest/gtest.h>

#include "AppMeasurement/foundation/APMMonitor.h"
#include "tests/AppMeasurement/foundation/EnvironmentTestSupport.h"
#include "tests/AppMeasurement/foundation/RemoteConfigTestSupport.h"

namespace {

using remoteconfigtest::makeConfig;
using remoteconfigtest::MemoryConfigStore;

enum class Kind { Int, Int64, Seconds, Bool, SecondsTruncated };

struct Row {
  const char* operation;
  const char* key;
  Kind kind;
  double defaultValue, maxValue, minValue;
  std::function<double(APMRemoteConfig&)> read;
};

#define OP(name) #name, [](APMRemoteConfig & c) { return static_cast<double>(c.name()); }
#define ROW(name, key, kind, def, max, min)                               \
  Row {                                                                   \
#name, key, kind, def, max, min,                                      \
        [](APMRemoteConfig & c) { return static_cast<double>(c.name()); } \
  }

// Written from the settings table, not from the code.
const std::vector<Row>& rows() {
  static const std::vector<Row> table = {
      ROW(uploadingBackoffInterval, "measurement.upload.backoff_period", Kind::Seconds, 43200,
          604800, 3600),
      ROW(maxAudienceCount, "measurement.audience.max_count", Kind::Int, 100, 500, 0),
      ROW(maxFiltersPerAudience, "measurement.audience.filter_max_count_per_audience", Kind::Int,
          10, 100, 0),
      ROW(maxFilterResultCount, "measurement.audience.filter_result_max_count", Kind::Int, 200,
          2000, 0),
      ROW(maxParametersPerFilter, "measurement.audience.parameter_max_count_filter", Kind::Int, 25,
          250, 0),
      ROW(databaseDeleteStaleBundlesInterval, "measurement.upload.stale_data_deletion_interval",
          Kind::Seconds, 86400, 604800, 3600),
      ROW(maxQueueTime, "measurement.upload.max_queue_time", Kind::Seconds, 2419200, 7862400,
          604800),
      ROW(adIDCacheTime, "measurement.ad_id_cache_time", Kind::Seconds, 1, 86400, 0),
      ROW(gateIDFAOnATTMASEnabled, "measurement.attmas_gate", Kind::Bool, 0, 1, 0),
      ROW(monitoringSamplePeriod, "measurement.monitoring.sample_period_millis", Kind::Seconds,
          86400, 604800, 0),
      ROW(isNetworkBackgroundSessionEnabled, "measurement.network.background_session_enabled",
          Kind::Bool, 0, 1, 0),
      ROW(networkTimeout, "measurement.network.network_timeout", Kind::Seconds, 60, 3600, 30),
      ROW(sessionDefaultTimeoutInterval, "measurement.session.default_timeout_interval",
          Kind::Seconds, 1800, 86400, 0),
      ROW(sessionEventUserEngagementInterval, "measurement.session.event_user_engagement_interval",
          Kind::Seconds, 3600, 86400, 0),
      ROW(efficientEngagementReportingEnabled,
          "measurement.collection.efficient_engagement_reporting_enabled", Kind::Bool, 0, 1, 0),
      ROW(redundantEngagementRemovalEnabled,
          "measurement.collection.redundant_engagement_removal_enabled", Kind::Bool, 0, 1, 0),
      ROW(maxConversionsPerDay, "measurement.upload.max_conversions_per_day", Kind::Int, 10000,
          1000000, 0),
      ROW(maxEventsPerDay, "measurement.upload.max_events_per_day", Kind::Int, 100000, 1000000, 0),
      ROW(maxPublicEventsPerDay, "measurement.upload.max_public_events_per_day", Kind::Int, 50000,
          1000000, 0),
      ROW(maxErrorEventsPerDay, "measurement.upload.max_error_events_per_day", Kind::Int, 1000,
          1000000, 0),
      ROW(maxTrackedCurrencies, "measurement.lifetimevalue.max_currency_tracked", Kind::Int, 4, 100,
          1),
      ROW(maxPublicUserProperties, "measurement.upload.max_public_user_properties", Kind::Int, 100,
          100, 25),
      ROW(maxEventNameCardinality, "measurement.upload.max_event_name_cardinality", Kind::Int, 2000,
          2000, 500),
      ROW(maxPublicEventParams, "measurement.upload.max_public_event_params", Kind::Int, 100, 100,
          25),
      ROW(maxEventsStored, "measurement.store.max_stored_events_per_app", Kind::Int, 100000,
          1000000, 0),
      ROW(uploadingInterval, "measurement.upload.interval", Kind::Seconds, 3600, 86400, 15),
      ROW(uploadingInitialDelayInterval, "measurement.upload.initial_upload_delay_time",
          Kind::Seconds, 15, 86400, 1),
      ROW(uploadMaxBundlesLimit, "measurement.upload.max_bundles", Kind::Int64, 100, 10000, 1),
      ROW(uploadMaxEventsPerBundle, "measurement.upload.max_events_per_bundle", Kind::Int64, 1000,
          1000000, 1),
      ROW(uploadMaxSizeLimitBytes, "measurement.upload.max_batch_size", Kind::Int64, 65536,
          10485760, 0),
      ROW(uploadingRetryCount, "measurement.upload.retry_count", Kind::Int, 6, 24, 1),
      ROW(uploadingRetryInterval, "measurement.upload.retry_time", Kind::Seconds, 1800, 86400, 60),
      ROW(maxBundlesCreatedPerIteration, "measurement.upload.max_bundles_created_per_iteration",
          Kind::SecondsTruncated, 100, 10000, 1),
      ROW(maxRealtimeEventCountPerDay, "measurement.upload.max_realtime_events_per_day", Kind::Int,
          10, 10, 0),
      ROW(uploadingDebugModeInterval, "measurement.upload.debug_upload_interval", Kind::Seconds, 1,
          15, 1),
      ROW(uploadingRealTimeInterval, "measurement.upload.realtime_upload_interval", Kind::Seconds,
          10, 15, 10),
      ROW(blocklistInternal, "measurement.upload.blacklist_internal", Kind::Bool, 0, 1, 0),
      ROW(blocklistPublic, "measurement.upload.blacklist_public", Kind::Bool, 0, 1, 0),
      ROW(isEventSamplingEnabled, "measurement.event_sampling_enabled", Kind::Bool, 0, 1, 0),
      ROW(analyticsAccountTimeZoneOffsetMinutes, "measurement.account.time_zone_offset_minutes",
          Kind::Int, 0, 900, -900),
      ROW(checksumEnabled, "measurement.quality.checksum", Kind::Bool, 0, 1, 0),
      ROW(appInBackgroundParameterEnabled, "measurement.lifecycle.app_in_background_parameter",
          Kind::Bool, 1, 1, 0),
      ROW(maxItemScopedCustomParameters, "measurement.upload.max_item_scoped_custom_parameters",
          Kind::Int, 27, 35, 10),
      ROW(maxPublicEventParameterValueLength, "measurement.upload.max_event_parameter_value_length",
          Kind::Int, 500, 500, 100),
      ROW(maxRealtimeDCUEventCountPerDay, "measurement.dma.dcu_event_max_realtime_daily_count",
          Kind::Int, 1, 10, 0),
      ROW(maxPSMStartCount, "measurement.psm_start_count", Kind::Int, 3, 10, 0),
      ROW(maxPSMRetryCount, "measurement.psm_retry_count", Kind::Int, 5, 10, 0),
      ROW(PSMRetryInterval, "measurement.psm_retry_interval", Kind::Seconds, 300, 1800, 30),
      ROW(hashPrefixBitLengthEmail, "measurement.psm_prefix_email", Kind::Int, 14, 20, 6),
      ROW(hashPrefixBitLengthPhone, "measurement.psm_prefix_phone", Kind::Int, 11, 18, 6),
      ROW(maxSignInDelayInDays, "measurement.psm_signin_delay", Kind::Int, 60, 90, 7),
      ROW(adsOnDeviceConversionFeatureEnabled, "measurement.odm2_enabled", Kind::Bool, 0, 1, 0),
      ROW(isDeferredDeepLinkEnabled, "measurement.ddl.enabled", Kind::Bool, 1, 1, 0),
      ROW(maxDeferredDeepLinkRetryCount, "measurement.ddl.retry_count", Kind::Int, 5, 10, 0),
      ROW(attributionCacheTTLInterval, "measurement.attribution.cache.ttl", Kind::Seconds, 604800,
          2592000, 86400),
      ROW(remoteConfigCacheTimeInterval, "measurement.config.cache_time", Kind::Seconds, 3600,
          86400, 60),
      ROW(sessionStitchingTokenFeatureEnabled, "measurement.session_stitching_token_enabled",
          Kind::Bool, 0, 1, 0),
      ROW(SKANUpdateConversionValueEnabled, "measurement.skan.update_conversion_value_enabled",
          Kind::Bool, 0, 1, 0),
      ROW(SKANInitialCVFetchDelay, "measurement.skan.initial_cv_fetch_delay_sec", Kind::Seconds,
          120, 3600, 30),
      ROW(SKANCVFetchRetryInterval, "measurement.skan.cv_fetch_retry_interval_sec", Kind::Seconds,
          120, 3600, 30),
      ROW(SKANCVFetchRetryLimit, "measurement.skan.cv_fetch_retry_limit", Kind::Int, 4, 10, 1),
      ROW(SKANFirstWindowCVFetchDelay, "measurement.skan.first_window.initial_cv_fetch_delay_sec",
          Kind::Seconds, 20, 3600, 1),
      ROW(SKANFirstWindowCVFetchRetryInterval,
          "measurement.skan.first_window.cv_fetch_retry_interval_sec", Kind::Seconds, 120, 3600,
          30),
      ROW(SKANFirstWindowCVFetchRetryLimit, "measurement.skan.first_window.cv_fetch_retry_limit",
          Kind::Int, 4, 10, 1),
      ROW(SKANFirstWindowUploadInterval, "measurement.skan.first_window.upload_interval_sec",
          Kind::Seconds, 1800, 86400, 15),
      ROW(customerTypeEnabled, "measurement.customer_type_enabled", Kind::Bool, 1, 1, 0),
      ROW(SOTMUploadSettingEnabled, "measurement.sotm_upload_enabled", Kind::Bool, 1, 1, 0),
  };
  return table;
}

class APMRemoteConfigSettingsTest : public environmenttest::ContainerTest {
 protected:
  // A fresh configuration holding the one server setting.
  std::shared_ptr<APMRemoteConfig> withSetting(const std::string& key, const std::string& value) {
    store_ = std::make_shared<MemoryConfigStore>();
    store_->stored = makeConfig("1:app", {{key, value}});
    return APMRemoteConfig::create("1:app", store_, nullptr, nullptr);
  }
  std::shared_ptr<MemoryConfigStore> store_;
};

std::string text(double value) {
  char buffer[64];
  snprintf(buffer, sizeof buffer, "%.0f", value);
  return buffer;
}

TEST_F(APMRemoteConfigSettingsTest, TableHasEverySetting) { EXPECT_EQ(rows().size(), 67u); }

TEST_F(APMRemoteConfigSettingsTest, EverySettingAtItsBoundsOutsideThemAndAsText) {
  for (const Row& row : rows()) {
    SCOPED_TRACE(row.operation);
    bool seconds = row.kind == Kind::Seconds || row.kind == Kind::SecondsTruncated;
    // The server's unit: milliseconds for the seconds kind.
    double scale = seconds ? 1000 : 1;
    double step = seconds ? 1000 : 1;  // one unit outside, in server units
    struct Case {
      std::string server;
      double expected;
    };
    std::vector<Case> cases = {
        {text(row.maxValue * scale), row.maxValue},
        {text(row.minValue * scale), row.minValue},
        {text(row.maxValue * scale + step), row.defaultValue},
        {text(row.minValue * scale - step), row.defaultValue},
        {"abc", row.defaultValue},
        {"", row.defaultValue},
        {"1e3", row.defaultValue},
        {" 5", row.defaultValue},
        {"0x10", row.defaultValue},
        {"NaN", row.defaultValue},
        {"1,000", row.defaultValue},
        {"1234567890123456789012345", row.defaultValue},
    };
    if (seconds) {
      // Fractions of a millisecond are dropped before the division.
      cases.push_back({text(row.maxValue * scale) + ".9", row.maxValue});
    }
    if (row.kind == Kind::Bool) {
      cases.push_back({"0.5", 0});
      cases.push_back({"1.5", row.defaultValue});
      cases.push_back({"2", row.defaultValue});
      cases.push_back({"+1", 1});
    }
    if (row.kind == Kind::Int && row.maxValue - row.minValue > 2) {
      // Checked as a number, then truncated.
      cases.push_back({text(row.minValue + 1) + ".9", row.minValue + 1});
    }
    for (const Case& c : cases) {
      SCOPED_TRACE("server value \"" + c.server + "\"");
      auto config = withSetting(row.key, c.server);
      if (std::string(row.operation) == "maxBundlesCreatedPerIteration") {
        EXPECT_EQ(row.read(*config), std::trunc(c.expected));
      } else {
        EXPECT_EQ(row.read(*config), c.expected);
      }
      // A second read answers the cached, checked value.
      EXPECT_EQ(row.read(*config), row.read(*config));
    }
    // Without a configuration every setting is its default.
    EXPECT_EQ(row.read(*APMRemoteConfig::defaultInstance()), row.defaultValue);
  }
}

TEST_F(APMRemoteConfigSettingsTest, MillisecondsBecomeSecondsBeforeTheCheck) {
  struct Case {
    const char* key;
    const char* server;
    std::function<double(APMRemoteConfig&)> read;
    double expected;
  };
  auto interval = [](APMRemoteConfig& c) { return c.uploadingInterval(); };
  auto perIteration = [](APMRemoteConfig& c) {
    return static_cast<double>(c.maxBundlesCreatedPerIteration());
  };
  const Case cases[] = {
      {"measurement.upload.interval", "900000", interval, 900},
      {"measurement.upload.interval", "10000", interval, 3600},
      {"measurement.upload.interval", "15000.999", interval, 15},
      {"measurement.upload.max_bundles_created_per_iteration", "50000", perIteration, 50},
      {"measurement.upload.max_bundles_created_per_iteration", "100", perIteration, 100},
      {"measurement.upload.max_bundles_created_per_iteration", "250000", perIteration, 250},
      {"measurement.upload.max_bundles_created_per_iteration", "1500", perIteration, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.key) + "=" + c.server);
    EXPECT_EQ(c.read(*withSetting(c.key, c.server)), c.expected);
  }
}

TEST_F(APMRemoteConfigSettingsTest, DerivedLimits) {
  struct Case {
    const char* server;
    int64_t publicLength;
    int64_t internalLength;
  };
  const Case cases[] = {{"100", 100, 256}, {"256", 256, 256}, {"257", 257, 257},
                        {"500", 500, 500}, {"501", 500, 500}, {"x", 500, 500}};
  for (const Case& c : cases) {
    auto config = withSetting("measurement.upload.max_event_parameter_value_length", c.server);
    EXPECT_EQ(config->maxPublicEventParameterValueLength(), c.publicLength) << c.server;
    EXPECT_EQ(config->maxInternalEventParameterValueLength(), c.internalLength) << c.server;
  }
  // Debug mode answers 10 start counts without a look-up.
  auto config = withSetting("measurement.psm_start_count", "2");
  APMMonitor::monitor()->setDebugModeEnabled(true);
  bool debug = APMMonitor::monitor()->isDebugModeEnabled();
  EXPECT_EQ(config->maxPSMStartCount(), debug ? 10 : 2);
  APMMonitor::monitor()->setDebugModeEnabled(false);
  EXPECT_EQ(config->maxPSMStartCount(), 2);
}

TEST_F(APMRemoteConfigSettingsTest, NumberGrammar) {
  using platform::Value;
  struct Case {
    const char* text;
    std::optional<Value> number;
  };
  const Case cases[] = {
      {"5", Value(5)},
      {"+5", Value(5)},
      {"-900", Value(-900)},
      {"99.9", Value(99.9)},
      {"-0.5", Value(-0.5)},
      {"9223372036854775807", Value(9223372036854775807LL)},
      {"-9223372036854775808", Value(static_cast<long long>(INT64_MIN))},
      {"9223372036854775808", std::nullopt},
      {"1234567890123456789012345", std::nullopt},
      {" 5", std::nullopt},
      {"5 ", std::nullopt},
      {"1,000", std::nullopt},
      {"1e3", std::nullopt},
      {"0x10", std::nullopt},
      {"NaN", std::nullopt},
      {"inf", std::nullopt},
      {"", std::nullopt},
      {"-", std::nullopt},
      {".5", std::nullopt},
      {"5.", std::nullopt},
      {"١٢", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(APMRemoteConfig::numberFromString(c.text), c.number) << c.text;
  }
}

}  // namespace
