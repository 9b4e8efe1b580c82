#pragma once

#include <memory>
#include <mutex>

namespace platform {

// The one clock of the program. Every read of wall time or device uptime goes through
// Clock::current(), and every delayed block and timer of platform/dispatch fires by it.
// Thread-safe: every method may be called from any thread or queue.
class Clock {
 public:
  virtual ~Clock() = default;

  // Wall time: seconds since 1970-01-01 00:00:00 UTC.
  virtual double now() const = 0;
  // Device uptime: monotonic seconds since boot, counting the time the machine sleeps.
  virtual double uptime() const = 0;

  // The installed clock (the system clock unless a test installed another).
  static std::shared_ptr<Clock> current();
  // now() of the installed clock. While the system clock is installed this reads the system
  // time without the lock that current() takes (every queue's thread reads the time).
  static double currentNow();
  // Installs `clock` for the whole process; nullptr restores the system clock. Delayed
  // blocks and timers that are pending keep their deadlines and fire by the new clock.
  static void install(std::shared_ptr<Clock> clock);
};

// The real clock: wall time from the system, uptime from the boot-time clock (monotonic, and
// running through suspend).
class SystemClock : public Clock {
 public:
  double now() const override;
  double uptime() const override;
};

// A clock that only moves when told to: what tests install so that time is virtual.
// Under a manual clock nothing fires by real time: delayed blocks, timers and semaphore
// timeouts fall due only when advance() moves the clock past their deadlines.
class ManualClock : public Clock {
 public:
  explicit ManualClock(double now = 1'700'000'000.0, double uptime = 1'000.0);

  double now() const override;
  double uptime() const override;

  // Sets the wall time, as when the user changes the device's clock; uptime does not move.
  // Nothing runs: wall-time timers that became due fire at the next advance() (advance(0)
  // runs them at once).
  void setNow(double now);
  // Sets the uptime reading; nothing runs.
  void setUptime(double uptime);

  // Moves wall time and uptime forward together by `seconds` (negative counts as 0) and
  // runs what falls due in due order: each delayed block or timer is posted to its queue
  // at its due instant (the clock reads that instant while it is dispatched, and the queues
  // settle before the next one), so work chained within the window fires in order too.
  // Returns once everything due has run and every queue is idle; the main queue is drained
  // on the calling thread unless a main loop runs elsewhere.
  // When this clock is not the installed one, only the readings move.
  // Must be called from outside any queue (a test's thread); aborts otherwise.
  void advance(double seconds);

 private:
  friend class DispatchRuntime;
  // Moves both readings forward without running anything.
  void shift(double seconds);

  mutable std::mutex mutex_;
  double now_;
  double uptime_;
};

}  // namespace platform
