#pragma once

// Internal to platform/dispatch: the shared state behind queues, timers, semaphores and
// operation queues.
//
// Locks. Work on one queue never takes another queue's lock, so queues in use at once from
// several threads do not contend:
// - each queue's own mutex (DispatchQueueState::mutex) guards that queue's state;
// - the runtime's mutex (DispatchRuntime::mutex_, taken through DispatchRuntime::Lock) guards
//   delayed work, timed waiters, every DispatchTimerState and the timer thread;
// - each semaphore's and each operation queue's mutex guards that object's state;
// - a waiter's wait ends by one atomic step on its state word (DispatchWaiter::state);
// - the idle mutex guards the wake-ups of threads waiting for every queue to be idle.
// Lock order, outermost first; a thread holds at most one lock of each rank:
//   semaphore or operation queue  >  runtime  >  queue  >  idle
// (the clocks' own mutexes are taken under any of them and take nothing). No thread sleeps
// with a lock held (a condition-variable wait lets go of its own).
// No block runs, and nothing a block captured is released, under any of them (checked in
// debug builds).
//
// Wake-ups. A thread that waits counts itself (a queue's `sleepers`, a waiter's kBlocked)
// under the lock or in the word it waits with, and whoever changes what it waits for looks
// there first: so nobody is woken who has nothing to do, and no wake-up is lost.
// Notifications go out after the queue's lock is let go (the woken thread does not wake
// only to wait for it), to one thread wherever only one can proceed.
// Methods named "...Locked" take the lock they need held and assert it in debug builds.
//
// Idle bookkeeping (tests under the manual clock ask "is every queue idle, what is due
// next?"): one atomic count, busy_, of threads running blocks (not blocked in a wait) plus
// queues with work nobody runs yet. Every change that makes something busy is counted before
// the change that makes something else idle, so the count never reads zero while work is
// handed on; when it falls to zero, threads waiting for idle are woken.

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchMutex.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/Futex.h"

namespace platform {

struct DispatchTimerState;

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
inline thread_local DispatchThreadContext dispatchThreadContextOfThisThread;
inline DispatchThreadContext& dispatchThreadContext() { return dispatchThreadContextOfThisThread; }

// A thread blocked in the dispatch layer (a sync waiting for its turn, a semaphore wait, an
// operation-queue wait). Lives on the blocked thread's stack; created there, before anyone
// else can see it, and alive until its owner (the queue, semaphore or operation queue whose
// lock the waker holds) lets go of it. Whoever ends the wait counts the woken thread as
// running (when it will run) before the wait ends, so the idle bookkeeping never sees a
// thread about to run as blocked.
struct DispatchWaiter {
  // kWaiting until the thread sleeps, kBlocked while it sleeps (no longer counted as running);
  // then kGranted (a semaphore signal, a sync turn) or kTimedOut, for good.
  enum State : uint32_t { kWaiting = 0, kBlocked = 1, kGranted = 2, kTimedOut = 3 };

  DispatchWaiter();

  bool woken() const { return state.load() >= kGranted; }
  bool granted() const { return state.load() == kGranted; }

  std::atomic<uint32_t> state{kWaiting};  // the blocked thread sleeps on this word
  const bool countsActive;                // the waiting thread was running a block when it blocked
  std::optional<double> deadlineUptime;   // set before the waiter is published
  uint64_t seq = 0;                       // under the runtime's mutex: order among equal deadlines
};

struct DispatchItem {
  Block block;
  DispatchWaiter* syncTurn = nullptr;  // set for a sync waiting for the queue's turn
};

// One queue's state, guarded by its `mutex`.
struct DispatchQueueState {
  DispatchMutex mutex;
  DispatchQueue::Kind kind = DispatchQueue::Kind::kSerial;
  std::deque<DispatchItem> items;
  bool occupied = false;  // serial and main: a block runs or a sync holds the queue
  bool closing = false;   // the handle is gone: the worker thread ends
  // The thread(s) running the queue sleep on this word; a wake-up moves it on.
  std::atomic<uint32_t> wakeWord{0};
  size_t sleepers = 0;      // threads asleep on `wakeWord` and not yet woken: nobody to wake when 0
  size_t pendingWakes = 0;  // threads woken, not yet awake: not woken twice
  std::weak_ptr<DispatchQueue> handle;
  // Keeps the handle alive while blocks are pending, as a dispatch queue is retained by
  // the blocks submitted to it.
  std::shared_ptr<DispatchQueue> retained;
  size_t syncTurns = 0;      // items that are sync turns
  size_t threads = 0;        // global queue: pool threads
  bool countedBusy = false;  // this queue is counted in the runtime's busy count
  // Blocks and syncs submitted so far; written under `mutex`, read without it.
  std::atomic<uint64_t> submitted{0};
  // Main queue only.
  bool mainLoopRunning = false;
  bool stopRequested = false;
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

