// Bundling: engagement properties, customer type, health data, the real-time marks, groups
// that end without a bundle, metadata that cannot be decoded, the consent state that
// bundling reads at the time it bundles, the purchase check and the order, times and failures
// of audience evaluation.
#include <atomic>
#include <fstream>
#include <mutex>

#include "AppMeasurement/foundation/APMConsentSettingsUtil.h"
#include "AppMeasurement/foundation/APMDataAdditions.h"
#include "AppMeasurement/foundation/APMFilePaths.h"
#include "AppMeasurement/foundation/APMMonitor.h"
#include "platform/foundation/AppContainer.h"
#include "tests/AppMeasurement/engine/EngineTestSupport.h"
#include "tests/AppMeasurement/engine/FailingStatements.h"
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

// Writes down each call bundling makes of the audiences, in order; property evaluations can
// be made to fail.
class RecordingAudience : public APMAudienceEvaluating {
 public:
  void beginBundleEvaluation() override { record("begin"); }
  bool evaluateFiltersForEvent(const APMEvent& event, const APMEventAggregates&) override {
    record("event " + event.name());
    return true;
  }
  bool evaluateFiltersForNanoUserProperty(const APMPBUserAttribute& property, bool withBundleCache,
                                          std::optional<double> evaluationTime) override {
    std::string name = NANOGetString(property, APMPBUserAttribute::kName).value_or("");
    if (name != "tier") return true;  // the engine's own properties are not followed here
    record("property " + std::string(withBundleCache ? "bundle " : "own ") +
           (evaluationTime ? std::to_string(static_cast<int64_t>(*evaluationTime * 1000)) : "-"));
    return withBundleCache ? !failWithBundleCache : !failWithOwnCache;
  }
  bool addResultsForBundling(APMPBMeasurementBundle&) override {
    record("results");
    return true;
  }
  void clearEvaluationResultsForSessionScopedFilters() override { record("clear"); }

  std::vector<std::string> calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }
  void forget() {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.clear();
  }
  std::atomic<bool> failWithBundleCache{false};
  std::atomic<bool> failWithOwnCache{false};

 private:
  void record(std::string call) {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(std::move(call));
  }
  std::mutex mutex_;
  std::vector<std::string> calls_;  // guarded by mutex_
};

