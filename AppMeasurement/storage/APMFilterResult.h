#pragma once

#include <cstdint>
#include <optional>
#include <string>

// The stored evaluation results of one audience: the encoded current ResultData message and the
// encoded previous one, each absent when there is none. A value object that never fails.
class APMFilterResult {
 public:
  APMFilterResult(int32_t audienceID, std::optional<std::string> currentResults,
                  std::optional<std::string> previousResults)
      : audienceID_(audienceID),
        currentResults_(std::move(currentResults)),
        previousResults_(std::move(previousResults)) {}

  int32_t audienceID() const { return audienceID_; }
  const std::optional<std::string>& currentResults() const { return currentResults_; }
  const std::optional<std::string>& previousResults() const { return previousResults_; }

  bool operator==(const APMFilterResult&) const = default;

 private:
  int32_t audienceID_;
  std::optional<std::string> currentResults_;
  std::optional<std::string> previousResults_;
};
