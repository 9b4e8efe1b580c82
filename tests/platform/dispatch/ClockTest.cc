#include "platform/dispatch/Clock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "platform/dispatch/DispatchQueue.h"
#include "tests/support/DispatchTestEnvironment.h"

namespace platform {
namespace {

TEST(ClockTest, SystemClockReadsRealTime) {
  SystemClock clock;
  const double expected =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  EXPECT_NEAR(clock.now(), expected, 5.0);
  const double first = clock.uptime();
  EXPECT_LE(first, clock.uptime());
}

// The uptime counts the time the machine sleeps: it is the kernel's boot-time clock, read here
// by Python between two of our readings.
TEST(ClockTest, SystemUptimeIsTheBootTimeClock) {
  SystemClock clock;
  const double before = clock.uptime();
  FILE* pipe =
      popen("python3 -c 'import time; print(repr(time.clock_gettime(time.CLOCK_BOOTTIME)))'", "r");
  ASSERT_NE(pipe, nullptr);
  char text[64] = {};
  ASSERT_NE(fgets(text, sizeof text, pipe), nullptr);
  pclose(pipe);
  const double after = clock.uptime();
  const double python = std::stod(text);
  EXPECT_LE(before, python);
  EXPECT_LE(python, after);
}

TEST(ClockTest, InstallAndRestore) {
  auto manual = std::make_shared<ManualClock>(100.0, 7.0);
  Clock::install(manual);
  EXPECT_EQ(Clock::current(), manual);
  EXPECT_EQ(Clock::current()->now(), 100.0);
  EXPECT_EQ(Clock::current()->uptime(), 7.0);
  Clock::install(nullptr);
  EXPECT_NE(Clock::current(), manual);
  EXPECT_NE(dynamic_cast<SystemClock*>(Clock::current().get()), nullptr);
}

// currentNow() reads the system time directly only while the plain system clock is installed:
// each install, a subclass of the system clock's included, is seen by the next read.
TEST(ClockTest, CurrentNowFollowsEveryInstall) {
  struct LateSystemClock : SystemClock {
    double now() const override { return SystemClock::now() - 1e6; }
  };
  auto manual = std::make_shared<ManualClock>(100.0, 7.0);
  Clock::install(manual);
  EXPECT_EQ(Clock::currentNow(), 100.0);
  manual->advance(5);
  EXPECT_EQ(Clock::currentNow(), 105.0);
  Clock::install(std::make_shared<LateSystemClock>());
  double late = Clock::currentNow();
  EXPECT_LT(late, SystemClock().now() - 1e6 + 1);
  EXPECT_GT(late, SystemClock().now() - 1e6 - 60);
  Clock::install(nullptr);
  double before = SystemClock().now();
  double read = Clock::currentNow();
  EXPECT_GE(read, before);
  EXPECT_LE(read, SystemClock().now());
  Clock::install(manual);
  EXPECT_EQ(Clock::currentNow(), 105.0);
  Clock::install(nullptr);
}

TEST(ClockTest, ManualClockMovesOnlyWhenTold) {
  ManualClock clock(1000.0, 50.0);
  EXPECT_EQ(clock.now(), 1000.0);
  clock.advance(2.5);  // not installed: only the readings move
  EXPECT_EQ(clock.now(), 1002.5);
  EXPECT_EQ(clock.uptime(), 52.5);
  clock.setNow(10.0);  // a change of the device clock leaves uptime alone
  EXPECT_EQ(clock.now(), 10.0);
  EXPECT_EQ(clock.uptime(), 52.5);
  clock.setUptime(1.0);
  EXPECT_EQ(clock.uptime(), 1.0);
  clock.advance(-3);  // time never runs backwards
  clock.advance(std::numeric_limits<double>::quiet_NaN());
  EXPECT_EQ(clock.now(), 10.0);
  EXPECT_EQ(clock.uptime(), 1.0);
}

// One delayed block as seen when it ran.
struct Firing {
  std::string name;
  double at;
  bool operator==(const Firing&) const = default;
};

class AfterTest : public ::testing::Test {
 protected:
  void record(const std::string& name) { firings_.push_back({name, env_.now() - start_}); }

