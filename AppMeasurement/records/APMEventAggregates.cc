#include "AppMeasurement/records/APMEventAggregates.h"

#include <limits>

#include "AppMeasurement/foundation/APMDataTypeValidator.h"
#include "AppMeasurement/foundation/APMMonitor.h"

namespace {

// The stored counts wrap rather than saturate: a row that reached the ceiling starts over.
void incrementWrapping(int32_t& count, int64_t code, std::string_view message) {
  if (count >= std::numeric_limits<int32_t>::max()) {
    count = 0;
    APMMonitor::monitor()->logWithLevel(5, code, message);
    return;
  }
  ++count;
}

}  // namespace

std::optional<APMEventAggregates> APMEventAggregates::create(std::string name,
                                                             int32_t lifetimeCount,
                                                             int32_t currentBundleCount,
                                                             int32_t currentSessionCount,
                                                             double lastFireTimestamp) {
  if (!APMDataTypeValidator::isValidInternalEventName(name)) return std::nullopt;
  if (lifetimeCount < 0 || currentBundleCount < 0 || currentSessionCount < 0) {
    APMMonitor::monitor()->logWithLevel(
        5, 17000, "Failed to create event aggregates object. Received negative count.");
    return std::nullopt;
  }
  return APMEventAggregates(std::move(name), lifetimeCount, currentBundleCount, currentSessionCount,
                            lastFireTimestamp);
}

void APMEventAggregates::incrementLifetimeCount() {
  incrementWrapping(lifetimeCount_, 17001, "Lifetime count overflow. Lifetime count reset to 0.");
}

void APMEventAggregates::incrementCurrentBundleCount() {
  incrementWrapping(currentBundleCount_, 17002, "Bundle count overflow. Bundle count reset to 0.");
}

void APMEventAggregates::incrementCurrentSessionCount() {
  incrementWrapping(currentSessionCount_, 17003,
                    "Session count overflow. Session count reset to 0.");
}
