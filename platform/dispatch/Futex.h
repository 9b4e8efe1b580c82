#pragma once

// Internal to platform/dispatch: waiting on a 32-bit word, as Linux's futex offers it.
//
// The queues' threads and blocked waiters sleep on a word rather than on a condition variable:
// glibc marks a mutex re-taken after a condition-variable wait as contended, so the woken
// thread's next unlock of it would cost a wake-up system call with nobody to wake.

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdint>

namespace platform {

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) &&
              std::atomic<uint32_t>::is_always_lock_free);

// Sleeps while `word` holds `expected`, until futexWake on it. Returns at once when the word
// differs, and may return spuriously: callers look again at what they wait for.
inline void futexWait(std::atomic<uint32_t>& word, uint32_t expected) {
  ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAIT_PRIVATE, expected, nullptr,
            nullptr, 0);
}

// As futexWait, for at most `seconds` of real time.
inline void futexWaitFor(std::atomic<uint32_t>& word, uint32_t expected, double seconds) {
  timespec timeout{};
  timeout.tv_sec = static_cast<time_t>(seconds);
  timeout.tv_nsec = static_cast<long>((seconds - static_cast<double>(timeout.tv_sec)) * 1e9);
  ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAIT_PRIVATE, expected, &timeout,
            nullptr, 0);
}

// Wakes up to `count` threads sleeping on `word` (INT_MAX: all).
inline void futexWake(std::atomic<uint32_t>& word, int count) {
  ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAKE_PRIVATE, count, nullptr,
            nullptr, 0);
}

}  // namespace platform
