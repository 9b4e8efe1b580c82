#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/DispatchTimer.h"
#include "platform/dispatch/SequenceChecker.h"

// A one-shot timer that runs one block on a given queue after a delay, by wall time of the
// installed platform::Clock. Arming it again replaces the pending block; firing disarms it
// before the block runs, so the block may arm the same alarm again. Log lines begin with
// the alarm's name.
//
// Not synchronised: every method but name() must be called on the alarm's own queue, which
// each checks (a call from elsewhere is logged and, in debug builds, aborts). It may be
// released anywhere: once no one holds it, a pending block can no longer fire.
class APMAlarm : public std::enable_shared_from_this<APMAlarm> {
 public:
  // initWithDispatchQueue:name:. An empty name becomes "Timer".
  static std::shared_ptr<APMAlarm> create(std::shared_ptr<platform::DispatchQueue> queue,
                                          std::string_view name);
  // Releasing an alarm cancels it.
  ~APMAlarm();
  APMAlarm(const APMAlarm&) = delete;
  APMAlarm& operator=(const APMAlarm&) = delete;

  // Arms the alarm to run the block on its queue once `delay` seconds of wall time have
  // passed; a delay of zero or less fires at the queue's next turn. A pending alarm is
  // cancelled first. An empty block is refused (2000), and so is a NaN delay; an infinite
  // or huge delay is held at the largest representable one.
  void runAfterDelay(double delay, platform::Block block);
  // Disarms a pending alarm; does nothing on an idle one.
  void cancel();
  // True when a timer source exists and has not been cancelled.
  bool hasActiveTimer() const;
  // The wall-clock due time (seconds since 1970) of the pending block, or nothing.
  std::optional<double> scheduledTimestamp() const;

  const std::string& name() const { return name_; }

 private:
  APMAlarm(std::shared_ptr<platform::DispatchQueue> queue, std::string name);
  // Takes its own copy of the block: cancelling or re-arming drops the timer's handler.
  void fire(platform::Block block);
  // cancel() without the queue check, for the destructor.
  void cancelPending();

  std::shared_ptr<platform::DispatchQueue> queue_;
  platform::SequenceChecker sequenceChecker_{queue_};
  std::shared_ptr<platform::DispatchTimer> timer_;
  const std::string name_;
  std::optional<double> scheduledTimestamp_;
};