  testsupport::DispatchTestEnvironment env_;
  double start_ = env_.now();
  std::shared_ptr<DispatchQueue> queue_ = DispatchQueue::createSerial("test.after");
  std::vector<Firing> firings_;  // touched on queue_ only, read after idle
};

TEST_F(AfterTest, FiresInDeadlineOrderWithTheClockAtEachDeadline) {
  queue_->after(3, [this] { record("c"); });
  queue_->after(1, [this] { record("a"); });
  queue_->after(2, [this] { record("b"); });
  env_.advance(1.5);
  EXPECT_EQ(firings_, (std::vector<Firing>{{"a", 1}}));
  env_.advance(10);
  EXPECT_EQ(firings_, (std::vector<Firing>{{"a", 1}, {"b", 2}, {"c", 3}}));
  EXPECT_EQ(env_.now() - start_, 11.5);
}

TEST_F(AfterTest, EqualDeadlinesFireInSubmissionOrderAcrossQueues) {
  auto other = DispatchQueue::createSerial("test.after.other");
  queue_->after(2, [this] { record("q1"); });
  other->after(2, [this] { record("o1"); });  // each block runs alone: advance settles between
  queue_->after(2, [this] { record("q2"); });
  other->after(2, [this] { record("o2"); });
  env_.advance(2);
  EXPECT_EQ(firings_, (std::vector<Firing>{{"q1", 2}, {"o1", 2}, {"q2", 2}, {"o2", 2}}));
}

TEST_F(AfterTest, ChainedDelaysWithinOneAdvanceFireInOrder) {
  // a at 1 schedules c at 1 + 2 = 3; b at 2 schedules d at 2 + 0.5 = 2.5.
  queue_->after(1, [this] {
    record("a");
    queue_->after(2, [this] { record("c"); });
  });
  queue_->after(2, [this] {
    record("b");
    queue_->after(0.5, [this] { record("d"); });
  });
  env_.advance(10);
  EXPECT_EQ(firings_, (std::vector<Firing>{{"a", 1}, {"b", 2}, {"d", 2.5}, {"c", 3}}));
}

TEST_F(AfterTest, ChainBeyondTheWindowWaitsForTheNextAdvance) {
  queue_->after(4, [this] {
    record("a");
    queue_->after(4, [this] { record("b"); });
  });
  env_.advance(6);
  EXPECT_EQ(firings_, (std::vector<Firing>{{"a", 4}}));
  env_.advance(1.999);
  EXPECT_EQ(firings_.size(), 1u);
  env_.advance(0.001);
  EXPECT_EQ(firings_, (std::vector<Firing>{{"a", 4}, {"b", 8}}));
}

TEST_F(AfterTest, ZeroDelayRunsAfterTheCurrentBlock) {
  std::vector<std::string> order;
  queue_->async([&] {
    queue_->after(0, [&] { order.push_back("delayed"); });
    order.push_back("current");
  });
  env_.waitUntilIdle();
  EXPECT_EQ(order, (std::vector<std::string>{"current", "delayed"}));
}

TEST_F(AfterTest, ZeroNegativeAndNaNDelaysRunAtOnceAnInfiniteOneNever) {
  queue_->after(0, [this] { record("zero"); });
  queue_->after(-5, [this] { record("negative"); });
  queue_->after(std::numeric_limits<double>::infinity(), [this] { record("never"); });
  queue_->after(std::numeric_limits<double>::quiet_NaN(), [this] { record("nan"); });
  env_.waitUntilIdle();
  EXPECT_EQ(firings_, (std::vector<Firing>{{"zero", 0}, {"negative", 0}, {"nan", 0}}));
  env_.advance(1e9);
  EXPECT_EQ(firings_.size(), 3u);
  EXPECT_EQ(DispatchQueue::discardPendingDelayedWork(), 0u);
}

TEST_F(AfterTest, WallClockChangedByABlockDoesNotStretchTheWindow) {
  queue_->after(1, [this] { env_.clock().setNow(env_.now() - 3600); });
  queue_->after(5, [this] { record("five"); });
  queue_->after(7, [this] { record("seven"); });
  env_.advance(6);
  ASSERT_EQ(firings_.size(), 1u);
  EXPECT_EQ(firings_[0].name, "five");
}

TEST_F(AfterTest, DelayIsUptimeSoAWallClockJumpDoesNotFireIt) {
  queue_->after(10, [this] { record("a"); });
  env_.clock().setNow(env_.now() + 3600);
  env_.advance(0);
  EXPECT_TRUE(firings_.empty());
  env_.advance(10);
  EXPECT_EQ(firings_.size(), 1u);
}

TEST_F(AfterTest, ZeroAdvanceRunsNothingNotDue) {
  queue_->after(0.5, [this] { record("a"); });
  env_.advance(0);
  EXPECT_TRUE(firings_.empty());
  EXPECT_EQ(DispatchQueue::discardPendingDelayedWork(), 1u);
  env_.advance(1);
  EXPECT_TRUE(firings_.empty());
}

TEST_F(AfterTest, FractionalStepsAddUpToTheDeadline) {
  // Deadlines are sums of doubles: a hundred steps of 0.01 must reach a delay of 1.
  queue_->after(1, [this] { record("a"); });
  for (int i = 0; i < 100; ++i) env_.advance(0.01);
  ASSERT_EQ(firings_.size(), 1u);
  EXPECT_NEAR(firings_[0].at, 1.0, 1e-6);
}

TEST_F(AfterTest, MainQueueDelayedBlocksRunOnTheAdvancingThread) {
  bool onMain = false;
  DispatchQueue::main()->after(1, [&] { onMain = DispatchQueue::main()->isCurrent(); });
  env_.advance(1);
  EXPECT_TRUE(onMain);
}

TEST(AfterSystemClockTest, FiresByRealTime) {
  // A short real delay under the system clock: waitUntilIdle does not wait for timers that
  // are not yet due, so the test waits for the block itself.
  auto queue = DispatchQueue::createSerial("test.after.system");
  std::mutex mutex;
  std::condition_variable cv;
  bool fired = false;
  const double start = Clock::current()->uptime();
  double firedAt = 0;
  queue->after(0.02, [&] {
    std::lock_guard<std::mutex> lock(mutex);
    firedAt = Clock::current()->uptime();
    fired = true;
    cv.notify_all();
  });
  std::unique_lock<std::mutex> lock(mutex);
  cv.wait(lock, [&] { return fired; });
  EXPECT_GE(firedAt - start, 0.02);
}

}  // namespace
}  // namespace platform
