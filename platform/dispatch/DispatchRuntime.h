#pragma once

// Internal to platform/dispatch: the shared state behind queues, timers, semaphores and
// operation queues. One mutex, private to DispatchRuntime and taken through
// DispatchRuntime::Lock, guards all of it — the runtime's own fields and every
// DispatchWaiter, DispatchQueueState, DispatchTimerState and operation-queue state — which
// keeps the bookkeeping that tests rely on (is every queue idle? what is due next?) exact
// and simple. Methods named "...Locked" must be called with it held; they assert so in
// debug builds.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchQueue.h"

namespace platform {

struct DispatchTimerState;

// A thread blocked in the dispatch layer. Guarded by the runtime's mutex.
// (a sync waiting for its turn, a semaphore wait, an
// operation-queue wait). Whoever ends the wait sets `woken` under the runtime's mutex, so
// the idle bookkeeping never sees a thread that is about to run as blocked.
struct DispatchWaiter {
  std::condition_variable cv;
  bool woken = false;
  bool granted = false;  // a semaphore signal or a sync turn (not a timeout)
  bool timedOut = false;
  bool countsActive = false;  // the waiting thread was running a block when it blocked
  std::optional<double> deadlineUptime;
  uint64_t seq = 0;
};

struct DispatchItem {
  Block block;
  DispatchWaiter* syncTurn = nullptr;  // set for a sync waiting for the queue's turn
};

// Guarded by the runtime's mutex.
struct DispatchQueueState {
  DispatchQueue::Kind kind = DispatchQueue::Kind::kSerial;
  std::deque<DispatchItem> items;
  bool occupied = false;       // serial and main: a block runs or a sync holds the queue
  bool closing = false;        // the handle is gone: the worker thread ends
  std::condition_variable cv;  // the thread(s) running the queue wait here
  size_t sleepers = 0;         // threads waiting on `cv`: nobody to wake when zero
  std::weak_ptr<DispatchQueue> handle;
  // Keeps the handle alive while blocks are pending, as a dispatch queue is retained by
  // the blocks submitted to it.
  std::shared_ptr<DispatchQueue> retained;
  size_t threads = 0;      // global queue: pool threads
  size_t idleThreads = 0;  // global queue: pool threads waiting for work
};

// Guarded by the runtime's mutex.
struct DispatchTimerState {
  std::shared_ptr<DispatchQueue> queue;
  bool resumed = false;
  bool cancelled = false;
  std::optional<double> wallDeadline;
  Block handler;
  uint64_t generation = 0;  // bumped at each arming, so stale deadlines do nothing
};

class DispatchRuntime {
 public:
  static DispatchRuntime& instance();

  // Holds the runtime's mutex for its scope (or between unlock() and lock()), and marks the
  // calling thread as its holder so that the "...Locked" methods can check it.
  class Lock {
   public:
    explicit Lock(DispatchRuntime& runtime);
    ~Lock();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
    void lock();
    void unlock();
    // For condition-variable waits on the runtime's mutex.
    std::unique_lock<std::mutex>& native() { return lock_; }

   private:
    std::unique_lock<std::mutex> lock_;
  };

  // Logs and, in debug builds, aborts unless the calling thread holds the runtime's mutex.
  // Every "...Locked" method begins with it.
  static void assertLocked(const char* where);
  // Whether the calling thread holds the runtime's mutex.
  static bool isLockedByCaller();

  // Queues.
  void registerQueue(DispatchQueueState* state);
  void unregisterQueue(DispatchQueueState* state);
  void startSerialWorker(std::shared_ptr<DispatchQueueState> state);
  // Adds an item to the queue. `queue` is the handle (kept alive while work is pending).
  void enqueueLocked(DispatchQueue& queue, DispatchItem item);
  // DispatchQueue::async: enqueueLocked, with the queue's thread woken after the mutex is
  // released, so that it does not wake only to wait for the mutex.
  void async(DispatchQueue& queue, Block block);
  void sync(DispatchQueue& queue, const Block& block);

  // Execution bookkeeping of the calling thread.
  void beginLocked();
  void endLocked();
  // Blocks the calling thread until `waiter` is woken (or, for a timed waiter under a
  // clock that runs by itself, until its deadline passes).
  void blockLocked(Lock& lock, DispatchWaiter& waiter);
  // Ends a wait. `startsRun` is true when the woken thread goes on to run a block for a
  // queue (a sync's turn), so it counts as running even if it was not before.
  void wakeLocked(DispatchWaiter& waiter, bool startsRun);
  void addTimedWaiterLocked(DispatchWaiter& waiter);
  void removeTimedWaiterLocked(DispatchWaiter& waiter);
  uint64_t nextSeqLocked() {
    assertLocked("nextSeqLocked");
    return ++seq_;
  }

