#include "platform/dispatch/DispatchTimer.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <vector>

#include "platform/dispatch/DispatchSemaphore.h"
#include "tests/support/DispatchTestEnvironment.h"

namespace platform {
namespace {

class DispatchTimerTest : public ::testing::Test {
 protected:
  std::shared_ptr<DispatchTimer> armed(double delay, Block handler) {
    auto timer = DispatchTimer::create(queue_);
    timer->scheduleAt(env_.now() + delay, std::move(handler));
    timer->resume();
    return timer;
  }

  testsupport::DispatchTestEnvironment env_;
  double start_ = env_.now();
  std::shared_ptr<DispatchQueue> queue_ = DispatchQueue::createSerial("test.timer");
};

TEST_F(DispatchTimerTest, FiresOnceAtTheWallDeadlineOnItsQueue) {
  std::vector<double> firedAt;
  bool onQueue = false;
  auto timer = armed(30, [&] {
    firedAt.push_back(env_.now() - start_);
    onQueue = queue_->isCurrent();
  });
  env_.advance(29.5);
  EXPECT_TRUE(firedAt.empty());
  env_.advance(100);
  EXPECT_EQ(firedAt, std::vector<double>{30});
  EXPECT_TRUE(onQueue);
  EXPECT_FALSE(timer->isCancelled());  // a one-shot source stays uncancelled after firing
}

TEST_F(DispatchTimerTest, SuspendedTimerDoesNotFireUntilResumed) {
  int fired = 0;
  auto timer = DispatchTimer::create(queue_);
  timer->scheduleAt(env_.now() + 1, [&] { ++fired; });
  env_.advance(5);
  EXPECT_EQ(fired, 0);
  timer->resume();  // the deadline has passed: fires at the queue's next turn
  env_.waitUntilIdle();
  EXPECT_EQ(fired, 1);
}

TEST_F(DispatchTimerTest, CancelBeforeTheDeadlineNeverFires) {
  int fired = 0;
  auto timer = armed(1, [&] { ++fired; });
  timer->cancel();
  EXPECT_TRUE(timer->isCancelled());
  env_.advance(10);
  EXPECT_EQ(fired, 0);
  timer->resume();  // a cancelled timer stays cancelled
  timer->scheduleAt(env_.now() + 1, [&] { ++fired; });
  env_.advance(10);
  EXPECT_EQ(fired, 0);
}

TEST_F(DispatchTimerTest, CancelAfterItFellDueButBeforeItsHandlerRanNeverFires) {
  // The queue is busy when the timer falls due, so its handler waits there; cancelling then
  // still guarantees that it never runs.
  DispatchSemaphore gate;
  queue_->async([&] { gate.wait(); });
  int fired = 0;
  auto timer = armed(1, [&] { ++fired; });
  env_.advance(2);  // posts the handler behind the blocked block
  timer->cancel();
  gate.signal();
  env_.waitUntilIdle();
  EXPECT_EQ(fired, 0);
}

TEST_F(DispatchTimerTest, RescheduleReplacesTheDeadline) {
  std::vector<std::string> fired;
  auto timer = armed(5, [&] { fired.push_back("first"); });
  timer->scheduleAt(env_.now() + 8, [&] { fired.push_back("second"); });
  env_.advance(6);
  EXPECT_TRUE(fired.empty());
  env_.advance(2);
  EXPECT_EQ(fired, std::vector<std::string>{"second"});
  env_.advance(100);
  EXPECT_EQ(fired.size(), 1u);
}

TEST_F(DispatchTimerTest, DestroyingTheTimerCancelsIt) {
  int fired = 0;
  armed(1, [&] { ++fired; });  // dropped at once
  env_.advance(2);
  EXPECT_EQ(fired, 0);
}

TEST_F(DispatchTimerTest, PastDeadlineFiresAtTheNextTurnNotInline) {
  std::vector<std::string> order;
  std::shared_ptr<DispatchTimer> timer;
  queue_->async([&] {
    timer = armed(-1, [&] { order.push_back("timer"); });
    order.push_back("arming block");
  });
  env_.waitUntilIdle();
  EXPECT_EQ(order, (std::vector<std::string>{"arming block", "timer"}));
}

TEST_F(DispatchTimerTest, WallClockJumpFiresAtTheNextAdvance) {
  int fired = 0;
  auto timer = armed(3600, [&] { ++fired; });
  env_.clock().setNow(env_.now() + 7200);  // the user moved the device clock forward
  EXPECT_EQ(fired, 0);                     // setNow alone runs nothing
  env_.advance(0);
  EXPECT_EQ(fired, 1);
}

TEST_F(DispatchTimerTest, CreationCanBeForcedToFail) {
  DispatchTimer::failNextCreationsForTesting(2);
  EXPECT_EQ(DispatchTimer::create(queue_), nullptr);
  EXPECT_EQ(DispatchTimer::create(queue_), nullptr);
  EXPECT_NE(DispatchTimer::create(queue_), nullptr);
  EXPECT_EQ(DispatchTimer::create(nullptr), nullptr);
}

// A one-shot alarm in the shape the measurement engine builds on timers: arming replaces
// the pending timer, the handler cancels its own source and then runs the block, so the
// block may arm the alarm again.
class OneShotAlarm {
 public:
  explicit OneShotAlarm(std::shared_ptr<DispatchQueue> queue) : queue_(std::move(queue)) {}
  void runAfterDelay(double delay, Block block) {
    cancel();
    scheduled_ = Clock::current()->now() + delay;
    timer_ = DispatchTimer::create(queue_);
    if (!timer_) return;
    timer_->scheduleAt(*scheduled_, [this, block] {
      cancel();
      block();
    });
    timer_->resume();
  }
  void cancel() {
    if (!scheduled_) return;
    if (hasActiveTimer()) timer_->cancel();
    scheduled_.reset();
  }
  bool hasActiveTimer() const { return timer_ && !timer_->isCancelled(); }
  std::optional<double> scheduledTimestamp() const { return scheduled_; }

