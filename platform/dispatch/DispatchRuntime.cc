#include "platform/dispatch/DispatchRuntime.h"

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

// Runs a block; an exception leaving it ends the process, as on a dispatch queue.
void invoke(const Block& block) noexcept { block(); }

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

namespace {

// Whether the calling thread holds the runtime's mutex (through a DispatchRuntime::Lock).
// A thread blocked in a condition-variable wait still counts: it runs nothing meanwhile.
thread_local bool holdsRuntimeLock = false;

}  // namespace

DispatchRuntime::Lock::Lock(DispatchRuntime& runtime) : lock_(runtime.mutex_) {
  holdsRuntimeLock = true;
}

DispatchRuntime::Lock::~Lock() {
  if (lock_.owns_lock()) holdsRuntimeLock = false;
}

void DispatchRuntime::Lock::lock() {
  lock_.lock();
  holdsRuntimeLock = true;
}

void DispatchRuntime::Lock::unlock() {
  holdsRuntimeLock = false;
  lock_.unlock();
}

bool DispatchRuntime::isLockedByCaller() { return holdsRuntimeLock; }

void DispatchRuntime::assertLocked(const char* where) {
#ifndef NDEBUG
  if (holdsRuntimeLock) return;
  PlatformLog::write(std::string(where) + " must be called with the dispatch runtime locked");
  std::abort();
#else
  (void)where;
#endif
}

DispatchThreadContext& dispatchThreadContext() {
  thread_local DispatchThreadContext context;
  return context;
}

DispatchRuntime& DispatchRuntime::instance() {
  // Never destroyed: detached queue threads may use it until the process exits.
  static DispatchRuntime* runtime = new DispatchRuntime();
  return *runtime;
}

// ---- Queues -------------------------------------------------------------------------------

void DispatchRuntime::registerQueue(DispatchQueueState* state) {
  Lock lock(*this);
  queues_.insert(state);
}

void DispatchRuntime::unregisterQueue(DispatchQueueState* state) {
  Lock lock(*this);
  queues_.erase(state);
  state->closing = true;
  wakeQueueLocked(*state);
  notifyIdleLocked();
}

void DispatchRuntime::startSerialWorker(std::shared_ptr<DispatchQueueState> state) {
  std::thread([this, state] { serialWorker(state); }).detach();
}

void DispatchRuntime::enqueueLocked(DispatchQueue& queue, DispatchItem item) {
  assertLocked("enqueueLocked");
  DispatchQueueState& state = *queue.state_;
  state.items.push_back(std::move(item));
  if (!state.retained) state.retained = queue.shared_from_this();
  switch (state.kind) {
    case DispatchQueue::Kind::kSerial:
      wakeQueueLocked(state);
      break;
    case DispatchQueue::Kind::kMain:
      wakeQueueLocked(state);
      notifyIdleLocked();  // a test waiting for idle drains the main queue itself
      break;
    case DispatchQueue::Kind::kConcurrent:
      if (state.items.size() > state.idleThreads && state.threads < kMaxPoolThreads) {
        ++state.threads;
        std::shared_ptr<DispatchQueueState> shared(queue.state_);
        std::thread([this, shared] { poolWorker(shared); }).detach();
      }
      if (state.idleThreads > 0) state.cv.notify_one();
      break;
  }
}

bool DispatchRuntime::queueNeedsWakeLocked(const DispatchQueueState& state) const {
  assertLocked("queueNeedsWakeLocked");
  if (state.sleepers == 0) return false;
  if (state.kind == DispatchQueue::Kind::kSerial) {
    // Its worker, the only thread that waits there, has nothing to do while the queue is
    // held or holds nothing: waking it would only cost a context switch.
    if (state.occupied) return false;
    return !state.items.empty() || state.retained || state.closing;
  }
  return true;
}

void DispatchRuntime::wakeQueueLocked(DispatchQueueState& state) {
  if (queueNeedsWakeLocked(state)) state.cv.notify_all();
}

