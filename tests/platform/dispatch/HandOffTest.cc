// Hand-offs between threads that wake a queue's thread only when it sleeps: no block may be
// left behind by a wake-up that was skipped.

#include <gtest/gtest.h>
#include <sched.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/DispatchSemaphore.h"
#include "tests/support/DispatchTestEnvironment.h"

namespace platform {
namespace {

// A ball sent back and forth between two queues, each hop an async onto the other.
struct Rally {
  std::shared_ptr<DispatchQueue> queues[2];
  std::vector<int> sides;  // the side of each hop, touched by one hop at a time
  void hop(int left, int side) {
    sides.push_back(side);
    if (left == 0) return;
    queues[1 - side]->async([this, left, side] { hop(left - 1, 1 - side); });
  }
};

TEST(HandOffTest, PingPongBetweenTwoQueuesRunsEveryHopInTurn) {
  testsupport::DispatchTestEnvironment env;
  Rally rally;
  rally.queues[0] = DispatchQueue::createSerial("test.ping");
  rally.queues[1] = DispatchQueue::createSerial("test.pong");
  constexpr int kHops = 5000;
  rally.queues[0]->async([&rally] { rally.hop(kHops, 0); });
  env.waitUntilIdle();
  ASSERT_EQ(rally.sides.size(), static_cast<size_t>(kHops + 1));
  for (size_t i = 0; i < rally.sides.size(); ++i) ASSERT_EQ(rally.sides[i], int(i % 2)) << i;
}

TEST(HandOffTest, SyncsOntoAnIdleQueueRunOnTheCallerAndLeaveItsThreadReadyForAsyncWork) {
  testsupport::DispatchTestEnvironment env;
  auto queue = DispatchQueue::createSerial("test.idle-sync");
  const std::thread::id caller = std::this_thread::get_id();
  std::vector<int> order;  // touched only on the queue
  int onCaller = 0;
  for (int i = 0; i < 1000; ++i) {
    queue->sync([&] {
      if (std::this_thread::get_id() == caller) ++onCaller;
      order.push_back(2 * i);
    });
    queue->async([&, i] { order.push_back(2 * i + 1); });
  }
  env.waitUntilIdle();
  ASSERT_EQ(order.size(), 2000u);
  for (size_t i = 0; i < order.size(); ++i) ASSERT_EQ(order[i], int(i)) << i;
  // Every sync ran on the calling thread (none of them found the queue busy for long: even
  // those queued behind an async block get their turn on the caller).
  EXPECT_EQ(onCaller, 1000);
}

TEST(HandOffTest, BlocksQueuedWhileTheQueueRunsAreAllRunAndIdleWaitsForThem) {
  testsupport::DispatchTestEnvironment env;
  auto queue = DispatchQueue::createSerial("test.burst");
  DispatchSemaphore gate;
  std::atomic<int> ran{0};
  queue->async([&] { gate.wait(); });
  constexpr int kThreads = 4;
  constexpr int kPerThread = 500;
  std::vector<std::thread> submitters;
  for (int t = 0; t < kThreads; ++t) {
    submitters.emplace_back([&] {
      for (int i = 0; i < kPerThread; ++i) queue->async([&] { ran++; });
    });
  }
  for (auto& thread : submitters) thread.join();
  gate.signal();
  env.waitUntilIdle();
  EXPECT_EQ(ran.load(), kThreads * kPerThread);
}

TEST(HandOffTest, GlobalQueueRunsEveryBlockOfBurstsFromManyThreads) {
  testsupport::DispatchTestEnvironment env;
  auto global = DispatchQueue::global();
  std::atomic<int> ran{0};
  constexpr int kThreads = 4;
  constexpr int kRounds = 50;
  constexpr int kPerRound = 20;
  std::vector<std::thread> submitters;
  for (int t = 0; t < kThreads; ++t) {
    submitters.emplace_back([&] {
      for (int round = 0; round < kRounds; ++round) {
        for (int i = 0; i < kPerRound; ++i) global->async([&] { ran++; });
        global->sync([] {});
      }
    });
  }
  for (auto& thread : submitters) thread.join();
  env.waitUntilIdle();
  EXPECT_EQ(ran.load(), kThreads * kRounds * kPerRound);
}

// A queue's thread, woken by a caller, must not take that caller's CPU: queue threads run
// under the batch policy; a sync runs the block on the caller's thread, whose policy stays.
TEST(HandOffTest, QueueThreadsRunAsBatchThreadsWhileSyncsKeepTheCallersPolicy) {
  testsupport::DispatchTestEnvironment env;
  const int callers = sched_getscheduler(0);
  ASSERT_NE(callers, SCHED_BATCH);
  std::shared_ptr<DispatchQueue> serial = DispatchQueue::createSerial("test.policy");
  std::atomic<int> onSerial{-1}, onGlobal{-1};
  int inSync = -1;
  serial->async([&] { onSerial = sched_getscheduler(0); });
  DispatchQueue::global()->async([&] { onGlobal = sched_getscheduler(0); });
  env.waitUntilIdle();
  serial->sync([&] { inSync = sched_getscheduler(0); });
  EXPECT_EQ(onSerial.load(), SCHED_BATCH);
  EXPECT_EQ(onGlobal.load(), SCHED_BATCH);
  EXPECT_EQ(inSync, callers);
}

}  // namespace
}  // namespace platform
