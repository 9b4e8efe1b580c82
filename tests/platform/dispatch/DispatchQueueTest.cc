#include "platform/dispatch/DispatchQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <limits>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/dispatch/DispatchRuntime.h"
#include "platform/dispatch/DispatchSemaphore.h"
#include "tests/support/DispatchTestEnvironment.h"

namespace platform {
namespace {

TEST(DispatchQueueTest, SerialQueueRunsBlocksInOrderWithoutOverlapUnderConcurrentSubmitters) {
  testsupport::DispatchTestEnvironment env;
  auto queue = DispatchQueue::createSerial("test.serial");
  constexpr int kThreads = 8;
  constexpr int kPerThread = 200;
  std::vector<std::vector<int>> seen(kThreads);  // touched only on the queue
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};

  std::vector<std::thread> submitters;
  for (int t = 0; t < kThreads; ++t) {
    submitters.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        queue->async([&, t, i] {
          if (inside.fetch_add(1) != 0) overlaps++;
          seen[t].push_back(i);
          inside.fetch_sub(1);
        });
      }
    });
  }
  for (auto& thread : submitters) thread.join();
  env.waitUntilIdle();

  EXPECT_EQ(overlaps.load(), 0);
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_EQ(seen[t].size(), static_cast<size_t>(kPerThread));
    for (int i = 0; i < kPerThread; ++i) EXPECT_EQ(seen[t][i], i) << "submitter " << t;
  }
}

