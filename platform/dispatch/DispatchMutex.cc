#include "platform/dispatch/DispatchMutex.h"

#include <cstdlib>
#include <string>

#include "platform/foundation/PlatformLog.h"

namespace platform {

#ifndef NDEBUG

namespace {

// Dispatch mutexes the calling thread holds. A thread blocked in a condition-variable wait
// does not hold the mutex it waits with.
thread_local int heldByThread = 0;

[[noreturn]] void fail(const std::string& message) {
  PlatformLog::write(message);
  std::abort();
}

}  // namespace

void DispatchMutex::acquired() {
  owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
  ++heldByThread;
}

void DispatchMutex::releasing() {
  --heldByThread;
  owner_.store(std::thread::id(), std::memory_order_relaxed);
}

void DispatchMutex::assertHeld(const char* where, const char* what) const {
  if (owner_.load(std::memory_order_relaxed) == std::this_thread::get_id()) return;
  fail(std::string(where) + " must be called with " + what + " locked");
}

void DispatchMutex::assertNoneHeld(const char* what) {
  if (heldByThread > 0) fail(std::string(what) + " under a dispatch lock");
}

bool DispatchMutex::anyHeldByCaller() { return heldByThread > 0; }

#else

bool DispatchMutex::anyHeldByCaller() { return false; }

#endif

}  // namespace platform
