#include "base/scheduling/thread_blocking.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "absl/synchronization/mutex.h"
#include "absl/time/clock.h"
#include "base/scheduling/abseil_hooks.h"

namespace base::scheduling {
namespace {

TEST(ThreadBlockingTest, PostBeforeWaitReturnsAtOnce) {
  ThreadIdentity* self = ThreadIdentity::Current();
  EXPECT_EQ(self, ThreadIdentity::Current());
  Post(self);
  Post(self);
  EXPECT_TRUE(Wait(std::nullopt));
  EXPECT_TRUE(Wait(std::chrono::system_clock::time_point{}));
  // Posts are consumed: a deadline in the past now times out without blocking.
  EXPECT_FALSE(Wait(std::chrono::system_clock::time_point{}));
  EXPECT_FALSE(Wait(std::chrono::system_clock::now() - std::chrono::hours(1)));
}

TEST(ThreadBlockingTest, PostWakesAnotherThread) {
  std::atomic<ThreadIdentity*> waiter{nullptr};
  std::atomic<bool> woke{false};
  std::thread thread([&] {
    waiter = ThreadIdentity::Current();
    woke = Wait(std::nullopt);
  });
  while (waiter.load() == nullptr) Yield();
  Post(waiter.load());
  thread.join();
  EXPECT_TRUE(woke);
  EXPECT_NE(waiter.load(), ThreadIdentity::Current());
}

TEST(ThreadBlockingTest, SleepCoversTheWholeDuration) {
  auto start = std::chrono::steady_clock::now();
  Sleep(std::chrono::milliseconds(2));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2));
  Sleep(std::chrono::nanoseconds(-5));
  Sleep(std::chrono::nanoseconds::zero());
}

#define HOOK_NAME_2(x) #x
#define HOOK_NAME(x) HOOK_NAME_2(x)

// The dependency's override points resolve to this program's hooks, not to the defaults inside
// its shared libraries: that is where its calls go.
TEST(ThreadBlockingTest, AbseilOverridePointsResolveToThisProgram) {
  const char* names[] = {HOOK_NAME(ABSL_INTERNAL_C_SYMBOL(AbslInternalPerThreadSemWait)),
                         HOOK_NAME(ABSL_INTERNAL_C_SYMBOL(AbslInternalPerThreadSemPost)),
                         HOOK_NAME(ABSL_INTERNAL_C_SYMBOL(AbslInternalMutexYield)),
                         HOOK_NAME(ABSL_INTERNAL_C_SYMBOL(AbslInternalSleepFor))};
  for (const char* name : names) {
    void* symbol = dlsym(RTLD_DEFAULT, name);
    ASSERT_NE(symbol, nullptr) << name;
    Dl_info info{};
    ASSERT_NE(dladdr(symbol, &info), 0) << name;
    EXPECT_EQ(std::string(info.dli_fname).find("libabsl_"), std::string::npos)
        << name << " resolves into " << info.dli_fname;
  }
  EXPECT_TRUE(AttachAbseilHooks());
}

// Abseil's blocking through the hooks: a condition wait woken by another thread, one that
// times out, and a sleep of the whole duration.
TEST(ThreadBlockingTest, AbseilBlocksThroughTheHooks) {
  absl::Mutex mutex;
  absl::CondVar ready;
  bool flag = false;
  std::thread signaller([&] {
    absl::SleepFor(absl::Milliseconds(5));
    absl::MutexLock lock(&mutex);
    flag = true;
    ready.Signal();
  });
  {
    absl::MutexLock lock(&mutex);
    while (!flag) ready.Wait(&mutex);
  }
  signaller.join();
  EXPECT_TRUE(flag);
  {
    absl::MutexLock lock(&mutex);
    EXPECT_TRUE(ready.WaitWithTimeout(&mutex, absl::Milliseconds(2)));  // true: timed out
  }
  auto start = std::chrono::steady_clock::now();
  absl::SleepFor(absl::Milliseconds(2));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2));
}

}  // namespace
}  // namespace base::scheduling
