#include "AppMeasurement/foundation/APMRawEventData.h"

#include "AppMeasurement/foundation/APMMonitor.h"

std::optional<APMRawEventData> APMRawEventData::create(std::shared_ptr<const APMPBEvent> rawEvent,
                                                       int64_t rowID, int64_t metadataFingerprint) {
  if (!rawEvent) {
    APMMonitor::monitor()->logWithLevel(4, 28000,
                                        "Failed to create raw event data. Received invalid raw "
                                        "event.");
    return std::nullopt;
  }
  if (rowID < 0) {
    APMMonitor::monitor()->logWithLevel(
        4, 28001, "Failed to create raw event data. Received invalid row ID. Row ID",
        APMLogContext(static_cast<long long>(rowID)));
    return std::nullopt;
  }
  return APMRawEventData(std::move(rawEvent), rowID, metadataFingerprint);
}
