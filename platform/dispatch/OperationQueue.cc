#include "platform/dispatch/OperationQueue.h"

#include <deque>
#include <vector>

#include "platform/dispatch/DispatchRuntime.h"

namespace platform {

// Guarded by the dispatch runtime's mutex, so that a thread waiting for the operations to
// finish counts as blocked for the idle bookkeeping.
struct OperationQueueState {
  std::shared_ptr<DispatchQueue> queue;
  std::deque<Block> operations;  // not yet started
  bool suspended = false;
  bool running = false;
  bool pumpPosted = false;
  bool closed = false;
  std::vector<DispatchWaiter*> finishWaiters;
};

namespace {

void pumpLocked(DispatchRuntime& runtime, const std::shared_ptr<OperationQueueState>& state);

// Runs the next operation, if the queue may start one, on the serial dispatch queue.
void runNext(std::shared_ptr<OperationQueueState> state) {
  DispatchRuntime& runtime = DispatchRuntime::instance();
  Block operation;
  {
    DispatchRuntime::Lock lock(runtime);
    state->pumpPosted = false;
    if (state->closed || state->suspended || state->operations.empty()) return;
    operation = std::move(state->operations.front());
    state->operations.pop_front();
    state->running = true;
  }
  operation();
  operation = nullptr;
  DispatchRuntime::Lock lock(runtime);
  state->running = false;
  pumpLocked(runtime, state);
}

void pumpLocked(DispatchRuntime& runtime, const std::shared_ptr<OperationQueueState>& state) {
  DispatchRuntime::assertLocked("pumpLocked");
  if (!state->suspended && !state->running && !state->pumpPosted && !state->operations.empty() &&
      !state->closed) {
    state->pumpPosted = true;
    runtime.enqueueLocked(*state->queue, DispatchItem{[state] { runNext(state); }, nullptr});
  }
  if (state->operations.empty() && !state->running) {
    for (DispatchWaiter* waiter : state->finishWaiters) runtime.wakeLocked(*waiter, false);
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
  DispatchRuntime& runtime = DispatchRuntime::instance();
  std::deque<Block> dropped;
  {
    DispatchRuntime::Lock lock(runtime);
    state_->closed = true;
    dropped.swap(state_->operations);
    pumpLocked(runtime, state_);
  }
}

void OperationQueue::addOperation(Block operation) {
  if (!operation) return;
  DispatchRuntime& runtime = DispatchRuntime::instance();
  DispatchRuntime::Lock lock(runtime);
  state_->operations.push_back(std::move(operation));
  pumpLocked(runtime, state_);
}

void OperationQueue::setSuspended(bool suspended) {
  DispatchRuntime& runtime = DispatchRuntime::instance();
  DispatchRuntime::Lock lock(runtime);
  state_->suspended = suspended;
  pumpLocked(runtime, state_);
}

bool OperationQueue::isSuspended() const {
  DispatchRuntime& runtime = DispatchRuntime::instance();
  DispatchRuntime::Lock lock(runtime);
  return state_->suspended;
}

size_t OperationQueue::operationCount() const {
  DispatchRuntime& runtime = DispatchRuntime::instance();
  DispatchRuntime::Lock lock(runtime);
  return state_->operations.size() + (state_->running ? 1 : 0);
}

void OperationQueue::waitUntilAllOperationsAreFinished() {
  DispatchRuntime& runtime = DispatchRuntime::instance();
  DispatchRuntime::Lock lock(runtime);
  while (!state_->operations.empty() || state_->running) {
    DispatchWaiter waiter;
    state_->finishWaiters.push_back(&waiter);
    runtime.blockLocked(lock, waiter);
  }
}

}  // namespace platform
