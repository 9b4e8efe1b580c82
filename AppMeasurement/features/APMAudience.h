#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "AppMeasurement/foundation/APMError.h"
#include "AppMeasurement/foundation/APMValue.h"
#include "AppMeasurement/messages/APMPBMessages.h"

class APMAudienceTimestampsCache;
class APMDatabase;
class APMEvent;
class APMEventAggregates;
class APMFilterResult;
class APMUserAttribute;

// The on-device state of server-defined audiences: evaluates event and property filters,
// keeps each audience's filter bits and times in the measurement database, turns them into
// the leaves of an upload bundle, clears session-scoped results, and replaces the stored
// definitions when a new configuration arrives.
//
// Worker queue only; holds no state of its own beyond the database it is given, which must
// outlive it. Each evaluation and each bundling writes once, at its end, so a failure leaves
// the stored results as they were. Stored rows are untrusted: a filter id out of range, word
// arrays of unequal length or undecodable bytes are read defensively and never indexed past.
class APMAudience {
 public:
  // The remote limits read by definition updates (defaults of the remote configuration).
  struct Limits {
    int32_t maxAudienceCount = 100;
    int32_t maxFiltersPerAudience = 10;
    int32_t maxFilterResultCount = 200;
    int32_t maxParametersPerFilter = 25;
  };
  using LimitsProvider = std::function<Limits()>;

  // Filter ids at or above this can never be valid (the largest filter limit is 100).
  static constexpr int32_t kMaxFilterID = 100;

  // initWithDatabase:. The limits are read on each definition update; null gives the defaults.
  explicit APMAudience(APMDatabase& database, LimitsProvider limits = nullptr);

  // Replaces all stored filters with the valid audiences. Runs inside the caller's
  // transaction (begins none of its own).
  bool updateAudiences(const std::vector<APMPBAudience>& audiences);
  bool maybeDeleteStaleFilterResults(const std::set<int32_t>& acceptedAudienceIDs);

  bool evaluateFiltersForEvent(const APMEvent& event, const APMEventAggregates& aggregates,
                               APMAudienceTimestampsCache* cache);
  bool evaluateFiltersForEventName(const std::string& name, const APMValueMap& parameters,
                                   const APMEventAggregates& aggregates, double eventTimestamp,
                                   APMAudienceTimestampsCache* cache);
  bool evaluateFiltersForUserProperty(const APMUserAttribute& property,
                                      APMAudienceTimestampsCache* cache,
                                      double evaluationTimestamp);
  bool evaluateFiltersForNanoUserProperty(const APMPBUserAttribute& property,
                                          APMAudienceTimestampsCache* cache,
                                          std::optional<double> evaluationTime);

  // The leaves of the next bundle; nothing (and NO) on a storage failure.
  bool resultsForBundling(std::optional<std::vector<APMPBAudienceLeafFilterResult>>* results);
  bool clearEvaluationResultsForSessionScopedFilters();

  static bool isFilterResultTrueForFilterID(const APMFilterResult* result, int32_t filterID);
  static APMFilterResult updatedFilterResult(int32_t filterID, int32_t audienceID,
                                             const APMFilterResult* current, bool newResult,
                                             const APMAudienceTimestampsCache& cache);

 private:
  APMDatabase& database_;
  LimitsProvider limits_;
};

// Validates one audience definition against the limits and the ids accepted so far; the
// first failure rejects it (codes 9, 10, 11 of the measurement error domain).
bool APMValidateAudience(const APMPBAudience& audience, const std::set<int32_t>& acceptedIDs,
                         const APMAudience::Limits& limits, APMErrorSlot* error);
