#pragma once

#include <memory>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchQueue.h"

namespace testsupport {

// Virtual time for one test: installs a manual clock while it lives. Every fixture that
// needs time or queues holds one, and every test ends the same way, in finish(): every
// queue settles, delayed work that never fell due is dropped (so nothing fires into the
// next test, or at once by the system clock into files the fixture removes) and the system
// clock comes back. A fixture that removes what queued work could touch (a container, a
// bundle) calls finish() first; otherwise destruction does it.
//
//   testsupport::DispatchTestEnvironment env;
//   queue->after(5, ...);
//   env.advance(5);          // runs it, with the clock reading now + 5
//   env.waitUntilIdle();
class DispatchTestEnvironment {
 public:
  explicit DispatchTestEnvironment(double now = 1'700'000'000.0, double uptime = 1'000.0)
      : clock_(std::make_shared<platform::ManualClock>(now, uptime)) {
    platform::Clock::install(clock_);
  }
  ~DispatchTestEnvironment() { finish(); }
  DispatchTestEnvironment(const DispatchTestEnvironment&) = delete;
  DispatchTestEnvironment& operator=(const DispatchTestEnvironment&) = delete;

  platform::ManualClock& clock() { return *clock_; }
  const std::shared_ptr<platform::ManualClock>& sharedClock() const { return clock_; }
  double now() const { return clock_->now(); }

  // Moves virtual time forward, running what falls due (see ManualClock::advance).
  void advance(double seconds) { clock_->advance(seconds); }
  // Waits until every queue is idle, draining the main queue on this thread.
  void waitUntilIdle() { platform::DispatchQueue::waitUntilIdle(); }
  size_t drainMain() { return platform::DispatchQueue::drainMain(); }

  // The one end of every test's virtual time (see the class comment). Idempotent.
  void finish() {
    if (finished_) return;
    finished_ = true;
    platform::DispatchQueue::waitUntilIdle();
    platform::DispatchQueue::discardPendingDelayedWork();
    platform::Clock::install(nullptr);
  }

 private:
  std::shared_ptr<platform::ManualClock> clock_;
  bool finished_ = false;
};

}  // namespace testsupport
