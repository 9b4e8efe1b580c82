// Blocks gathered into one turn of the worker queue: which blocks join a group, in what order
// everything runs, and what a raising block does to the rest of its group.
#include "AppMeasurement/foundation/APMBlockGrouper.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/dispatch/DispatchSemaphore.h"
#include "platform/foundation/Exception.h"
#include "tests/AppMeasurement/foundation/MonitorTestEnvironment.h"
#include "tests/AppMeasurement/foundation/MonitorTestHooks.h"

namespace {

class APMBlockGrouperTest : public testsupport::MonitorTestEnvironment {
 protected:
  void SetUp() override {
    MonitorTestEnvironment::SetUp();
    hooks = std::make_unique<testsupport::MonitorTestHooks>();
  }
  void TearDown() override {
    MonitorTestEnvironment::TearDown();
    hooks.reset();
  }

  // Keeps the worker queue busy until release(), so that what is submitted meanwhile waits.
  void hold() {
    scheduler->scheduleOnWorkerQueueBlockID("test:hold", [this] { held.wait(); });
  }
  void release() { held.signal(); }

  // A grouper whose groups are recorded as "[a b]", lone blocks as themselves.
  APMBlockGrouper grouper(size_t maxBlocks) {
    return APMBlockGrouper(scheduler, "test:event", maxBlocks,
                           [this](const std::function<void()>& runBlocks) {
                             ran.push_back("[");
                             runBlocks();
                             ran.push_back("]");
                           });
  }
  platform::Block step(std::string name) {
    return [this, name] { ran.push_back(name); };
  }

  std::unique_ptr<testsupport::MonitorTestHooks> hooks;
  std::shared_ptr<APMScheduler> scheduler =
      std::make_shared<APMScheduler>("com.orvane.kvla.worker");
  platform::DispatchSemaphore held{0};
  std::vector<std::string> ran;  // worker queue only
};

std::string joined(const std::vector<std::string>& parts) {
  std::string text;
  for (const std::string& part : parts) text += (text.empty() ? "" : " ") + part;
  return text;
}

TEST_F(APMBlockGrouperTest, OnlyBlocksWithNothingSubmittedBetweenShareATurn) {
  struct Case {
    const char* what;
    size_t maxBlocks;
    // "e" submits a grouped block, "x" another block on the worker queue.
    std::string submissions;
    std::string expected;
  };
  const Case cases[] = {
      {"a run of blocks", 8, "eee", "[ e1 e2 e3 ]"},
      {"a lone block runs without the runner", 8, "e", "e1"},
      {"another block between splits the run", 8, "eexe", "[ e1 e2 ] x e3"},
      {"another block first", 8, "xee", "x [ e1 e2 ]"},
      {"at most maxBlocks join", 2, "eeeee", "[ e1 e2 ] [ e3 e4 ] e5"},
  };
  for (const Case& c : cases) {
    ran.clear();
    APMBlockGrouper blocks = grouper(c.maxBlocks);
    hold();
    int events = 0;
    for (char kind : c.submissions) {
      if (kind == 'e') {
        blocks.submit(step("e" + std::to_string(++events)));
      } else {
        scheduler->scheduleOnWorkerQueueBlockID("test:other", step("x"));
      }
    }
    release();
    settle();
    EXPECT_EQ(joined(ran), c.expected) << c.what;
  }
}

TEST_F(APMBlockGrouperTest, ABlockSubmittedOnceItsGroupStartedWaitsForTheNextTurn) {
  APMBlockGrouper blocks = grouper(8);
  platform::DispatchSemaphore inFirst(0), goOn(0);
  blocks.submit([&] {
    ran.push_back("e1");
    inFirst.signal();
    goOn.wait();
  });
  inFirst.wait();
  blocks.submit(step("e2"));
  blocks.submit(step("e3"));
  goOn.signal();
  settle();
  EXPECT_EQ(joined(ran), "e1 [ e2 e3 ]");
}

TEST_F(APMBlockGrouperTest, ARaisingBlockIsLoggedAndTheRestOfItsGroupRuns) {
  APMBlockGrouper blocks = grouper(8);
  hold();
  blocks.submit(step("e1"));
  blocks.submit([] { throw platform::Exception("NSInvalidArgumentException", "bad event"); });
  blocks.submit(step("e3"));
  release();
  settle();
  EXPECT_EQ(joined(ran), "[ e1 e3 ]");
  EXPECT_TRUE(capture.contains(
      "[I-ACS030000] ERROR: Exception on worker queue. Block ID=test:event. Exception: "));
}

}  // namespace
