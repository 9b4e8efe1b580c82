#include "platform/dispatch/OperationQueue.h"

#include <deque>
#include <vector>

#include "platform/dispatch/DispatchRuntime.h"

namespace platform {

// An operation waiting its turn: a plain block, or a timed one with the time it joined at.
struct PendingOperation {
  Block block;
  OperationQueue::TimedOperation timed;
  double now = 0;

  void run() {
    if (timed) {
      timed(now);
    } else {
      block();
    }
  }
};

// Guarded by its mutex, which comes before a queue's in the dispatch layer's lock order.
struct OperationQueueState {
  DispatchMutex mutex;
  std::shared_ptr<DispatchQueue> queue;     // set once, at construction
  std::deque<PendingOperation> operations;  // not yet started
  bool suspended = false;
  bool running = false;
  bool pumpPosted = false;
  bool closed = false;
  // Threads in waitUntilAllOperationsAreFinished, counted as blocked for the idle bookkeeping.
  std::vector<DispatchWaiter*> finishWaiters;
};

namespace {

bool pumpLocked(OperationQueueState& state);
void pumpThenUnlock(const std::shared_ptr<OperationQueueState>& state, DispatchMutex::Guard& guard);

// Runs the operations, one after the other, on the serial dispatch queue for as long as the
// queue may start one: an operation added while another runs needs no block posted for it.
void runNext(const std::shared_ptr<OperationQueueState>& state) {
  DispatchMutex::Guard guard(state->mutex);
  state->pumpPosted = false;
  while (!state->closed && !state->suspended && !state->operations.empty()) {
    PendingOperation operation = std::move(state->operations.front());
    state->operations.pop_front();
    state->running = true;
    guard.unlock();
    operation.run();
    operation = {};  // what it captured is released outside the lock
    guard.lock();
    state->running = false;
  }
  pumpThenUnlock(state, guard);  // posts nothing now; wakes those waiting for the last one
}

// Decides, under the lock, whether a block must be posted to run the operations (the caller
// posts it with post() once the lock is let go, so that the queue's thread, woken by it, does
// not wait for this lock), and wakes those waiting for the last operation to finish.
bool pumpLocked(OperationQueueState& state) {
  state.mutex.assertHeld("pumpLocked", "the operation queue");
  if (state.operations.empty() && !state.running) {
    for (DispatchWaiter* waiter : state.finishWaiters) {
      DispatchRuntime::instance().wake(*waiter, false);
    }
    state.finishWaiters.clear();
  }
  if (state.suspended || state.running || state.pumpPosted || state.operations.empty() ||
      state.closed) {
    return false;
  }
  // Until that block runs, operations added meanwhile only join the list.
  state.pumpPosted = true;
  return true;
}

void post(const std::shared_ptr<OperationQueueState>& state) {
  DispatchRuntime::instance().enqueue(*state->queue,
                                      DispatchItem{[state] { runNext(state); }, nullptr});
}

// pumpLocked, then the post it asks for once the lock is let go.
void pumpThenUnlock(const std::shared_ptr<OperationQueueState>& state,
                    DispatchMutex::Guard& guard) {
  const bool start = pumpLocked(*state);
  guard.unlock();
  if (start) post(state);
}

// Adds a plain or a timed operation; a timed one takes its time in the same critical section,
// so that the order of the operations is the order of their times.
void add(const std::shared_ptr<OperationQueueState>& state, Block block,
         OperationQueue::TimedOperation timed) {
  DispatchMutex::Guard guard(state->mutex);
  const double now = timed ? Clock::currentNow() : 0;
  state->operations.push_back(PendingOperation{std::move(block), std::move(timed), now});
  pumpThenUnlock(state, guard);
}

}  // namespace

OperationQueue::OperationQueue(std::string name, bool suspended)
    : name_(std::move(name)), state_(std::make_shared<OperationQueueState>()) {
  state_->queue = DispatchQueue::createSerial(name_);
  state_->suspended = suspended;
}

OperationQueue::~OperationQueue() {
  std::deque<PendingOperation> dropped;
  {
    DispatchMutex::Guard guard(state_->mutex);
    state_->closed = true;
    dropped.swap(state_->operations);
    pumpLocked(*state_);  // posts nothing once closed
  }
}

void OperationQueue::addOperation(Block operation) {
  if (operation) add(state_, std::move(operation), nullptr);
}

void OperationQueue::addTimedOperation(TimedOperation operation) {
  if (operation) add(state_, nullptr, std::move(operation));
}

void OperationQueue::setSuspended(bool suspended) {
  DispatchMutex::Guard guard(state_->mutex);
  state_->suspended = suspended;
  pumpThenUnlock(state_, guard);
}

bool OperationQueue::isSuspended() const {
  DispatchMutex::Guard guard(state_->mutex);
  return state_->suspended;
}

size_t OperationQueue::operationCount() const {
  DispatchMutex::Guard guard(state_->mutex);
  return state_->operations.size() + (state_->running ? 1 : 0);
}

void OperationQueue::waitUntilAllOperationsAreFinished() {
  DispatchRuntime& runtime = DispatchRuntime::instance();
  DispatchMutex::Guard guard(state_->mutex);
  while (!state_->operations.empty() || state_->running) {
    DispatchWaiter waiter;
    state_->finishWaiters.push_back(&waiter);
    guard.unlock();
    runtime.sleepUntilWoken(waiter);
    guard.lock();
  }
}

}  // namespace platform
