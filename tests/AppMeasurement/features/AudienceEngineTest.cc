// Audiences through the engine: definitions served by the measurement service (its own
// process), stored as translated filter rows, evaluated while bundling, and uploaded as
// field 29 of the bundle; a session start clears session-scoped bits.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "AppMeasurement/features/APMFeatureInstaller.h"
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

}  // namespace
