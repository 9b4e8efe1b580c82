// Bundling: engagement properties, customer type, health data, the real-time marks, groups
// that end without a bundle, metadata that cannot be decoded, and the consent state that
// bundling reads at the time it bundles.
#include <atomic>

#include "AppMeasurement/foundation/APMConsentSettingsUtil.h"
#include "AppMeasurement/foundation/APMMonitor.h"
#include "tests/AppMeasurement/engine/EngineTestSupport.h"

namespace {

using enginetest::countLinesWith;
using enginetest::EngineTest;
using B = APMPBMeasurementBundle;

// Counts what bundling asks of the audiences.
class CountingAudience : public APMAudienceEvaluating {
 public:
  bool evaluateFiltersForEvent(const APMEvent&, const APMEventAggregates&) override {
    ++events;
    return true;
  }
  bool addResultsForBundling(APMPBMeasurementBundle&) override {
    ++results;
    return true;
  }
  std::atomic<int> events{0};
  std::atomic<int> results{0};
};

std::optional<int64_t> intAttribute(const APMPBMeasurementBundle& bundle, const std::string& name) {
  for (const APMPBUserAttribute& attribute :
       NANOGetMessageArray<APMPBUserAttribute>(bundle, B::kUserAttributes)
           .value_or(std::vector<APMPBUserAttribute>{})) {
    if (NANOGetString(attribute, APMPBUserAttribute::kName) == name) {
      return NANOGetInt64(attribute, APMPBUserAttribute::kIntValue);
    }
  }
  return std::nullopt;
}

std::optional<std::string> stringParam(const APMPBEvent& event, const std::string& name) {
  for (const APMPBEventParam& param :
       NANOGetMessageArray<APMPBEventParam>(event, APMPBEvent::kParams)
           .value_or(std::vector<APMPBEventParam>{})) {
    if (NANOGetString(param, APMPBEventParam::kName) == name) {
      return NANOGetString(param, APMPBEventParam::kStringValue);
    }
  }
  return std::nullopt;
}

class BundleContentTest : public EngineTest {
 protected:
  std::optional<int64_t> storedInt(const std::string& name) {
    std::optional<int64_t> value;
    onWorker([&] {
      auto attribute = engine->database()->userAttributeWithName(name, nullptr);
      if (attribute && attribute->value().isInt64()) value = attribute->value().int64Value();
    });
    return value;
  }
  void logInternal(const std::string& name, const APMObjectMap& parameters) {
    logEvent("auto", false, name, parameters);
  }
  static APMObjectMap engagement(int64_t millis, bool foreground = false) {
    APMObjectMap parameters{{"_et", APMObject(platform::Value(millis))}};
    if (foreground) parameters["_fr"] = APMObject(platform::Value(int64_t{1}));
    return parameters;
  }
};

// "_et" of a group adds to "_lte", stored and in the bundle; an event with "_fr" does not
// count; a session start begins "_se" afresh.
TEST_F(BundleContentTest, EngagementIntoLifetimeAndSessionProperties) {
  makeEngine();
  clearRawEvents();
  logInternal("_e", engagement(1000));
  logInternal("_e", engagement(250));
  logInternal("_e", engagement(7000, true));
  ASSERT_EQ(bundleAll(), 1);
  EXPECT_EQ(storedInt("_lte"), 1250);
  EXPECT_EQ(intAttribute(queued().back().bundle, "_lte"), 1250);
  EXPECT_FALSE(storedInt("_se"));

  logInternal("_s", {});
  logInternal("_e", engagement(500));
  bundleAll();
  EXPECT_EQ(storedInt("_lte"), 1750);
  EXPECT_EQ(storedInt("_se"), 500);
  EXPECT_EQ(intAttribute(queued().back().bundle, "_se"), 500);
  EXPECT_EQ(intAttribute(queued().back().bundle, "_lte"), 1750);
}

// Purchases carry "_ct": the first of a new user "new", every later one "returning", within
// one bundle too.
TEST_F(BundleContentTest, CustomerTypeOnPurchases) {
  makeEngine();
  clearRawEvents();
  logEvent("app", true, "purchase");
  logEvent("app", true, "level_up");
  logEvent("app", true, "purchase");
  bundleAll();
  logEvent("app", true, "purchase");
  bundleAll();
  std::vector<std::string> types;
  for (const APMQueuedBundle& entry : queued()) {
    for (const APMPBEvent& event : NANOGetMessageArray<APMPBEvent>(entry.bundle, B::kEvents)
                                       .value_or(std::vector<APMPBEvent>{})) {
      std::string name = NANOGetString(event, APMPBEvent::kName).value_or("");
      if (name == "level_up") {
        EXPECT_FALSE(stringParam(event, "_ct"));
      }
      if (name == "purchase") types.push_back(stringParam(event, "_ct").value_or("(none)"));
    }
  }
  EXPECT_EQ(types, (std::vector<std::string>{"new", "returning", "returning"}));
}

// Health data goes into the bundle when a sample period has passed, and the time is noted.
TEST_F(BundleContentTest, HealthDataWhenTheSamplePeriodHasPassed) {
  makeEngine();
  clearRawEvents();
  persistedConfig->setLastMonitorDataSampledTimestamp(env.now() - 2 * 86400);
  logEvent("app", true, "a");
  // On the worker queue itself: no health sample from a queue check may stand in the way.
  APMMonitor::monitor()->clearMonitoringData();
  engine->scheduler()->scheduleOnWorkerQueueBlockID("test", [this] {
    while (engine->bundleRawEvents()) {
    }
  });
  env.waitUntilIdle();
  EXPECT_EQ(NANOGetString(queued().back().bundle, B::kMonitoringData), "0:");
  EXPECT_EQ(persistedConfig->lastMonitorDataSampledTimestamp(), env.now());
  // Within the period: none.
  logEvent("app", true, "b");
  bundleAll();
  EXPECT_FALSE(NANOHasField(queued().back().bundle, B::kMonitoringData));
}

// A conversion under the real-time limit is marked with 23103; an event outside the limit
// ("_f") with 23105.
TEST_F(BundleContentTest, RealtimeMarksAreLogged) {
  makeEngine();
  clearRawEvents();
  logEvent("app", true, "purchase");
  logEvent("auto", false, "_f");
  capture.clear();
  bundleAll();
  env.waitUntilIdle();
  EXPECT_EQ(countLinesWith(capture.lines(), "I-ACS023103"), 1u);
  EXPECT_EQ(countLinesWith(capture.lines(), "I-ACS023105"), 1u);
}

// A group whose events are all rejected is deleted without a bundle, and the loop stops.
TEST_F(BundleContentTest, AllRejectedGroupAnswersNo) {
  makeEngine();
  clearRawEvents();
  logEvent("app", true, "blocked_later");
  ASSERT_EQ(storedEventNames(), std::vector<std::string>{"blocked_later"});
  APMPBMeasurementConfig config = enginetest::makeConfig(kAppID, {});
  APMPBEventConfig blocked;
  NANOSetString(blocked, APMPBEventConfig::kName, "blocked_later");
  NANOSetBool(blocked, APMPBEventConfig::kBlocklisted, true);
  NANOSetMessageArray(config, APMPBMeasurementConfig::kEventConfig,
                      std::vector<APMPBEventConfig>{blocked});
  onWorker([&] { ASSERT_TRUE(engine->currentConfig()->updateMeasurementConfig(config)); });
  bool answer = true;
  onWorker([&] { answer = engine->bundleRawEvents(); });
  env.waitUntilIdle();
  EXPECT_FALSE(answer);
  EXPECT_TRUE(capture.contains("I-ACS023100"));
  EXPECT_TRUE(storedEventNames().empty());
  EXPECT_TRUE(queued().empty());
}

// Metadata that cannot be decoded (garbage or empty) carries its own storage code; its group
// is dropped instead of blocking every later event.
TEST_F(BundleContentTest, UndecodableMetadataIsDroppedByItsCode) {
  const char* corruptions[] = {"x'ff01ff'", "x''"};
  makeEngine();
  for (const char* corruption : corruptions) {
    SCOPED_TRACE(corruption);
    clearRawEvents();
    logEvent("app", true, "lost");
    onWorker([&] {
      ASSERT_TRUE(engine->database()->sqliteStore()->executeSQL(
          std::string("UPDATE raw_events_metadata SET metadata = ") + corruption, nullptr));
      std::optional<int64_t> fingerprint =
          engine->database()->nextMetadataFingerprintToProcess(nullptr);
      ASSERT_TRUE(fingerprint);
      APMErrorSlot error;
      EXPECT_FALSE(engine->database()->queryRawEventsMetadataWithFingerprint(*fingerprint, &error));
      ASSERT_TRUE(error);
      EXPECT_EQ(error->code(), kAPMDatabaseErrorCannotDecode) << error->localizedDescription();
    });
    bundleAll();
    EXPECT_TRUE(storedEventNames().empty());
    logEvent("app", true, "after");
    bundleAll();
    EXPECT_EQ(names(queued().back()), std::vector<std::string>{"after"});
  }
}

// Analytics storage denied now withholds audience evaluation from events written while it
// was granted; the "_npa" recompute runs at the next bundle when asked for.
TEST_F(BundleContentTest, ConsentIsReadWhenBundling) {
  auto audience = std::make_shared<CountingAudience>();
  APMFeatureServices services = APMFeatureServices::neutral();
  services.audience = audience;
  features = services;
  makeEngine();
  clearRawEvents();
  logEvent("app", true, "written_granted");
  APMConsentSettingsUtil::setConsentSettings(
      platform::Value::Dictionary{{"analytics_storage", platform::Value("denied")}});
  APMConsentSettingsUtil::setDefaultSettings(
      platform::Value::Dictionary{{"ad_personalization", platform::Value("denied")}});
  engine->setShouldUpdateNPAUserProperty(true);
  bundleAll();
  EXPECT_EQ(audience->events, 0);
  EXPECT_EQ(audience->results, 0);
  EXPECT_EQ(storedInt("_npa"), 1);
  EXPECT_FALSE(engine->shouldUpdateNPAUserProperty());

  APMConsentSettingsUtil::setConsentSettings(
      platform::Value::Dictionary{{"analytics_storage", platform::Value("granted")}});
  logEvent("app", true, "written_granted_again");
  bundleAll();
  EXPECT_EQ(audience->events, 1);
  EXPECT_EQ(audience->results, 1);
}

}  // namespace
