#include "AppMeasurement/features/APMAudienceTimestampsCache.h"

#include "AppMeasurement/features/APMAudienceTimestamp.h"
#include "AppMeasurement/foundation/APMMonitor.h"
#include "AppMeasurement/storage/APMEventFilter.h"
#include "AppMeasurement/storage/APMFilterResult.h"
#include "AppMeasurement/storage/APMPropertyFilter.h"

void APMAudienceTimestampsCache::populateCachedTimestamps(const APMFilterResult* result,
                                                          int32_t audienceID) {
  const bool needsDynamic = !cachedDynamicFilterEvaluationTimestamps_.contains(audienceID);
  const bool needsSequence = !cachedSequenceEvaluationTimestamps_.contains(audienceID);
  if (!needsDynamic && !needsSequence) return;

  std::optional<APMPBResultData> data = APMPBResultData();
  if (result != nullptr && result->currentResults()) {
    data = APMPBResultData::initWithBuffer(*result->currentResults());
  }
  if (needsDynamic) {
    std::map<int32_t, double> times;
    if (data) {
      for (const auto& entry : NANOGetMessageArray<APMPBDynamicFilterResultTimestamp>(
                                   *data, APMPBResultData::kDynamicFilterTimestamps)
                                   .value_or(std::vector<APMPBDynamicFilterResultTimestamp>{})) {
        times[NANOGetInt32(entry, APMPBDynamicFilterResultTimestamp::kFilterId)] =
            static_cast<double>(
                NANOGetInt64(entry, APMPBDynamicFilterResultTimestamp::kEvalTimestamp));
      }
    }
    cachedDynamicFilterEvaluationTimestamps_.emplace(audienceID, std::move(times));
  }
  if (needsSequence) {
    APMSequenceTimestampsCache cache(audienceID);
    if (data) {
      for (const auto& entry : NANOGetMessageArray<APMPBSequenceFilterResultTimestamp>(
                                   *data, APMPBResultData::kSequenceFilterTimestamps)
                                   .value_or(std::vector<APMPBSequenceFilterResultTimestamp>{})) {
        auto times = NANOGetArray(entry, APMPBSequenceFilterResultTimestamp::kEvalTimestamps)
                         .value_or(std::vector<NANOObject>{});
        if (times.empty()) continue;
        const auto* last = std::get_if<NANONumber>(&times.back());
        if (last == nullptr) continue;
        cache.addEventFilterTimestamp(
            static_cast<double>(last->longLongValue()),
            NANOGetInt32(entry, APMPBSequenceFilterResultTimestamp::kFilterId));
      }
    }
    cachedSequenceEvaluationTimestamps_.emplace(audienceID, std::move(cache));
  }
}

void APMAudienceTimestampsCache::addEvaluationTimestamp(const APMEventFilter& filter,
                                                        double timestamp) {
  addTimestamp(filter.audienceID(), filter.filterID(), filter.isSequence(),
               filter.isDynamic() || filter.isSessionScoped(), /*eventFilter=*/true, timestamp);
}

void APMAudienceTimestampsCache::addEvaluationTimestamp(const APMPropertyFilter& filter,
                                                        double timestamp) {
  addTimestamp(filter.audienceID(), filter.filterID(), filter.isSequence(),
               filter.isDynamic() || filter.isSessionScoped(), /*eventFilter=*/false, timestamp);
}

void APMAudienceTimestampsCache::addTimestamp(int32_t audienceID, int32_t filterID, bool sequence,
                                              bool dynamicOrSession, bool eventFilter,
                                              double timestamp) {
  if (sequence) {
    auto found = cachedSequenceEvaluationTimestamps_.try_emplace(audienceID, audienceID).first;
    if (eventFilter) {
      found->second.addEventFilterTimestamp(timestamp, filterID);
    } else {
      found->second.setUserPropertyTimestamp(timestamp, filterID);
    }
    return;
  }
  if (!dynamicOrSession) return;
  auto audience = cachedDynamicFilterEvaluationTimestamps_.find(audienceID);
  if (audience == cachedDynamicFilterEvaluationTimestamps_.end()) return;
  auto stored = audience->second.find(filterID);
  const double cached = stored == audience->second.end() ? 0 : stored->second;
  if (cached < timestamp) {
    audience->second[filterID] = timestamp;
  } else {
    APMMonitor::monitor()->logWithLevel(
        5, 6037, "Candidate evaluation timestamp is earlier than cached evaluation timestamp");
  }
}

std::vector<APMPBDynamicFilterResultTimestamp>
APMAudienceTimestampsCache::dynamicTimestampsForAudienceID(int32_t audienceID) const {
  std::vector<APMPBDynamicFilterResultTimestamp> result;
  auto audience = cachedDynamicFilterEvaluationTimestamps_.find(audienceID);
  if (audience == cachedDynamicFilterEvaluationTimestamps_.end()) return result;
  for (const auto& [filterID, time] : audience->second) {
    APMPBDynamicFilterResultTimestamp entry;
    NANOSetInt32(entry, APMPBDynamicFilterResultTimestamp::kFilterId, filterID);
    NANOSetInt64(entry, APMPBDynamicFilterResultTimestamp::kEvalTimestamp,
                 APMAudienceTimestamp(time));
    result.push_back(std::move(entry));
  }
  return result;
}

std::optional<std::vector<APMPBSequenceFilterResultTimestamp>>
APMAudienceTimestampsCache::sequenceTimestampsForAudienceID(int32_t audienceID) const {
  auto found = cachedSequenceEvaluationTimestamps_.find(audienceID);
  if (found == cachedSequenceEvaluationTimestamps_.end()) return std::nullopt;
  return found->second.sequenceFilterResultTimestamps();
}
