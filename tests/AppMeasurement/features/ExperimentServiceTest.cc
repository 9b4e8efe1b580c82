// Experiments fetched over real HTTP from the measurement service (its own process): the
// request as protoc reads it, the answer pending, then activated and launched, the per-SDK
// errors, the schedule's timestamps as plistlib reads them, and a later launch (a second
// process) that keeps the flags and experiment IDs.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "AppMeasurement/foundation/APMIdentity.h"
#include "AppMeasurement/foundation/APMRemoteConfig.h"
#include "platform/foundation/JSONSerialization.h"
#include "platform/foundation/ProcessInfo.h"
#include "tests/AppMeasurement/features/ExperimentTestSupport.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/ClosedPort.h"

namespace {

using testsupport::httpRequest;
using testsupport::runCommand;

// An SDK that wants experiments, activates them itself and hears of errors.
class Observer : public APMEExperimentObserverDelegate,
                 public APMENewSnapshotObserving,
                 public APMEFetchErrorObserving {
 public:
  void clientDidReceiveNewSnapshot(APMEClient&) override { ++newSnapshots; }
  void clientDidReceiveFetchError(APMEClient&, const APMError& error) override {
    errors.push_back(error);
  }
  std::atomic<int> newSnapshots{0};
  std::vector<APMError> errors;  // the manager's queue writes, the test reads once idle
};

constexpr const char* kAnswer = R"({"response": {"snapshots": [{"name": "app_measurement",
  "experiments": [{"experiment_id": 7, "flags": [{"name": "f", "int_value": 42}]},
                  {"experiment_id": 0, "flags": [{"name": "l", "string_value": "launched"}]}]}],
  "sdk_responses": [{"name": "other", "error_code": 3}]}})";

