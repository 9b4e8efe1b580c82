#include "AppMeasurement/foundation/APMScheduler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <functional>
#include <limits>
#include <vector>

#include "AppMeasurement/foundation/APMAlarm.h"
#include "AppMeasurement/foundation/APMMonitor.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchTimer.h"
#include "platform/foundation/Exception.h"
#include "platform/utilities/OULOSLog.h"
#include "tests/AppMeasurement/foundation/MonitorTestEnvironment.h"
#include "tests/AppMeasurement/foundation/MonitorTestHooks.h"
#include "tests/support/LogCapture.h"

namespace {

using testsupport::countLinesWith;

class APMSchedulerTest : public testsupport::MonitorTestEnvironment {
 protected:
  void SetUp() override {
    MonitorTestEnvironment::SetUp();
    hooks = std::make_unique<testsupport::MonitorTestHooks>();
    // Debug lines (alarm arming and firing) reach the console in these tests.
    OULSetLoggerLevel(OULLoggerLevelDebug);
  }
  void TearDown() override {
    MonitorTestEnvironment::TearDown();
    hooks.reset();
  }
  // The process monitor keeps its health sample in this test's own container.
  std::unique_ptr<testsupport::MonitorTestHooks> hooks;
};

TEST_F(APMSchedulerTest, AsyncBlockThatRaisesIsLoggedAndLaterBlocksStillRun) {
  APMScheduler scheduler("com.orvane.kvla.worker");
  std::vector<int> ran;
  scheduler.scheduleOnWorkerQueueBlockID("APMMeasurement:1", [&] { ran.push_back(1); });
  scheduler.scheduleOnWorkerQueueBlockID("APMMeasurement:619", [&] {
    ran.push_back(2);
    throw platform::Exception("NSInvalidArgumentException", "bad thing");
  });
  scheduler.scheduleOnWorkerQueueBlockID("APMMeasurement:3", [&] { ran.push_back(3); });
  settle();
  EXPECT_EQ(ran, (std::vector<int>{1, 2, 3}));
  auto lines = capture.lines();
  ASSERT_EQ(countLinesWith(lines, "[I-ACS030000]"), 1u);
  EXPECT_TRUE(capture.contains(
      "[I-ACS030000] ERROR: Exception on worker queue. Block ID=APMMeasurement:619. Exception: "));
  EXPECT_TRUE(capture.contains("bad thing"));
}

TEST_F(APMSchedulerTest, SyncBlockThatRaisesLogs30003Then30004) {
  APMScheduler scheduler("com.orvane.kvla.worker");
  bool after = false;
  scheduler.dispatchSyncOnWorkerQueueBlockID(
      "APMAnalytics:7", [] { throw platform::Exception("NSRangeException", "out of range"); });
  scheduler.dispatchSyncOnWorkerQueueBlockID("APMAnalytics:8", [&] { after = true; });
  EXPECT_TRUE(after);
  settle();
  auto lines = capture.lines();
  size_t first = lines.size(), second = lines.size();
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].find("[I-ACS030003] ERROR: Exception on worker queue when processing sync "
                      "block. Block ID=APMAnalytics:7. Exception") != std::string::npos) {
      first = i;
    }
    if (lines[i].find("[I-ACS030004] WARNING: Synchronous task failed. Block ID=APMAnalytics:7") !=
        std::string::npos) {
      second = i;
    }
  }
  ASSERT_LT(first, lines.size());
  ASSERT_LT(second, lines.size());
  EXPECT_LT(first, second);
  EXPECT_EQ(countLinesWith(lines, "APMAnalytics:8"), 0u);
}

TEST_F(APMSchedulerTest, SyncFromTheWorkerQueueRunsInline) {
  APMScheduler scheduler("com.orvane.kvla.worker");
  std::atomic<int> inner{0};
  scheduler.dispatchSyncOnWorkerQueueBlockID("outer:1", [&] {
    scheduler.dispatchSyncOnWorkerQueueBlockID("inner:2", [&] { inner = 1; });
    EXPECT_EQ(inner.load(), 1);
  });
  EXPECT_EQ(inner.load(), 1);
}

TEST_F(APMSchedulerTest, EmptyBlocksAreRefusedAndLogged) {
  APMScheduler scheduler("com.orvane.kvla.worker");
  scheduler.scheduleOnWorkerQueueBlockID("X:1", nullptr);
  scheduler.dispatchSyncOnWorkerQueueBlockID("X:2", nullptr);
  settle();
  EXPECT_TRUE(capture.contains(
      "[I-ACS030005] ERROR: Nil block dispatched asynchronously on worker queue. Block ID=X:1."));
  EXPECT_TRUE(capture.contains(
      "[I-ACS030002] ERROR: Nil block dispatched synchronously on worker queue. Block ID=X:2."));
}

