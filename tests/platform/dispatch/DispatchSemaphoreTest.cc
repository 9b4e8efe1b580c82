#include "platform/dispatch/DispatchSemaphore.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/dispatch/DispatchQueue.h"
#include "tests/support/DispatchTestEnvironment.h"

namespace platform {
namespace {

TEST(DispatchSemaphoreTest, CountsSignalsAndTakesThemWithoutWaiting) {
  DispatchSemaphore semaphore(2);
  EXPECT_TRUE(semaphore.wait(0));
  EXPECT_TRUE(semaphore.wait(0));
  EXPECT_FALSE(semaphore.wait(0));  // a zero timeout only tries
  EXPECT_FALSE(semaphore.wait(-1));
  semaphore.signal();
  EXPECT_TRUE(semaphore.wait(0));
}

TEST(DispatchSemaphoreTest, SignalWakesAWaiterOnAnotherThread) {
  DispatchSemaphore semaphore;
  std::atomic<bool> woke{false};
  std::thread waiter([&] {
    semaphore.wait();
    woke = true;
  });
  semaphore.signal();
  waiter.join();
  EXPECT_TRUE(woke);
}

TEST(DispatchSemaphoreTest, ManyWaitersEachTakeOneSignal) {
  DispatchSemaphore semaphore;
  std::atomic<int> woke{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 8; ++i) {
    waiters.emplace_back([&] {
      semaphore.wait();
      woke++;
    });
  }
  for (int i = 0; i < 8; ++i) semaphore.signal();
  for (auto& thread : waiters) thread.join();
  EXPECT_EQ(woke.load(), 8);
  EXPECT_FALSE(semaphore.wait(0));  // no signal was lost or counted twice
}

TEST(DispatchSemaphoreManualClockTest, TimeoutExpiresWhenTheClockIsAdvancedPastIt) {
  testsupport::DispatchTestEnvironment env;
  const double start = env.now();
  auto queue = DispatchQueue::createSerial("test.semaphore");
  DispatchSemaphore semaphore;
  std::optional<bool> result;
  double returnedAt = 0;
  queue->async([&] {
    result = semaphore.wait(5);
    returnedAt = env.now() - start;
  });
  env.waitUntilIdle();  // the blocked wait counts as idle
  EXPECT_FALSE(result);
  env.advance(4.9);
  EXPECT_FALSE(result);
  env.advance(10);
  ASSERT_TRUE(result);
  EXPECT_FALSE(*result);
  EXPECT_EQ(returnedAt, 5);  // the clock read the deadline when the wait gave up
}

TEST(DispatchSemaphoreManualClockTest, SignalBeforeTheDeadlineWins) {
  testsupport::DispatchTestEnvironment env;
  auto waiterQueue = DispatchQueue::createSerial("test.waiter");
  auto signaller = DispatchQueue::createSerial("test.signaller");
  DispatchSemaphore semaphore;
  std::optional<bool> result;
  waiterQueue->async([&] { result = semaphore.wait(5); });
  signaller->after(3, [&] { semaphore.signal(); });
  env.advance(10);
  ASSERT_TRUE(result);
  EXPECT_TRUE(*result);
  EXPECT_FALSE(semaphore.wait(0));  // the signal went to the waiter, not to the count
}

TEST(DispatchSemaphoreManualClockTest, TimeoutRunsInOrderWithDelayedBlocks) {
  testsupport::DispatchTestEnvironment env;
  const double start = env.now();
  auto waiterQueue = DispatchQueue::createSerial("test.waiter");
  auto other = DispatchQueue::createSerial("test.other");
  DispatchSemaphore semaphore;
  std::vector<std::pair<std::string, double>> events;
  std::mutex mutex;
  auto note = [&](std::string what) {
    std::lock_guard<std::mutex> lock(mutex);
    events.emplace_back(std::move(what), env.now() - start);
  };
  waiterQueue->async([&] {
    semaphore.wait(4);
    note("timeout");
    waiterQueue->after(1, [&] { note("after timeout"); });  // due at 5
  });
  other->after(2, [&] { note("two"); });
  other->after(6, [&] {
    note("six");
    semaphore.signal();  // nobody waits any more: counted
  });
  env.advance(10);
  EXPECT_EQ(events, (std::vector<std::pair<std::string, double>>{
                        {"two", 2}, {"timeout", 4}, {"after timeout", 5}, {"six", 6}}));
  EXPECT_TRUE(semaphore.wait(0));
}

TEST(DispatchSemaphoreManualClockTest, QueueBlockedInAWaitLetsAdvanceFireTheSignaller) {
  // The waiting block holds its queue; the signal comes from a delayed block elsewhere.
  testsupport::DispatchTestEnvironment env;
  auto queue = DispatchQueue::createSerial("test.blocked");
  auto other = DispatchQueue::createSerial("test.other");
  DispatchSemaphore semaphore;
  std::vector<std::string> order;
  queue->async([&] {
    semaphore.wait();
    order.push_back("released");
  });
  queue->async([&] { order.push_back("next"); });
  other->after(30, [&] { semaphore.signal(); });
  env.advance(29);
  EXPECT_TRUE(order.empty());
  env.advance(1);
  EXPECT_EQ(order, (std::vector<std::string>{"released", "next"}));
}

TEST(DispatchSemaphoreSystemClockTest, TimeoutExpiresByRealTime) {
  DispatchSemaphore semaphore;
  const double start = Clock::current()->uptime();
  EXPECT_FALSE(semaphore.wait(0.01));
  EXPECT_GE(Clock::current()->uptime() - start, 0.01);
}

TEST(DispatchSemaphoreSystemClockTest, SignalEndsATimedWaitEarly) {
  DispatchSemaphore semaphore;
  std::thread signaller([&] { semaphore.signal(); });
  EXPECT_TRUE(semaphore.wait(60));  // returns on the signal, long before the timeout
  signaller.join();
}

}  // namespace
}  // namespace platform