void DispatchRuntime::unlockAndWake(Lock& lock, const std::shared_ptr<DispatchQueueState>& state) {
  std::shared_ptr<DispatchQueueState> held;
  if (queueNeedsWakeLocked(*state)) held = state;
  lock.unlock();
  // A thread counted as a sleeper under the mutex is inside its wait (or about to re-check
  // under the mutex): this notification cannot be lost.
  if (held) held->cv.notify_all();
}

void DispatchRuntime::async(DispatchQueue& queue, Block block) {
  DispatchQueueState& state = *queue.state_;
  Lock lock(*this);
  if (state.kind != DispatchQueue::Kind::kSerial) {
    enqueueLocked(queue, DispatchItem{std::move(block), nullptr});
    return;
  }
  state.items.push_back(DispatchItem{std::move(block), nullptr});
  if (!state.retained) state.retained = queue.shared_from_this();
  unlockAndWake(lock, queue.state_);
}

void DispatchRuntime::runItemLocked(Lock& lock, DispatchQueue& queue, DispatchQueueState& state,
                                    DispatchItem item) {
  assertLocked("runItemLocked");
  // The queue is already marked occupied (main) by the caller.
  beginLocked();
  lock.unlock();
  {
    QueueScope scope(&queue, state.kind == DispatchQueue::Kind::kMain);
    invoke(item.block);
    item.block = nullptr;  // captured objects are released before the queue counts as idle
  }
  lock.lock();
  if (state.kind != DispatchQueue::Kind::kConcurrent) state.occupied = false;
  endLocked();
  wakeQueueLocked(state);
}

void DispatchRuntime::runSerialItemsLocked(Lock& lock, DispatchQueueState& state,
                                           DispatchItem item) {
  assertLocked("runSerialItemsLocked");
  // The queue is already marked occupied by the caller. It stays so, and this thread counts
  // as running, from one block to the next: nobody else could take the queue in between.
  std::shared_ptr<DispatchQueue> handle = state.retained;  // alive while the blocks run
  beginLocked();
  while (true) {
    lock.unlock();
    {
      QueueScope scope(handle.get(), false);
      invoke(item.block);
      item.block = nullptr;  // captured objects are released before the queue counts as idle
    }
    lock.lock();
    if (state.items.empty() || state.items.front().syncTurn) break;
    item = std::move(state.items.front());
    state.items.pop_front();
  }
  // With nothing pending the queue lets go of its handle, before it counts as idle, so that
  // a test that waited for idle sees the handle released. Outside the lock: this may destroy
  // the handle.
  std::shared_ptr<DispatchQueue> retained;
  if (state.items.empty()) retained = std::move(state.retained);
  lock.unlock();
  handle.reset();
  retained.reset();
  lock.lock();
  state.occupied = false;
  endLocked();
}

void DispatchRuntime::serialWorker(std::shared_ptr<DispatchQueueState> state) {
  Lock lock(*this);
  while (true) {
    waitOnQueueLocked(lock, *state, [&] {
      if (state->occupied) return false;
      return !state->items.empty() || state->retained || state->closing;
    });
    if (state->items.empty()) {
      if (state->retained) {
        // Nothing pending: let go of the handle, outside the lock since this may destroy it.
        // The thread counts as running meanwhile, so that a test that waited for idle sees
        // the handle released.
        std::shared_ptr<DispatchQueue> handle = std::move(state->retained);
        beginLocked();
        lock.unlock();
        handle.reset();
        lock.lock();
        endLocked();
        continue;
      }
      if (state->closing) return;
      continue;
    }
    DispatchItem item = std::move(state->items.front());
    state->items.pop_front();
    state->occupied = true;
    if (item.syncTurn) {
      // The sync caller runs the block on its own thread and frees the queue afterwards.
      wakeLocked(*item.syncTurn, true);
      continue;
    }
    runSerialItemsLocked(lock, *state, std::move(item));
  }
}

