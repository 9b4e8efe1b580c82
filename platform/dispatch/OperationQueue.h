#pragma once

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
class OperationQueue {
 public:
  OperationQueue(std::string name, bool suspended);
  // Operations not yet started are dropped; a running one finishes on its own.
  ~OperationQueue();
  OperationQueue(const OperationQueue&) = delete;
  OperationQueue& operator=(const OperationQueue&) = delete;

  const std::string& name() const { return name_; }

  void addOperation(Block operation);
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
