// The experiment manager's rules: where a flag's value comes from, what activation makes of a
// pending snapshot, which experiment IDs count, and how stale an activated snapshot is.
#include <gtest/gtest.h>

#include <algorithm>

#include "AppMeasurement/foundation/APMMonitor.h"
#include "platform/utilities/OULOSLog.h"
#include "tests/AppMeasurement/features/ExperimentTestSupport.h"
#include "tests/support/LogCapture.h"

namespace {

using experimenttest::experiment;
using experimenttest::flag;
using experimenttest::snapshot;

NANOObject number(int64_t value) { return NANONumber::fromInt64(value); }

class APMEManagerTest : public experimenttest::ExperimentTest {
 protected:
  // Registers `sdk`, hands the manager a fetched snapshot and activates it.
  std::shared_ptr<APMEClient> registerAndActivate(const std::string& sdk,
                                                  const std::map<std::string, NANOObject>& defaults,
                                                  std::vector<APMEExperiment> experiments,
                                                  const std::string& ownDiversionKey = "") {
    auto property = APMESDKProperty::create(sdk);
    property->setDiversionKey(ownDiversionKey);
    std::shared_ptr<APMEClient> client = manager->registerSDKProperty(property, defaults);
    manager->taskManagerDidFinishFetching(*taskManager, {snapshot(sdk, std::move(experiments))},
                                          {});
    env.waitUntilIdle();
    APMErrorSlot error;
    EXPECT_TRUE(client->activateLatestSnapshot(&error));
    env.waitUntilIdle();
    return client;
  }
};

TEST_F(APMEManagerTest, FlagsComeFromActivatedThenLaunchedThenDefaults) {
  makeManager();
  APMPBFlag valueless;
  NANOSetString(valueless, APMPBFlag::kName, "a");
  std::shared_ptr<APMEClient> client = registerAndActivate(
      "sdk", {{"a", number(1)}, {"d", std::string("default")}},
      {experiment(3, {valueless, flag("c", number(7))}), experiment(0, {flag("a", number(10))}),
       experiment(5, {flag("c", NANONumber::fromDouble(0.5))})});

  struct Case {
    const char* flag;
    NANOObject expected;
  };
  const Case cases[] = {
      {"a", number(10)},              // activated flag without a value falls to launched
      {"c", number(7)},               // the lowest experiment ID holding the flag answers
      {"d", std::string("default")},  // neither snapshot has it
      {"missing", NANOObject{}},      // nowhere
  };
  for (const Case& c : cases) {
    EXPECT_EQ(client->valueForFlag(c.flag), c.expected) << c.flag;
  }
  EXPECT_EQ(manager->experimentIDs(), (std::vector<int64_t>{3, 5}));
  EXPECT_EQ(client->objectForKeyedSubscript(number(1)), NANOObject{});
  EXPECT_EQ(client->flagValue("c"), true);
}

TEST_F(APMEManagerTest, LaunchedOnlyActivationLeavesAnEmptyActivatedSnapshot) {
  makeManager();
  std::shared_ptr<APMEClient> client =
      registerAndActivate("sdk", {{"x", number(1)}}, {experiment(4, {flag("x", number(2))})});
  EXPECT_EQ(manager->experimentIDs(), (std::vector<int64_t>{4}));
  manager->taskManagerDidFinishFetching(
      *taskManager, {snapshot("sdk", {experiment(0, {flag("y", number(3))})})}, {});
  env.waitUntilIdle();
  APMErrorSlot error;
  ASSERT_TRUE(client->activateLatestSnapshot(&error));
  EXPECT_TRUE(manager->experimentIDs().empty());
  EXPECT_EQ(client->valueForFlag("x"), number(1));  // back to the default
  EXPECT_EQ(client->valueForFlag("y"), number(3));  // from the new launched snapshot
  // Nothing pending any more: NO, and no error.
  EXPECT_FALSE(client->activateLatestSnapshot(&error));
  EXPECT_FALSE(error.has_value());
  EXPECT_FALSE(manager->activateSnapshotOfSDK(std::string(), &error));
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->code(), 1);
}

