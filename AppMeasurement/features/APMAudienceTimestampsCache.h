#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "AppMeasurement/features/APMSequenceTimestampsCache.h"
#include "AppMeasurement/messages/APMPBMessages.h"

class APMEventFilter;
class APMFilterResult;
class APMPropertyFilter;

// The evaluation times of dynamic, session-scoped and sequence filters during one evaluation
// pass (one bundle, or one single evaluation call). Loads an audience's stored times the first
// time the pass touches it, collects new times as filters evaluate true, and hands back the
// arrays the audience's updated ResultData carries (fields 3 and 4).
//
// Worker queue only; discarded at the end of the pass. Times are seconds since 1970 (doubles)
// in memory and int64, truncated toward zero, in messages.
class APMAudienceTimestampsCache {
 public:
  // Loads the audience's stored times from its current ResultData (no result, empty or
  // undecodable bytes load nothing). Each half runs only for the first call per audience.
  void populateCachedTimestamps(const APMFilterResult* result, int32_t audienceID);

  // Records that the filter evaluated true at the time: a sequence step is added (event) or
  // replaced (property); a dynamic or session-scoped filter keeps the later of the cached and
  // the new time (an earlier or equal time logs 6037); a plain filter records nothing.
  void addEvaluationTimestamp(const APMEventFilter& filter, double timestamp);
  void addEvaluationTimestamp(const APMPropertyFilter& filter, double timestamp);

  // One entry per filter of the audience's dynamic map, ascending filter id; empty when none.
  std::vector<APMPBDynamicFilterResultTimestamp> dynamicTimestampsForAudienceID(
      int32_t audienceID) const;
  // The sequence entries, or nothing when the audience has no sequence cache.
  std::optional<std::vector<APMPBSequenceFilterResultTimestamp>> sequenceTimestampsForAudienceID(
      int32_t audienceID) const;

 private:
  void addTimestamp(int32_t audienceID, int32_t filterID, bool sequence, bool dynamicOrSession,
                    bool eventFilter, double timestamp);

  std::map<int32_t, std::map<int32_t, double>> cachedDynamicFilterEvaluationTimestamps_;
  std::map<int32_t, APMSequenceTimestampsCache> cachedSequenceEvaluationTimestamps_;
};
