// Work that reaches a queue while the process ends: an exit handler may still sync onto
// a queue after the main thread's thread-local objects were destroyed.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>

#include "platform/dispatch/DispatchQueue.h"
#include "tests/support/ChildProcess.h"

namespace platform {
namespace {

const std::shared_ptr<DispatchQueue>& exitQueue() {
  static auto* queue = new std::shared_ptr<DispatchQueue>(DispatchQueue::createSerial("test.exit"));
  return *queue;
}

std::atomic<int> ranAtExit{0};

void syncAtExit() {
  exitQueue()->sync([] {
    exitQueue()->sync([] { ++ranAtExit; });  // nested: the queue is already the current one
  });
  // The exit status tells the parent whether the block ran.
  if (ranAtExit.load() != 1) std::_Exit(3);
}

TEST(DispatchExitChild, DISABLED_SyncsFromAnExitHandler) {
  // The main thread enters queues before the exit handler does, so its thread-local state
  // holds memory when it is destroyed.
  exitQueue()->sync([] { exitQueue()->async([] {}); });
  DispatchQueue::main()->sync([] {});
  std::atexit(&syncAtExit);
}

TEST(DispatchExitTest, SyncFromAnExitHandlerRunsTheBlock) {
  for (int run = 0; run < 4; ++run) {
    EXPECT_EQ(testsupport::runThisBinary("DispatchExitChild.DISABLED_SyncsFromAnExitHandler", {}),
              0)
        << "run " << run;
  }
}

}  // namespace
}  // namespace platform