// Activation carries an experiment over through its flags: one without flags is not in the
// activated snapshot, so its ID is not reported.
TEST_F(APMEManagerTest, ActivationCarriesExperimentsThroughTheirFlags) {
  struct Case {
    const char* what;
    std::vector<APMEExperiment> experiments;
    std::vector<int64_t> ids;
  };
  const Case cases[] = {
      {"flags", {experiment(4, {flag("x", number(2))})}, {4}},
      {"no flags", {experiment(6, {})}, {}},
      {"one of each", {experiment(6, {}), experiment(7, {flag("y", number(1))})}, {7}},
  };
  makeManager();
  for (const Case& c : cases) {
    std::shared_ptr<APMEClient> client = registerAndActivate("sdk", {}, c.experiments);
    EXPECT_EQ(manager->experimentIDs(), c.ids) << c.what;
    client->resetToDefaults();
  }
}

// A later launch reads the activated rows back as activation made them: an experiment without
// flags stays unreported, whether its snapshot was activated by the client or automatically at
// the start. The rows themselves keep it.
TEST_F(APMEManagerTest, ALaterLaunchCarriesExperimentsThroughTheirFlagsToo) {
  makeManager();
  registerAndActivate("client", {}, {experiment(6, {}), experiment(7, {flag("y", number(1))})});
  EXPECT_EQ(manager->experimentIDs(), (std::vector<int64_t>{7}));
  APMESnapshot waiting =
      snapshot("automatic", {experiment(8, {}), experiment(9, {flag("z", number(1))})});
  APMErrorSlot error;
  bool stored = false;
  onWorker([&] {
    stored = taskManager->database()->upsertPendingExperimentSnapshots({waiting}, &error);
  });
  ASSERT_TRUE(stored);
  manager.reset();
  taskManager.reset();
  env.waitUntilIdle();

  makeManager();
  manager->registerSDKProperty(APMESDKProperty::create("client"), {});
  manager->registerSDKProperty(APMESDKProperty::create("automatic"), {});
  env.waitUntilIdle();
  EXPECT_EQ(manager->experimentIDs(), (std::vector<int64_t>{7, 9}));
  std::vector<int64_t> storedIDs;
  onWorker([&] {
    for (const APMESnapshot& row :
         taskManager->database()->fetchAllActivatedSnapshots(&error).value_or(
             std::vector<APMESnapshot>{})) {
      for (int64_t id : row.experimentIDs()) storedIDs.push_back(id);
    }
  });
  std::sort(storedIDs.begin(), storedIDs.end());
  EXPECT_EQ(storedIDs, (std::vector<int64_t>{6, 7, 8, 9}));
}

TEST_F(APMEManagerTest, SDKsWithTheirOwnDiversionKeyAddNoExperimentIDs) {
  makeManager();
  registerAndActivate("mine", {}, {experiment(9, {flag("f", number(1))})});
  registerAndActivate("theirs", {}, {experiment(2, {flag("f", number(1))})}, "own-key");
  EXPECT_EQ(manager->experimentIDs(), (std::vector<int64_t>{9}));
}

TEST_F(APMEManagerTest, ActivatedSnapshotsGoStaleAfterThreeDaysEitherWay) {
  makeManager();
  std::shared_ptr<APMEClient> client =
      registerAndActivate("sdk", {}, {experiment(1, {flag("f", number(1))})});
  EXPECT_EQ(manager->activatedSnapshotStatusOfSDKName("unknown"), -1);
  EXPECT_EQ(manager->activatedSnapshotStatusOfSDKName("sdk"), 0);
  env.clock().setNow(env.now() + 259200);
  EXPECT_EQ(manager->activatedSnapshotStatusOfSDKName("sdk"), 0);
  env.clock().setNow(env.now() + 1);
  EXPECT_TRUE(client->hasStaleSnapshot());
  env.clock().setNow(env.now() - 2 * 259201);
  EXPECT_TRUE(client->hasStaleSnapshot());
  client->resetToDefaults();
  EXPECT_EQ(manager->activatedSnapshotStatusOfSDKName("sdk"), -2);
}

