#include "platform/dispatch/Clock.h"

#include <time.h>

#include <atomic>
#include <chrono>
#include <typeinfo>

#include "platform/dispatch/DispatchRuntime.h"

namespace platform {
namespace {

std::mutex& clockMutex() {
  static std::mutex* mutex = new std::mutex();
  return *mutex;
}

std::shared_ptr<Clock>& installedClock() {
  static auto* clock = new std::shared_ptr<Clock>(std::make_shared<SystemClock>());
  return *clock;
}

// Whether installedClock() is a plain SystemClock; written with it, under clockMutex().
constinit std::atomic<bool> systemClockInstalled{true};

}  // namespace

std::shared_ptr<Clock> Clock::current() {
  std::lock_guard<std::mutex> lock(clockMutex());
  return installedClock();
}

double Clock::currentNow() {
  // A read that races with install() may still see the clock before it, as current() may.
  if (systemClockInstalled.load()) return SystemClock().now();
  return current()->now();
}

void Clock::install(std::shared_ptr<Clock> clock) {
  if (!clock) clock = std::make_shared<SystemClock>();
  std::shared_ptr<Clock> previous;
  {
    std::lock_guard<std::mutex> lock(clockMutex());
    previous = std::move(installedClock());
    // A subclass may read the time its own way: only the plain system clock is read directly.
    systemClockInstalled.store(typeid(*clock) == typeid(SystemClock));
    installedClock() = std::move(clock);
  }
  // Waits by real time must re-read the new clock.
  DispatchRuntime::instance().clockInstalled();
}

double SystemClock::now() const {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

double SystemClock::uptime() const {
  // The boot-time clock keeps counting while the machine is suspended, as the device's uptime
  // does while it sleeps; the steady clock would stop.
  timespec reading{};
  if (clock_gettime(CLOCK_BOOTTIME, &reading) != 0) {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
  }
  return static_cast<double>(reading.tv_sec) + static_cast<double>(reading.tv_nsec) / 1e9;
}

ManualClock::ManualClock(double now, double uptime) : now_(now), uptime_(uptime) {}

double ManualClock::now() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return now_;
}

double ManualClock::uptime() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return uptime_;
}

void ManualClock::setNow(double now) {
  std::lock_guard<std::mutex> lock(mutex_);
  now_ = now;
}

void ManualClock::setUptime(double uptime) {
  std::lock_guard<std::mutex> lock(mutex_);
  uptime_ = uptime;
}

void ManualClock::shift(double seconds) {
  std::lock_guard<std::mutex> lock(mutex_);
  now_ += seconds;
  uptime_ += seconds;
}

void ManualClock::advance(double seconds) {
  if (!(seconds > 0)) seconds = 0;  // negative and NaN move nothing
  if (Clock::current().get() != this) {
    shift(seconds);
    return;
  }
  DispatchRuntime::instance().advanceManual(*this, seconds);
}

}  // namespace platform
