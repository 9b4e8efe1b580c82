#include "base/scheduling/abseil_hooks.h"

#include <dlfcn.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "absl/base/internal/thread_identity.h"
#include "absl/synchronization/internal/create_thread_identity.h"
#include "absl/synchronization/internal/kernel_timeout.h"
#include "absl/synchronization/mutex.h"
#include "absl/time/clock.h"
#include "absl/time/time.h"
#include "base/scheduling/thread_blocking.h"

namespace {

using AbseilIdentity = absl::base_internal::ThreadIdentity;

// The waiter of an Abseil thread identity, made on its first wait or post (Abseil makes its
// identities without a hook). Abseil never frees an identity (a thread's goes to later
// threads), so its waiter lives as long as the process. A plain mutex: an Abseil one would
// block through these very hooks.
base::scheduling::ThreadIdentity* WaiterOf(AbseilIdentity* identity) {
  static std::mutex& mutex = *new std::mutex;
  static auto& waiters =
      *new std::unordered_map<AbseilIdentity*, std::unique_ptr<base::scheduling::ThreadIdentity>>;
  std::lock_guard<std::mutex> lock(mutex);
  std::unique_ptr<base::scheduling::ThreadIdentity>& waiter = waiters[identity];
  if (!waiter) waiter = std::make_unique<base::scheduling::ThreadIdentity>();
  return waiter.get();
}

#define KVL_HOOK_NAME_2(x) #x
#define KVL_HOOK_NAME(x) KVL_HOOK_NAME_2(x)

}  // namespace

extern "C" {

// Keeps the bookkeeping of Abseil's own wait (the idle ticker and the blocked-thread count) and
// blocks on the identity's waiter until posted or the absolute real-time deadline.
bool ABSL_INTERNAL_C_SYMBOL(AbslInternalPerThreadSemWait)(
    absl::synchronization_internal::KernelTimeout t) {
  AbseilIdentity* identity = absl::synchronization_internal::GetOrCreateCurrentThreadIdentity();
  const int ticker = identity->ticker.load(std::memory_order_relaxed);
  identity->wait_start.store(ticker != 0 ? ticker : 1, std::memory_order_relaxed);
  identity->is_idle.store(false, std::memory_order_relaxed);
  if (identity->blocked_count_ptr != nullptr) {
    identity->blocked_count_ptr->fetch_add(1, std::memory_order_relaxed);
  }
  std::optional<std::chrono::system_clock::time_point> deadline;
  if (t.has_timeout()) {
    const struct timespec at = t.MakeAbsTimespec();
    deadline = std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::seconds(at.tv_sec) + std::chrono::nanoseconds(at.tv_nsec)));
  }
  const bool posted = base::scheduling::Wait(WaiterOf(identity), deadline);
  if (identity->blocked_count_ptr != nullptr) {
    identity->blocked_count_ptr->fetch_sub(1, std::memory_order_relaxed);
  }
  identity->is_idle.store(false, std::memory_order_relaxed);
  identity->wait_start.store(0, std::memory_order_relaxed);
  return posted;
}

void ABSL_INTERNAL_C_SYMBOL(AbslInternalPerThreadSemPost)(AbseilIdentity* identity) {
  base::scheduling::Post(WaiterOf(identity));
}

void ABSL_INTERNAL_C_SYMBOL(AbslInternalMutexYield)() { base::scheduling::Yield(); }

void ABSL_INTERNAL_C_SYMBOL(AbslInternalSleepFor)(absl::Duration duration) {
  if (duration == absl::InfiniteDuration()) {
    for (;;) base::scheduling::Sleep(std::chrono::hours(24));
  }
  base::scheduling::Sleep(absl::ToChronoNanoseconds(duration));
}

}  // extern "C"

namespace base::scheduling {

bool AttachAbseilHooks() {
  // What the dynamic linker binds Abseil's calls to: the first definition in the global scope.
  const void* wait =
      dlsym(RTLD_DEFAULT, KVL_HOOK_NAME(ABSL_INTERNAL_C_SYMBOL(AbslInternalPerThreadSemWait)));
  const void* post =
      dlsym(RTLD_DEFAULT, KVL_HOOK_NAME(ABSL_INTERNAL_C_SYMBOL(AbslInternalPerThreadSemPost)));
  const void* yield =
      dlsym(RTLD_DEFAULT, KVL_HOOK_NAME(ABSL_INTERNAL_C_SYMBOL(AbslInternalMutexYield)));
  const void* sleep =
      dlsym(RTLD_DEFAULT, KVL_HOOK_NAME(ABSL_INTERNAL_C_SYMBOL(AbslInternalSleepFor)));
  return wait ==
             reinterpret_cast<const void*>(&ABSL_INTERNAL_C_SYMBOL(AbslInternalPerThreadSemWait)) &&
         post ==
             reinterpret_cast<const void*>(&ABSL_INTERNAL_C_SYMBOL(AbslInternalPerThreadSemPost)) &&
         yield == reinterpret_cast<const void*>(&ABSL_INTERNAL_C_SYMBOL(AbslInternalMutexYield)) &&
         sleep == reinterpret_cast<const void*>(&ABSL_INTERNAL_C_SYMBOL(AbslInternalSleepFor));
}

}  // namespace base::scheduling
