#pragma once

#include <atomic>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "platform/capacitor/CAPBridgePage.h"
#include "platform/foundation/JSONSerialization.h"

namespace platform {
// Readable failures for values in expectations.
inline void PrintTo(const Value& value, std::ostream* os) { *os << value.description(); }
}  // namespace platform

namespace testsupport {

// A page that keeps every frame sent to it, parsed, in order.
class RecordingPage : public platform::CAPBridgePage {
 public:
  explicit RecordingPage(uint64_t id = 1) : id_(id) {}
  uint64_t pageId() const override { return id_; }
  void send(std::string frame) override {
    if (closed_) return;
    std::lock_guard lock(mutex_);
    frames_.push_back(*platform::JSONSerialization::JSONObjectWithData(frame));
  }
  bool isClosed() const override { return closed_; }
  void close() { closed_ = true; }

  std::vector<platform::Value> frames() const {
    std::lock_guard lock(mutex_);
    return frames_;
  }

 private:
  const uint64_t id_;
  std::atomic<bool> closed_{false};
  mutable std::mutex mutex_;
  std::vector<platform::Value> frames_;
};

}  // namespace testsupport
