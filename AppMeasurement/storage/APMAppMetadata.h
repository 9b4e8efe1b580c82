#pragma once

#include <cstdint>
#include <optional>

// The install-wide upload state kept in the single app_metadata row: the index of the last
// bundle made, the index of the last delivery, and the time span of the last bundle (seconds
// since 1970). A plain value without locking, used on the worker queue.
class APMAppMetadata {
 public:
  // nullopt for a negative bundle index (logged, 4000).
  static std::optional<APMAppMetadata> create(int32_t lastBundleIndex, int32_t lastDeliveryIndex,
                                              double lastBundleStartTimestamp,
                                              double lastBundleEndTimestamp);
  static std::optional<APMAppMetadata> create(int32_t lastBundleIndex,
                                              double lastBundleStartTimestamp,
                                              double lastBundleEndTimestamp);

  // Adds the number of bundles just made. Past 2147483647 numbering restarts: the index
  // becomes count - 1 (logged, 4001).
  void increaseLastBundleIndex(int32_t count);
  // Adds 1; at 2147483647 the index becomes 0 instead (logged, 4002).
  void incrementLastDeliveryIndex();

  int32_t lastBundleIndex() const { return lastBundleIndex_; }
  int32_t lastDeliveryIndex() const { return lastDeliveryIndex_; }
  double lastBundleStartTimestamp() const { return lastBundleStartTimestamp_; }
  void setLastBundleStartTimestamp(double timestamp) { lastBundleStartTimestamp_ = timestamp; }
  double lastBundleEndTimestamp() const { return lastBundleEndTimestamp_; }
  void setLastBundleEndTimestamp(double timestamp) { lastBundleEndTimestamp_ = timestamp; }

  bool operator==(const APMAppMetadata&) const = default;

 private:
  APMAppMetadata(int32_t lastBundleIndex, int32_t lastDeliveryIndex, double start, double end)
      : lastBundleIndex_(lastBundleIndex),
        lastDeliveryIndex_(lastDeliveryIndex),
        lastBundleStartTimestamp_(start),
        lastBundleEndTimestamp_(end) {}

  int32_t lastBundleIndex_;
  int32_t lastDeliveryIndex_;
  double lastBundleStartTimestamp_;
  double lastBundleEndTimestamp_;
};
