#pragma once

// Internal to platform/dispatch: the mutex every lock of the dispatch layer is made of.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace platform {

// A mutex that, in debug builds, knows which thread holds it, so that a helper that needs it
// held can check its caller, and counts the dispatch mutexes each thread holds, so that the
// layer can check it never runs a block, nor releases what a block captured, under one of its
// locks: such code may dispatch, which would take a dispatch lock again or against the lock
// order. Release builds keep no such record (the checks are debug-only), so a lock costs what
// a std::mutex costs. Taken only through DispatchMutex::Guard.
class DispatchMutex {
 public:
  class Guard;

  DispatchMutex() = default;
  DispatchMutex(const DispatchMutex&) = delete;
  DispatchMutex& operator=(const DispatchMutex&) = delete;

#ifndef NDEBUG
  // Logs "<where> must be called with <what> locked" and aborts unless the calling thread
  // holds this mutex.
  void assertHeld(const char* where, const char* what) const;
  // Logs "<what> under a dispatch lock" and aborts when the calling thread holds a dispatch
  // mutex.
  static void assertNoneHeld(const char* what);
#else
  void assertHeld(const char*, const char*) const {}
  static void assertNoneHeld(const char*) {}
#endif
  // Whether the calling thread holds any dispatch mutex (always false in release builds).
  static bool anyHeldByCaller();

 private:
#ifndef NDEBUG
  void acquired();
  void releasing();
  std::atomic<std::thread::id> owner_{};
#else
  void acquired() {}
  void releasing() {}
#endif
  std::mutex mutex_;
};

// Holds a DispatchMutex for its scope, or between unlock() and lock(); condition-variable waits
// go through it so that the holder is known at every moment.
class DispatchMutex::Guard {
 public:
  explicit Guard(DispatchMutex& mutex) : mutex_(mutex), lock_(mutex.mutex_) { mutex_.acquired(); }
  ~Guard() {
    if (lock_.owns_lock()) mutex_.releasing();
  }
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;

  void lock() {
    lock_.lock();
    mutex_.acquired();
  }
  void unlock() {
    // Marked before the mutex is let go: afterwards the object it guards may already be gone
    // (a queue released by the thread that takes the lock next).
    mutex_.releasing();
    lock_.unlock();
  }
  bool ownsLock() const { return lock_.owns_lock(); }

  // Waits on `cv`, letting go of the mutex meanwhile (spurious wake-ups included).
  void wait(std::condition_variable& cv) {
    mutex_.releasing();
    cv.wait(lock_);
    mutex_.acquired();
  }
  // Waits on `cv` until `ready()` holds.
  template <typename Ready>
  void wait(std::condition_variable& cv, Ready ready) {
    while (!ready()) wait(cv);
  }
  // Waits on `cv` for at most `timeout` of real time.
  void waitFor(std::condition_variable& cv, std::chrono::duration<double> timeout) {
    mutex_.releasing();
    cv.wait_for(lock_, timeout);
    mutex_.acquired();
  }

 private:
  DispatchMutex& mutex_;
  std::unique_lock<std::mutex> lock_;
};

}  // namespace platform
