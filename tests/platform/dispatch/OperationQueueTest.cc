#include "platform/dispatch/OperationQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchSemaphore.h"
#include "tests/support/DispatchTestEnvironment.h"

namespace platform {
namespace {

TEST(OperationQueueTest, SuspendedQueueHoldsOperationsUntilReleasedThenRunsThemInOrderOneAtATime) {
  testsupport::DispatchTestEnvironment env;
  OperationQueue queue("test.operations", /*suspended=*/true);
  EXPECT_TRUE(queue.isSuspended());
  EXPECT_EQ(queue.name(), "test.operations");
  std::vector<int> order;
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
  for (int i = 0; i < 50; ++i) {
    queue.addOperation([&, i] {
      if (inside.fetch_add(1) != 0) overlaps++;
      order.push_back(i);
      std::this_thread::yield();  // widen the window in which an overlap would show
      inside.fetch_sub(1);
    });
  }
  env.waitUntilIdle();
  EXPECT_TRUE(order.empty());
  EXPECT_EQ(queue.operationCount(), 50u);

  queue.setSuspended(false);
  queue.waitUntilAllOperationsAreFinished();
  EXPECT_EQ(queue.operationCount(), 0u);
  ASSERT_EQ(order.size(), 50u);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(order[i], i);
  EXPECT_EQ(overlaps.load(), 0);
}

TEST(OperationQueueTest, SuspendingLetsTheRunningOperationFinishAndHoldsTheRest) {
  testsupport::DispatchTestEnvironment env;
  OperationQueue queue("test.operations", false);
  DispatchSemaphore started;
  DispatchSemaphore gate;
  std::vector<int> order;
  queue.addOperation([&] {
    started.signal();
    gate.wait();
    order.push_back(1);
  });
  queue.addOperation([&] { order.push_back(2); });
  started.wait();
  queue.setSuspended(true);
  gate.signal();
  env.waitUntilIdle();
  EXPECT_EQ(order, std::vector<int>{1});
  EXPECT_EQ(queue.operationCount(), 1u);
  queue.setSuspended(false);
  queue.waitUntilAllOperationsAreFinished();
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

TEST(OperationQueueTest, SuspendingRightAfterAddingHoldsTheOperation) {
  // The queue has already asked its thread to start the operation; suspending before that
  // thread gets to it still holds the operation. The thread may win the race now and then,
  // never every time.
  testsupport::DispatchTestEnvironment env;
  OperationQueue queue("test.operations", false);
  int held = 0;
  for (int i = 0; i < 200; ++i) {
    std::atomic<bool> ran{false};
    queue.addOperation([&] { ran = true; });
    queue.setSuspended(true);
    env.waitUntilIdle();
    if (!ran) ++held;
    queue.setSuspended(false);
    queue.waitUntilAllOperationsAreFinished();
    ASSERT_TRUE(ran);
  }
  EXPECT_GT(held, 0);
}

TEST(OperationQueueTest, OperationsAddedWhileRunningJoinTheEnd) {
  testsupport::DispatchTestEnvironment env;
  OperationQueue queue("test.operations", true);  // both queued before the first runs
  std::vector<int> order;
  queue.addOperation([&] {
    order.push_back(1);
    queue.addOperation([&] { order.push_back(3); });
  });
  queue.addOperation([&] { order.push_back(2); });
  queue.setSuspended(false);
  env.waitUntilIdle();
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(OperationQueueTest, WaitOnAnEmptyQueueReturnsAtOnce) {
  OperationQueue queue("test.operations", true);
  queue.waitUntilAllOperationsAreFinished();
  EXPECT_EQ(queue.operationCount(), 0u);
}

TEST(OperationQueueTest, DestroyingDropsOperationsNotStarted) {
  testsupport::DispatchTestEnvironment env;
  int ran = 0;
  {
    OperationQueue queue("test.operations", true);
    queue.addOperation([&] { ++ran; });
  }
  env.waitUntilIdle();
  EXPECT_EQ(ran, 0);
}

// A clock whose every reading is one more than the last: two reads can never agree, so any
// read that is not inside the queue's critical section shows as a time out of order.
class CountingClock : public Clock {
 public:
  double now() const override { return static_cast<double>(++reads_); }
  double uptime() const override { return 1000; }

 private:
  mutable std::atomic<int64_t> reads_{0};
};

TEST(OperationQueueTest, TimedOperationsFromManyThreadsRunInTheOrderOfTheirTimes) {
  Clock::install(std::make_shared<CountingClock>());
  constexpr int kThreads = 4;
  constexpr int kPerThread = 500;
  struct Ran {
    double time;
    int thread;
    int index;
  };
  std::vector<Ran> ran;  // written by one operation at a time
  {
    OperationQueue queue("test.operations", /*suspended=*/false);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        for (int i = 0; i < kPerThread; ++i) {
          queue.addTimedOperation([&ran, t, i](double time) { ran.push_back({time, t, i}); });
          // Other threads' plain operations between the timed ones take no time.
          if (i % 10 == 0) queue.addOperation([] {});
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
    queue.waitUntilAllOperationsAreFinished();
  }
  Clock::install(nullptr);
  ASSERT_EQ(ran.size(), static_cast<size_t>(kThreads * kPerThread));
  std::vector<int> next(kThreads, 0);
  for (size_t i = 0; i < ran.size(); ++i) {
    if (i > 0) {
      ASSERT_LT(ran[i - 1].time, ran[i].time) << "at " << i;
    }
    EXPECT_EQ(ran[i].index, next[ran[i].thread]++);
  }
}

TEST(OperationQueueTest, TimedOperationsReceiveTheTimeTheyWereAddedAtNotTheTimeTheyRun) {
  testsupport::DispatchTestEnvironment env;
  OperationQueue queue("test.operations", /*suspended=*/true);
  const double added = env.now();
  std::vector<std::pair<std::string, double>> ran;
  queue.addTimedOperation([&](double time) { ran.emplace_back("first", time); });
  env.advance(10);
  queue.addOperation([&] { ran.emplace_back("plain", 0); });
  queue.addTimedOperation([&](double time) { ran.emplace_back("second", time); });
  env.advance(10);
  queue.setSuspended(false);
  queue.waitUntilAllOperationsAreFinished();
  EXPECT_EQ(ran, (std::vector<std::pair<std::string, double>>{
                     {"first", added}, {"plain", 0}, {"second", added + 10}}));
}

}  // namespace
}  // namespace platform
