#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/dispatch/DispatchQueue.h"

// Owns the measurement library's one serial worker queue and runs work on it as named
// blocks. A block identifier (by convention "ClassName:line") names the block in the log
// line written when it raises. The scheduler has no lock; its methods may be called from
// any thread.
class APMScheduler {
 public:
  // Creates the serial worker queue with the label (the engine passes
  // "com.orvane.kvla.worker").
  explicit APMScheduler(std::string workerQueueLabel);

  // The worker queue, for callers that compare against it or dispatch to it directly.
  const std::shared_ptr<platform::DispatchQueue>& workerQueue() const { return workerQueue_; }

  // Runs the block later on the worker queue. A platform exception raised by the block is
  // caught and logged (30000) and the queue goes on; an empty block is not dispatched (30005).
  void scheduleOnWorkerQueueBlockID(std::string blockID, platform::Block block);

  // Runs the block as scheduleOnWorkerQueueBlockID's blocks run, on the worker queue: a
  // platform exception is caught and logged (30000). For blocks gathered into one turn of the
  // queue (APMBlockGrouper).
  static void runScheduledBlock(const std::string& blockID, const platform::Block& block);

  // Runs the block on the worker queue and waits for it. A platform exception raised by the
  // block is logged (30003) on the queue and then, on the calling side, 30004 tells that the
  // block did not finish. Called from the worker queue itself, the block runs inline rather
  // than deadlocking. An empty block is not run (30002).
  void dispatchSyncOnWorkerQueueBlockID(std::string blockID, platform::Block block);

  // True off the main thread. On the main thread logs 30001 naming the method and answers
  // false; callers carry on either way.
  static bool checkOnBackgroundThreadWithMethodName(std::string_view methodName);

 private:
  std::shared_ptr<platform::DispatchQueue> workerQueue_;
};