void DispatchRuntime::poolWorker(std::shared_ptr<DispatchQueueState> state) {
  Lock lock(*this);
  while (true) {
    ++state->idleThreads;
    state->cv.wait(lock.native(), [&] { return !state->items.empty(); });
    --state->idleThreads;
    DispatchItem item = std::move(state->items.front());
    state->items.pop_front();
    std::shared_ptr<DispatchQueue> handle = state->handle.lock();
    if (!handle) return;  // cannot happen: the global queue lives for the whole process
    runItemLocked(lock, *handle, *state, std::move(item));
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

  Lock lock(*this);
  if (state.kind == DispatchQueue::Kind::kConcurrent) {
    beginLocked();
  } else if (main && DispatchQueue::isMainThread()) {
    // The main thread is the one that runs the main queue: it takes the queue as soon as
    // no other thread's sync holds it, ahead of the blocks waiting there.
    waitOnQueueLocked(lock, state, [&] { return !state.occupied; });
    state.occupied = true;
    beginLocked();
  } else if (!state.occupied && state.items.empty()) {
    state.occupied = true;
    beginLocked();
  } else {
    DispatchWaiter turn;
    state.items.push_back(DispatchItem{nullptr, &turn});
    wakeQueueLocked(state);
    if (main) notifyIdleLocked();
    blockLocked(lock, turn);
    // Whoever granted the turn already counted this thread as running.
    ++context.depth;
  }
  lock.unlock();
  {
    QueueScope scope(&queue, main);
    invoke(block);
  }
  lock.lock();
  if (state.kind != DispatchQueue::Kind::kConcurrent) state.occupied = false;
  endLocked();
  unlockAndWake(lock, queue.state_);
}

// ---- Execution bookkeeping ----------------------------------------------------------------

void DispatchRuntime::beginLocked() {
  assertLocked("beginLocked");
  auto& context = dispatchThreadContext();
  if (context.depth++ == 0) ++active_;
}

void DispatchRuntime::endLocked() {
  assertLocked("endLocked");
  auto& context = dispatchThreadContext();
  if (--context.depth == 0) {
    --active_;
    notifyIdleLocked();
  }
}

void DispatchRuntime::blockLocked(Lock& lock, DispatchWaiter& waiter) {
  assertLocked("blockLocked");
  waiter.countsActive = dispatchThreadContext().depth > 0;
  if (waiter.countsActive) {
    --active_;
    notifyIdleLocked();
  }
  while (!waiter.woken) {
    std::shared_ptr<Clock> clock = Clock::current();
    if (!waiter.deadlineUptime || isManual(*clock)) {
      waiter.cv.wait(lock.native());
      continue;
    }
    const double remaining = *waiter.deadlineUptime - clock->uptime();
    if (remaining <= 0) {
      waiter.timedOut = true;
      wakeLocked(waiter, false);
      break;
    }
    waiter.cv.wait_for(lock.native(), realWait(remaining));
  }
}

void DispatchRuntime::wakeLocked(DispatchWaiter& waiter, bool startsRun) {
  assertLocked("wakeLocked");
  if (waiter.woken) return;
  waiter.woken = true;
  if (!waiter.timedOut) waiter.granted = true;
  if (waiter.countsActive || startsRun) ++active_;
  waiter.cv.notify_all();
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
  hubCv_.notify_all();
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
  enqueueLocked(*entry.queue, DispatchItem{std::move(block), nullptr});
}

void DispatchRuntime::removeTimerEntriesLocked(const DispatchTimerState* timer) {
  assertLocked("removeTimerEntriesLocked");
  auto it = std::remove_if(delayed_.begin(), delayed_.end(), [&](const DelayedEntry& entry) {
    std::shared_ptr<DispatchTimerState> owner = entry.timer.lock();
    return owner.get() == timer || (entry.generation != 0 && !owner);
  });
  delayed_.erase(it, delayed_.end());
  notifyIdleLocked();
}

size_t DispatchRuntime::discardDelayed() {
  std::vector<DelayedEntry> dropped;
  {
    Lock lock(*this);
    dropped.swap(delayed_);
    notifyIdleLocked();
  }
  return dropped.size();  // blocks are destroyed here, outside the lock
}

void DispatchRuntime::clockInstalled() {
  Lock lock(*this);
  hubCv_.notify_all();
  for (DispatchWaiter* waiter : timedWaiters_) waiter->cv.notify_all();
  notifyIdleLocked();
}

void DispatchRuntime::hubLoop() {
  Lock lock(*this);
  while (true) {
    std::shared_ptr<Clock> clock = Clock::current();
    if (isManual(*clock)) {
      // Under a manual clock only advance() fires what is due.
      hubCv_.wait(lock.native());
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
      hubCv_.wait(lock.native());
    } else {
      hubCv_.wait_for(lock.native(), realWait(nextWait));
    }
  }
}

// ---- Main queue ---------------------------------------------------------------------------

DispatchQueue& DispatchRuntime::mainQueue() {
  Lock lock(*this);
  if (!main_) {
    main_.reset(new DispatchQueue("com.apple.main-thread", DispatchQueue::Kind::kMain));
    main_->state_->handle = main_;
    queues_.insert(main_->state_.get());
  }
  return *main_;
}

DispatchQueue& DispatchRuntime::globalQueue() {
  Lock lock(*this);
  if (!global_) {
    global_.reset(
        new DispatchQueue("com.apple.root.default-qos", DispatchQueue::Kind::kConcurrent));
    global_->state_->handle = global_;
    queues_.insert(global_->state_.get());
  }
  return *global_;
}

size_t DispatchRuntime::drainMain() {
  DispatchQueue& queue = mainQueue();
  auto& context = dispatchThreadContext();
  if (context.hasEntered(&queue)) {
    return 0;  // called from a main-queue block: the queue is busy with the caller
  }
  Lock lock(*this);
  if (mainLoopRunning_) return 0;
  return drainMainLocked(lock);
}

void DispatchRuntime::runNextMainItemLocked(Lock& lock, DispatchQueue& queue,
                                            DispatchQueueState& state) {
  assertLocked("runNextMainItemLocked");
  // The queue is free and has an item: a waiting sync gets its turn (and runs its block on
  // its own thread), a block runs here.
  DispatchItem item = std::move(state.items.front());
  state.items.pop_front();
  state.occupied = true;
  if (item.syncTurn) {
    wakeLocked(*item.syncTurn, true);
  } else {
    runItemLocked(lock, queue, state, std::move(item));
  }
}

size_t DispatchRuntime::drainMainLocked(Lock& lock) {
  assertLocked("drainMainLocked");
  DispatchQueueState& state = *main_->state_;
  auto& context = dispatchThreadContext();
  ++context.mainDepth;
  size_t ran = 0;
  while (!state.items.empty()) {
    if (state.occupied) {
      // A sync from another thread holds the main queue; its end wakes us.
      waitOnQueueLocked(lock, state, [&] { return !state.occupied; });
      continue;
    }
    runNextMainItemLocked(lock, *main_, state);
    ++ran;
  }
  --context.mainDepth;
  return ran;
}

void DispatchRuntime::runMainLoop() {
  DispatchQueue& queue = mainQueue();
  Lock lock(*this);
  if (mainLoopRunning_) return;
  mainLoopRunning_ = true;
  DispatchQueueState& state = *queue.state_;
  auto& context = dispatchThreadContext();
  ++context.mainDepth;
  while (!stopRequested_) {
    waitOnQueueLocked(lock, state,
                      [&] { return stopRequested_ || (!state.items.empty() && !state.occupied); });
    if (stopRequested_) break;
    runNextMainItemLocked(lock, queue, state);
  }
  --context.mainDepth;
  stopRequested_ = false;
  mainLoopRunning_ = false;
  notifyIdleLocked();  // tests waiting for idle drain the main queue themselves again
}

void DispatchRuntime::stopMainLoop() {
  DispatchQueue& queue = mainQueue();
  Lock lock(*this);
  if (!mainLoopRunning_) return;
  stopRequested_ = true;
  queue.state_->cv.notify_all();
}

// ---- Idle and manual time -----------------------------------------------------------------

bool DispatchRuntime::isIdleLocked(const Clock& clock) const {
  assertLocked("isIdleLocked");
  if (active_ > 0) return false;
  for (const DispatchQueueState* state : queues_) {
    // A free serial queue still holding its handle is about to let go of it.
    if (state->kind == DispatchQueue::Kind::kSerial && !state->occupied && state->retained) {
      return false;
    }
    if (state->items.empty()) continue;
    if (state->kind == DispatchQueue::Kind::kConcurrent || !state->occupied) return false;
  }
  const bool manual = isManual(clock);
  if (!manual) {
    // What the timer thread is about to post, or a timeout about to expire, is not idle.
    const double now = clock.now();
    const double uptime = clock.uptime();
    for (const DelayedEntry& entry : delayed_) {
      if (entry.deadline <= (entry.wall ? now : uptime)) return false;
    }
    for (const DispatchWaiter* waiter : timedWaiters_) {
      if (!waiter->woken && *waiter->deadlineUptime <= uptime) return false;
    }
  }
  return true;
}

void DispatchRuntime::requireOffQueue(const char* what) const {
  if (dispatchThreadContext().inAnyQueue()) {
    PlatformLog::write(std::string(what) + " must be called from outside any dispatch queue");
    std::abort();
  }
}

void DispatchRuntime::waitIdleLocked(Lock& lock) {
  assertLocked("waitIdleLocked");
  if (!main_) {
    lock.unlock();
    mainQueue();
    lock.lock();
  }
  while (true) {
    if (!mainLoopRunning_) drainMainLocked(lock);
    std::shared_ptr<Clock> clock = Clock::current();
    if (isIdleLocked(*clock)) return;
    ++idleWaiters_;
    if (isManual(*clock)) {
      idleCv_.wait(lock.native());
    } else {
      idleCv_.wait_for(lock.native(), realWait(0.05));  // due timers are posted by the timer thread
    }
    --idleWaiters_;
  }
}

void DispatchRuntime::waitUntilIdle() {
  requireOffQueue("waitUntilIdle");
  Lock lock(*this);
  waitIdleLocked(lock);
}

void DispatchRuntime::advanceManual(ManualClock& clock, double seconds) {
  requireOffQueue("ManualClock::advance");
  Lock lock(*this);
  waitIdleLocked(lock);
  // The window is measured in uptime, which only advance() moves (a block may set the wall
  // clock meanwhile).
  const double targetUptime = clock.uptime() + seconds;
  while (true) {
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
      if (timedWaiters_[i]->woken) continue;
      consider(*timedWaiters_[i]->deadlineUptime - uptime, timedWaiters_[i]->seq, kWaiter, i);
    }
    if (kind == kNone) break;
    if (bestDelta > 0) clock.shift(bestDelta);
    if (kind == kEntry) {
      DelayedEntry entry = std::move(delayed_[index]);
      delayed_.erase(delayed_.begin() + static_cast<std::ptrdiff_t>(index));
      postLocked(std::move(entry));
    } else {
      DispatchWaiter& waiter = *timedWaiters_[index];
      waiter.timedOut = true;
      wakeLocked(waiter, false);
    }
    waitIdleLocked(lock);
  }
  const double rest = targetUptime - clock.uptime();
  if (rest > 0) clock.shift(rest);
  waitIdleLocked(lock);
}

}  // namespace platform
