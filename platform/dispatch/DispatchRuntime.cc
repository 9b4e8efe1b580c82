#include "platform/dispatch/DispatchRuntime.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <thread>

#include "platform/foundation/PlatformLog.h"

namespace platform {
namespace {

// Under a manual clock, deadlines that differ from the target by less than this are due:
// sums of doubles near 1.7e9 are only exact to about 2e-7 s.
constexpr double kDueTolerance = 1e-6;
// Pool threads of the global queue at most.
constexpr size_t kMaxPoolThreads = 64;
// Real-time waits re-read the clock at least this often, so a changed clock is noticed.
constexpr double kMaxRealWait = 1.0;
// Under a clock that runs by itself, how often a wait for idle looks again at what fell due.
constexpr double kIdlePoll = 0.05;

// Runs a block; an exception leaving it ends the process, as on a dispatch queue.
void invoke(const Block& block) noexcept {
  DispatchMutex::assertNoneHeld("a block runs");
  block();
}

// Queue threads run under the batch scheduling policy (same nice value, same share of the
// CPU): a queue's thread woken to run work handed to it never preempts the thread that
// handed it over. The kernel puts it on an idle CPU when there is one, else it waits for the
// current thread's time slice. Under the default policy the thread just woken often took the
// caller's CPU at once, and the caller waited for the whole chain of queues it had set off.
void runAsBatchThread() {
  sched_param parameters{};
  // On failure the thread keeps the default policy, as before.
  (void)pthread_setschedparam(pthread_self(), SCHED_BATCH, &parameters);
}

bool isManual(const Clock& clock) { return dynamic_cast<const ManualClock*>(&clock) != nullptr; }

std::chrono::duration<double> realWait(double seconds) {
  return std::chrono::duration<double>(std::clamp(seconds, 0.0, kMaxRealWait));
}

// Marks the calling thread as running `queue` for the scope.
class QueueScope {
 public:
  QueueScope(DispatchQueue* queue, bool main) : main_(main) {
    auto& context = dispatchThreadContext();
    frame_.queue = queue;
    frame_.outer = context.innermost;
    context.innermost = &frame_;
    if (main_) ++context.mainDepth;
  }
  ~QueueScope() {
    auto& context = dispatchThreadContext();
    context.innermost = frame_.outer;
    if (main_) --context.mainDepth;
  }
  QueueScope(const QueueScope&) = delete;
  QueueScope& operator=(const QueueScope&) = delete;

