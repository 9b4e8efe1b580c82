#include "platform/dispatch/OperationQueue.h"

#include <deque>
#include <vector>

#include "platform/dispatch/DispatchRuntime.h"

namespace platform {

// Guarded by its mutex, which comes before a queue's in the dispatch layer's lock order (the
// next operation is posted to the serial queue while holding it).
struct OperationQueueState {
  DispatchMutex mutex;
  std::shared_ptr<DispatchQueue> queue;
  std::deque<Block> operations;  // not yet started
  bool suspended = false;
  bool running = false;
  bool pumpPosted = false;
  bool closed = false;
  // Threads in waitUntilAllOperationsAreFinished, counted as blocked for the idle bookkeeping.
  std::vector<DispatchWaiter*> finishWaiters;
};

namespace {

void pumpLocked(const std::shared_ptr<OperationQueueState>& state);

// Runs the operations, one after the other, on the serial dispatch queue for as long as the
// queue may start one: an operation added while another runs needs no block posted for it.
void runNext(std::shared_ptr<OperationQueueState> state) {
  DispatchMutex::Guard guard(state->mutex);
  state->pumpPosted = false;
  while (!state->closed && !state->suspended && !state->operations.empty()) {
    Block operation = std::move(state->operations.front());
    state->operations.pop_front();
    state->running = true;
    guard.unlock();
    operation();
    operation = nullptr;  // what it captured is released outside the lock
    guard.lock();
    state->running = false;
  }
  pumpLocked(state);  // posts nothing now; wakes those waiting for the last operation
}

void pumpLocked(const std::shared_ptr<OperationQueueState>& state) {
  state->mutex.assertHeld("pumpLocked", "the operation queue");
  DispatchRuntime& runtime = DispatchRuntime::instance();
  if (!state->suspended && !state->running && !state->pumpPosted && !state->operations.empty() &&
      !state->closed) {
    state->pumpPosted = true;
    runtime.enqueue(*state->queue, DispatchItem{[state] { runNext(state); }, nullptr});
  }
  if (state->operations.empty() && !state->running) {
    for (DispatchWaiter* waiter : state->finishWaiters) runtime.wake(*waiter, false);
    state->finishWaiters.clear();
  }
}

}  // namespace

OperationQueue::OperationQueue(std::string name, bool suspended)
    : name_(std::move(name)), state_(std::make_shared<OperationQueueState>()) {
  state_->queue = DispatchQueue::createSerial(name_);
  state_->suspended = suspended;
}

OperationQueue::~OperationQueue() {
  std::deque<Block> dropped;
  {
    DispatchMutex::Guard guard(state_->mutex);
    state_->closed = true;
    dropped.swap(state_->operations);
    pumpLocked(state_);
  }
}

void OperationQueue::addOperation(Block operation) {
  if (!operation) return;
  DispatchMutex::Guard guard(state_->mutex);
  state_->operations.push_back(std::move(operation));
  pumpLocked(state_);
}

void OperationQueue::setSuspended(bool suspended) {
  DispatchMutex::Guard guard(state_->mutex);
  state_->suspended = suspended;
  pumpLocked(state_);
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