TEST(DispatchQueueTest, AsyncAndSyncInterleaveInSubmissionOrder) {
  testsupport::DispatchTestEnvironment env;
  auto queue = DispatchQueue::createSerial("test.order");
  DispatchSemaphore gate;
  std::vector<int> order;
  queue->async([&] { gate.wait(); });  // holds the queue so that the next blocks queue up
  queue->async([&] { order.push_back(1); });
  auto syncer = DispatchQueue::createSerial("test.syncer");
  syncer->async([&] { queue->sync([&] { order.push_back(2); }); });
  // Idle once the syncing block is blocked waiting for its turn, queued behind block 1.
  env.waitUntilIdle();
  queue->async([&] { order.push_back(3); });
  gate.signal();
  env.waitUntilIdle();
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(DispatchQueueTest, SyncRunsOnCallingThreadAndWaits) {
  auto queue = DispatchQueue::createSerial("test.sync");
  std::thread::id ranOn;
  bool current = false;
  queue->sync([&] {
    ranOn = std::this_thread::get_id();
    current = queue->isCurrent();
  });
  EXPECT_EQ(ranOn, std::this_thread::get_id());
  EXPECT_TRUE(current);
  EXPECT_FALSE(queue->isCurrent());
}

TEST(DispatchQueueTest, SyncOntoCurrentQueueRunsInline) {
  testsupport::DispatchTestEnvironment env;
  auto queue = DispatchQueue::createSerial("test.reentrant");
  std::vector<int> order;
  queue->async([&] {
    order.push_back(1);
    queue->sync([&] { order.push_back(2); });
    order.push_back(3);
  });
  env.waitUntilIdle();
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(DispatchQueueTest, NestedSyncBackOntoOuterQueueRunsInline) {
  testsupport::DispatchTestEnvironment env;
  auto a = DispatchQueue::createSerial("test.a");
  auto b = DispatchQueue::createSerial("test.b");
  auto c = DispatchQueue::createSerial("test.c");
  std::vector<std::string> trail;
  a->async([&] {
    b->sync([&] {
      trail.push_back(DispatchQueue::current()->label());
      c->sync([&] {
        trail.push_back(DispatchQueue::current()->label());
        a->sync([&] {  // a is held further up this chain: inline, no deadlock
          trail.push_back(DispatchQueue::current()->label());
          EXPECT_TRUE(a->isCurrent());
          EXPECT_TRUE(b->isCurrent());
          EXPECT_TRUE(c->isCurrent());
        });
      });
    });
  });
  env.waitUntilIdle();
  EXPECT_EQ(trail, (std::vector<std::string>{"test.b", "test.c", "test.a"}));
}

TEST(DispatchQueueTest, SyncFromOtherThreadsSerialisesWithAsyncBlocks) {
  testsupport::DispatchTestEnvironment env;
  auto queue = DispatchQueue::createSerial("test.mixed");
  int counter = 0;  // guarded by the queue only
  std::atomic<int> overlaps{0};
  std::atomic<int> inside{0};
  auto bump = [&] {
    if (inside.fetch_add(1) != 0) overlaps++;
    ++counter;
    inside.fetch_sub(1);
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 100; ++i) {
        if ((i + t) % 2) {
          queue->sync(bump);
        } else {
          queue->async(bump);
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  env.waitUntilIdle();
  EXPECT_EQ(counter, 400);
  EXPECT_EQ(overlaps.load(), 0);
}

TEST(DispatchQueueTest, CurrentIsNullOffQueuesAndTheInnermostQueueOnThem) {
  testsupport::DispatchTestEnvironment env;
  auto queue = DispatchQueue::createSerial("test.current");
  std::shared_ptr<DispatchQueue> offQueue = DispatchQueue::main();
  std::thread([&] { offQueue = DispatchQueue::current(); }).join();
  EXPECT_EQ(offQueue, nullptr);

  std::shared_ptr<DispatchQueue> onQueue;
  queue->async([&] { onQueue = DispatchQueue::current(); });
  env.waitUntilIdle();
  EXPECT_EQ(onQueue, queue);
}

TEST(DispatchQueueTest, PendingBlocksKeepTheQueueAlive) {
  testsupport::DispatchTestEnvironment env;
  DispatchSemaphore gate;
  std::weak_ptr<DispatchQueue> weak;
  std::vector<int> ran;
  std::string label;
  {
    auto queue = DispatchQueue::createSerial("test.released");
    weak = queue;
    queue->async([&] { gate.wait(); });
    queue->async([&] {
      ran.push_back(1);
      label = DispatchQueue::current()->label();
    });
  }
  EXPECT_FALSE(weak.expired());
  gate.signal();
  env.waitUntilIdle();
  EXPECT_EQ(ran, std::vector<int>{1});
  EXPECT_EQ(label, "test.released");
  // Once its work is done the queue lets go of its handle before it counts as idle.
  EXPECT_TRUE(weak.expired());
}

TEST(DispatchQueueTest, QueueLastHeldByItsPendingWorkIsReleasedBeforeIdle) {
  // A sync waits behind a running block; its caller lets go of the queue as soon as the
  // sync returns, so the queue's own hold is the last one. Once every queue is idle that
  // hold must be gone too.
  testsupport::DispatchTestEnvironment env;
  for (int round = 0; round < 200; ++round) {
    DispatchSemaphore gate;
    DispatchSemaphore syncQueued;
    std::weak_ptr<DispatchQueue> weak;
    {
      auto queue = DispatchQueue::createSerial("test.sync-release");
      weak = queue;
      queue->async([&] { gate.wait(); });
      std::thread caller([queue = std::move(queue), &syncQueued]() mutable {
        syncQueued.signal();
        queue->sync([] {});
        queue.reset();
      });
      syncQueued.wait();
      gate.signal();
      caller.join();
    }
    env.waitUntilIdle();
    ASSERT_TRUE(weak.expired()) << "round " << round;
  }
}

TEST(DispatchQueueTest, QueueReleasedFromInsideItsOwnBlockFinishesCleanly) {
  testsupport::DispatchTestEnvironment env;
  auto holder = std::make_shared<std::shared_ptr<DispatchQueue>>(
      DispatchQueue::createSerial("test.self-release"));
  std::weak_ptr<DispatchQueue> weak = *holder;
  bool stillCurrent = false;
  (*holder)->async([holder, &stillCurrent] {
    holder->reset();  // the last outside reference goes while the block runs
    stillCurrent = DispatchQueue::current() != nullptr;
  });
  holder.reset();
  env.waitUntilIdle();
  EXPECT_TRUE(stillCurrent);  // the running block keeps its queue
  EXPECT_TRUE(weak.expired());
}

TEST(DispatchQueueTest, ManyShortLivedQueuesRunAllTheirWork) {
  testsupport::DispatchTestEnvironment env;
  std::atomic<int> ran{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 50; ++i) {
        auto queue = DispatchQueue::createSerial("test.churn");
        for (int j = 0; j < 5; ++j) queue->async([&] { ran++; });
        if (i % 2) queue->sync([&] { ran++; });
      }
    });
  }
  for (auto& thread : threads) thread.join();
  env.waitUntilIdle();
  EXPECT_EQ(ran.load(), 4 * (50 * 5 + 25));
}

TEST(DispatchQueueTest, GlobalQueueRunsBlocksConcurrently) {
  testsupport::DispatchTestEnvironment env;
  // Each block waits for the other: this finishes only if both run at the same time.
  DispatchSemaphore first;
  DispatchSemaphore second;
  std::atomic<int> done{0};
  auto global = DispatchQueue::global();
  global->async([&] {
    first.signal();
    second.wait();
    done++;
  });
  global->async([&] {
    second.signal();
    first.wait();
    done++;
  });
  env.waitUntilIdle();
  EXPECT_EQ(done.load(), 2);
}

TEST(DispatchQueueTest, EmptyBlocksAreIgnored) {
  testsupport::DispatchTestEnvironment env;
  auto queue = DispatchQueue::createSerial("test.empty");
  queue->async(nullptr);
  queue->sync(nullptr);
  queue->after(1, nullptr);
  env.advance(2);
  EXPECT_EQ(DispatchQueue::discardPendingDelayedWork(), 0u);
}

TEST(DispatchRuntimeDeathTest, LockedHelpersAssertTheLock) {
#ifdef NDEBUG
  GTEST_SKIP() << "lock assertions only abort in debug builds";
#endif
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  DispatchRuntime& runtime = DispatchRuntime::instance();
  {
    DispatchRuntime::Lock lock(runtime);
    EXPECT_TRUE(DispatchRuntime::isLockedByCaller());
    runtime.nextSeqLocked();
    lock.unlock();
    EXPECT_FALSE(DispatchRuntime::isLockedByCaller());
  }
  EXPECT_DEATH(runtime.nextSeqLocked(),
               "nextSeqLocked must be called with the dispatch runtime locked");
}

TEST(DispatchQueueTest, BlockThatCanNeverRunIsReleasedOutsideTheDispatchLock) {
  // An object captured by a block may dispatch from its destructor; if the block were
  // released under the dispatch lock, that would deadlock.
  testsupport::DispatchTestEnvironment env;
  auto queue = DispatchQueue::createSerial("test.forever");
  bool released = false;
  bool lockHeldAtRelease = false;
  std::shared_ptr<int> capture(new int(0), [&](int* value) {
    delete value;
    released = true;
    lockHeldAtRelease = DispatchRuntime::isLockedByCaller();
  });
  queue->after(std::numeric_limits<double>::infinity(), [capture = std::move(capture)] {});
  EXPECT_TRUE(released);  // never due: dropped at once
  EXPECT_FALSE(lockHeldAtRelease);
}

TEST(DispatchQueueDeathTest, ExceptionLeavingABlockTerminates) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        auto queue = DispatchQueue::createSerial("test.throw");
        queue->sync([] { throw std::runtime_error("boom"); });
      },
      "");
}

}  // namespace
}  // namespace platform
