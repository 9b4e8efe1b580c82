#include "base/scheduling/thread_blocking.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

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

}  // namespace
}  // namespace base::scheduling
