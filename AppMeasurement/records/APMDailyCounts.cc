#include "AppMeasurement/records/APMDailyCounts.h"

#include <algorithm>
#include <limits>

namespace {

void addSaturating(int32_t& count, int64_t amount) {
  int64_t sum = static_cast<int64_t>(count) + amount;
  count = static_cast<int32_t>(std::clamp<int64_t>(sum, std::numeric_limits<int32_t>::min(),
                                                   std::numeric_limits<int32_t>::max()));
}

}  // namespace

void APMDailyCounts::moveToDay(int32_t day) {
  if (day != day_) resetWithNewDay(day);
}

void APMDailyCounts::incrementCountsForCurrentDay(int32_t day, bool isPublicEvent,
                                                  bool isConversion) {
  incrementCountsForCurrentDay(day, isPublicEvent, isConversion, 1);
}

void APMDailyCounts::incrementCountsForCurrentDay(int32_t day, bool isPublicEvent,
                                                  bool isConversion, int32_t effectiveEventCount) {
  moveToDay(day);
  if (isConversion) addSaturating(conversionsCount_, 1);
  addSaturating(allEventsCount_, effectiveEventCount);
  if (isPublicEvent) addSaturating(publicEventsCount_, effectiveEventCount);
}

void APMDailyCounts::incrementErrorEventsCountForCurrentDay(int32_t day) {
  moveToDay(day);
  addSaturating(allEventsCount_, 1);
  addSaturating(errorEventsCount_, 1);
}

void APMDailyCounts::incrementRealtimeCountsForCurrentDay(int32_t day) {
  moveToDay(day);
  addSaturating(realtimeCount_, 1);
}

void APMDailyCounts::incrementDCURealtimeCountsForCurrentDay(int32_t day) {
  moveToDay(day);
  addSaturating(dcuRealtimeCount_, 1);
}

void APMDailyCounts::decrementAllEventsCount() {
  if (allEventsCount_ > 0) --allEventsCount_;
}

void APMDailyCounts::resetWithNewDay(int32_t day) {
  day_ = day;
  conversionsCount_ = 0;
  allEventsCount_ = 0;
  publicEventsCount_ = 0;
  errorEventsCount_ = 0;
  realtimeCount_ = 0;
  dcuRealtimeCount_ = 0;
}
