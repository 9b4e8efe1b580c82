// Races between threads that take different locks of the dispatch layer: each queue has its
// own, waits end under the waiter's own, and the idle bookkeeping is one count that every
// hand-off must keep exact (a thread about to run counted before the one that woke it stops).

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <sys/syscall.h>
#include <unistd.h>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/DispatchRuntime.h"
#include "platform/dispatch/DispatchSemaphore.h"
#include "platform/dispatch/DispatchTimer.h"
#include "platform/dispatch/OperationQueue.h"
#include "tests/support/DispatchTestEnvironment.h"

namespace platform {
namespace {

int64_t busyCount() { return DispatchRuntime::instance().busyCountForTesting(); }

// The voluntary context switches of one thread of this process so far, from the kernel's
// own count.
long voluntarySwitches(long tid) {
  std::ifstream status("/proc/self/task/" + std::to_string(tid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    const std::string key = "voluntary_ctxt_switches:";
    if (line.compare(0, key.size(), key) == 0) return std::stol(line.substr(key.size()));
  }
  ADD_FAILURE() << "no voluntary_ctxt_switches for thread " << tid;
  return -1;
}

// `count` new serial queues labelled "<prefix>.<index>".
std::vector<std::shared_ptr<DispatchQueue>> serialQueues(const std::string& prefix, int count) {
  std::vector<std::shared_ptr<DispatchQueue>> queues;
  for (int i = 0; i < count; ++i) {
    queues.push_back(DispatchQueue::createSerial(prefix + "." + std::to_string(i)));
  }
  return queues;
}

long currentTid() { return static_cast<long>(::syscall(SYS_gettid)); }

// The scheduling state of one thread of this process ('R' running, 'S' asleep, ...).
char threadState(long tid) {
  std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const size_t end = text.rfind(')');  // the state follows the parenthesised thread name
  return end == std::string::npos || end + 2 >= text.size() ? '?' : text[end + 2];
}

TEST(SyncRaceTest, SyncsRacingAsyncsOntoOneQueueRunEveryBlockOnceInOrderWithoutOverlap) {
  testsupport::DispatchTestEnvironment env;
  auto queue = DispatchQueue::createSerial("test.race");
  constexpr int kThreads = 4;
  constexpr int kPerThread = 600;
  std::vector<std::vector<int>> seen(kThreads);  // touched only on the queue
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
  std::atomic<int> syncsOnCaller{0};
  auto record = [&](int thread, int i) {
    if (inside.fetch_add(1) != 0) overlaps++;
    seen[thread].push_back(i);
    inside.fetch_sub(1);
  };
  std::vector<std::thread> submitters;
  for (int t = 0; t < kThreads; ++t) {
    submitters.emplace_back([&, t] {
      const std::thread::id caller = std::this_thread::get_id();
      for (int i = 0; i < kPerThread; ++i) {
        if (i % 3 == 2) {
          // Runs after this thread's earlier asyncs, on this thread, whether the queue was
          // idle (run at once) or busy (run at its turn).
          queue->sync([&, t, i] {
            if (std::this_thread::get_id() == caller) syncsOnCaller++;
            record(t, i);
          });
        } else {
          queue->async([&, t, i] { record(t, i); });
        }
      }
    });
  }
  for (auto& thread : submitters) thread.join();
  env.waitUntilIdle();
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_EQ(syncsOnCaller.load(), kThreads * (kPerThread / 3));
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_EQ(seen[t].size(), static_cast<size_t>(kPerThread)) << "submitter " << t;
    for (int i = 0; i < kPerThread; ++i) ASSERT_EQ(seen[t][i], i) << "submitter " << t;
  }
  EXPECT_EQ(busyCount(), 0);
}

TEST(SyncRaceTest, WorkersSyncingDownAChainOfQueuesRunEveryReadWithoutOverlap) {
  // The blocks of each queue but the last read from the next queue through sync, so every
  // queue but the first is synced onto from another thread while it runs blocks of its own.
  // (Syncs round a ring would deadlock, as they do with any serial queues.)
  testsupport::DispatchTestEnvironment env;
  constexpr int kQueues = 4;
  constexpr int kBlocks = 300;
  auto queues = serialQueues("test.chain", kQueues);
  std::vector<int> values(kQueues, 0);  // values[q] touched only on queue q
  std::vector<std::atomic<int>> inside(kQueues);
  std::atomic<int> overlaps{0};
  auto touch = [&](int q) {
    if (inside[q].fetch_add(1) != 0) overlaps++;
    ++values[q];
    inside[q].fetch_sub(1);
  };
  for (int i = 0; i < kBlocks; ++i) {
    for (int q = 0; q < kQueues; ++q) {
      queues[q]->async([&, q] {
        inside[q]++;
        for (int next = q + 1; next < kQueues; ++next)
          queues[next]->sync([&, next] { touch(next); });
        inside[q]--;
        touch(q);
      });
    }
  }
  env.waitUntilIdle();
  EXPECT_EQ(overlaps.load(), 0);
  for (int q = 0; q < kQueues; ++q) EXPECT_EQ(values[q], (q + 1) * kBlocks) << "queue " << q;
  EXPECT_EQ(busyCount(), 0);
}

// A sync onto an idle serial queue runs on the caller and wakes nobody, at its start or at
// its end: the queue's thread, asleep with nothing to do, is never switched in.
TEST(WakeUpTest, SyncsOntoAnIdleQueueLeaveItsThreadAsleep) {
  testsupport::DispatchTestEnvironment env;
  auto queue = DispatchQueue::createSerial("test.asleep");
  long workerTid = 0;
  queue->async([&] { workerTid = currentTid(); });
  env.waitUntilIdle();  // the worker ran the block and let go of the handle
  while (threadState(workerTid) != 'S') std::this_thread::yield();  // it is about to sleep
  const long before = voluntarySwitches(workerTid);
  int ran = 0;
  for (int i = 0; i < 2000; ++i) queue->sync([&] { ++ran; });
  EXPECT_EQ(ran, 2000);
  EXPECT_EQ(voluntarySwitches(workerTid), before);
  // The worker still serves async work afterwards.
  queue->async([&] { ++ran; });
  env.waitUntilIdle();
  EXPECT_EQ(ran, 2001);
}

// The woken thread must be counted as running before the thread that woke it stops;
// otherwise waitUntilIdle returns in between and the work the woken thread goes on to post is
// missed. Each table row hands the work on by a different wake-up.
struct HandOff {
  const char* name;
  // Makes `holder` block, then `waker` end the block, after which `holder` posts `then`.
  void (*run)(DispatchQueue& holder, DispatchQueue& waker, DispatchQueue& then,
              std::atomic<int>& done);
};

const HandOff kHandOffs[] = {
    {"semaphore signal",
     [](DispatchQueue& holder, DispatchQueue& waker, DispatchQueue& then, std::atomic<int>& done) {
       auto semaphore = std::make_shared<DispatchSemaphore>(0);
       holder.async([semaphore, &then, &done] {
         semaphore->wait();
         then.async([&done] { done++; });
       });
       waker.async([semaphore] { semaphore->signal(); });
     }},
    {"sync turn behind a held queue",
     [](DispatchQueue& holder, DispatchQueue& waker, DispatchQueue& then, std::atomic<int>& done) {
       // `waker` is held by a block blocked in a wait; `holder` syncs onto it and waits for
       // its turn; the wait ends from `then`, the turn is granted by waker's thread.
       auto gate = std::make_shared<DispatchSemaphore>(0);
       waker.async([gate] { gate->wait(); });
       holder.async([&waker, &then, &done] {
         waker.sync([] {});
         then.async([&done] { done++; });
       });
       then.async([gate] { gate->signal(); });
     }},
    {"operation queue finished",
     [](DispatchQueue& holder, DispatchQueue& waker, DispatchQueue& then, std::atomic<int>& done) {
       auto operations = std::make_shared<OperationQueue>("test.operations", true);
       auto ran = std::make_shared<std::atomic<int>>(0);
       operations->addOperation([ran] { (*ran)++; });
       holder.async([operations, ran, &then, &done] {
         operations->waitUntilAllOperationsAreFinished();
         if (*ran == 1) then.async([&done] { done++; });
       });
       waker.async([operations] { operations->setSuspended(false); });
     }},
    {"main-queue sync granted by the idle wait's drain",
     [](DispatchQueue& holder, DispatchQueue&, DispatchQueue& then, std::atomic<int>& done) {
       holder.async([&then, &done] {
         // Queued behind a block that only a drain runs, so the sync waits for its turn.
         DispatchQueue::main()->async([] {});
         DispatchQueue::main()->sync([] {});
         then.async([&done] { done++; });
       });
     }},
};

class HandOffIdleTest : public ::testing::TestWithParam<HandOff> {};

TEST_P(HandOffIdleTest, WaitUntilIdleReturnsOnlyAfterTheWokenThreadPostedItsWork) {
  testsupport::DispatchTestEnvironment env;
  auto holder = DispatchQueue::createSerial("test.holder");
  auto waker = DispatchQueue::createSerial("test.waker");
  auto then = DispatchQueue::createSerial("test.then");
  std::atomic<int> done{0};
  for (int round = 1; round <= 200; ++round) {
    GetParam().run(*holder, *waker, *then, done);
    env.waitUntilIdle();
    ASSERT_EQ(done.load(), round) << GetParam().name;
    ASSERT_EQ(busyCount(), 0) << GetParam().name;
  }
}

INSTANTIATE_TEST_SUITE_P(Wakes, HandOffIdleTest, ::testing::ValuesIn(kHandOffs),
                         [](const ::testing::TestParamInfo<HandOff>& info) {
                           std::string name;
                           for (const char* c = info.param.name; *c != '\0'; ++c) {
                             if (std::isalnum(static_cast<unsigned char>(*c))) name += *c;
                           }
                           return name;
                         });

TEST(SemaphoreRaceTest, SignalsRacingTimeoutsAreNeitherLostNorTakenTwice) {
  // Waiters on queues of their own block with a timeout; another thread signals while the
  // test thread advances the clock past their deadline. Each signal ends one wait or stays in
  // the count; each wait ends once, by a signal or by its timeout.
  testsupport::DispatchTestEnvironment env;
  constexpr int kWaiters = 6;
  constexpr int kSignals = 3;
  auto queues = serialQueues("test.waiter", kWaiters);
  for (int round = 0; round < 100; ++round) {
    DispatchSemaphore semaphore(0);
    std::atomic<int> granted{0};
    std::atomic<int> timedOut{0};
    for (auto& queue : queues) {
      queue->async([&] { (semaphore.wait(1.0) ? granted : timedOut)++; });
    }
    env.waitUntilIdle();  // every waiter is blocked in its wait
    std::thread signaller([&] {
      for (int i = 0; i < kSignals; ++i) semaphore.signal();
    });
    env.advance(1.0);
    signaller.join();
    env.waitUntilIdle();
    int left = 0;
    while (semaphore.wait(0)) ++left;
    ASSERT_EQ(granted + timedOut, kWaiters) << "round " << round;
    ASSERT_EQ(granted + left, kSignals) << "round " << round;
    ASSERT_EQ(busyCount(), 0) << "round " << round;
  }
}

TEST(TimerRaceTest, TimerHoldingTheLastReferenceToItsQueueFiresThenLetsTheQueueGo) {
  // The creator lets go of the queue; the timer keeps it. The handler drops the timer, and
  // with it the queue, from inside a block of that very queue.
  testsupport::DispatchTestEnvironment env;
  auto queue = DispatchQueue::createSerial("test.timer-owned");
  std::weak_ptr<DispatchQueue> weakQueue = queue;
  auto timer = std::make_shared<std::shared_ptr<DispatchTimer>>(DispatchTimer::create(queue));
  queue.reset();
  int fired = 0;
  (*timer)->scheduleAt(env.now() + 1, [&fired, timer] {
    ++fired;
    timer->reset();
  });
  (*timer)->resume();
  EXPECT_FALSE(weakQueue.expired());
  env.advance(1);
  EXPECT_EQ(fired, 1);
  EXPECT_TRUE(weakQueue.expired());
  EXPECT_EQ(busyCount(), 0);
}

TEST(TimerRaceTest, TimerDestroyedWhileItsFiringWaitsOnAHeldQueueNeverRunsAndTheQueueGoes) {
  testsupport::DispatchTestEnvironment env;
  auto queue = DispatchQueue::createSerial("test.timer-dropped");
  std::weak_ptr<DispatchQueue> weakQueue = queue;
  DispatchSemaphore gate;
  queue->async([&] { gate.wait(); });
  int fired = 0;
  auto timer = DispatchTimer::create(queue);
  timer->scheduleAt(env.now() + 1, [&] { ++fired; });
  timer->resume();
  env.advance(2);  // the firing is queued behind the held block
  std::thread([&] {
    timer.reset();
    queue.reset();
  }).join();
  EXPECT_FALSE(weakQueue.expired());  // its pending work holds it
  gate.signal();
  env.waitUntilIdle();
  EXPECT_EQ(fired, 0);
  EXPECT_TRUE(weakQueue.expired());
  EXPECT_EQ(busyCount(), 0);
}

}  // namespace
}  // namespace platform