  // Holds the runtime's mutex for its scope (or between unlock() and lock()).
  class Lock : public DispatchMutex::Guard {
   public:
    explicit Lock(DispatchRuntime& runtime) : Guard(runtime.mutex_) {}
  };

  // Logs and, in debug builds, aborts unless the calling thread holds the runtime's mutex.
  static void assertLocked(const char* where);
  // Whether the calling thread holds a lock of the dispatch layer (the runtime's or another).
  static bool isLockedByCaller();

  // Queues.
  void unregisterQueue(DispatchQueueState* state);
  void startSerialWorker(std::shared_ptr<DispatchQueueState> state);
  // Adds an item to the queue and wakes the queue's thread if it sleeps. `queue` is the
  // handle (kept alive while work is pending). Takes the queue's lock; callable under the
  // runtime's, a semaphore's or an operation queue's lock.
  void enqueue(DispatchQueue& queue, DispatchItem item);
  void sync(DispatchQueue& queue, const Block& block);

  // Blocks the calling thread until `waiter` is woken (or, for a timed waiter under a
  // clock that runs by itself, until its deadline passes). Call with no dispatch lock held.
  void sleepUntilWoken(DispatchWaiter& waiter);
  // Ends a wait, unless it has ended already; returns whether this call ended it.
  // `startsRun` is true when the woken thread goes on to run a block for a queue (a sync's
  // turn), so it counts as running even if it was not before. Call while `waiter` is alive.
  bool wake(DispatchWaiter& waiter, bool startsRun, bool timedOut = false);
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
  // The busy count (see the top of this file): zero whenever waitUntilIdle has just returned
  // under a manual clock, never negative.
  int64_t busyCountForTesting() const { return busy_.load(); }

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
  // Moves the blocks at the front of the queue, up to the first sync turn, to `batch`;
  // false when the queue holds none there.
  static bool takeBlocksLocked(DispatchQueueState& state, std::deque<DispatchItem>& batch);
  // Runs the blocks of `batch` and then, without letting go of the queue, those queued
  // behind them up to the next sync turn, a batch at a time; then frees the queue and lets go
  // of its handle if nothing is pending. Leaves `batch` empty.
  void runSerialItemsLocked(DispatchMutex::Guard& guard, DispatchQueueState& state,
                            std::deque<DispatchItem>& batch);
  // Sleeps on the queue's wake word until `ready` holds, counted as a sleeper meanwhile. The
  // word is read under the lock; a wake-up after the lock is let go moves it on, so the sleep
  // ends at once or by that wake-up: none is lost.
  template <typename Ready>
  void waitOnQueueLocked(DispatchMutex::Guard& guard, DispatchQueueState& state, Ready ready) {
    state.mutex.assertHeld("waitOnQueueLocked", "the queue");
    while (!ready()) {
      ++state.sleepers;
      const uint32_t seen = state.wakeWord.load(std::memory_order_relaxed);
      guard.unlock();
      futexWait(state.wakeWord, seen);
      guard.lock();
      // Awake, by the wake-up sent to this thread or to another sleeper (all are alike).
      if (state.pendingWakes > 0) {
        --state.pendingWakes;
      } else {
        --state.sleepers;
      }
    }
  }
  // Counts one (or every) sleeper of the queue as woken, so that nobody sends it a second
  // wake-up before it is awake; returns how many to wake with wakeQueue.
  static int claimWakeLocked(DispatchQueueState& state, bool all) {
    state.mutex.assertHeld("claimWakeLocked", "the queue");
    const size_t woken = all ? state.sleepers : std::min<size_t>(state.sleepers, 1);
    state.sleepers -= woken;
    state.pendingWakes += woken;
    return static_cast<int>(woken);
  }
  // Wakes `count` threads asleep on the queue, claimed under its lock; with or without the
  // lock held.
  static void wakeQueue(DispatchQueueState& state, int count) {
    if (count == 0) return;
    state.wakeWord.fetch_add(1);
    futexWake(state.wakeWord, count);
  }
  // Ends a wait with `outcome` (kGranted or kTimedOut); see wake(). `wakeThread` is false
  // when the waiting thread itself ends it.
  bool endWait(DispatchWaiter& waiter, bool startsRun, DispatchWaiter::State outcome,
               bool wakeThread);
  // Whether a thread waits on the queue with something to do.
  static bool queueNeedsWakeLocked(const DispatchQueueState& state) {
    state.mutex.assertHeld("queueNeedsWakeLocked", "the queue");
    if (state.sleepers == 0) return false;
    switch (state.kind) {
      case DispatchQueue::Kind::kSerial:
        // Its worker, the only thread that waits there, has nothing to do while the queue is
        // held or holds nothing: waking it would only cost a context switch.
        if (state.occupied) return false;
        return !state.items.empty() || state.retained || state.closing;
      case DispatchQueue::Kind::kConcurrent:
        return !state.items.empty();
      case DispatchQueue::Kind::kMain:
        break;
    }
    return true;
  }
  // Ends the caller's hold of the queue's lock, then wakes the queue's thread(s) if one waits
  // with work to do. The state is held meanwhile: once unlocked, the queue may be released
  // (a test that sees every queue idle may drop it) and its thread end.
  void unlockAndWake(DispatchMutex::Guard& guard, const std::shared_ptr<DispatchQueueState>& state);
  size_t drainMainLocked(DispatchMutex::Guard& guard);
  void runNextMainItemLocked(DispatchMutex::Guard& guard, DispatchQueue& queue,
                             DispatchQueueState& state);
  void postLocked(DelayedEntry entry);
  void hubLoop();
  void requireOffQueue(const char* what) const;