  // Delayed work, by the installed clock.
  void addDelayedLocked(std::shared_ptr<DispatchQueue> queue, bool wall, double deadline,
                        Block block, std::weak_ptr<DispatchTimerState> timer, uint64_t generation);
  void removeTimerEntriesLocked(const DispatchTimerState* timer);
  size_t discardDelayed();
  void clockInstalled();

  // Main queue.
  DispatchQueue& mainQueue();
  DispatchQueue& globalQueue();
  size_t drainMain();
  void runMainLoop();
  void stopMainLoop();

  // Tests.
  void waitUntilIdle();
  void advanceManual(ManualClock& clock, double seconds);

 private:
  struct DelayedEntry {
    uint64_t seq;
    bool wall;  // deadline in wall time (timers) or uptime (after)
    double deadline;
    std::shared_ptr<DispatchQueue> queue;
    Block block;
    std::weak_ptr<DispatchTimerState> timer;
    uint64_t generation;
  };

  DispatchRuntime() = default;
  void serialWorker(std::shared_ptr<DispatchQueueState> state);
  void poolWorker(std::shared_ptr<DispatchQueueState> state);
  void runItemLocked(Lock& lock, DispatchQueue& queue, DispatchQueueState& state,
                     DispatchItem item);
  // Runs `item` and then, without letting go of the queue, the blocks queued behind it up to
  // the next sync turn; then frees the queue and lets go of its handle if nothing is pending.
  void runSerialItemsLocked(Lock& lock, DispatchQueueState& state, DispatchItem item);
  // Waits on the queue's condition variable until `ready` holds, counted as a sleeper.
  template <typename Ready>
  void waitOnQueueLocked(Lock& lock, DispatchQueueState& state, Ready ready) {
    assertLocked("waitOnQueueLocked");
    ++state.sleepers;
    state.cv.wait(lock.native(), ready);
    --state.sleepers;
  }
  // Wakes the threads waiting on the queue, if any wait and one of them has something to do.
  void wakeQueueLocked(DispatchQueueState& state);
  // Whether wakeQueueLocked would wake a thread.
  bool queueNeedsWakeLocked(const DispatchQueueState& state) const;
  // Ends the caller's lock, then wakes the queue's thread(s) if one waits with work to do.
  // The state is held meanwhile: once unlocked, the queue may be released (a test that sees
  // every queue idle may drop it) and its thread end.
  void unlockAndWake(Lock& lock, const std::shared_ptr<DispatchQueueState>& state);
  size_t drainMainLocked(Lock& lock);
  void runNextMainItemLocked(Lock& lock, DispatchQueue& queue, DispatchQueueState& state);
  bool isIdleLocked(const Clock& clock) const;
  void waitIdleLocked(Lock& lock);
  void postLocked(DelayedEntry entry);
  void hubLoop();
  void notifyIdleLocked() {
    assertLocked("notifyIdleLocked");
    if (idleWaiters_ > 0) idleCv_.notify_all();
  }
  void requireOffQueue(const char* what) const;

  // Guards every field below, and the states named in the comment at the top.
  std::mutex mutex_;
  std::condition_variable idleCv_;
  size_t idleWaiters_ = 0;  // threads waiting on idleCv_
  std::condition_variable hubCv_;
  bool hubStarted_ = false;
  size_t active_ = 0;  // threads running blocks and not blocked in a wait
  uint64_t seq_ = 0;
  std::set<DispatchQueueState*> queues_;
  std::vector<DelayedEntry> delayed_;
  std::vector<DispatchWaiter*> timedWaiters_;
  std::shared_ptr<DispatchQueue> main_;
  std::shared_ptr<DispatchQueue> global_;
  bool mainLoopRunning_ = false;
  bool stopRequested_ = false;
};

// One queue entered by the calling thread: a frame on that thread's stack, linked to the
// queue entered before it.
struct DispatchQueueFrame {
  const DispatchQueue* queue = nullptr;
  const DispatchQueueFrame* outer = nullptr;
};

// Thread-local view of what the calling thread runs. Trivially destructible, so that it
// stays usable for the rest of the thread's life: exit handlers run on the main thread
// after its thread-local objects were destroyed, and may still dispatch.
struct DispatchThreadContext {
  const DispatchQueueFrame* innermost = nullptr;  // queues entered, through `outer` links
  int depth = 0;                                  // executions in progress
  int mainDepth = 0;  // inside the main loop, a drain or a main-queue block

  bool inAnyQueue() const { return innermost != nullptr; }
  bool hasEntered(const DispatchQueue* queue) const {
    for (const DispatchQueueFrame* frame = innermost; frame != nullptr; frame = frame->outer) {
      if (frame->queue == queue) return true;
    }
    return false;
  }
};
static_assert(std::is_trivially_destructible_v<DispatchThreadContext>);
DispatchThreadContext& dispatchThreadContext();

}  // namespace platform
