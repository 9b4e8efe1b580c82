#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/dispatch/DispatchQueue.h"

namespace platform {

struct OperationQueueState;

// An operation queue that runs one operation at a time, in the order added (the
// maxConcurrentOperationCount 1 kind). It can be created suspended: operations then wait
// until setSuspended(false). Suspending lets the running operation finish and keeps the
// others waiting. Operations run on a serial dispatch queue labelled with the name.
// Thread-safe.
//
// Adding costs the caller one lock of the queue and, when the queue's thread sleeps, one
// wake-up sent after that lock is let go; nothing else runs on the caller's thread.
class OperationQueue {
 public:
  // An operation that receives the wall time at which it joined the queue.
  using TimedOperation = std::function<void(double now)>;

  OperationQueue(std::string name, bool suspended);
  // Operations not yet started are dropped; a running one finishes on its own.
  ~OperationQueue();
  OperationQueue(const OperationQueue&) = delete;
  OperationQueue& operator=(const OperationQueue&) = delete;

  const std::string& name() const { return name_; }

  void addOperation(Block operation);
  // Adds an operation and reads the wall time (Clock::current()->now()) in the same critical
  // section: operations added this way receive times in the order in which they run.
  void addTimedOperation(TimedOperation operation);
  void setSuspended(bool suspended);
  bool isSuspended() const;
  // Operations added and not yet finished.
  size_t operationCount() const;
  // Waits until every operation added has finished. On a suspended queue with operations
  // pending this waits until someone resumes it. Must not be called from an operation.
  void waitUntilAllOperationsAreFinished();

 private:
  const std::string name_;
  std::shared_ptr<OperationQueueState> state_;
};

}  // namespace platform
