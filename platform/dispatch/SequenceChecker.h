#pragma once

#include <memory>
#include <string_view>

#include "platform/dispatch/DispatchQueue.h"

namespace platform {

// Checks that code runs on the queue it belongs to (a Chromium-style sequence checker).
// Holds the queue weakly: once the queue is gone every check fails.
class SequenceChecker {
 public:
  explicit SequenceChecker(const std::shared_ptr<DispatchQueue>& queue) : queue_(queue) {}

  // True when the caller runs on the queue.
  bool calledOnValidSequence() const {
    auto queue = queue_.lock();
    return queue && queue->isCurrent();
  }
  // Logs and, in debug builds, aborts when the caller is not on the queue.
  void check(std::string_view where) const;

 private:
  std::weak_ptr<DispatchQueue> queue_;
};

}  // namespace platform
