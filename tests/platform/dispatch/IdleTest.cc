#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "platform/dispatch/DispatchQueue.h"
#include "tests/support/DispatchTestEnvironment.h"

namespace platform {
namespace {

// A relay of blocks across three serial queues, the main queue and the global queue, with
// delayed hops: every hop posts the next one. After waitUntilIdle (and advance for the
// delayed hops) the whole relay must have run, every time.
TEST(IdleTest, WaitUntilIdleSeesChainsAcrossQueuesToTheEnd) {
  testsupport::DispatchTestEnvironment env;
  auto a = DispatchQueue::createSerial("test.a");
  auto b = DispatchQueue::createSerial("test.b");
  auto c = DispatchQueue::createSerial("test.c");
  auto main = DispatchQueue::main();
  auto global = DispatchQueue::global();
  for (int round = 0; round < 50; ++round) {
    std::atomic<int> hops{0};
    std::function<void(int)> hop = [&](int left) {
      hops++;
      if (left == 0) return;
      switch (left % 5) {
        case 0:
          a->async([&, left] { hop(left - 1); });
          break;
        case 1:
          b->async([&, left] { hop(left - 1); });
          break;
        case 2:
          main->async([&, left] { hop(left - 1); });
          break;
        case 3:
          global->async([&, left] { hop(left - 1); });
          break;
        case 4:
          c->sync([&, left] { c->async([&, left] { hop(left - 1); }); });
          break;
      }
    };
    a->async([&] { hop(20); });
    env.waitUntilIdle();
    ASSERT_EQ(hops.load(), 21) << "round " << round;
  }
}

TEST(IdleTest, AdvanceRunsDelayedHopsPostedByImmediateWork) {
  testsupport::DispatchTestEnvironment env;
  auto a = DispatchQueue::createSerial("test.a");
  auto b = DispatchQueue::createSerial("test.b");
  std::vector<std::string> trail;  // hops never overlap: each waits for the previous
  a->async([&] {
    trail.push_back("a0");
    b->after(1, [&] {
      trail.push_back("b1");
      DispatchQueue::main()->async([&] {
        trail.push_back("main1");
        a->after(1, [&] { trail.push_back("a2"); });
      });
    });
  });
  env.advance(2);
  EXPECT_EQ(trail, (std::vector<std::string>{"a0", "b1", "main1", "a2"}));
}

TEST(IdleTest, DiscardDropsPendingDelayedWork) {
  testsupport::DispatchTestEnvironment env;
  auto queue = DispatchQueue::createSerial("test.discard");
  int ran = 0;
  queue->after(1, [&] { ++ran; });
  queue->after(2, [&] { ++ran; });
  EXPECT_EQ(DispatchQueue::discardPendingDelayedWork(), 2u);
  env.advance(5);
  EXPECT_EQ(ran, 0);
}

TEST(IdleDeathTest, WaitingForIdleFromAQueueAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        auto queue = DispatchQueue::createSerial("test.inside");
        queue->sync([] { DispatchQueue::waitUntilIdle(); });
      },
      "waitUntilIdle must be called from outside any dispatch queue");
}

TEST(IdleDeathTest, AdvancingTheClockFromAQueueAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        testsupport::DispatchTestEnvironment env;
        auto queue = DispatchQueue::createSerial("test.inside");
        queue->sync([&] { env.advance(1); });
      },
      "ManualClock::advance must be called from outside any dispatch queue");
}

}  // namespace
}  // namespace platform
