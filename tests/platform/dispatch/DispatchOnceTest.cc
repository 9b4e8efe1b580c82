#include "platform/dispatch/DispatchOnce.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace platform {
namespace {

TEST(DispatchOnceTest, RunsOnceAcrossThreadsAndLaterCallersSeeItsEffect) {
  DispatchOnce once;
  std::atomic<int> runs{0};
  int value = 0;  // written by the one run, read by every caller after run() returns
  std::vector<int> seen(16);
  std::vector<std::thread> threads;
  for (int i = 0; i < 16; ++i) {
    threads.emplace_back([&, i] {
      once.run([&] {
        runs++;
        value = 42;
      });
      seen[i] = value;
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(runs.load(), 1);
  for (int v : seen) EXPECT_EQ(v, 42);
}

}  // namespace
}  // namespace platform
