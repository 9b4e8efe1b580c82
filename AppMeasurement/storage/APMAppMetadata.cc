#include "AppMeasurement/storage/APMAppMetadata.h"

#include <limits>

#include "AppMeasurement/foundation/APMMonitor.h"

std::optional<APMAppMetadata> APMAppMetadata::create(int32_t lastBundleIndex,
                                                     int32_t lastDeliveryIndex,
                                                     double lastBundleStartTimestamp,
                                                     double lastBundleEndTimestamp) {
  if (lastBundleIndex < 0) {
    APMMonitor::monitor()->logWithLevel(
        2, 4000, "Failed to create app metadata object. Received negative last bundle index.");
    return std::nullopt;
  }
  return APMAppMetadata(lastBundleIndex, lastDeliveryIndex, lastBundleStartTimestamp,
                        lastBundleEndTimestamp);
}

std::optional<APMAppMetadata> APMAppMetadata::create(int32_t lastBundleIndex,
                                                     double lastBundleStartTimestamp,
                                                     double lastBundleEndTimestamp) {
  return create(lastBundleIndex, 0, lastBundleStartTimestamp, lastBundleEndTimestamp);
}

void APMAppMetadata::increaseLastBundleIndex(int32_t count) {
  int64_t next = static_cast<int64_t>(lastBundleIndex_) + count;
  if (next > std::numeric_limits<int32_t>::max()) {
    APMMonitor::monitor()->logWithLevel(5, 4001, "Bundle index overflow. Bundle index wraparound.");
    next = static_cast<int64_t>(count) - 1;
  }
  lastBundleIndex_ = static_cast<int32_t>(next);
}

void APMAppMetadata::incrementLastDeliveryIndex() {
  if (lastDeliveryIndex_ >= std::numeric_limits<int32_t>::max()) {
    APMMonitor::monitor()->logWithLevel(5, 4002,
                                        "Delivery index overflow. Delivery index reset to 0.");
    lastDeliveryIndex_ = 0;
    return;
  }
  ++lastDeliveryIndex_;
}
