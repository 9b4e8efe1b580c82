// Audiences through the engine: definitions served by the measurement service (its own
// process), stored as translated filter rows, evaluated while bundling, and uploaded as
// field 29 of the bundle; a session start clears session-scoped bits; a user-property audience
// is evaluated at the time of the bundle's earliest selected event.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>

#include "AppMeasurement/features/APMFeatureInstaller.h"
#include "AppMeasurement/foundation/APMDataAdditions.h"
#include "AppMeasurement/foundation/APMRemoteConfig.h"
#include "platform/foundation/JSONSerialization.h"
#include "tests/AppMeasurement/engine/EngineTestSupport.h"
#include "tests/AppMeasurement/features/ServiceUploads.h"
#include "tests/support/ClosedPort.h"
#include "tests/support/ServiceProcess.h"

namespace {

using enginetest::EngineTest;
using enginetest::protoc;
using testsupport::httpRequest;
using testsupport::runCommand;
using testsupport::ServiceProcess;

class AudienceEngine : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    APMInstallMeasurementFeatures();
    service_ = std::make_unique<ServiceProcess>(
        KVL_TEST_SERVICE,
        std::vector<std::string>{"--port", "0", "--data", (base_ / "service").string()});
    std::string host = service_->baseURL().substr(std::string("http://").size());
    APMRemoteConfig::setHosts({host, host, host});
  }
  void TearDown() override {
    EngineTest::TearDown();
    APMFeatureServices::install(APMFeatureServices::neutral());
    service_.reset();
    APMRemoteConfig::setHosts(testsupport::processClosedHosts<APMRemoteConfig::Hosts>());
  }
  // The decoded bodies of every upload so far.
  std::string uploads() { return featuretest::decodedUploads(service_->baseURL()); }
  bool drained() { return !engine->isNetworkRequestPending() && !engine->hasDataToUpload(); }
  std::string sqlite(const std::string& sql) {
    return runCommand("sqlite3 '" + engine->database()->databasePath() + "' '" + sql + "'");
  }

  void serveConfig(const std::string& text) {
    std::string config =
        protoc("encode", "MeasurementConfig", std::string("app_id: \"") + kAppID + "\" " + text);
    ASSERT_EQ(
        httpRequest("PUT", service_->baseURL() + "/_control/config/" + kAppID, {}, config).status,
        204);
  }
  void setTier() {
    onWorker([&] {
      engine->setUserAttributeOnWorkerQueue(
          *APMUserAttribute::create("app", "tier", APMValue(std::string("gold")), env.now()));
    });
  }
  void fetchConfig() {
    onWorker([&] { engine->fetchRemoteConfig(); });
    ASSERT_TRUE(waitFor([&] { return !engine->isNetworkRequestPending(); }));
  }

  std::unique_ptr<ServiceProcess> service_;
};

TEST_F(AudienceEngine, ServedAudiencesAreStoredEvaluatedAndUploaded) {
  std::string config = protoc("encode", "MeasurementConfig",
                              std::string("app_id: \"") + kAppID + "\" version: 3 " +
                                  "audiences { audience_id: 1 event_filters { filter_id: 0 "
                                  "event_name: \"level_up\" filters { param_name: \"level\" "
                                  "number_filter { comparison_type: GREATER_THAN "
                                  "comparison_value: \"3\" } } } } "
                                  "audiences { audience_id: 2 event_filters { filter_id: 4 "
                                  "event_name: \"session_start\" session_scoped: true } } "
                                  "audiences { audience_id: -5 event_filters { filter_id: 0 "
                                  "event_name: \"x\" } }");
  ASSERT_EQ(
      httpRequest("PUT", service_->baseURL() + "/_control/config/" + kAppID, {}, config).status,
      204);
  makeEngine({}, OULNetwork::create(service_->baseURL()));
  logEvent("app", true, "level_up",
           APMObjectMap{{"level", APMObject(platform::Value(int64_t{4}))}});
  env.advance(20);
  ASSERT_TRUE(waitFor([&] { return drained(); }));

  EXPECT_EQ(sqlite("SELECT audience_id, filter_id, event_name, session_scoped FROM event_filters "
                   "ORDER BY audience_id"),
            "1|0|level_up|0\n2|4|_s|1\n");
  std::string decoded = uploads();
  EXPECT_NE(decoded.find("audience_evaluation_results {\n    audience_id: 1"), std::string::npos)
      << decoded;
  EXPECT_NE(decoded.find("new_audience: true"), std::string::npos) << decoded;
}

