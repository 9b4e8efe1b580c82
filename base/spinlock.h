#pragma once

#include <sched.h>

#include <atomic>

namespace base {

// A small lock for the few process-wide tables that must work before and after everything else
// (no allocation, no static destructor). Holders keep it for a handful of instructions.
class SpinLock {
 public:
  constexpr SpinLock() = default;
  SpinLock(const SpinLock&) = delete;
  SpinLock& operator=(const SpinLock&) = delete;

  void lock() {
    while (flag_.test_and_set(std::memory_order_acquire)) sched_yield();
  }
  void unlock() { flag_.clear(std::memory_order_release); }

 private:
  std::atomic_flag flag_ = ATOMIC_FLAG_INIT;
};

}  // namespace base
