#pragma once

#include <pthread.h>

#include <chrono>
#include <optional>

// How a thread of this program blocks: no thread is attached to a user-mode scheduler, so
// waiting and posting go to a pthread waiter (mutex and condition variable) of the thread's
// identity, yielding is sched_yield and sleeping is nanosleep. The Abseil dependency blocks
// through these too: base/scheduling/abseil_hooks.cc attaches them to its override points.
//
// Clocks: these are real-time waits of the layer's own threads, never a measurement's delay.
// Wait's deadline is absolute system (wall) time, kept by the kernel's condition-variable
// wait; Sleep is nanosleep's real time. Neither reads a clock itself, and neither follows a
// test's manual platform::Clock: what the measurement library delays goes through
// platform/dispatch instead.
namespace base::scheduling {

// The blocking identity of one thread. Made on first use by its thread, freed at thread exit.
class ThreadIdentity {
 public:
  ThreadIdentity();
  ~ThreadIdentity();
  ThreadIdentity(const ThreadIdentity&) = delete;
  ThreadIdentity& operator=(const ThreadIdentity&) = delete;

  // The calling thread's identity, made if it has none.
  static ThreadIdentity* Current();

 private:
  friend bool Wait(ThreadIdentity* self,
                   std::optional<std::chrono::system_clock::time_point> deadline);
  friend void Post(ThreadIdentity* identity);

  pthread_mutex_t mutex_;
  pthread_cond_t wakeup_;
  int pending_posts_ = 0;
};

// Blocks the calling thread until its identity is posted (consuming one post) or the deadline
// passes (no deadline: wait for ever). Returns false on timeout.
bool Wait(std::optional<std::chrono::system_clock::time_point> deadline);
// The same on an identity the calling thread owns by other means (the identity that another
// library keeps for it).
bool Wait(ThreadIdentity* self, std::optional<std::chrono::system_clock::time_point> deadline);

// Wakes the identity's thread (or lets its next Wait return at once).
void Post(ThreadIdentity* identity);

// sched_yield.
void Yield();

// Sleeps for the whole duration, resuming after interruptions; a negative or zero duration
// returns at once.
void Sleep(std::chrono::nanoseconds duration);

}  // namespace base::scheduling