TEST_F(APMSchedulerTest, BackgroundCheckWarnsOnlyOnTheMainThread) {
  APMScheduler scheduler("com.orvane.kvla.worker");
  bool onWorker = false;
  scheduler.scheduleOnWorkerQueueBlockID("check:1", [&] {
    onWorker = APMScheduler::checkOnBackgroundThreadWithMethodName("logEventOnWorkerQueue");
  });
  settle();
  EXPECT_TRUE(onWorker);
  bool onMain = true;
  platform::DispatchQueue::main()->async(
      [&] { onMain = APMScheduler::checkOnBackgroundThreadWithMethodName(""); });
  settle();
  EXPECT_FALSE(onMain);
  EXPECT_EQ(countLinesWith(capture.lines(), "[I-ACS030001]"), 1u);
  EXPECT_TRUE(capture.contains("Method <empty method name> should execute on background thread"));
}

class APMAlarmTest : public APMSchedulerTest {
 protected:
  // Arms, cancels and inspects the alarm on its own queue, as the callers do.
  void onQueue(const platform::Block& block) { queue->sync(block); }
  std::shared_ptr<platform::DispatchQueue> queue =
      platform::DispatchQueue::createSerial("com.orvane.kvla.worker");
};

TEST_F(APMAlarmTest, RearmingLeavesOnePendingTimerDueAtTheSecondDelay) {
  auto alarm = APMAlarm::create(queue, "Measurement timer");
  int fired = 0;
  double start = clock->now();
  onQueue([&] {
    alarm->runAfterDelay(10, [&] { fired += 1; });
    alarm->runAfterDelay(20, [&] { fired += 100; });
  });
  settle();
  EXPECT_EQ(countLinesWith(capture.lines(), "Measurement timer canceled"), 1u);
  EXPECT_EQ(countLinesWith(capture.lines(), "Measurement timer scheduled to fire in approx. (s)"),
            2u);
  onQueue([&] {
    EXPECT_TRUE(alarm->hasActiveTimer());
    ASSERT_TRUE(alarm->scheduledTimestamp().has_value());
    EXPECT_DOUBLE_EQ(*alarm->scheduledTimestamp(), start + 20);
  });
  clock->advance(15);
  EXPECT_EQ(fired, 0);  // the first arming was replaced, not doubled
  clock->advance(5);
  EXPECT_EQ(fired, 100);
  clock->advance(100);
  EXPECT_EQ(fired, 100);  // fires once per arming
  onQueue([&] {
    EXPECT_FALSE(alarm->scheduledTimestamp().has_value());
    EXPECT_FALSE(alarm->hasActiveTimer());
  });
  auto lines = capture.lines();
  EXPECT_EQ(countLinesWith(lines, "[I-ACS002001] DEBUG: Measurement timer fired"), 1u);
  EXPECT_EQ(
      countLinesWith(lines,
                     "[I-ACS002002] DEBUG: Measurement timer scheduled to fire in approx. (s): 20"),
      1u);
}

TEST_F(APMAlarmTest, NegativeDelayFiresAtOnceAndZeroOnTheNextTurn) {
  auto alarm = APMAlarm::create(queue, "SKAN conversion value fetch timer");
  int fired = 0;
  onQueue([&] { alarm->runAfterDelay(-5, [&] { ++fired; }); });
  settle();
  EXPECT_EQ(fired, 1);
  onQueue([&] {
    alarm->runAfterDelay(0, [&] { ++fired; });
    EXPECT_EQ(fired, 1);  // not inside the arming call
  });
  settle();
  EXPECT_EQ(fired, 2);
}

TEST_F(APMAlarmTest, BlockMayRearmTheSameAlarm) {
  auto alarm = APMAlarm::create(queue, "Engagement timer");
  int fired = 0;
  std::function<void()> tick = [&] {
    if (++fired < 3) alarm->runAfterDelay(1, tick);
  };
  onQueue([&] { alarm->runAfterDelay(1, tick); });
  for (int i = 0; i < 5; ++i) clock->advance(1);
  EXPECT_EQ(fired, 3);
}

TEST_F(APMAlarmTest, CancelOnIdleAlarmLogsNothing) {
  auto alarm = APMAlarm::create(queue, "Idle");
  onQueue([&] { alarm->cancel(); });
  settle();
  EXPECT_EQ(countLinesWith(capture.lines(), "Idle"), 0u);
}

TEST_F(APMAlarmTest, CancelStopsThePendingBlock) {
  auto alarm = APMAlarm::create(queue, "Search Ad campaign report alarm");
  bool fired = false;
  onQueue([&] {
    alarm->runAfterDelay(5, [&] { fired = true; });
    alarm->cancel();
    EXPECT_FALSE(alarm->scheduledTimestamp().has_value());
    EXPECT_FALSE(alarm->hasActiveTimer());
  });
  clock->advance(10);
  EXPECT_FALSE(fired);
  EXPECT_EQ(countLinesWith(capture.lines(), "Search Ad campaign report alarm canceled"), 1u);
}

