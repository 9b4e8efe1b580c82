#pragma once

#include <cstdint>
#include <optional>
#include <string>

// The per-event-name counters and sampling state, one stored row per name. A value type,
// owned by whoever read it (the engine on its worker queue); not synchronised.
class APMEventAggregates {
 public:
  // initWithName:lifetimeCount:currentBundleCount:currentSessionCount:lastFireTimestamp:.
  // Nothing for a name the internal event-name rule refuses, or (logging 17000) for a
  // negative count. A new object: last bundling time 0 and day 0, no last sampled complex
  // event, last sampling rate 1, not exempt from sampling.
  static std::optional<APMEventAggregates> create(std::string name, int32_t lifetimeCount,
                                                  int32_t currentBundleCount,
                                                  int32_t currentSessionCount,
                                                  double lastFireTimestamp);

  // Each adds one; a count at 2147483647 goes back to 0 (logging 17001, 17002, 17003).
  void incrementLifetimeCount();
  void incrementCurrentBundleCount();
  void incrementCurrentSessionCount();

  const std::string& name() const { return name_; }
  int32_t lifetimeCount() const { return lifetimeCount_; }
  int32_t currentBundleCount() const { return currentBundleCount_; }
  int32_t currentSessionCount() const { return currentSessionCount_; }
  double lastFireTimestamp() const { return lastFireTimestamp_; }
  double lastBundledTimestamp() const { return lastBundledTimestamp_; }
  int32_t lastBundledDay() const { return lastBundledDay_; }
  int32_t lastSamplingRate() const { return lastSamplingRate_; }
  bool lastExemptFromSampling() const { return lastExemptFromSampling_; }
  const std::optional<int64_t>& lastSampledComplexEventID() const {
    return lastSampledComplexEventID_;
  }

  void setLastFireTimestamp(double timestamp) { lastFireTimestamp_ = timestamp; }
  void setLastBundledTimestamp(double timestamp) { lastBundledTimestamp_ = timestamp; }
  void setLastBundledDay(int32_t day) { lastBundledDay_ = day; }
  void setLastSamplingRate(int32_t rate) { lastSamplingRate_ = rate; }
  void setLastExemptFromSampling(bool exempt) { lastExemptFromSampling_ = exempt; }
  void setLastSampledComplexEventID(std::optional<int64_t> identifier) {
    lastSampledComplexEventID_ = identifier;
  }

  bool operator==(const APMEventAggregates&) const = default;

 private:
  APMEventAggregates(std::string name, int32_t lifetimeCount, int32_t currentBundleCount,
                     int32_t currentSessionCount, double lastFireTimestamp)
      : name_(std::move(name)),
        lifetimeCount_(lifetimeCount),
        currentBundleCount_(currentBundleCount),
        currentSessionCount_(currentSessionCount),
        lastFireTimestamp_(lastFireTimestamp) {}

  std::string name_;
  int32_t lifetimeCount_;
  int32_t currentBundleCount_;
  int32_t currentSessionCount_;
  double lastFireTimestamp_;
  double lastBundledTimestamp_ = 0;
  int32_t lastBundledDay_ = 0;
  int32_t lastSamplingRate_ = 1;
  bool lastExemptFromSampling_ = false;
  std::optional<int64_t> lastSampledComplexEventID_;
};