 private:
  std::shared_ptr<DispatchQueue> queue_;
  std::shared_ptr<DispatchTimer> timer_;
  std::optional<double> scheduled_;
};

TEST_F(DispatchTimerTest, AlarmPatternRearmsFromItsOwnHandler) {
  std::vector<double> firedAt;
  OneShotAlarm alarm(queue_);
  std::function<void()> tick = [&] {
    firedAt.push_back(env_.now() - start_);
    if (firedAt.size() < 3) alarm.runAfterDelay(10, tick);
  };
  queue_->sync([&] {
    alarm.runAfterDelay(5, tick);
    alarm.runAfterDelay(10, tick);  // replaces the first arming
    EXPECT_TRUE(alarm.hasActiveTimer());
    EXPECT_EQ(*alarm.scheduledTimestamp(), start_ + 10);
  });
  env_.advance(100);
  EXPECT_EQ(firedAt, (std::vector<double>{10, 20, 30}));
  queue_->sync([&] {
    EXPECT_FALSE(alarm.hasActiveTimer());
    EXPECT_FALSE(alarm.scheduledTimestamp());
  });
}

TEST_F(DispatchTimerTest, AlarmPatternWithZeroAndNegativeDelays) {
  std::vector<std::string> order;
  OneShotAlarm zero(queue_);
  OneShotAlarm negative(queue_);
  queue_->async([&] {
    zero.runAfterDelay(0, [&] { order.push_back("zero"); });
    negative.runAfterDelay(-1, [&] { order.push_back("negative"); });
    order.push_back("arming block");
  });
  env_.waitUntilIdle();
  EXPECT_EQ(order, (std::vector<std::string>{"arming block", "zero", "negative"}));
}

TEST(DispatchTimerSystemClockTest, FiresByRealTime) {
  auto queue = DispatchQueue::createSerial("test.timer.system");
  std::mutex mutex;
  std::condition_variable cv;
  bool fired = false;
  const double deadline = Clock::current()->now() + 0.02;
  double firedAt = 0;
  auto timer = DispatchTimer::create(queue);
  timer->scheduleAt(deadline, [&] {
    std::lock_guard<std::mutex> lock(mutex);
    firedAt = Clock::current()->now();
    fired = true;
    cv.notify_all();
  });
  timer->resume();
  std::unique_lock<std::mutex> lock(mutex);
  cv.wait(lock, [&] { return fired; });
  EXPECT_GE(firedAt, deadline);
}

}  // namespace
}  // namespace platform
