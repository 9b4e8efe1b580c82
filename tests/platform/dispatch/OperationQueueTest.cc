#include "platform/dispatch/OperationQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

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

}  // namespace
}  // namespace platform