TEST_F(APMEManagerTest, RegistrationRefusesFlagsThatCannotBeMade) {
  makeManager();
  EXPECT_EQ(manager->registerSDKProperty(std::shared_ptr<APMESDKProperty>(), {}), nullptr);
  EXPECT_EQ(manager->registerSDKProperty(APMESDKProperty::create(""), {}), nullptr);
  EXPECT_EQ(
      manager->registerSDKProperty(APMESDKProperty::create("sdk"), {{"bad", NANOData{"bytes"}}}),
      nullptr);
  EXPECT_EQ(manager->clientForSDKName("sdk"), nullptr);
}

// Lines that name values carry the values: a refused default flag, the default answered, the
// request sent, the data answered and the snapshots that could not be stored.
TEST_F(APMEManagerTest, LinesCarryTheValuesTheyName) {
  makeManager();
  testsupport::LogCapture capture;
  OULSetLoggerLevel(OULLoggerLevelDebug);
  APMMonitor::monitor()->setVerboseLoggingEnabled(true);
  std::shared_ptr<APMEClient> client = manager->registerSDKProperty(
      APMESDKProperty::create("sdk"), {{"d", std::string("fallback")}});
  env.waitUntilIdle();
  APMPBExperimentResponse response;
  NANOSetMessageArray(response, APMPBExperimentResponse::kSnapshots,
                      std::vector<APMPBSnapshot>{
                          snapshot("other", {experiment(4, {flag("f", number(1))})}).proto()});
  const std::string body = *response.protoBuffer();
  struct Case {
    const char* code;
    std::function<void()> run;
    std::string shown;
  };
  const Case cases[] = {
      {"I-ACS800002",
       [&] {
         manager->registerSDKProperty(APMESDKProperty::create("x"), {{"bad", NANOData{"ab"}}});
       },
       platform::Value::bytes("ab").description()},
      {"I-ACS800019", [&] { client->valueForFlag("d"); }, "d, fallback"},
      {"I-ACS820001", [&] { onWorker([&] { taskManager->fetchExperiments(); }); },
       "<APMPBExperimentRequest 0x"},
      {"I-ACS820003",
       [&] {
         onWorker([&] {
           taskManager->handleFetchingExperimentsResponse(OULHTTPURLResponse{"", 200}, body,
                                                          std::nullopt);
         });
       },
       platform::Value::bytes(body).description()},
      {"I-ACS820022",
       [&] {
         testsupport::runCommand("sqlite3 '" + databasePath() +
                                 "' 'DROP TABLE pending_snapshot_table'");
         onWorker([&] {
           taskManager->handleFetchingExperimentsResponse(OULHTTPURLResponse{"", 200}, body,
                                                          std::nullopt);
         });
       },
       "other: 1 experiments (4)"},
  };
  for (const Case& c : cases) {
    capture.clear();
    c.run();
    env.waitUntilIdle();
    std::string line;
    for (const std::string& l : capture.lines()) {
      if (l.find(c.code) != std::string::npos) line = l;
    }
    EXPECT_NE(line.find(c.shown), std::string::npos) << c.code << ": " << line;
  }
  APMMonitor::monitor()->setVerboseLoggingEnabled(false);
  OULSetLoggerLevel(OULLoggerLevelNotice);
}

TEST_F(APMEManagerTest, SnapshotsKeepTheLaterOfTwoExperimentsAndCopiesTakeTheCopyTime) {
  APMESnapshot original = snapshot(
      "sdk", {experiment(1, {flag("f", number(1))}), experiment(1, {flag("f", number(2))})});
  original.setManuallyActivated(true);
  ASSERT_EQ(original.experiments().size(), 1u);
  EXPECT_EQ(APMPBFlagGetValue(original.flagByName("f")), number(2));
  original.addFlag(flag("g", number(3)), 8);
  EXPECT_EQ(original.experimentIDs(), (std::vector<int64_t>{1, 8}));
  env.clock().setNow(env.now() + 5);
  APMESnapshot copy = original.copy();
  EXPECT_EQ(copy.timestamp(), env.now());
  EXPECT_FALSE(copy.manuallyActivated());
  EXPECT_EQ(APMEManager::version(), 10000);
}

}  // namespace