// A dynamic audience on a user property: the bundle's property evaluation takes the time of
// the earliest event the bundle selected, even one the configuration now rejects, and the
// upload carries that time with the audience's bit.
TEST_F(AudienceEngine, PropertyAudienceTakesTheEarliestSelectedEventTime) {
  const std::string audience =
      "audiences { audience_id: 5 property_filters { filter_id: 1 property_name: "
      "\"tier\" filter { string_filter { match_type: EXACT expression: \"gold\" } } "
      "dynamic: true } }";
  serveConfig("version: 5 " + audience);
  makeEngine({}, OULNetwork::create(service_->baseURL()));
  fetchConfig();
  setTier();
  clearRawEvents();
  auto hour = [](double t) { return static_cast<int64_t>(t) / 3600; };
  double first = std::floor(env.now()) - 40;
  if (hour(first) != hour(first + 30)) first = std::floor(env.now());
  logEventAt("rejected_first", first);
  logEventAt("kept", first + 30);
  // The next configuration blocks the first event's name: bundling rejects it.
  serveConfig("version: 6 " + audience +
              " event_config { name: \"rejected_first\" blocklisted: true }");
  fetchConfig();
  env.advance(20);
  ASSERT_TRUE(waitFor([&] { return drained(); }));

  std::string decoded = uploads();
  EXPECT_NE(decoded.find("name: \"kept\""), std::string::npos) << decoded;
  EXPECT_EQ(decoded.find("name: \"rejected_first\""), std::string::npos) << decoded;
  EXPECT_NE(decoded.find("audience_evaluation_results {\n    audience_id: 5\n    current_data {\n"
                         "      status: 2\n      results: 2\n      dynamic_filter_timestamps {\n"
                         "        filter_id: 1\n        eval_timestamp: " +
                         std::to_string(static_cast<int64_t>(first)) + "\n"),
            std::string::npos)
      << decoded;
}

const char* const kTierAudience =
    "audiences { audience_id: 5 property_filters { filter_id: 1 property_name: \"tier\" "
    "filter { string_filter { match_type: EXACT expression: \"gold\" } } } }";

// A property evaluation whose results cannot be stored rolls the bundle back: nothing is
// queued and the raw events wait; once the results can be stored, the bundle is made with
// the audience (read back with protoc).
TEST_F(AudienceEngine, PropertyEvaluationThatFailsRollsTheBundleBack) {
  serveConfig(std::string("version: 5 ") + kTierAudience);
  makeEngine({}, OULNetwork::create(service_->baseURL()));
  fetchConfig();
  setTier();
  clearRawEvents();
  logEvent("app", true, "waits");
  onWorker([&] {
    ASSERT_TRUE(engine->database()->sqliteStore()->executeSQL(
        "CREATE TRIGGER refuse_results BEFORE INSERT ON audience_filter_values "
        "BEGIN SELECT RAISE(ABORT, 'refused'); END",
        nullptr));
  });
  size_t queuedBefore = queued().size();
  capture.clear();
  bool made = true;
  onWorker([&] { made = engine->bundleRawEvents(); });
  env.waitUntilIdle();
  EXPECT_FALSE(made);
  EXPECT_TRUE(capture.contains("I-ACS006007"));
  EXPECT_EQ(queued().size(), queuedBefore);
  EXPECT_EQ(storedEventNames(), std::vector<std::string>{"waits"});

  onWorker([&] {
    ASSERT_TRUE(
        engine->database()->sqliteStore()->executeSQL("DROP TRIGGER refuse_results", nullptr));
  });
  ASSERT_EQ(bundleAll(), 1);
  std::string decoded =
      protoc("decode", "MeasurementBundle", *queued().back().bundle.protoBuffer());
  EXPECT_NE(decoded.find("name: \"waits\""), std::string::npos) << decoded;
  EXPECT_NE(decoded.find("audience_evaluation_results {\n  audience_id: 5\n  current_data {\n"
                         "    status: 2\n    results: 2\n"),
            std::string::npos)
      << decoded;
}

