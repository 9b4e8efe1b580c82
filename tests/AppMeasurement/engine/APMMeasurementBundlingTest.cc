// Bundling: engagement properties, customer type, health data, the real-time marks, groups
// that end without a bundle, metadata that cannot be decoded, and the consent state that
// bundling reads at the time it bundles.
#include <atomic>

#include "AppMeasurement/foundation/APMConsentSettingsUtil.h"
#include "AppMeasurement/foundation/APMDataAdditions.h"
#include "AppMeasurement/foundation/APMFilePaths.h"
#include "AppMeasurement/foundation/APMMonitor.h"
#include "tests/AppMeasurement/engine/EngineTestSupport.h"
#include "tests/support/ServiceProcess.h"

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

// The aggregates of a bundle's names are kept in memory while it is made and written back
// before a purchase reads the table and at the end: the stored rows (read with the sqlite3
// tool), the previous times in the bundle and the customer types are those of event-by-event
// updates, and an engine started again on the same store continues from them.
TEST_F(BundleContentTest, AggregatesAcrossABundleAndARestart) {
  makeEngine();
  clearRawEvents();
  double start = env.now();
  const char* order[] = {"a", "b", "a", "purchase", "a", "purchase", "b"};
  std::map<std::string, std::vector<int64_t>> times;
  for (const char* name : order) {
    times[name].push_back(static_cast<int64_t>(env.now() * 1000));
    logEvent("app", true, name);
    env.advance(1.5);
  }
  ASSERT_EQ(bundleAll(), 1);
  std::map<std::string, std::vector<std::pair<int64_t, int64_t>>> seen;  // time, previous
  std::vector<std::string> types;
  std::vector<APMPBEvent> bundled =
      NANOGetMessageArray<APMPBEvent>(queued().back().bundle, B::kEvents).value();
  for (const APMPBEvent& event : bundled) {
    std::string name = NANOGetString(event, APMPBEvent::kName).value_or("");
    seen[name].emplace_back(NANOGetInt64(event, APMPBEvent::kTimestampMillis),
                            NANOGetInt64(event, APMPBEvent::kPreviousTimestampMillis));
    if (name == "purchase") types.push_back(stringParam(event, "_ct").value_or("(none)"));
  }
  for (const auto& [name, stamps] : times) {
    SCOPED_TRACE(name);
    ASSERT_EQ(seen[name].size(), stamps.size());
    for (size_t i = 0; i < stamps.size(); ++i) {
      EXPECT_EQ(seen[name][i].first, stamps[i]);
      EXPECT_EQ(seen[name][i].second, i == 0 ? 0 : stamps[i - 1]);
    }
  }
  EXPECT_EQ(types, (std::vector<std::string>{"new", "returning"}));
  std::string database = APMApplicationSupportPath("orvane-app-measurement.sql");
  auto stored = [&] {
    return testsupport::runCommand(
        "sqlite3 '" + database +
        "' 'SELECT name, lifetime_count, current_bundle_count, last_fire_timestamp FROM events "
        "WHERE name IN (\"a\", \"b\", \"purchase\") ORDER BY name'");
  };
  auto row = [](const char* name, int count, double last) {
    char line[96];
    std::snprintf(line, sizeof line, "%s|%d|%d|%.1f\n", name, count, count, last);
    return std::string(line);
  };
  EXPECT_EQ(stored(),
            row("a", 3, start + 6) + row("b", 2, start + 9) + row("purchase", 2, start + 7.5));

  engine->setEnabled(false);
  env.waitUntilIdle();
  engine.reset();
  env.waitUntilIdle();
  makeEngine();
  clearRawEvents();
  int64_t again = static_cast<int64_t>(env.now() * 1000);
  logEvent("app", true, "a");
  ASSERT_EQ(bundleAll(), 1);
  std::vector<APMPBEvent> events =
      NANOGetMessageArray<APMPBEvent>(queued().back().bundle, B::kEvents).value();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(NANOGetInt64(events[0], APMPBEvent::kPreviousTimestampMillis), times["a"].back());
  EXPECT_EQ(NANOGetInt64(events[0], APMPBEvent::kTimestampMillis), again);
  EXPECT_NE(stored().find(row("a", 4, static_cast<double>(again) / 1000)), std::string::npos);
}

// A bundle of the most events, as protoc reads it from the queue: every event and parameter in
// order, each event's previous time the one before it.
TEST_F(BundleContentTest, AThousandEventsInOneBundle) {
  makeEngine({{"measurement.upload.max_batch_size", "10485760"}});
  clearRawEvents();
  double hour = std::floor(env.now() / 3600) * 3600;
  onWorker([&] {
    APMDatabase* database = engine->database();
    APMPBMeasurementBundle metadata = engine->createRawEventMetadataWithUserAttributes({});
    ASSERT_TRUE(database->insertIfNotExistsRawEventMetadata(metadata, nullptr));
    int64_t fingerprint = apm_64LSBMD5(*metadata.protoBuffer());
    APMValueMap parameters;
    for (char key = 'a'; key < 'a' + 12; ++key) {
      parameters.emplace(std::string(1, key), APMValue(int64_t{100000 + key}));
    }
    for (int i = 0; i < 1000; ++i) {
      parameters.insert_or_assign("z", APMValue(int64_t{i}));
      std::optional<APMEvent> event = APMEvent::create("app", false, "e", hour + i, 0, parameters);
      ASSERT_TRUE(database->insertRawEvent(*event, fingerprint, false, nullptr));
    }
  });
  ASSERT_EQ(bundleAll(), 1);
  std::string bytes;
  bytes = *queued().back().bundle.protoBuffer();
  std::string decoded = enginetest::protoc("decode", "MeasurementBundle", bytes);
  size_t events = 0;
  for (size_t at = 0; (at = decoded.find("\nevents {", at)) != std::string::npos; ++at) ++events;
  EXPECT_EQ(events, 1000u);
  EXPECT_NE(decoded.find("name: \"z\"\n    int_value: 999\n  }\n  name: \"e\"\n"
                         "  timestamp_millis: " +
                         std::to_string(static_cast<int64_t>(hour + 999) * 1000) +
                         "\n  previous_timestamp_millis: " +
                         std::to_string(static_cast<int64_t>(hour + 998) * 1000)),
            std::string::npos);
}

// A stored row that does not decode is logged once by bundling and once as a skipped row,
// and goes with its group.
TEST_F(BundleContentTest, AnUndecodableRowIsLoggedOnce) {
  makeEngine();
  clearRawEvents();
  logEvent("app", true, "broken");
  logEvent("app", true, "kept");
  onWorker([&] {
    ASSERT_TRUE(engine->database()->sqliteStore()->executeSQL(
        "UPDATE raw_events SET data = x'ff01' WHERE name = 'broken'", nullptr));
  });
  capture.clear();
  bundleAll();
  env.waitUntilIdle();
  EXPECT_EQ(countLinesWith(capture.lines(), "I-ACS023096"), 1u);
  EXPECT_EQ(countLinesWith(capture.lines(), "I-ACS012020"), 1u);
  EXPECT_EQ(names(queued().back()), std::vector<std::string>{"kept"});
  EXPECT_TRUE(storedEventNames().empty());
}

}  // namespace