TEST_F(APMAlarmTest, FailedTimerCreationLogsNotActiveAndStillClearsTheDueDate) {
  auto alarm = APMAlarm::create(queue, "");
  bool fired = false;
  platform::DispatchTimer::failNextCreationsForTesting(1);
  onQueue([&] {
    alarm->runAfterDelay(5, [&] { fired = true; });
    EXPECT_TRUE(alarm->scheduledTimestamp().has_value());
    EXPECT_FALSE(alarm->hasActiveTimer());
    alarm->cancel();
    EXPECT_FALSE(alarm->scheduledTimestamp().has_value());
  });
  clock->advance(10);
  EXPECT_FALSE(fired);
  EXPECT_TRUE(capture.contains("[I-ACS002004] WARNING: Timer is not active"));
  for (const auto& line : capture.lines()) {
    if (line.find("I-ACS00200") != std::string::npos) {
      EXPECT_NE(line.find(": Timer "), std::string::npos) << line;
    }
  }
}

TEST_F(APMAlarmTest, BadArgumentsNeverArmOrCrash) {
  auto alarm = APMAlarm::create(queue, "Bad");
  int fired = 0;
  onQueue([&] {
    alarm->runAfterDelay(1, nullptr);
    EXPECT_FALSE(alarm->scheduledTimestamp().has_value());
    alarm->runAfterDelay(std::nan(""), [&] { ++fired; });
    EXPECT_FALSE(alarm->scheduledTimestamp().has_value());
    alarm->runAfterDelay(-std::numeric_limits<double>::infinity(), [&] { ++fired; });
  });
  settle();
  EXPECT_EQ(fired, 1);
  onQueue([&] {
    alarm->runAfterDelay(std::numeric_limits<double>::infinity(), [&] { fired += 10; });
    alarm->runAfterDelay(1e300, [&] { fired += 10; });
    EXPECT_TRUE(alarm->hasActiveTimer());
  });
  clock->advance(1e6);
  EXPECT_EQ(fired, 1);
  EXPECT_TRUE(capture.contains("[I-ACS002000] ERROR: Bad tried to schedule an empty block"));
}

TEST_F(APMAlarmTest, ReleasingAPendingAlarmCancelsIt) {
  bool fired = false;
  {
    auto alarm = APMAlarm::create(queue, "Released");
    onQueue([&] { alarm->runAfterDelay(1, [&] { fired = true; }); });
  }
  clock->advance(5);
  EXPECT_FALSE(fired);
  EXPECT_TRUE(capture.contains("Released canceled"));
}

struct QueueRule {
  const char* where;
  std::shared_ptr<platform::DispatchQueue> owner;
  std::function<void()> call;
};

// Classes bound to a queue check it in each method: a call from elsewhere aborts in debug
// builds, naming the method and the queue.
TEST(APMQueueRuleDeathTest, CallsOffTheOwningQueueAbort) {
#ifdef NDEBUG
  GTEST_SKIP() << "sequence checks only abort in debug builds";
#endif
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  testsupport::DispatchTestEnvironment env;
  testsupport::MonitorTestHooks hooks;
  auto worker = platform::DispatchQueue::createSerial("com.orvane.kvla.worker");
  auto alarm = APMAlarm::create(worker, "Measurement timer");
  auto monitor = APMMonitor::create(kAPMMonitorLibraryVersion);
  const QueueRule rules[] = {
      {"APMAlarm::runAfterDelay must run on queue com.orvane.kvla.worker", worker,
       [&] { alarm->runAfterDelay(1, [] {}); }},
      {"APMAlarm::cancel must run on queue com.orvane.kvla.worker", worker,
       [&] { alarm->cancel(); }},
      {"APMAlarm::hasActiveTimer must run on queue com.orvane.kvla.worker", worker,
       [&] { (void)alarm->hasActiveTimer(); }},
      {"APMAlarm::scheduledTimestamp must run on queue com.orvane.kvla.worker", worker,
       [&] { (void)alarm->scheduledTimestamp(); }},
      {"APMMonitor::migrateMonitorDataOnMonitorQueue must run on queue APMMonitorQueue",
       monitor->monitorQueue(), [&] { monitor->migrateMonitorDataOnMonitorQueue(); }},
  };
  for (const QueueRule& rule : rules) {
    SCOPED_TRACE(rule.where);
    EXPECT_DEATH(rule.call(), rule.where);
    rule.owner->sync(rule.call);  // on its own queue the same call is fine
  }
}

}  // namespace
