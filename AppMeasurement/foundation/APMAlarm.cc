#include "AppMeasurement/foundation/APMAlarm.h"

#include <cmath>
#include <cstdint>

#include "AppMeasurement/foundation/APMMonitor.h"
#include "platform/dispatch/Clock.h"

namespace {

// The delay as the timer takes it: whole nanoseconds, truncated, held within int64.
// NaN is refused before this is called.
double truncatedDelaySeconds(double delay) {
  constexpr double kMaxNanoseconds = 9223372036854775807.0;
  double nanoseconds = delay * 1e9;
  if (nanoseconds >= kMaxNanoseconds) return kMaxNanoseconds / 1e9;
  if (nanoseconds <= -kMaxNanoseconds) return -kMaxNanoseconds / 1e9;
  return std::trunc(nanoseconds) / 1e9;
}

}  // namespace

std::shared_ptr<APMAlarm> APMAlarm::create(std::shared_ptr<platform::DispatchQueue> queue,
                                           std::string_view name) {
  return std::shared_ptr<APMAlarm>(
      new APMAlarm(std::move(queue), name.empty() ? std::string("Timer") : std::string(name)));
}

APMAlarm::APMAlarm(std::shared_ptr<platform::DispatchQueue> queue, std::string name)
    : queue_(std::move(queue)), name_(std::move(name)) {}

// The last owner may let go on any thread: the timer's handler holds the alarm weakly, so
// nothing can fire into it any more.
APMAlarm::~APMAlarm() { cancelPending(); }

void APMAlarm::runAfterDelay(double delay, platform::Block block) {
  sequenceChecker_.check("APMAlarm::runAfterDelay");
  auto monitor = APMMonitor::monitor();
  if (!block) {
    monitor->logWithLevel(1, 2000, name_ + " tried to schedule an empty block");
    return;
  }
  if (std::isnan(delay)) {
    monitor->logWithLevel(1, 2000, name_ + " tried to schedule a block with an invalid delay");
    return;
  }
  cancelPending();
  double now = platform::Clock::current()->now();
  double deadline = now + truncatedDelaySeconds(delay);
  scheduledTimestamp_ = deadline;
  timer_ = platform::DispatchTimer::create(queue_);
  if (timer_) {
    std::weak_ptr<APMAlarm> weakSelf = weak_from_this();
    timer_->scheduleAt(deadline, [weakSelf, block = std::move(block)] {
      if (auto self = weakSelf.lock()) self->fire(block);
    });
    timer_->resume();
  }
  monitor->logWithLevel(7, 2002, name_ + " scheduled to fire in approx. (s)", delay);
}

void APMAlarm::fire(platform::Block block) {
  APMMonitor::monitor()->logWithLevel(7, 2001, name_ + " fired");
  cancelPending();
  block();
}

void APMAlarm::cancel() {
  sequenceChecker_.check("APMAlarm::cancel");
  cancelPending();
}

void APMAlarm::cancelPending() {
  if (!scheduledTimestamp_) return;
  auto monitor = APMMonitor::monitor();
  monitor->logWithLevel(7, 2003, name_ + " canceled");
  if (!(timer_ && !timer_->isCancelled())) {
    monitor->logWithLevel(4, 2004, name_ + " is not active");
  } else {
    timer_->cancel();
  }
  scheduledTimestamp_.reset();
}

bool APMAlarm::hasActiveTimer() const {
  sequenceChecker_.check("APMAlarm::hasActiveTimer");
  return timer_ && !timer_->isCancelled();
}

std::optional<double> APMAlarm::scheduledTimestamp() const {
  sequenceChecker_.check("APMAlarm::scheduledTimestamp");
  return scheduledTimestamp_;
}
