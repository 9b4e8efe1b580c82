#pragma once

#include <atomic>
#include <future>
#include <memory>
#include <thread>

#include "platform/dispatch/DispatchQueue.h"

namespace testsupport {

// Keeps a serial queue busy from construction until destruction, so that a test can show that
// a call does not wait for that queue. Waits for a real thread, never for a time-out.
class QueueHold {
 public:
  explicit QueueHold(const std::shared_ptr<platform::DispatchQueue>& queue) {
    std::shared_future<void> released = released_.get_future().share();
    queue->async([this, released] {
      holding_ = true;
      released.wait();
    });
    while (!holding_) std::this_thread::yield();
  }
  ~QueueHold() { released_.set_value(); }
  QueueHold(const QueueHold&) = delete;
  QueueHold& operator=(const QueueHold&) = delete;

 private:
  std::promise<void> released_;
  std::atomic<bool> holding_{false};
};

}  // namespace testsupport
