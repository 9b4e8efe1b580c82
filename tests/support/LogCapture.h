#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/foundation/PlatformLog.h"

namespace testsupport {

// Captures every line written to the platform log while it lives.
class LogCapture {
 public:
  LogCapture() {
    previous_ = platform::PlatformLog::setSink([this](const std::string& line) {
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.push_back(line);
    });
  }
  ~LogCapture() { platform::PlatformLog::setSink(previous_); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  // True when some captured line contains the text.
  bool contains(const std::string& text) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& line : lines_) {
      if (line.find(text) != std::string::npos) return true;
    }
    return false;
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
  platform::PlatformLog::Sink previous_;
};

}  // namespace testsupport