// A session start is evaluated against the user properties while analytics storage is
// denied: the audience's result is stored, though the denied bundle carries none.
TEST_F(AudienceEngine, SessionStartEvaluatesPropertiesWhileAnalyticsStorageIsDenied) {
  serveConfig(std::string("version: 5 ") + kTierAudience);
  makeEngine({}, OULNetwork::create(service_->baseURL()));
  fetchConfig();
  setTier();
  clearRawEvents();
  APMConsentSettingsUtil::setConsentSettings(
      platform::Value::Dictionary{{"analytics_storage", platform::Value("denied")}});
  const int64_t session = static_cast<int64_t>(env.now());
  logEvent("auto", false, "_s",
           APMObjectMap{{"_sid", APMObject(platform::Value(session))},
                        {"_sno", APMObject(platform::Value(int64_t{1}))}});
  int made = bundleAll();
  EXPECT_EQ(made, 1);
  EXPECT_EQ(sqlite("SELECT audience_id FROM audience_filter_values"), "5\n");
  ASSERT_FALSE(queued().empty());
  std::string denied =
      protoc("decode", "MeasurementBundle", *queued().back().bundle.protoBuffer());
  EXPECT_NE(denied.find("name: \"_s\""), std::string::npos) << denied;
  EXPECT_EQ(denied.find("audience_evaluation_results"), std::string::npos) << denied;
}

// A stored metadata record whose user property has no value cannot be evaluated (6039), now
// or at any later try: its bundle is made without that evaluation instead of being rolled back
// for ever, and the bundles after it follow.
TEST_F(AudienceEngine, APropertyWithoutAValueDoesNotHoldTheBundlesBack) {
  serveConfig(std::string("version: 5 ") + kTierAudience);
  makeEngine({}, OULNetwork::create(service_->baseURL()));
  fetchConfig();
  clearRawEvents();
  onWorker([&] {
    APMDatabase* database = engine->database();
    APMPBMeasurementBundle metadata = engine->createRawEventMetadataWithUserAttributes({});
    APMPBUserAttribute valueless;
    NANOSetString(valueless, APMPBUserAttribute::kName, "tier");
    NANOSetInt64(valueless, APMPBUserAttribute::kSetTimestampMillis,
                 static_cast<int64_t>(env.now() * 1000));
    NANOSetMessageArray(metadata, APMPBMeasurementBundle::kUserAttributes,
                        std::vector<APMPBUserAttribute>{valueless});
    ASSERT_TRUE(database->insertIfNotExistsRawEventMetadata(metadata, nullptr));
    std::optional<APMEvent> event = APMEvent::create("app", false, "odd", env.now(), 0, APMValueMap{});
    ASSERT_TRUE(database->insertRawEvent(*event, apm_64LSBMD5(*metadata.protoBuffer()), false,
                                         nullptr));
  });
  setTier();
  logEvent("app", true, "after");
  // Both bundles are made (6039 is a silent level: it goes to the health data only).
  EXPECT_GE(bundleAll(), 2);
  EXPECT_TRUE(storedEventNames().empty());
  std::vector<APMQueuedBundle> bundles = queued();
  ASSERT_GE(bundles.size(), 2u);
  EXPECT_EQ(names(bundles[bundles.size() - 2]), std::vector<std::string>{"odd"});
  std::string last = protoc("decode", "MeasurementBundle", *queued().back().bundle.protoBuffer());
  EXPECT_NE(last.find("name: \"after\""), std::string::npos) << last;
  EXPECT_NE(last.find("audience_id: 5"), std::string::npos) << last;
}

}  // namespace