// The receipt's validity as a test sets it.
class ReceiptReporter : public APMPurchaseReporting {
 public:
  bool isReceiptValid() override { return valid; }
  std::atomic<bool> valid{false};
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

std::optional<int64_t> intParam(const APMPBEvent& event, const std::string& name) {
  for (const APMPBEventParam& param :
       NANOGetMessageArray<APMPBEventParam>(event, APMPBEvent::kParams)
           .value_or(std::vector<APMPBEventParam>{})) {
    if (NANOGetString(param, APMPBEventParam::kName) == name &&
        NANOHasField(param, APMPBEventParam::kIntValue)) {
      return NANOGetInt64(param, APMPBEventParam::kIntValue);
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

// "_et" of a group adds to "_lte" and "_se", stored and in the bundle; an event with "_fr"
// does not count; a session start begins "_se" afresh, and the session's later bundles add to
// it.
TEST_F(BundleContentTest, EngagementIntoLifetimeAndSessionProperties) {
  makeEngine();
  clearRawEvents();
  logInternal("_e", engagement(1000));
  logInternal("_e", engagement(250));
  logInternal("_e", engagement(7000, true));
  ASSERT_EQ(bundleAll(), 1);
  EXPECT_EQ(storedInt("_lte"), 1250);
  EXPECT_EQ(intAttribute(queued().back().bundle, "_lte"), 1250);
  EXPECT_EQ(storedInt("_se"), 1250);
  EXPECT_EQ(intAttribute(queued().back().bundle, "_se"), 1250);

  logInternal("_s", {});
  logInternal("_e", engagement(500));
  bundleAll();
  EXPECT_EQ(storedInt("_lte"), 1750);
  EXPECT_EQ(storedInt("_se"), 500);
  EXPECT_EQ(intAttribute(queued().back().bundle, "_se"), 500);
  EXPECT_EQ(intAttribute(queued().back().bundle, "_lte"), 1750);

  logInternal("_e", engagement(300));
  bundleAll();
  EXPECT_EQ(storedInt("_lte"), 2050);
  EXPECT_EQ(storedInt("_se"), 800);
  EXPECT_EQ(intAttribute(queued().back().bundle, "_se"), 800);
  EXPECT_EQ(intAttribute(queued().back().bundle, "_lte"), 2050);
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

// The daily limits count the day the bundle is made: an event written just before midnight,
// when earlier bundles of that day had reached a limit, and bundled just after it keeps its
// conversion and real-time marks, and its bundle is queued as real-time.
TEST_F(BundleContentTest, DailyLimitsOfTheDayBeforeDoNotHoldAfterMidnight) {
  struct Case {
    const char* what;
    const char* origin;
    bool isPublic;
    const char* name;
    APMDailyCounts reached;  // the day's counts at their default limits (day set below)
    const char* refusal;     // the line the limit writes; nullptr when it is silent
  };
  const Case cases[] = {
      {"conversions", "app", true, "purchase", APMDailyCounts(0, 10000, 0, 0, 0, 0, 0),
       "I-ACS023102"},
      // A conversion's own count would move the counts first: a notification event is not one.
      {"real-time", "trx", false, "_ae", APMDailyCounts(0, 0, 0, 0, 0, 10, 0), "I-ACS023104"},
      {"_dcu real-time", "auto", false, "_dcu", APMDailyCounts(0, 0, 0, 0, 0, 0, 1), nullptr},
  };
  makeEngine();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // Five seconds before the next midnight of the engine's day.
    double offset = persistedConfig->midnightOffset();
    double day = std::floor((env.now() - offset) / 86400);
    env.advance((day + 1) * 86400 + offset - 5 - env.now());
    env.waitUntilIdle();
    clearRawEvents();
    onWorker([&] {
      ASSERT_TRUE(engine->database()->sqliteStore()->executeSQL("DELETE FROM queue", nullptr));
    });
    APMObjectMap parameters;
    if (!c.isPublic) parameters["_r"] = APMObject(platform::Value(int64_t{1}));
    logEvent(c.origin, c.isPublic, c.name, parameters);
    APMDailyCounts reached(static_cast<int32_t>(day), c.reached.conversionsCount(), 0, 0, 0,
                           c.reached.realtimeCount(), c.reached.dcuRealtimeCount());
    onWorker([&] { ASSERT_TRUE(engine->database()->updateDailyCounts(reached, nullptr)); });
    env.advance(10);
    env.waitUntilIdle();
    capture.clear();
    ASSERT_EQ(bundleAll(), 1);
    env.waitUntilIdle();
    if (c.refusal) {
      EXPECT_EQ(countLinesWith(capture.lines(), c.refusal), 0u);
    }
    std::vector<APMQueuedBundle> bundles = queued();
    ASSERT_EQ(bundles.size(), 1u);
    std::vector<APMPBEvent> events =
        NANOGetMessageArray<APMPBEvent>(bundles[0].bundle, B::kEvents).value();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(intParam(events[0], "_r"), 1);
    if (c.isPublic) {
      EXPECT_EQ(intParam(events[0], "_c"), 1);
    }
    std::optional<bool> realtime;
    onWorker([&] { realtime = engine->database()->containsRealtimeBundlesWithError(nullptr); });
    EXPECT_EQ(realtime, true);
    EXPECT_EQ(dailyCounts().day(), static_cast<int32_t>(day) + 1);
  }
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

// A stored row that does not decode is logged once, by bundling (23096), and goes with its
// group.
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
  EXPECT_EQ(countLinesWith(capture.lines(), "I-ACS012020"), 0u);
  EXPECT_EQ(names(queued().back()), std::vector<std::string>{"kept"});
  EXPECT_TRUE(storedEventNames().empty());
}

// Once a row of a group is taken, every later row, decodable or not, follows the last taken
// one; the hour is that of the first decodable row. A group that starts with a row that does
// not decode therefore ends at a row of another fingerprint, and its deletion takes no row of
// that fingerprint.
TEST_F(BundleContentTest, AGroupTakesOnlyConsecutiveRows) {
  struct Row {
    char fingerprint;  // 'F' or 'G'
    const char* name;  // nullptr: stored, then made undecodable
    double offset;     // seconds after the start of an hour
  };
  struct Case {
    const char* label;
    std::vector<Row> rows;
    std::vector<std::vector<std::string>> bundles;
  };
  const Case cases[] = {
      {"another fingerprint between",
       {{'F', nullptr, 10}, {'G', "g1", 11}, {'G', "g2", 12}, {'F', "f", 13}},
       {{"g1", "g2"}, {"f"}}},
      {"the hour of the first decodable row",
       {{'F', nullptr, 10}, {'F', "f1", 3600 + 10}, {'F', "f2", 3600 + 20}, {'F', "f3", 7200}},
       {{"f1", "f2"}, {"f3"}}},
  };
  makeEngine();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    clearRawEvents();
    size_t queuedBefore = queued().size();
    double hour = std::floor(env.now() / 3600) * 3600 - 3 * 3600;
    onWorker([&] {
      APMDatabase* database = engine->database();
      std::map<char, int64_t> fingerprints;
      for (char group : {'F', 'G'}) {
        APMPBMeasurementBundle metadata =
            engine->createRawEventMetadataWithUserAttributes({*APMUserAttribute::create(
                "app", "group", APMValue(std::string(1, group)), env.now())});
        ASSERT_TRUE(database->insertIfNotExistsRawEventMetadata(metadata, nullptr));
        fingerprints[group] = apm_64LSBMD5(*metadata.protoBuffer());
      }
      for (const Row& row : c.rows) {
        std::optional<APMEvent> event = APMEvent::create("app", true, row.name ? row.name : "bad",
                                                         hour + row.offset, 0, APMValueMap{});
        ASSERT_TRUE(
            database->insertRawEvent(*event, fingerprints.at(row.fingerprint), false, nullptr));
      }
      ASSERT_TRUE(database->sqliteStore()->executeSQL(
          "UPDATE raw_events SET data = x'ff01' WHERE name = 'bad'", nullptr));
    });
    bundleAll();
    std::vector<APMQueuedBundle> bundles = queued();
    std::vector<std::vector<std::string>> made;
    for (size_t i = queuedBefore; i < bundles.size(); ++i) made.push_back(names(bundles[i]));
    EXPECT_EQ(made, c.bundles);
    EXPECT_TRUE(storedEventNames().empty());
  }
}

// A bundle counts as made only when its transaction commits. With a commit that fails (a
// deferred key checked only then), bundling answers NO and leaves the upload suspension as it
// was, and an upload pass tries the group once instead of once per bundle it may make.
TEST_F(BundleContentTest, AFailedCommitMakesNoBundle) {
  // Read the way the server's time settings are: 50000 allows 50 bundles per pass.
  makeEngine({{"measurement.upload.max_bundles_created_per_iteration", "50000"}},
             OULNetwork::create());
  clearRawEvents();
  logEvent("app", true, "waiting");
  onWorker([&] {
    APMSqliteStore* store = engine->database()->sqliteStore();
    ASSERT_TRUE(store->executeSQL("PRAGMA foreign_keys = ON", nullptr));
    ASSERT_TRUE(store->executeSQL("CREATE TABLE guard_parent (id INTEGER PRIMARY KEY)", nullptr));
    ASSERT_TRUE(store->executeSQL(
        "CREATE TABLE guard (pid INTEGER REFERENCES guard_parent(id) DEFERRABLE INITIALLY "
        "DEFERRED)",
        nullptr));
    ASSERT_TRUE(store->executeSQL(
        "CREATE TRIGGER guard_queue AFTER INSERT ON queue BEGIN INSERT INTO guard VALUES (7); END",
        nullptr));
  });
  bool answer = true;
  double suspended = 0;
  onWorker([&] {
    engine->setSuspendedUploadTimestamp(1234.5);
    answer = engine->bundleRawEvents();
    suspended = engine->suspendedUploadTimestamp();
    engine->setSuspendedUploadTimestamp(0);
  });
  EXPECT_FALSE(answer);
  EXPECT_EQ(suspended, 1234.5);

  env.waitUntilIdle();  // the lines of that try are written
  capture.clear();
  onWorker([&] { engine->uploadData(); });
  env.waitUntilIdle();
  EXPECT_EQ(countLinesWith(capture.lines(), "I-ACS012056"), 1u);
  EXPECT_TRUE(queued().empty());
  EXPECT_EQ(storedEventNames(), std::vector<std::string>{"waiting"});

  onWorker([&] {
    ASSERT_TRUE(engine->database()->sqliteStore()->executeSQL("DROP TRIGGER guard_queue", nullptr));
  });
  EXPECT_EQ(bundleAll(), 1);
  EXPECT_TRUE(storedEventNames().empty());
}

// What a bundle changes outside the database follows its commit: after a bundle whose queue
// insert is refused, the consent-signal string of the last bundle and the "_npa" recompute
// wait for the retry, which takes the events snapshot of the change to denied analytics
// storage and stores "_npa".
TEST_F(BundleContentTest, ARolledBackBundleLeavesConsentStringAndNPAFlag) {
  makeEngine();
  clearRawEvents();
  APMConsentSettingsUtil::setConsentSettings(
      platform::Value::Dictionary{{"analytics_storage", platform::Value("granted")}});
  logEvent("app", true, "granted");
  ASSERT_EQ(bundleAll(), 1);
  std::optional<std::string> grantedSignals = persistedConfig->previousBundledConsentSignals();

  APMConsentSettingsUtil::setConsentSettings(
      platform::Value::Dictionary{{"analytics_storage", platform::Value("denied")}});
  APMConsentSettingsUtil::setDefaultSettings(
      platform::Value::Dictionary{{"ad_personalization", platform::Value("denied")}});
  engine->setShouldUpdateNPAUserProperty(true);
  logEvent("app", true, "denied");
  auto snapshotExists = [&] {
    std::optional<bool> exists;
    onWorker([&] {
      exists = engine->database()->sqliteStore()->tableExists("events_snapshot", nullptr);
    });
    return exists.value_or(false);
  };
  onWorker([&] {
    ASSERT_TRUE(engine->database()->sqliteStore()->executeSQL(
        "CREATE TRIGGER refuse_queue BEFORE INSERT ON queue BEGIN SELECT RAISE(ABORT, "
        "'refused'); END",
        nullptr));
  });
  EXPECT_EQ(bundleAll(), 0);
  EXPECT_EQ(persistedConfig->previousBundledConsentSignals(), grantedSignals);
  EXPECT_TRUE(engine->shouldUpdateNPAUserProperty());
  EXPECT_FALSE(storedInt("_npa"));
  EXPECT_FALSE(snapshotExists());

  onWorker([&] {
    ASSERT_TRUE(
        engine->database()->sqliteStore()->executeSQL("DROP TRIGGER refuse_queue", nullptr));
  });
  ASSERT_EQ(bundleAll(), 1);
  EXPECT_EQ(names(queued().back()), std::vector<std::string>{"denied"});
  EXPECT_NE(persistedConfig->previousBundledConsentSignals(), grantedSignals);
  EXPECT_TRUE(snapshotExists());
  EXPECT_EQ(storedInt("_npa"), 1);
  EXPECT_FALSE(engine->shouldUpdateNPAUserProperty());
}

class PurchaseCheckTest : public BundleContentTest {};

// An "_iap" gets "validated" from the receipt and "sandbox" from a sandbox receipt, each only
// when it has none; other purchases get neither.
TEST_F(PurchaseCheckTest, InAppPurchasesAreValidatedWhenBundled) {
  struct Case {
    const char* label;
    const char* name;
    bool sandboxReceipt;
    bool receiptValid;
    APMObjectMap parameters;
    std::optional<int64_t> validated;
    std::optional<int64_t> sandbox;
  };
  auto one = [](const char* name, int64_t value) {
    return APMObjectMap{{name, APMObject(platform::Value(value))}};
  };
  APMObjectMap both = one("validated", 1);
  both.emplace("sandbox", APMObject(platform::Value(int64_t{0})));
  const Case cases[] = {
      {"store receipt, valid", "_iap", false, true, {}, 1, std::nullopt},
      {"store receipt, invalid", "_iap", false, false, {}, 0, std::nullopt},
      {"sandbox receipt", "_iap", true, false, {}, 0, 1},
      {"the event's own values", "_iap", true, false, both, 1, 0},
      {"own validation, sandbox added", "_iap", true, false, one("validated", 1), 1, 1},
      {"not an in-app purchase", "purchase", true, true, {}, std::nullopt, std::nullopt},
  };
  auto reporter = std::make_shared<ReceiptReporter>();
  APMFeatureServices services = APMFeatureServices::neutral();
  services.purchaseReporter = reporter;
  features = services;
  makeEngine();
  std::filesystem::path storeKit = platform::AppContainer::root() / "StoreKit";
  std::filesystem::create_directories(storeKit);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    std::filesystem::remove(storeKit / "sandboxReceipt");
    if (c.sandboxReceipt) std::ofstream(storeKit / "sandboxReceipt") << "receipt";
    reporter->valid = c.receiptValid;
    clearRawEvents();
    logEvent("auto", false, c.name, c.parameters);
    ASSERT_EQ(bundleAll(), 1);
    std::vector<APMPBEvent> events =
        NANOGetMessageArray<APMPBEvent>(queued().back().bundle, B::kEvents).value();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(intParam(events[0], "validated"), c.validated);
    EXPECT_EQ(intParam(events[0], "sandbox"), c.sandbox);
  }
}

class AudienceOrderTest : public BundleContentTest {
 protected:
  void SetUp() override {
    BundleContentTest::SetUp();
    audience = std::make_shared<RecordingAudience>();
    APMFeatureServices services = APMFeatureServices::neutral();
    services.audience = audience;
    features = services;
  }
  void setTier() {
    onWorker([&] {
      engine->setUserAttributeOnWorkerQueue(
          *APMUserAttribute::create("app", "tier", APMValue(std::string("gold")), env.now()));
    });
  }
  int64_t millis(double seconds) { return static_cast<int64_t>(seconds * 1000); }
  std::shared_ptr<RecordingAudience> audience;
};

// At a session start the user properties are evaluated before the events, with their own
// cache and time; then, after the events, with the bundle's cache at the earliest event's time.
TEST_F(AudienceOrderTest, SessionStartEvaluatesPropertiesBeforeEvents) {
  makeEngine();
  setTier();
  clearRawEvents();
  double first = std::floor(env.now());
  logEventAt("x", first);
  logInternal("_s", {});
  audience->forget();
  ASSERT_EQ(bundleAll(), 1);
  EXPECT_EQ(audience->calls(), (std::vector<std::string>{
                                   "clear", "property own -", "begin", "event x", "event _s",
                                   "property bundle " + std::to_string(millis(first)), "results"}));
}

// A read of the group that fails after some rows were taken rolls back with 23097; the raw
// events wait for the next try.
TEST_F(BundleContentTest, AReadFailingHalfWayRollsBackWith23097) {
  makeEngine();
  clearRawEvents();
  logEvent("app", true, "first");
  logEvent("app", true, "second");
  size_t queuedBefore = queued().size();
  std::unique_ptr<enginetest::FailingStatements> failing;
  onWorker([&] {
    failing = std::make_unique<enginetest::FailingStatements>(
        engine->database()->sqliteStore()->sqliteHandle(),
        std::vector<std::string>{"FROM raw_events WHERE metadata_fingerprint = ? ORDER BY rowid"},
        1);
  });
  capture.clear();
  EXPECT_EQ(bundleAll(), 0);
  int interrupted = 0;
  onWorker([&] {
    interrupted = failing->interrupted();
    failing.reset();
  });
  env.waitUntilIdle();
  EXPECT_EQ(interrupted, 1);
  EXPECT_EQ(countLinesWith(capture.lines(), "I-ACS023097"), 1u);
  EXPECT_EQ(queued().size(), queuedBefore);
  EXPECT_EQ(storedEventNames(), (std::vector<std::string>{"first", "second"}));
  EXPECT_EQ(bundleAll(), 1);
  EXPECT_TRUE(storedEventNames().empty());
}

// A failed property evaluation with the bundle rolls the bundle back: no bundle, the raw events
// kept for the next try. At the session start it ends that step only: the bundle is made.
TEST_F(AudienceOrderTest, FailedPropertyEvaluationRollsBackOnlyWithTheBundle) {
  struct Case {
    const char* label;
    bool sessionStart;
    bool failOwn;
    bool failBundle;
    int bundlesWhileFailing;
  };
  const Case cases[] = {{"at the session start", true, true, false, 1},
                        {"with the bundle", false, false, true, 0}};
  makeEngine();
  setTier();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    clearRawEvents();
    if (c.sessionStart) logInternal("_s", {});
    logEvent("app", true, "x");
    std::vector<std::string> stored = storedEventNames();
    size_t queuedBefore = queued().size();
    audience->failWithOwnCache = c.failOwn;
    audience->failWithBundleCache = c.failBundle;
    EXPECT_EQ(bundleAll(), c.bundlesWhileFailing);
    EXPECT_EQ(queued().size(), queuedBefore + c.bundlesWhileFailing);
    if (c.bundlesWhileFailing == 0) {
      EXPECT_EQ(storedEventNames(), stored);
    }
    audience->failWithOwnCache = false;
    audience->failWithBundleCache = false;
    EXPECT_EQ(bundleAll(), 1 - c.bundlesWhileFailing);
    EXPECT_TRUE(storedEventNames().empty());
  }
}

// Session counts that cannot be cleared end the session-start step (23185), engagement
// included, and not the bundle: the bundle is queued and its raw events go.
TEST_F(BundleContentTest, FailedSessionCountClearStillMakesTheBundle) {
  makeEngine();
  clearRawEvents();
  logInternal("_s", {});
  logInternal("_e", engagement(700));
  onWorker([&] {
    ASSERT_TRUE(engine->database()->sqliteStore()->executeSQL(
        "CREATE TRIGGER refuse_clear BEFORE UPDATE OF current_session_count ON events "
        "BEGIN SELECT RAISE(ABORT, 'refused'); END",
        nullptr));
  });
  size_t queuedBefore = queued().size();
  capture.clear();
  EXPECT_EQ(bundleAll(), 1);
  env.waitUntilIdle();
  EXPECT_TRUE(capture.contains("I-ACS023185"));
  ASSERT_EQ(queued().size(), queuedBefore + 1);
  EXPECT_EQ(names(queued().back()), (std::vector<std::string>{"_s", "_e"}));
  EXPECT_TRUE(storedEventNames().empty());
  EXPECT_FALSE(storedInt("_lte"));
}

}  // namespace
