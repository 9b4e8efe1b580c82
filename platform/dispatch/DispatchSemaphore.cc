#include "platform/dispatch/DispatchSemaphore.h"

#include <algorithm>
#include <deque>
#include <limits>

#include "platform/dispatch/DispatchRuntime.h"

namespace platform {

// Guarded by its mutex, which comes before the runtime's in the dispatch layer's lock order
// (a timed wait registers with the runtime while holding it).
struct DispatchSemaphoreState {
  DispatchMutex mutex;
  long count = 0;
  std::deque<DispatchWaiter*> waiters;  // oldest first
};

DispatchSemaphore::DispatchSemaphore(long value)
    : state_(std::make_shared<DispatchSemaphoreState>()) {
  state_->count = value;
}

DispatchSemaphore::~DispatchSemaphore() = default;

void DispatchSemaphore::signal() {
  DispatchRuntime& runtime = DispatchRuntime::instance();
  DispatchMutex::Guard guard(state_->mutex);
  // A waiter whose timeout has already ended its wait (it has not yet left the list) does
  // not take the signal, or the signal would be lost.
  while (!state_->waiters.empty()) {
    DispatchWaiter* waiter = state_->waiters.front();
    state_->waiters.pop_front();
    if (runtime.wake(*waiter, false)) return;
  }
  ++state_->count;
}

bool DispatchSemaphore::wait(double timeoutSeconds) {
  DispatchRuntime& runtime = DispatchRuntime::instance();
  const bool timed = timeoutSeconds < std::numeric_limits<double>::infinity();
  const double deadline = timed ? Clock::current()->uptime() + timeoutSeconds : 0;
  DispatchMutex::Guard guard(state_->mutex);
  if (state_->count > 0) {
    --state_->count;
    return true;
  }
  if (!(timeoutSeconds > 0)) return false;
  DispatchWaiter waiter;
  state_->waiters.push_back(&waiter);
  if (timed) {
    waiter.deadlineUptime = deadline;
    DispatchRuntime::Lock lock(runtime);
    runtime.addTimedWaiterLocked(waiter);
  }
  guard.unlock();
  runtime.sleepUntilWoken(waiter);
  if (timed) {
    DispatchRuntime::Lock lock(runtime);
    runtime.removeTimedWaiterLocked(waiter);
  }
  guard.lock();
  auto& waiters = state_->waiters;
  waiters.erase(std::remove(waiters.begin(), waiters.end(), &waiter), waiters.end());
  return waiter.granted();
}

void DispatchSemaphore::wait() { wait(std::numeric_limits<double>::infinity()); }

}  // namespace platform