 private:
  DispatchQueueFrame frame_;
  bool main_;
};

}  // namespace

DispatchWaiter::DispatchWaiter() : countsActive(dispatchThreadContext().depth > 0) {}

bool DispatchRuntime::isLockedByCaller() { return DispatchMutex::anyHeldByCaller(); }

void DispatchRuntime::assertLocked(const char* where) {
  instance().mutex_.assertHeld(where, "the dispatch runtime");
}

DispatchRuntime& DispatchRuntime::instance() {
  // Never destroyed: detached queue threads may use it until the process exits.
  static DispatchRuntime* runtime = new DispatchRuntime();
  return *runtime;
}

// ---- Busy count ---------------------------------------------------------------------------

void DispatchRuntime::busyUnderflow() {
  PlatformLog::write("dispatch idle bookkeeping: a thread or queue stopped twice");
#ifndef NDEBUG
  std::abort();
#endif
}

void DispatchRuntime::pokeIdle() {
  // Pairs with waitUntilIdle, which counts itself in idleWaiters_ before it reads the busy
  // count: either it reads the count this call follows, or this call sees it waiting.
  if (idleWaiters_.load() == 0) return;
  DispatchMutex::Guard guard(idleMutex_);
  ++idleEpoch_;
  idleCv_.notify_all();
}

// ---- Queues -------------------------------------------------------------------------------

void DispatchRuntime::unregisterQueue(DispatchQueueState* state) {
  DispatchMutex::Guard guard(state->mutex);
  state->closing = true;
  // The worker is the only thread that waits on a serial queue, and it is either asleep
  // there or about to look at `closing`.
  if (queueNeedsWakeLocked(*state)) wakeQueue(*state, claimWakeLocked(*state, false));
}

void DispatchRuntime::startSerialWorker(std::shared_ptr<DispatchQueueState> state) {
  std::thread([this, state] { serialWorker(state); }).detach();
}

void DispatchRuntime::unlockAndWake(DispatchMutex::Guard& guard,
                                    const std::shared_ptr<DispatchQueueState>& state) {
  std::shared_ptr<DispatchQueueState> held;
  int count = 0;
  if (queueNeedsWakeLocked(*state)) {
    held = state;
    count = claimWakeLocked(*state, state->kind == DispatchQueue::Kind::kMain);
  }
  guard.unlock();
  if (!held) return;
  // A thread counted as a sleeper under the lock is inside its wait (or about to re-check
  // under the lock): this notification cannot be lost. One thread waits on a serial queue,
  // and one pool thread is enough for the item just queued; on the main queue the main loop,
  // a drain and a main-thread sync may wait for different things.
  wakeQueue(*held, count);
}

void DispatchRuntime::enqueue(DispatchQueue& queue, DispatchItem item) {
  const std::shared_ptr<DispatchQueueState>& shared = queue.state_;
  DispatchQueueState& state = *shared;
  // Read now: once the lock is let go, the queue may run the item and be released.
  const bool main = state.kind == DispatchQueue::Kind::kMain;
  DispatchMutex::Guard guard(state.mutex);
  state.items.push_back(std::move(item));
  state.submitted.fetch_add(1, std::memory_order_release);
  if (!state.retained) state.retained = queue.shared_from_this();
  updateBusyLocked(state);
  if (state.kind == DispatchQueue::Kind::kConcurrent &&
      state.items.size() > state.sleepers + state.pendingWakes && state.threads < kMaxPoolThreads) {
    ++state.threads;
    std::thread([this, shared] { poolWorker(shared); }).detach();
  }
  unlockAndWake(guard, shared);
  // A test waiting for idle drains the main queue itself.
  if (main) pokeIdle();
}

bool DispatchRuntime::takeBlocksLocked(DispatchQueueState& state, std::deque<DispatchItem>& batch) {
  state.mutex.assertHeld("takeBlocksLocked", "the queue");
  if (state.items.empty() || state.items.front().syncTurn) return false;
  if (state.syncTurns == 0) {
    // Every item is a block: take them all at once (the emptied batch becomes the queue's).
    batch.swap(state.items);
    return true;
  }
  while (!state.items.empty() && !state.items.front().syncTurn) {
    batch.push_back(std::move(state.items.front()));
    state.items.pop_front();
  }
  return true;
}

void DispatchRuntime::runSerialItemsLocked(DispatchMutex::Guard& guard, DispatchQueueState& state,
                                           std::deque<DispatchItem>& batch) {
  state.mutex.assertHeld("runSerialItemsLocked", "the queue");
  // The queue is already marked occupied by the caller, and this thread counted as running.
  // Both stay so from one batch to the next: nobody else could take the queue in between.
  // Blocks queued meanwhile wait behind the batch, as do syncs, which queue a turn.
  std::shared_ptr<DispatchQueue> handle = state.retained;  // alive while the blocks run
  do {
    guard.unlock();
    {
      QueueScope scope(handle.get(), false);
      for (DispatchItem& item : batch) {
        invoke(item.block);
        item.block = nullptr;  // captured objects are released before the queue counts as idle
      }
    }
    batch.clear();
    guard.lock();
  } while (takeBlocksLocked(state, batch));
  // With nothing pending the queue lets go of its handle, before it counts as idle, so that
  // a test that waited for idle sees the handle released. Outside the lock: this may destroy
  // the handle.
  std::shared_ptr<DispatchQueue> retained;
  if (state.items.empty()) retained = std::move(state.retained);
  guard.unlock();
  handle.reset();
  retained.reset();
  guard.lock();
  state.occupied = false;
  updateBusyLocked(state);  // what was queued meanwhile counts before this thread stops
}

void DispatchRuntime::serialWorker(std::shared_ptr<DispatchQueueState> state) {
  runAsBatchThread();
  std::deque<DispatchItem> batch;  // the blocks being run, taken from the queue in order
  DispatchMutex::Guard guard(state->mutex);
  while (true) {
    waitOnQueueLocked(guard, *state, [&] {
      if (state->occupied) return false;
      return !state->items.empty() || state->retained || state->closing;
    });
    if (state->items.empty()) {
      if (state->retained) {
        // Nothing pending: let go of the handle, outside the lock since this may destroy it.
        // The thread counts as running meanwhile, so that a test that waited for idle sees
        // the handle released.
        beginRun();
        std::shared_ptr<DispatchQueue> handle = std::move(state->retained);
        updateBusyLocked(*state);
        guard.unlock();
        handle.reset();
        endRun();
        guard.lock();
        continue;
      }
      if (state->closing) return;
      continue;
    }
    state->occupied = true;
    if (DispatchWaiter* turn = state->items.front().syncTurn) {
      // The sync caller runs the block on its own thread and frees the queue afterwards.
      state->items.pop_front();
      --state->syncTurns;
      wake(*turn, true);
      updateBusyLocked(*state);
      continue;
    }
    takeBlocksLocked(*state, batch);
    beginRun();
    updateBusyLocked(*state);
    runSerialItemsLocked(guard, *state, batch);
    endRun();
  }
}

void DispatchRuntime::poolWorker(std::shared_ptr<DispatchQueueState> state) {
  runAsBatchThread();
  std::shared_ptr<DispatchQueue> handle = state->handle.lock();
  if (!handle) return;  // cannot happen: the global queue lives for the whole process
  DispatchMutex::Guard guard(state->mutex);
  while (true) {
    waitOnQueueLocked(guard, *state, [&] { return !state->items.empty(); });
    DispatchItem item = std::move(state->items.front());
    state->items.pop_front();
    beginRun();
    updateBusyLocked(*state);
    guard.unlock();
    {
      QueueScope scope(handle.get(), false);
      invoke(item.block);
      item.block = nullptr;  // captured objects are released before the thread counts as idle
    }
    endRun();
    guard.lock();
  }
}

void DispatchRuntime::sync(DispatchQueue& queue, const Block& block) {
  DispatchQueueState& state = *queue.state_;
  auto& context = dispatchThreadContext();
  const bool main = state.kind == DispatchQueue::Kind::kMain;

  // Already on the queue (directly, or through other queues' sync): run inline.
  if (context.hasEntered(&queue)) {
    QueueScope scope(&queue, main);
    invoke(block);
    return;
  }

  if (state.kind == DispatchQueue::Kind::kConcurrent) {
    beginRun();
    {
      QueueScope scope(&queue, false);
      invoke(block);
    }
    endRun();
    return;
  }

  DispatchMutex::Guard guard(state.mutex);
  state.submitted.fetch_add(1, std::memory_order_release);
  if (main && DispatchQueue::isMainThread()) {
    // The main thread is the one that runs the main queue: it takes the queue as soon as
    // no other thread's sync holds it, ahead of the blocks waiting there.
    waitOnQueueLocked(guard, state, [&] { return !state.occupied; });
    state.occupied = true;
    beginRun();
    updateBusyLocked(state);
    guard.unlock();
  } else if (!state.occupied && state.items.empty()) {
    // An idle queue: the block runs here at once and nobody is woken.
    state.occupied = true;
    beginRun();
    updateBusyLocked(state);
    guard.unlock();
  } else {
    DispatchWaiter turn;
    state.items.push_back(DispatchItem{nullptr, &turn});
    ++state.syncTurns;
    updateBusyLocked(state);
    unlockAndWake(guard, queue.state_);
    if (main) pokeIdle();  // a test waiting for idle drains the main queue and grants the turn
    sleepUntilWoken(turn);
    // Whoever granted the turn already counted this thread as running.
    ++context.depth;
  }
  {
    QueueScope scope(&queue, main);
    invoke(block);
  }
  guard.lock();
  state.occupied = false;
  // With nothing pending, the handle that blocks queued before the sync left held is let go
  // here rather than by waking the queue's thread only for that; outside the lock, since
  // this may destroy the queue, and while this thread still counts as running.
  std::shared_ptr<DispatchQueue> retained;
  if (state.kind == DispatchQueue::Kind::kSerial && state.items.empty()) {
    retained = std::move(state.retained);
  }
  updateBusyLocked(state);  // what was queued meanwhile counts before this thread stops
  unlockAndWake(guard, queue.state_);
  retained.reset();
  endRun();
}

// ---- Waits --------------------------------------------------------------------------------

void DispatchRuntime::sleepUntilWoken(DispatchWaiter& waiter) {
  uint32_t expected = DispatchWaiter::kWaiting;
  if (waiter.state.compare_exchange_strong(expected, DispatchWaiter::kBlocked) &&
      waiter.countsActive) {
    dropBusy();
  }
  while (!waiter.woken()) {
    std::shared_ptr<Clock> clock = Clock::current();
    if (!waiter.deadlineUptime || isManual(*clock)) {
      futexWait(waiter.state, DispatchWaiter::kBlocked);
      continue;
    }
    const double remaining = *waiter.deadlineUptime - clock->uptime();
    if (remaining <= 0) {
      endWait(waiter, false, DispatchWaiter::kTimedOut, /*wakeThread=*/false);
      return;
    }
    futexWaitFor(waiter.state, DispatchWaiter::kBlocked, realWait(remaining).count());
  }
}

bool DispatchRuntime::wake(DispatchWaiter& waiter, bool startsRun, bool timedOut) {
  return endWait(waiter, startsRun, timedOut ? DispatchWaiter::kTimedOut : DispatchWaiter::kGranted,
                 /*wakeThread=*/true);
}

bool DispatchRuntime::endWait(DispatchWaiter& waiter, bool startsRun, DispatchWaiter::State outcome,
                              bool wakeThread) {
  uint32_t state = waiter.state.load();
  while (true) {
    if (state >= DispatchWaiter::kGranted) return false;  // ended already
    // Counted as running from here on when it was running before the wait or goes on to run
    // a block; counted already unless it stopped for the wait. Counted before the wait ends:
    // once it has, the thread may run (and finish) at once.
    const bool counted = waiter.countsActive && state == DispatchWaiter::kWaiting;
    const bool add = (waiter.countsActive || startsRun) && !counted;
    if (add) addBusy();
    if (waiter.state.compare_exchange_strong(state, outcome)) break;
    if (add) dropBusy();  // the thread went to sleep meanwhile: decide again
  }
  if (wakeThread && state == DispatchWaiter::kBlocked) futexWake(waiter.state, 1);
  return true;
}

void DispatchRuntime::addTimedWaiterLocked(DispatchWaiter& waiter) {
  assertLocked("addTimedWaiterLocked");
  waiter.seq = nextSeqLocked();
  timedWaiters_.push_back(&waiter);
}

void DispatchRuntime::removeTimedWaiterLocked(DispatchWaiter& waiter) {
  assertLocked("removeTimedWaiterLocked");
  timedWaiters_.erase(std::remove(timedWaiters_.begin(), timedWaiters_.end(), &waiter),
                      timedWaiters_.end());
}

// ---- Delayed work -------------------------------------------------------------------------

void DispatchRuntime::addDelayedLocked(std::shared_ptr<DispatchQueue> queue, bool wall,
                                       double deadline, Block block,
                                       std::weak_ptr<DispatchTimerState> timer,
                                       uint64_t generation) {
  assertLocked("addDelayedLocked");
  DelayedEntry entry{nextSeqLocked(),  wall,      deadline, std::move(queue), std::move(block),
                     std::move(timer), generation};
  // Never due. Only timers get here with such a deadline (after() drops its block itself),
  // and their entries hold no block, so nothing is released under the lock.
  if (deadline == std::numeric_limits<double>::infinity()) return;
  std::shared_ptr<Clock> clock = Clock::current();
  const double reading = wall ? clock->now() : clock->uptime();
  if (deadline <= reading || std::isnan(deadline)) {
    postLocked(std::move(entry));
    return;
  }
  delayed_.push_back(std::move(entry));
  if (!hubStarted_) {
    hubStarted_ = true;
    std::thread([this] { hubLoop(); }).detach();
  }
  hubCv_.notify_one();  // only the timer thread waits there
}

void DispatchRuntime::postLocked(DelayedEntry entry) {
  assertLocked("postLocked");
  Block block = std::move(entry.block);
  if (entry.generation != 0) {
    // A timer fires only if it was neither cancelled nor re-armed since.
    std::weak_ptr<DispatchTimerState> weakTimer = entry.timer;
    uint64_t generation = entry.generation;
    block = [this, weakTimer, generation] {
      Block handler;
      {
        Lock lock(*this);
        std::shared_ptr<DispatchTimerState> timer = weakTimer.lock();
        if (!timer || timer->cancelled || timer->generation != generation) return;
        handler = timer->handler;
      }
      if (handler) handler();
    };
  }
  enqueue(*entry.queue, DispatchItem{std::move(block), nullptr});
}

void DispatchRuntime::removeTimerEntriesLocked(const DispatchTimerState* timer) {
  assertLocked("removeTimerEntriesLocked");
  auto it = std::remove_if(delayed_.begin(), delayed_.end(), [&](const DelayedEntry& entry) {
    std::shared_ptr<DispatchTimerState> owner = entry.timer.lock();
    return owner.get() == timer || (entry.generation != 0 && !owner);
  });
  delayed_.erase(it, delayed_.end());
  pokeIdle();  // by a clock that runs by itself, what was due no longer is
}

size_t DispatchRuntime::discardDelayed() {
  std::vector<DelayedEntry> dropped;
  {
    Lock lock(*this);
    dropped.swap(delayed_);
  }
  pokeIdle();
  return dropped.size();  // blocks are destroyed here, outside the lock
}

void DispatchRuntime::clockInstalled() {
  {
    Lock lock(*this);
    hubCv_.notify_one();
    // Waits by real time must re-read the new clock.
    for (DispatchWaiter* waiter : timedWaiters_) futexWake(waiter->state, 1);
  }
  pokeIdle();
}

void DispatchRuntime::hubLoop() {
  Lock lock(*this);
  while (true) {
    std::shared_ptr<Clock> clock = Clock::current();
    if (isManual(*clock)) {
      // Under a manual clock only advance() fires what is due.
      lock.wait(hubCv_);
      continue;
    }
    // Post what is due, earliest first, equal deadlines in submission order.
    double nextWait = std::numeric_limits<double>::infinity();
    while (true) {
      const double now = clock->now();
      const double uptime = clock->uptime();
      auto best = delayed_.end();
      double bestDelta = 0;
      for (auto it = delayed_.begin(); it != delayed_.end(); ++it) {
        const double delta = it->deadline - (it->wall ? now : uptime);
        if (best == delayed_.end() || delta < bestDelta ||
            (delta == bestDelta && it->seq < best->seq)) {
          best = it;
          bestDelta = delta;
        }
      }
      if (best == delayed_.end()) break;
      if (bestDelta > 0) {
        nextWait = bestDelta;
        break;
      }
      DelayedEntry entry = std::move(*best);
      delayed_.erase(best);
      postLocked(std::move(entry));
    }
    if (nextWait == std::numeric_limits<double>::infinity()) {
      lock.wait(hubCv_);
    } else {
      lock.waitFor(hubCv_, realWait(nextWait));
    }
  }
}

// ---- Main queue ---------------------------------------------------------------------------

DispatchQueue& DispatchRuntime::mainQueue() {
  std::call_once(mainOnce_, [this] {
    main_.reset(new DispatchQueue("com.apple.main-thread", DispatchQueue::Kind::kMain));
    main_->state_->handle = main_;
  });
  return *main_;
}

DispatchQueue& DispatchRuntime::globalQueue() {
  std::call_once(globalOnce_, [this] {
    global_.reset(
        new DispatchQueue("com.apple.root.default-qos", DispatchQueue::Kind::kConcurrent));
    global_->state_->handle = global_;
  });
  return *global_;
}

size_t DispatchRuntime::drainMain() {
  DispatchQueue& queue = mainQueue();
  auto& context = dispatchThreadContext();
  if (context.hasEntered(&queue)) {
    return 0;  // called from a main-queue block: the queue is busy with the caller
  }
  DispatchMutex::Guard guard(queue.state_->mutex);
  if (queue.state_->mainLoopRunning) return 0;
  return drainMainLocked(guard);
}

void DispatchRuntime::runNextMainItemLocked(DispatchMutex::Guard& guard, DispatchQueue& queue,
                                            DispatchQueueState& state) {
  state.mutex.assertHeld("runNextMainItemLocked", "the queue");
  // The queue is free and has an item: a waiting sync gets its turn (and runs its block on
  // its own thread), a block runs here.
  DispatchItem item = std::move(state.items.front());
  state.items.pop_front();
  state.occupied = true;
  if (item.syncTurn) {
    --state.syncTurns;
    wake(*item.syncTurn, true);
    updateBusyLocked(state);
    return;
  }
  beginRun();
  updateBusyLocked(state);
  guard.unlock();
  {
    QueueScope scope(&queue, true);
    invoke(item.block);
    item.block = nullptr;  // captured objects are released before the queue counts as idle
  }
  guard.lock();
  state.occupied = false;
  updateBusyLocked(state);
  endRun();
  // A main-thread sync or a drain elsewhere may wait for the queue to be free.
  if (queueNeedsWakeLocked(state)) wakeQueue(state, claimWakeLocked(state, true));
}

size_t DispatchRuntime::drainMainLocked(DispatchMutex::Guard& guard) {
  DispatchQueueState& state = *main_->state_;
  state.mutex.assertHeld("drainMainLocked", "the queue");
  auto& context = dispatchThreadContext();
  ++context.mainDepth;
  size_t ran = 0;
  while (!state.items.empty()) {
    if (state.occupied) {
      // A sync from another thread holds the main queue; its end wakes us.
      waitOnQueueLocked(guard, state, [&] { return !state.occupied; });
      continue;
    }
    runNextMainItemLocked(guard, *main_, state);
    ++ran;
  }
  --context.mainDepth;
  return ran;
}

void DispatchRuntime::runMainLoop() {
  DispatchQueue& queue = mainQueue();
  DispatchQueueState& state = *queue.state_;
  DispatchMutex::Guard guard(state.mutex);
  if (state.mainLoopRunning) return;
  state.mainLoopRunning = true;
  auto& context = dispatchThreadContext();
  ++context.mainDepth;
  while (!state.stopRequested) {
    waitOnQueueLocked(guard, state, [&] {
      return state.stopRequested || (!state.items.empty() && !state.occupied);
    });
    if (state.stopRequested) break;
    runNextMainItemLocked(guard, queue, state);
  }
  --context.mainDepth;
  state.stopRequested = false;
  state.mainLoopRunning = false;
  guard.unlock();
  pokeIdle();  // tests waiting for idle drain the main queue themselves again
}

void DispatchRuntime::stopMainLoop() {
  DispatchQueueState& state = *mainQueue().state_;
  DispatchMutex::Guard guard(state.mutex);
  if (!state.mainLoopRunning) return;
  state.stopRequested = true;
  wakeQueue(state, claimWakeLocked(state, true));
}

// ---- Idle and manual time -----------------------------------------------------------------

bool DispatchRuntime::isIdle(const Clock& clock) {
  if (busy_.load() > 0) return false;
  if (isManual(clock)) return true;
  // What the timer thread is about to post, or a timeout about to expire, is not idle.
  Lock lock(*this);
  const double now = clock.now();
  const double uptime = clock.uptime();
  for (const DelayedEntry& entry : delayed_) {
    if (entry.deadline <= (entry.wall ? now : uptime)) return false;
  }
  for (const DispatchWaiter* waiter : timedWaiters_) {
    if (!waiter->woken() && *waiter->deadlineUptime <= uptime) return false;
  }
  return true;
}

void DispatchRuntime::requireOffQueue(const char* what) const {
  if (dispatchThreadContext().inAnyQueue()) {
    PlatformLog::write(std::string(what) + " must be called from outside any dispatch queue");
    std::abort();
  }
}

void DispatchRuntime::waitUntilIdle() {
  requireOffQueue("waitUntilIdle");
  waitIdle();
}

void DispatchRuntime::waitIdle() {
  DispatchQueueState& main = *mainQueue().state_;
  // Counted before the busy count is read (see pokeIdle).
  idleWaiters_.fetch_add(1);
  while (true) {
    uint64_t epoch = 0;
    {
      DispatchMutex::Guard guard(idleMutex_);
      epoch = idleEpoch_;
    }
    // What was posted to the main queue before the epoch was read runs here; what is posted
    // later moves the epoch.
    {
      DispatchMutex::Guard guard(main.mutex);
      if (!main.mainLoopRunning) drainMainLocked(guard);
    }
    std::shared_ptr<Clock> clock = Clock::current();
    if (isIdle(*clock)) break;
    DispatchMutex::Guard guard(idleMutex_);
    if (isManual(*clock)) {
      guard.wait(idleCv_, [&] { return idleEpoch_ != epoch; });
    } else if (idleEpoch_ == epoch) {
      guard.waitFor(idleCv_, realWait(kIdlePoll));  // due timers are posted by the timer thread
    }
  }
  idleWaiters_.fetch_sub(1);
}

void DispatchRuntime::advanceManual(ManualClock& clock, double seconds) {
  requireOffQueue("ManualClock::advance");
  waitIdle();
  // The window is measured in uptime, which only advance() moves (a block may set the wall
  // clock meanwhile).
  const double targetUptime = clock.uptime() + seconds;
  while (true) {
    {
      Lock lock(*this);
      // The next event: a delayed block or timer, or a semaphore timeout.
      const double now = clock.now();
      const double uptime = clock.uptime();
      const double limit = targetUptime - uptime;  // what is left of the window
      enum { kNone, kEntry, kWaiter } kind = kNone;
      size_t index = 0;
      double bestDelta = 0;
      uint64_t bestSeq = 0;
      auto consider = [&](double delta, uint64_t seq, decltype(kind) what, size_t at) {
        if (delta > limit + kDueTolerance) return;
        if (kind == kNone || delta < bestDelta || (delta == bestDelta && seq < bestSeq)) {
          kind = what;
          index = at;
          bestDelta = delta;
          bestSeq = seq;
        }
      };
      for (size_t i = 0; i < delayed_.size(); ++i) {
        consider(delayed_[i].deadline - (delayed_[i].wall ? now : uptime), delayed_[i].seq, kEntry,
                 i);
      }
      for (size_t i = 0; i < timedWaiters_.size(); ++i) {
        if (timedWaiters_[i]->woken()) continue;
        consider(*timedWaiters_[i]->deadlineUptime - uptime, timedWaiters_[i]->seq, kWaiter, i);
      }
      if (kind == kNone) break;
      if (bestDelta > 0) clock.shift(bestDelta);
      if (kind == kEntry) {
        DelayedEntry entry = std::move(delayed_[index]);
        delayed_.erase(delayed_.begin() + static_cast<std::ptrdiff_t>(index));
        postLocked(std::move(entry));
      } else {
        // The waiter stays listed, so alive, while the runtime's lock is held.
        wake(*timedWaiters_[index], false, /*timedOut=*/true);
      }
    }
    waitIdle();
  }
  const double rest = targetUptime - clock.uptime();
  if (rest > 0) clock.shift(rest);
  waitIdle();
}

}  // namespace platform
