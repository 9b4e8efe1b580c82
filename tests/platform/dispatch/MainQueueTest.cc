#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/DispatchSemaphore.h"
#include "tests/support/DispatchTestEnvironment.h"

namespace platform {
namespace {

TEST(MainQueueTest, DrainRunsPendingBlocksInOrderOnTheCallingThread) {
  testsupport::DispatchTestEnvironment env;
  auto main = DispatchQueue::main();
  std::vector<int> order;
  std::thread::id ranOn;
  main->async([&] { order.push_back(1); });
  main->async([&] {
    order.push_back(2);
    ranOn = std::this_thread::get_id();
    main->async([&] { order.push_back(3); });  // posted while draining: runs in this drain
  });
  EXPECT_TRUE(order.empty());  // nothing runs the main queue until a drain
  EXPECT_EQ(DispatchQueue::drainMain(), 3u);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(ranOn, std::this_thread::get_id());
  EXPECT_EQ(DispatchQueue::drainMain(), 0u);
}

TEST(MainQueueTest, DrainingThreadCountsAsMainThread) {
  testsupport::DispatchTestEnvironment env;
  bool mainInside = false;
  bool mainOutside = true;
  bool currentIsMain = false;
  std::thread([&] {
    mainOutside = DispatchQueue::isMainThread();
    DispatchQueue::main()->async([&] {
      mainInside = DispatchQueue::isMainThread();
      currentIsMain = DispatchQueue::current() == DispatchQueue::main();
    });
    DispatchQueue::drainMain();
  }).join();
  EXPECT_FALSE(mainOutside);
  EXPECT_TRUE(mainInside);
  EXPECT_TRUE(currentIsMain);
}

TEST(MainQueueTest, ProcessMainThreadIsMainAndQueueThreadsAreNot) {
  testsupport::DispatchTestEnvironment env;
  EXPECT_TRUE(DispatchQueue::isMainThread());  // gtest runs tests on the process's main thread
  EXPECT_TRUE(DispatchQueue::main()->isCurrent());
  bool onWorker = true;
  auto queue = DispatchQueue::createSerial("test.worker");
  queue->async([&] { onWorker = DispatchQueue::isMainThread(); });
  env.waitUntilIdle();
  EXPECT_FALSE(onWorker);
}

TEST(MainQueueTest, SyncOntoMainFromAWorkerWaitsForTheDrain) {
  testsupport::DispatchTestEnvironment env;
  auto queue = DispatchQueue::createSerial("test.worker");
  std::vector<std::string> order;
  bool wasMain = false;
  DispatchQueue::main()->async([&] { order.push_back("main-async"); });
  queue->async([&] {
    DispatchQueue::main()->sync([&] {
      wasMain = DispatchQueue::isMainThread();
      order.push_back("main-sync");
    });
    order.push_back("worker-after");
  });
  env.waitUntilIdle();  // drains main, which grants the worker its turn after main-async
  EXPECT_EQ(order, (std::vector<std::string>{"main-async", "main-sync", "worker-after"}));
  EXPECT_TRUE(wasMain);
}

TEST(MainQueueTest, SyncOntoMainFromTheMainThreadRunsInline) {
  testsupport::DispatchTestEnvironment env;
  bool ran = false;
  DispatchQueue::main()->sync([&] { ran = true; });
  EXPECT_TRUE(ran);
}

TEST(MainQueueTest, RunMainLoopServesTheQueueUntilStopped) {
  testsupport::DispatchTestEnvironment env;
  std::vector<int> order;
  std::thread::id ranOn;
  DispatchSemaphore started;
  DispatchQueue::main()->async([&] { started.signal(); });
  std::thread loop([] { DispatchQueue::runMainLoop(); });
  started.wait();  // the loop runs now: from here on only it serves the main queue
  const std::thread::id loopThread = loop.get_id();

  auto worker = DispatchQueue::createSerial("test.worker");
  worker->async([&] { DispatchQueue::main()->sync([&] { order.push_back(1); }); });
  env.waitUntilIdle();  // waits for the loop instead of draining here
  DispatchQueue::main()->async([&] {
    order.push_back(2);
    ranOn = std::this_thread::get_id();
  });
  env.waitUntilIdle();
  EXPECT_EQ(DispatchQueue::drainMain(), 0u);  // the loop owns the main queue
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
  EXPECT_EQ(ranOn, loopThread);

  DispatchQueue::main()->async([] { DispatchQueue::stopMainLoop(); });
  loop.join();
  bool ranAfterStop = false;
  DispatchQueue::main()->async([&] { ranAfterStop = true; });
  EXPECT_EQ(DispatchQueue::drainMain(), 1u);  // tests drain again once the loop is gone
  EXPECT_TRUE(ranAfterStop);
}

TEST(MainQueueTest, ThreadThatForksIsTheMainThreadOfTheChild) {
  // Whether a thread is the main thread is asked of the kernel once per thread; in a forked
  // child the forking thread has become the main thread, whatever it was in the parent.
  int childStatus = -1;
  bool mainInParent = true;
  std::thread([&] {
    mainInParent = DispatchQueue::isMainThread();
    const pid_t child = fork();
    if (child == 0) _exit(DispatchQueue::isMainThread() ? 0 : 1);
    if (child > 0) waitpid(child, &childStatus, 0);
  }).join();
  EXPECT_FALSE(mainInParent);
  ASSERT_TRUE(WIFEXITED(childStatus));
  EXPECT_EQ(WEXITSTATUS(childStatus), 0);
  EXPECT_TRUE(DispatchQueue::isMainThread());  // the parent's main thread is unchanged
}

}  // namespace
}  // namespace platform