  // The busy count (see the top of this file).
  void addBusy() { busy_.fetch_add(1); }
  void dropBusy() {
    const int64_t before = busy_.fetch_sub(1);
    if (before == 1) pokeIdle();
    if (before <= 0) busyUnderflow();
  }
  // Logs the fault and, in debug builds, aborts: something stopped twice.
  static void busyUnderflow();
  // Execution bookkeeping of the calling thread: a thread counts as running from its
  // outermost block's start to its end.
  void beginRun() {
    if (dispatchThreadContext().depth++ == 0) addBusy();
  }
  void endRun() {
    if (--dispatchThreadContext().depth == 0) dropBusy();
  }
  // Counts the queue as busy or not, by its state: work is queued (or, on a serial queue, its
  // handle is held) and nobody runs it. Blocks behind a held queue wait for its holder,
  // counted on its own (or blocked in a wait for something outside).
  void updateBusyLocked(DispatchQueueState& state) {
    state.mutex.assertHeld("updateBusyLocked", "the queue");
    const bool busy =
        state.kind == DispatchQueue::Kind::kConcurrent
            ? !state.items.empty()
            : !state.occupied &&
                  (!state.items.empty() ||
                   (state.kind == DispatchQueue::Kind::kSerial && state.retained != nullptr));
    if (busy == state.countedBusy) return;
    state.countedBusy = busy;
    if (busy) {
      addBusy();
    } else {
      dropBusy();
    }
  }
  // Wakes the threads waiting for idle so that they look again.
  void pokeIdle();
  // Whether nothing runs, nothing is queued and (by a clock that runs by itself) nothing is
  // due.
  bool isIdle(const Clock& clock);
  // Waits until isIdle, draining the main queue on the calling thread unless a main loop
  // runs elsewhere.
  void waitIdle();

  // Guards the fields below up to the next comment, and every DispatchTimerState.
  DispatchMutex mutex_;
  std::condition_variable hubCv_;
  bool hubStarted_ = false;
  uint64_t seq_ = 0;
  std::vector<DelayedEntry> delayed_;
  std::vector<DispatchWaiter*> timedWaiters_;

  std::once_flag mainOnce_;
  std::shared_ptr<DispatchQueue> main_;  // set once, by mainOnce_
  std::once_flag globalOnce_;
  std::shared_ptr<DispatchQueue> global_;  // set once, by globalOnce_

  std::atomic<int64_t> busy_{0};
  std::atomic<int> idleWaiters_{0};  // threads in waitUntilIdle or advance

  // Guards idleEpoch_, which pokeIdle bumps.
  DispatchMutex idleMutex_;
  std::condition_variable idleCv_;
  uint64_t idleEpoch_ = 0;
};

}  // namespace platform
