#include "platform/dispatch/DispatchTimer.h"

#include <atomic>

#include "platform/dispatch/DispatchRuntime.h"

namespace platform {
namespace {

std::atomic<int>& forcedFailures() {
  static std::atomic<int> failures{0};
  return failures;
}

// Arms the timer for its current deadline, dropping any earlier arming.
void armLocked(DispatchRuntime& runtime, const std::shared_ptr<DispatchTimerState>& state) {
  DispatchRuntime::assertLocked("armLocked");
  runtime.removeTimerEntriesLocked(state.get());
  ++state->generation;
  runtime.addDelayedLocked(state->queue, /*wall=*/true, *state->wallDeadline, nullptr, state,
                           state->generation);
}

}  // namespace

std::shared_ptr<DispatchTimer> DispatchTimer::create(std::shared_ptr<DispatchQueue> queue) {
  if (!queue) return nullptr;
  int failures = forcedFailures().load();
  while (failures > 0) {
    if (forcedFailures().compare_exchange_weak(failures, failures - 1)) return nullptr;
  }
  return std::shared_ptr<DispatchTimer>(new DispatchTimer(std::move(queue)));
}

void DispatchTimer::failNextCreationsForTesting(int count) { forcedFailures() = count; }

DispatchTimer::DispatchTimer(std::shared_ptr<DispatchQueue> queue)
    : queue_(std::move(queue)), state_(std::make_shared<DispatchTimerState>()) {
  state_->queue = queue_;
}

DispatchTimer::~DispatchTimer() { cancel(); }

void DispatchTimer::scheduleAt(double wallDeadline, Block handler) {
  DispatchRuntime& runtime = DispatchRuntime::instance();
  Block previous;
  {
    DispatchRuntime::Lock lock(runtime);
    if (state_->cancelled) return;
    previous = std::move(state_->handler);
    state_->handler = std::move(handler);
    state_->wallDeadline = wallDeadline;
    if (state_->resumed) armLocked(runtime, state_);
  }
  // `previous` is destroyed here, outside the lock: it may own objects with destructors
  // that dispatch.
}

void DispatchTimer::resume() {
  DispatchRuntime& runtime = DispatchRuntime::instance();
  DispatchRuntime::Lock lock(runtime);
  if (state_->cancelled || state_->resumed) return;
  state_->resumed = true;
  if (state_->wallDeadline) armLocked(runtime, state_);
}

void DispatchTimer::cancel() {
  DispatchRuntime& runtime = DispatchRuntime::instance();
  Block handler;
  {
    DispatchRuntime::Lock lock(runtime);
    if (state_->cancelled) return;
    state_->cancelled = true;
    runtime.removeTimerEntriesLocked(state_.get());
    handler = std::move(state_->handler);  // released, as a cancelled source releases it
  }
}

bool DispatchTimer::isCancelled() const {
  DispatchRuntime& runtime = DispatchRuntime::instance();
  DispatchRuntime::Lock lock(runtime);
  return state_->cancelled;
}

}  // namespace platform
