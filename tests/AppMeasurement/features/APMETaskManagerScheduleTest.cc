// When the next experiment fetch is due, under the manual clock: 10 s after a start at the
// earliest, four hours after a success, six growing steps after failures and then none, a
// 12-hour hold after a back-off status, an earlier alarm kept, almost at once after a reset.
#include <gtest/gtest.h>

#include "tests/AppMeasurement/features/ExperimentTestSupport.h"

namespace {

class APMETaskManagerScheduleTest : public experimenttest::ExperimentTest {
 protected:
  // A task manager without delegate (so every alarm fetches) and without network (so every
  // fetch fails at once).
  void makeLoneTaskManager() {
    makeManager(nullptr, false);
    manager.reset();
  }
  void schedule() {
    onWorker([&] { taskManager->scheduleFetchingExperimentsOnWorkerQueue(); });
  }
};

TEST_F(APMETaskManagerScheduleTest, FirstFetchOfALaunch) {
  struct Case {
    const char* name;
    double successAgo;  // 0: no success stored
    double expectedDelay;
  };
  const Case cases[] = {
      {"no success ever", 0, 10},
      {"success an hour ago", 3600, 3 * 3600},
      {"success five hours ago", 5 * 3600, 10},
      {"success an hour ahead (clock set back)", -3600, 3 * 3600},
  };
  for (const Case& c : cases) {
    if (c.successAgo != 0) suite->setDouble(env.now() - c.successAgo, APMETaskManager::kSuccessKey);
    makeLoneTaskManager();
    schedule();
    std::optional<double> armed = armedAt();
    ASSERT_TRUE(armed.has_value()) << c.name;
    EXPECT_DOUBLE_EQ(*armed - env.now(), c.expectedDelay) << c.name;
    suite->clearAllData();
    taskManager.reset();
  }
}

TEST_F(APMETaskManagerScheduleTest, FailuresWalkSixStepsFromTheLastSuccessThenStop) {
  const double success = env.now() - 3600;
  suite->setDouble(success, APMETaskManager::kSuccessKey);
  makeLoneTaskManager();
  schedule();
  const double base = success + 14400;
  ASSERT_EQ(armedAt(), base);
  for (double step : {1800.0, 5400.0, 12600.0, 27000.0, 55800.0, 113400.0}) {
    env.advance(*armedAt() - env.now());  // the fetch fails; the next attempt is armed
    env.waitUntilIdle();
    EXPECT_EQ(suite->doubleForKey(APMETaskManager::kFailureKey), env.now());
    ASSERT_EQ(armedAt(), base + step) << step;
  }
  env.advance(*armedAt() - env.now());
  env.waitUntilIdle();
  // 820024: no more attempts in this launch, and the success is forgotten.
  EXPECT_FALSE(armedAt().has_value());
  EXPECT_FALSE(suite->objectForKey(APMETaskManager::kSuccessKey).has_value());
}

TEST_F(APMETaskManagerScheduleTest, StepsCountFromCreationWithoutASuccess) {
  makeLoneTaskManager();
  const double created = env.now();
  double first = 0;
  onWorker([&] { first = taskManager->fetchTimeFromLastSuccessfulTimestamp(0, 0); });
  EXPECT_DOUBLE_EQ(first, created + 10);
  double next = 0;
  onWorker([&] { next = taskManager->fetchTimeFromLastSuccessfulTimestamp(0, created + 10); });
  EXPECT_DOUBLE_EQ(next, created + 1800);
  onWorker([&] { next = taskManager->fetchTimeFromLastSuccessfulTimestamp(0, created + 1e9); });
  EXPECT_EQ(next, 0);
}

TEST_F(APMETaskManagerScheduleTest, BackoffHoldsTwelveHoursFromTheFailure) {
  const double backoff = env.now() - 3600;
  suite->setDouble(env.now() - 3.9 * 3600, APMETaskManager::kSuccessKey);
  suite->setDouble(backoff, APMETaskManager::kBackoffKey);
  makeLoneTaskManager();
  schedule();
  EXPECT_EQ(armedAt(), backoff + 43200);
}

TEST_F(APMETaskManagerScheduleTest, AnEarlierAlarmIsKeptAndResetFetchesAlmostAtOnce) {
  makeLoneTaskManager();
  schedule();  // first scheduling: now + 10 s
  const double armed = *armedAt();
  suite->setDouble(env.now(), APMETaskManager::kSuccessKey);  // would be four hours away
  schedule();
  EXPECT_EQ(armedAt(), armed);
  taskManager->reset();
  env.waitUntilIdle();
  ASSERT_TRUE(armedAt().has_value());
  EXPECT_NEAR(*armedAt() - env.now(), 0.001, 1e-6);
  EXPECT_FALSE(suite->objectForKey(APMETaskManager::kSuccessKey).has_value());
}

TEST_F(APMETaskManagerScheduleTest, AFetchNobodyWantsIsPostponedFourHours) {
  makeManager(nullptr, false);  // the manager has no client: nobody wants experiments
  schedule();
  env.advance(10);
  env.waitUntilIdle();
  EXPECT_EQ(suite->doubleForKey(APMETaskManager::kSuccessKey), env.now());
  EXPECT_EQ(armedAt(), env.now() + 14400);
}

// Per-SDK statuses of an answer, written as raw bytes: the schema's status enum knows only 0.
std::string sdkResponse(const std::string& name, uint8_t status) {
  std::string body = "\x0a" + std::string(1, static_cast<char>(name.size())) + name + "\x10" +
                     std::string(1, static_cast<char>(status));
  return "\x12" + std::string(1, static_cast<char>(body.size())) + body;
}

TEST(APMETaskManagerResponses, StatusesBecomeErrorCodes) {
  struct Case {
    uint8_t status;
    std::optional<int64_t> code;
  };
  const Case cases[] = {{0, std::nullopt}, {1, -2}, {2, -3}, {3, -4}, {4, -1}, {7, -1}};
  for (const Case& c : cases) {
    auto response = APMPBExperimentResponse::initWithBuffer(sdkResponse("sdk", c.status));
    ASSERT_TRUE(response.has_value());
    auto errors = APMETaskManager::errorsFromExperimentResponse(response);
    ASSERT_TRUE(errors.has_value());
    if (!c.code) {
      EXPECT_TRUE(errors->empty()) << int{c.status};
      continue;
    }
    ASSERT_EQ(errors->count("sdk"), 1u) << int{c.status};
    EXPECT_EQ(errors->at("sdk").code(), *c.code);
    EXPECT_EQ(errors->at("sdk").domain(), APMETaskManager::kErrorDomain);
  }
}

TEST(APMETaskManagerResponses, SnapshotsOfField2TakeTheirSDKNames) {
  std::string bytes = experimenttest::protocEncode(
      "ExperimentResponse",
      "sdk_responses { name: \"a\" snapshot { name: \"other\" experiments { experiment_id: 4 } } }"
      " sdk_responses { name: \"\" snapshot { name: \"b\" } }"
      " sdk_responses { name: \"c\" }");
  auto snapshots = APMETaskManager::experimentSnapshotsFromData(bytes);
  ASSERT_TRUE(snapshots.has_value());
  ASSERT_EQ(snapshots->size(), 2u);
  EXPECT_EQ((*snapshots)[0].SDKName(), "a");
  EXPECT_EQ((*snapshots)[0].experimentIDs(), (std::vector<int64_t>{4}));
  EXPECT_EQ((*snapshots)[1].SDKName(), "b");
  // Field 1 present: field 2's snapshots are not used.
  bytes = experimenttest::protocEncode(
      "ExperimentResponse",
      "snapshots { name: \"x\" } sdk_responses { name: \"a\" snapshot { name: \"a\" } }");
  snapshots = APMETaskManager::experimentSnapshotsFromData(bytes);
  ASSERT_EQ(snapshots->size(), 1u);
  EXPECT_EQ((*snapshots)[0].SDKName(), "x");
  EXPECT_FALSE(APMETaskManager::experimentSnapshotsFromData("").has_value());
  EXPECT_FALSE(APMETaskManager::experimentSnapshotsFromData("\x0a\xff\xff\x0f").has_value());
}

}  // namespace
