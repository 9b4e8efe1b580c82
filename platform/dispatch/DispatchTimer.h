#pragma once

#include <memory>

#include "platform/dispatch/DispatchQueue.h"

namespace platform {

struct DispatchTimerState;

// A one-shot timer source on a queue: once resumed, it runs its handler on the queue when
// the installed clock's wall time reaches the deadline. Created suspended, like a dispatch
// source: set the deadline and handler with scheduleAt(), then resume().
// Under the system clock a timer thread waits for the deadline; under a manual clock the
// timer fires only when the clock is advanced to it.
// After firing the timer stays uncancelled (it just never fires again) until cancel().
// Destroying the timer cancels it. Thread-safe.
class DispatchTimer {
 public:
  // A new suspended timer on `queue`, or nullptr when it cannot be created (a null queue, or
  // a failure forced by failNextCreationsForTesting).
  static std::shared_ptr<DispatchTimer> create(std::shared_ptr<DispatchQueue> queue);
  // Makes the next `count` calls of create() fail, so tests can reach the failure path.
  static void failNextCreationsForTesting(int count);

  ~DispatchTimer();
  DispatchTimer(const DispatchTimer&) = delete;
  DispatchTimer& operator=(const DispatchTimer&) = delete;

  // Sets the wall-clock deadline (seconds since 1970) and the handler. On a resumed timer
  // this re-arms it. A deadline already passed fires at the queue's next turn.
  void scheduleAt(double wallDeadline, Block handler);
  // Starts the timer; does nothing when it is already resumed or cancelled.
  void resume();
  // Cancels the timer for good. A handler that has not started by then never runs.
  void cancel();
  bool isCancelled() const;

  const std::shared_ptr<DispatchQueue>& queue() const { return queue_; }

 private:
  explicit DispatchTimer(std::shared_ptr<DispatchQueue> queue);

  std::shared_ptr<DispatchQueue> queue_;
  std::shared_ptr<DispatchTimerState> state_;
};

}  // namespace platform