class ExperimentServiceTest : public experimenttest::ExperimentTest {
 protected:
  void SetUp() override {
    ExperimentTest::SetUp();
    // Through the process info, so that a language read by an earlier test is read again.
    auto environment = platform::ProcessInfo::processInfo().environment();
    environment["LANGUAGE"] = "en_US";
    platform::ProcessInfo::processInfo().setEnvironment(std::move(environment));
    service_ = std::make_unique<testsupport::ServiceProcess>(
        KVL_TEST_SERVICE,
        std::vector<std::string>{"--port", "0", "--data", (base_ / "service").string()});
    std::string host = service_->baseURL().substr(std::string("http://").size());
    APMRemoteConfig::setHosts({host, host, host});
  }
  void TearDown() override {
    ExperimentTest::TearDown();
    service_.reset();
    APMRemoteConfig::setHosts(testsupport::processClosedHosts<APMRemoteConfig::Hosts>());
  }
  void answer(const std::string& json) {
    ASSERT_EQ(httpRequest("PUT", service_->baseURL() + "/_control/experiments", {}, json).status,
              204);
  }
  size_t requestCount() {
    auto parsed = platform::JSONSerialization::JSONObjectWithData(
        httpRequest("GET", service_->baseURL() + "/_control/experiment-requests").body);
    return parsed.ok() && parsed->isArray() ? parsed->asArray()->size() : 0;
  }
  // Lets the armed fetch run and waits (real time: the service answers) for its answer.
  void fetchNow() {
    size_t before = requestCount();
    std::optional<double> armed = armedAt();
    ASSERT_TRUE(armed.has_value());
    double success = suite->doubleForKey(APMETaskManager::kSuccessKey);
    double failure = suite->doubleForKey(APMETaskManager::kFailureKey);
    env.advance(*armed - env.now());
    for (int i = 0; i < 1500; ++i) {
      env.waitUntilIdle();
      if (requestCount() > before &&
          (suite->doubleForKey(APMETaskManager::kSuccessKey) != success ||
           suite->doubleForKey(APMETaskManager::kFailureKey) != failure)) {
        env.waitUntilIdle();
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    FAIL() << "no answer from the service";
  }
  std::shared_ptr<APMEClient> registerMeasurement(std::shared_ptr<Observer> observer) {
    auto property = APMESDKProperty::create("app_measurement");
    property->setVersion(111500);
    auto client = manager->registerSDKProperty(property, {{"f", NANONumber::fromInt64(1)}});
    if (observer) client->setDelegate(std::weak_ptr<APMEExperimentObserverDelegate>(observer));
    env.waitUntilIdle();
    return client;
  }

  std::unique_ptr<testsupport::ServiceProcess> service_;
};

TEST_F(ExperimentServiceTest, FetchedSnapshotsArePendingThenActivatedAndSurviveALaunch) {
  answer(kAnswer);
  makeManager(OULNetwork::create(service_->baseURL()));
  auto observer = std::make_shared<Observer>();
  std::shared_ptr<APMEClient> client = registerMeasurement(observer);
  manager->registerSDKProperty(APMESDKProperty::create("other"), {});
  env.waitUntilIdle();
  EXPECT_EQ(*armedAt() - env.now(), 10);
  fetchNow();

  // The request as protoc reads it.
  auto parsed = platform::JSONSerialization::JSONObjectWithData(
      httpRequest("GET", service_->baseURL() + "/_control/experiment-requests").body);
  ASSERT_TRUE(parsed.ok());
  std::string body = runCommand(
      "base64 -d", *parsed->asArray()->back().asDictionary()->at("body_base64").asString());
  std::string decoded = experimenttest::protocDecode("ExperimentRequest", body);
  std::string key = APMIdentity::sharedInstance()->diversionKey();
  EXPECT_NE(decoded.find("platform: \"ios\""), std::string::npos) << decoded;
  EXPECT_NE(decoded.find("language: \"en-us\""), std::string::npos) << decoded;
  EXPECT_NE(decoded.find("sdk_version: 10000"), std::string::npos) << decoded;
  EXPECT_NE(decoded.find("diversion_id: \"" + key + "-app_measurement\""), std::string::npos)
      << decoded;
  EXPECT_NE(decoded.find("version: 111500"), std::string::npos) << decoded;

  // Pending, marked for the observer; the other SDK heard of its error (status 3).
  EXPECT_EQ(observer->newSnapshots.load(), 1);
  EXPECT_EQ(client->valueForFlag("f"), NANOObject(NANONumber::fromInt64(1)));
  EXPECT_EQ(runCommand("sqlite3 '" + databasePath() +
                       "' 'SELECT sdk_name, manually_activated FROM pending_snapshot_table'"),
            "app_measurement|1\n");
  EXPECT_TRUE(manager->experimentIDs().empty());

  APMErrorSlot error;
  ASSERT_TRUE(client->activateLatestSnapshot(&error));
  env.waitUntilIdle();
  EXPECT_EQ(client->valueForFlag("f"), NANOObject(NANONumber::fromInt64(42)));
  EXPECT_EQ(client->valueForFlag("l"), NANOObject(std::string("launched")));
  EXPECT_EQ(manager->experimentIDs(), (std::vector<int64_t>{7}));
  EXPECT_EQ(runCommand("sqlite3 '" + databasePath() +
                       "' 'SELECT (SELECT count(*) FROM pending_snapshot_table) || \" \" || "
                       "(SELECT count(*) FROM activated_snapshot_table) || \" \" || "
                       "(SELECT count(*) FROM launched_snapshot_table)'"),
            "0 1 1\n");

  // Four hours on, the service is unavailable: all three timestamps are stored.
  answer(R"({"status": 503})");
  EXPECT_EQ(*armedAt() - env.now(), 14400);
  fetchNow();
  std::string plist = runCommand(
      "python3 -c \"import plistlib,sys,glob; "
      "d=plistlib.load(open(glob.glob(sys.argv[1]+'/**/APMExperimentSuiteName.plist',"
      "recursive=True)[0],'rb')); print(sorted(d)); "
      "print(d['APMExperimentFetchSuccessTimestamp'] < d['APMExperimentFetchFailureTimestamp'] "
      "== d['APMExperimentFetchBackoffTimestamp'])\" '" +
      (base_ / "container").string() + "'");
  EXPECT_EQ(plist,
            "['APMExperimentFetchBackoffTimestamp', 'APMExperimentFetchFailureTimestamp', "
            "'APMExperimentFetchSuccessTimestamp']\nTrue\n");
  EXPECT_EQ(*armedAt(), suite->doubleForKey(APMETaskManager::kBackoffKey) + 43200);

  // A later launch, in a second process over the same container.
  manager.reset();
  taskManager.reset();
  env.waitUntilIdle();
  EXPECT_EQ(testsupport::runThisBinary("ExperimentServiceTest.DISABLED_SecondLaunch",
                                       {{"KVL_EXPERIMENT_BASE", base_.string()}}),
            0);
}

TEST_F(ExperimentServiceTest, DISABLED_SecondLaunch) {
  makeManager();
  std::shared_ptr<APMEClient> client = registerMeasurement(nullptr);
  EXPECT_EQ(client->valueForFlag("f"), NANOObject(NANONumber::fromInt64(42)));
  EXPECT_EQ(client->valueForFlag("l"), NANOObject(std::string("launched")));
  EXPECT_EQ(manager->experimentIDs(), (std::vector<int64_t>{7}));
  EXPECT_EQ(manager->activatedSnapshotStatusOfSDKName("app_measurement"), 0);
}

TEST_F(ExperimentServiceTest, UnreadableAnswersCountAsSuccessWithoutSnapshots) {
  // A corrupt stream, a body that is not gzip, and one that inflates past the 256 MiB limit.
  for (const char* encoding : {"bad-gzip", "identity", "bomb"}) {
    answer(std::string(R"({"encoding": ")") + encoding + R"(", "response": {"snapshots": [
      {"name": "app_measurement", "experiments": [{"experiment_id": 5}]}]}})");
    suite->clearAllData();
    makeManager(OULNetwork::create(service_->baseURL()));
    auto observer = std::make_shared<Observer>();
    registerMeasurement(observer);
    fetchNow();
    EXPECT_EQ(suite->doubleForKey(APMETaskManager::kSuccessKey), env.now()) << encoding;
    EXPECT_EQ(observer->newSnapshots.load(), 0) << encoding;
    EXPECT_EQ(runCommand("sqlite3 '" + databasePath() +
                         "' 'SELECT count(*) FROM pending_snapshot_table'"),
              "0\n");
    manager.reset();
    taskManager.reset();
    env.waitUntilIdle();
  }
}

}  // namespace
