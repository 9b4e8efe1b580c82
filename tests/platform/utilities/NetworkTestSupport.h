#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/utilities/OULNetwork.h"
#include "platform/utilities/OULNetworkLoggerDelegate.h"

namespace oultest {

// What one request's completion saw: how often it ran, whether on the expected queue, and
// its arguments. Waiting is for an event (the completion), bounded only as a safety net.
struct Outcome {
  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  int calls = 0;
  bool onQueue = false;
  std::optional<OULHTTPURLResponse> response;
  std::optional<std::string> data;
  std::optional<OULError> error;

  static OULNetwork::CompletionHandler recordInto(std::shared_ptr<Outcome> outcome,
                                                  std::shared_ptr<platform::DispatchQueue> queue) {
    return [outcome, queue](const std::optional<OULHTTPURLResponse>& response,
                            const std::optional<std::string>& data,
                            const std::optional<OULError>& error) {
      std::lock_guard<std::mutex> lock(outcome->mutex);
      ++outcome->calls;
      outcome->onQueue = queue->isCurrent();
      outcome->response = response;
      outcome->data = data;
      outcome->error = error;
      outcome->changed.notify_all();
    };
  }

  bool wait(std::chrono::seconds limit = std::chrono::seconds(20)) const {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, limit, [&] { return calls > 0; });
  }
  int callCount() const {
    std::lock_guard<std::mutex> lock(mutex);
    return calls;
  }
};

// Collects what the network object logs.
class RecordingLogger : public OULNetworkLoggerDelegate {
 public:
  struct Line {
    OULLoggerLevel level;
    int64_t code;
    std::string message;
    std::vector<platform::Value> contexts;
  };
  void OULNetwork_logWithLevel(OULLoggerLevel level, int64_t messageCode,
                               const std::string& message,
                               const std::vector<platform::Value>& contexts) override {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back({level, messageCode, message, contexts});
  }
  std::vector<Line> lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  bool has(int64_t code) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& line : lines_) {
      if (line.code == code) return true;
    }
    return false;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Line> lines_;
};

}  // namespace oultest
