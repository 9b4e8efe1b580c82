#pragma once

#include <memory>

namespace platform {

struct DispatchSemaphoreState;

// A counting semaphore, as dispatch_semaphore.
//
// Timeouts are measured in uptime of the installed clock. Under the system clock a wait
// with a timeout returns after that much real time. Under a manual clock it returns only
// when a signal arrives or when ManualClock::advance() moves the clock past its deadline
// (advance runs the timeout at its due instant, in order with delayed blocks and timers);
// so a test never waits on real time, and never hangs provided it advances the clock.
// A thread of a queue blocked in a wait counts as idle for waitUntilIdle() and advance().
// Thread-safe.
class DispatchSemaphore {
 public:
  explicit DispatchSemaphore(long value = 0);
  ~DispatchSemaphore();
  DispatchSemaphore(const DispatchSemaphore&) = delete;
  DispatchSemaphore& operator=(const DispatchSemaphore&) = delete;

  // Increments the count, waking the longest waiter if there is one.
  void signal();
  // Waits until the count can be decremented; returns true then, or false once
  // `timeoutSeconds` have passed (a timeout of zero or less only tries).
  bool wait(double timeoutSeconds);
  // Waits without a time limit.
  void wait();

 private:
  std::shared_ptr<DispatchSemaphoreState> state_;
};

}  // namespace platform
