#include "AppMeasurement/features/APMSequenceTimestampsCache.h"

#include <algorithm>

#include "AppMeasurement/features/APMAudienceTimestamp.h"
#include "AppMeasurement/foundation/APMMonitor.h"

std::optional<std::vector<double>> APMSequenceTimestampsCache::sequenceTimestampsForFilterID(
    int32_t filterID) const {
  auto found = allSequenceTimestampsByFilterID_.find(filterID);
  if (found == allSequenceTimestampsByFilterID_.end()) return std::nullopt;
  return found->second;
}

void APMSequenceTimestampsCache::addEventFilterTimestamp(double timestamp, int32_t filterID) {
  std::vector<double>& times = allSequenceTimestampsByFilterID_[filterID];
  if (!times.empty() && times.back() > timestamp) {
    APMMonitor::monitor()->logWithLevel(
        5, 42000, "Adding a sequence timestamp less than the last added timestamp");
  }
  if (!times.empty() && APMAudienceTimestamp(times.back()) == APMAudienceTimestamp(timestamp)) {
    return;
  }
  times.push_back(timestamp);
}

void APMSequenceTimestampsCache::setUserPropertyTimestamp(double timestamp, int32_t filterID) {
  std::vector<double>& times = allSequenceTimestampsByFilterID_[filterID];
  if (!times.empty() && times.back() > timestamp) {
    APMMonitor::monitor()->logWithLevel(
        5, 42001, "Setting a sequence timestamp less than the last set timestamp");
  }
  times.assign(1, timestamp);
}

std::vector<APMPBSequenceFilterResultTimestamp>
APMSequenceTimestampsCache::sequenceFilterResultTimestamps() const {
  std::vector<APMPBSequenceFilterResultTimestamp> result;
  result.reserve(allSequenceTimestampsByFilterID_.size());
  for (const auto& [filterID, times] : allSequenceTimestampsByFilterID_) {
    APMPBSequenceFilterResultTimestamp entry;
    NANOSetInt32(entry, APMPBSequenceFilterResultTimestamp::kFilterId, filterID);
    if (!times.empty()) {
      std::vector<double> sorted = times;
      std::sort(sorted.begin(), sorted.end());
      std::vector<NANOObject> numbers;
      numbers.reserve(sorted.size());
      for (double time : sorted)
        numbers.emplace_back(NANONumber::fromInt64(APMAudienceTimestamp(time)));
      NANOSetArray(entry, APMPBSequenceFilterResultTimestamp::kEvalTimestamps, numbers);
    }
    result.push_back(std::move(entry));
  }
  return result;
}
