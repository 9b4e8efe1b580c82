#include "AppMeasurement/foundation/APMScheduler.h"

#include "AppMeasurement/foundation/APMMonitor.h"
#include "platform/foundation/Exception.h"

namespace {

// Runs a named block, catching the platform exception class only (others are not the
// library's to handle). Returns whether the block ran to its end.
bool runNamedBlock(const std::string& blockID, const platform::Block& block, int64_t code,
                   std::string_view what) {
  try {
    block();
    return true;
  } catch (const platform::Exception& exception) {
    APMMonitor::monitor()->logWithLevel(
        1, code, std::string(what) + " Block ID=" + blockID + ". Exception", exception);
    return false;
  }
}

}  // namespace

APMScheduler::APMScheduler(std::string workerQueueLabel)
    : workerQueue_(platform::DispatchQueue::createSerial(std::move(workerQueueLabel))) {}

void APMScheduler::scheduleOnWorkerQueueBlockID(std::string blockID, platform::Block block) {
  if (!block) {
    APMMonitor::monitor()->logWithLevel(
        1, 30005, "Nil block dispatched asynchronously on worker queue. Block ID=" + blockID + ".");
    return;
  }
  workerQueue_->async([blockID = std::move(blockID), block = std::move(block)] {
    runScheduledBlock(blockID, block);
  });
}

void APMScheduler::runScheduledBlock(const std::string& blockID, const platform::Block& block) {
  runNamedBlock(blockID, block, 30000, "Exception on worker queue.");
}

void APMScheduler::dispatchSyncOnWorkerQueueBlockID(std::string blockID, platform::Block block) {
  if (!block) {
    APMMonitor::monitor()->logWithLevel(
        1, 30002, "Nil block dispatched synchronously on worker queue. Block ID=" + blockID + ".");
    return;
  }
  bool completed = false;
  workerQueue_->sync([&] {
    completed = runNamedBlock(blockID, block, 30003,
                              "Exception on worker queue when processing sync block.");
  });
  if (!completed) {
    APMMonitor::monitor()->logWithLevel(4, 30004, "Synchronous task failed. Block ID=" + blockID);
  }
}

bool APMScheduler::checkOnBackgroundThreadWithMethodName(std::string_view methodName) {
  if (!platform::DispatchQueue::isMainThread()) return true;
  std::string name = methodName.empty() ? "<empty method name>" : std::string(methodName);
  APMMonitor::monitor()->logWithLevel(1, 30001,
                                      "Method " + name + " should execute on background thread");
  return false;
}
