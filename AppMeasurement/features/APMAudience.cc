#include "AppMeasurement/features/APMAudience.h"

#include <map>

#include "AppMeasurement/features/APMAudienceTimestampsCache.h"
#include "AppMeasurement/features/APMFilterMatching.h"
#include "AppMeasurement/foundation/APMMonitor.h"
#include "AppMeasurement/foundation/APMUserAttribute.h"
#include "AppMeasurement/records/APMEvent.h"
#include "AppMeasurement/records/APMEventAggregates.h"
#include "AppMeasurement/storage/APMDatabase.h"

namespace {

APMMonitor& monitor() { return *APMMonitor::monitor(); }

std::string errorText(const APMErrorSlot& error) { return error ? error->description() : ""; }

// The word arrays of a ResultData, both grown to the longer length (missing words read 0), so
// that a stored row with arrays of unequal length can never be indexed past its end.
struct Words {
  std::vector<uint64_t> status;
  std::vector<uint64_t> results;

  static Words of(const APMPBResultData& data) {
    Words words;
    auto read = [&](uint32_t slot, std::vector<uint64_t>& into) {
      for (const NANOObject& o : NANOGetArray(data, slot).value_or(std::vector<NANOObject>{})) {
        const auto* n = std::get_if<NANONumber>(&o);
        into.push_back(n ? n->unsignedLongLongValue() : 0);
      }
    };
    read(APMPBResultData::kStatus, words.status);
    read(APMPBResultData::kResults, words.results);
    const size_t size = std::max(words.status.size(), words.results.size());
    words.status.resize(size, 0);
    words.results.resize(size, 0);
    return words;
  }

  void store(APMPBResultData& data) const {
    auto write = [&](uint32_t slot, const std::vector<uint64_t>& from) {
      std::vector<NANOObject> list;
      list.reserve(from.size());
      for (uint64_t w : from) list.emplace_back(NANONumber::fromUInt64(w));
      NANOSetArray(data, slot, list);
    };
    write(APMPBResultData::kStatus, status);
    write(APMPBResultData::kResults, results);
  }

  bool anyStatus() const {
    for (uint64_t w : status) {
      if (w != 0) return true;
    }
    return false;
  }
};

bool validFilterID(int32_t filterID) {
  return filterID >= 0 && filterID < APMAudience::kMaxFilterID;
}

std::optional<APMPBResultData> decodeCurrent(const APMFilterResult* result) {
  if (result == nullptr || !result->currentResults()) return APMPBResultData();
  return APMPBResultData::initWithBuffer(*result->currentResults());
}

// Whether a filter is to be evaluated: always unless its bit is true; then only when it is
// re-evaluated on every input.
template <class Record>
bool shouldEvaluate(const Record& filter, bool currentlyTrue) {
  return !currentlyTrue || filter.isDynamic() || filter.isSequence() || filter.isSessionScoped();
}

}  // namespace

APMAudience::APMAudience(APMDatabase& database, LimitsProvider limits)
    : database_(database), limits_(std::move(limits)) {}

bool APMAudience::isFilterResultTrueForFilterID(const APMFilterResult* result, int32_t filterID) {
  if (result == nullptr || !result->currentResults() || result->currentResults()->empty()) {
    return false;
  }
  if (!validFilterID(filterID)) return false;
  auto data = APMPBResultData::initWithBuffer(*result->currentResults());
  if (!data) return false;
  auto empty = [&](uint32_t slot) {
    auto words = NANOGetArray(*data, slot);
    return !words || words->empty();
  };
  if (empty(APMPBResultData::kStatus) || empty(APMPBResultData::kResults)) {
    monitor().logWithLevel(2, 6023,
                           "Audience filter result is non-nil and is missing status or results "
                           "array. Audience result will not be bundled. Audience ID, result data",
                           static_cast<int64_t>(result->audienceID()),
                           APMLogContext::object(data->className(), std::nullopt, &*data));
    return false;
  }
  Words words = Words::of(*data);
  const size_t word = static_cast<size_t>(filterID / 64);
  const uint64_t bit = uint64_t{1} << (filterID % 64);
  return word < words.status.size() && (words.status[word] & bit) && (words.results[word] & bit);
}

APMFilterResult APMAudience::updatedFilterResult(int32_t filterID, int32_t audienceID,
                                                 const APMFilterResult* current, bool newResult,
                                                 const APMAudienceTimestampsCache& cache) {
  Words words = Words::of(decodeCurrent(current).value_or(APMPBResultData()));
  const size_t word = static_cast<size_t>(filterID / 64);
  const uint64_t bit = uint64_t{1} << (filterID % 64);
  if (words.status.size() <= word) {
    words.status.resize(word + 1, 0);
    words.results.resize(word + 1, 0);
  }
  words.status[word] |= bit;
  if (newResult) {
    words.results[word] |= bit;
  } else {
    words.results[word] &= ~bit;
  }
  APMPBResultData data;
  words.store(data);
  NANOSetMessageArray(data, APMPBResultData::kDynamicFilterTimestamps,
                      cache.dynamicTimestampsForAudienceID(audienceID));
  if (auto sequence = cache.sequenceTimestampsForAudienceID(audienceID)) {
    NANOSetMessageArray(data, APMPBResultData::kSequenceFilterTimestamps, *sequence);
  }
  return APMFilterResult(audienceID, data.protoBuffer().value_or(std::string()),
                         current ? current->previousResults() : std::nullopt);
}

bool APMAudience::evaluateFiltersForEvent(const APMEvent& event,
                                          const APMEventAggregates& aggregates,
                                          APMAudienceTimestampsCache* cache) {
  return evaluateFiltersForEventName(event.name(), event.parameters(), aggregates,
                                     event.timestamp(), cache);
}

bool APMAudience::evaluateFiltersForEventName(const std::string& name,
                                              const APMValueMap& parameters,
                                              const APMEventAggregates& aggregates,
                                              double eventTimestamp,
                                              APMAudienceTimestampsCache* cache) {
  APMErrorSlot error;
  auto filters = database_.eventFiltersForEventName(name, &error);
  if (!filters) {
    if (!error) return true;  // a read that fails without an error is an empty answer
    monitor().logWithLevel(1, 6000,
                           "Unable to query event filters for event. Event will not be "
                           "evaluated. Event name, error",
                           name, errorText(error));
    return false;
  }
  APMAudienceTimestampsCache ownCache;
  APMAudienceTimestampsCache& passCache = cache ? *cache : ownCache;
  std::map<int32_t, APMFilterResult> updated;
  std::map<int32_t, std::optional<APMFilterResult>> loaded;
  for (const APMEventFilter& filter : *filters) {
    const int32_t audienceID = filter.audienceID();
    const APMFilterResult* result = nullptr;
    if (auto u = updated.find(audienceID); u != updated.end()) {
      result = &u->second;
    } else {
      auto l = loaded.find(audienceID);
      if (l == loaded.end()) {
        APMErrorSlot readError;
        auto row = database_.filterResultForAudienceID(audienceID, &readError);
        if (!row && readError) {
          monitor().logWithLevel(1, 6001,
                                 "Unable to query filter result for audience. Event will not be "
                                 "evaluated. Event name, error",
                                 name, errorText(readError));
          return false;
        }
        l = loaded.emplace(audienceID, std::move(row)).first;
      }
      result = l->second ? &*l->second : nullptr;
    }
    const bool currentlyTrue = isFilterResultTrueForFilterID(result, filter.filterID());
    if (!shouldEvaluate(filter, currentlyTrue)) continue;
    auto message = validFilterID(filter.filterID()) && !filter.data().empty()
                       ? APMPBEventFilter::initWithBuffer(filter.data())
                       : std::nullopt;
    if (!message) {
      monitor().logWithLevel(1, 6035,
                             "Event filter contains no data or corrupt data. Event will not be "
                             "evaluated. Event name, filter ID, audience ID, dynamic",
                             {name, static_cast<int64_t>(filter.filterID()),
                              static_cast<int64_t>(audienceID), filter.isDynamic()});
      continue;
    }
    auto match = APMEvaluateEventFilter(&*message, name, parameters, &aggregates);
    if (!match) continue;
    passCache.populateCachedTimestamps(result, audienceID);
    if (*match) passCache.addEvaluationTimestamp(filter, eventTimestamp);
    // An event filter never turns from true to false by evaluation.
    const bool kept = *match || currentlyTrue;
    APMFilterResult next =
        updatedFilterResult(filter.filterID(), audienceID, result, kept, passCache);
    updated.insert_or_assign(audienceID, std::move(next));
    loaded.erase(audienceID);
  }
  if (updated.empty()) return true;
  std::vector<APMFilterResult> rows;
  for (auto& [id, row] : updated) rows.push_back(row);
  APMErrorSlot writeError;
  if (!database_.updateFilterResults(rows, &writeError)) {
    monitor().logWithLevel(1, 6003,
                           "Unable to save updated Audience filter results. Event will not be "
                           "evaluated. Event name, error",
                           name, errorText(writeError));
    return false;
  }
  return true;
}

bool APMAudience::evaluateFiltersForUserProperty(const APMUserAttribute& property,
                                                 APMAudienceTimestampsCache* cache,
                                                 double evaluationTimestamp) {
  const std::string& name = property.name();
  APMErrorSlot error;
  auto filters = database_.propertyFiltersForPropertyName(name, &error);
  if (!filters) {
    if (!error) return true;
    monitor().logWithLevel(1, 6004,
                           "Unable to query property filters for property. Property will not be "
                           "evaluated. Property name, error",
                           name, errorText(error));
    return false;
  }
  APMAudienceTimestampsCache ownCache;
  APMAudienceTimestampsCache& passCache = cache ? *cache : ownCache;
  std::map<int32_t, APMFilterResult> updated;
  std::map<int32_t, std::optional<APMFilterResult>> loaded;
  for (const APMPropertyFilter& filter : *filters) {
    const int32_t audienceID = filter.audienceID();
    const APMFilterResult* result = nullptr;
    if (auto u = updated.find(audienceID); u != updated.end()) {
      result = &u->second;
    } else {
      auto l = loaded.find(audienceID);
      if (l == loaded.end()) {
        APMErrorSlot readError;
        auto row = database_.filterResultForAudienceID(audienceID, &readError);
        if (!row && readError) {
          monitor().logWithLevel(1, 6005,
                                 "Unable to query filter result for audience. Property will not "
                                 "be evaluated. Property name, error",
                                 name, errorText(readError));
          return false;
        }
        l = loaded.emplace(audienceID, std::move(row)).first;
      }
      result = l->second ? &*l->second : nullptr;
    }
    const bool currentlyTrue = isFilterResultTrueForFilterID(result, filter.filterID());
    if (!shouldEvaluate(filter, currentlyTrue)) continue;
    auto message = validFilterID(filter.filterID()) && !filter.data().empty()
                       ? APMPBPropertyFilter::initWithBuffer(filter.data())
                       : std::nullopt;
    if (!message) {
      monitor().logWithLevel(1, 6036,
                             "User property filter contains no data or corrupt data. User "
                             "property will not be evaluated. User property name, filter ID, "
                             "audience ID, dynamic",
                             {name, static_cast<int64_t>(filter.filterID()),
                              static_cast<int64_t>(audienceID), filter.isDynamic()});
      continue;
    }
    auto match = APMEvaluatePropertyFilter(&*message, &property);
    if (!match) continue;
    passCache.populateCachedTimestamps(result, audienceID);
    if (*match) passCache.addEvaluationTimestamp(filter, evaluationTimestamp);
    // A false match is taken only by a dynamic filter that is not session-scoped.
    const bool take = *match || (filter.isDynamic() && !filter.isSessionScoped());
    const bool kept = take ? *match : currentlyTrue;
    APMFilterResult next =
        updatedFilterResult(filter.filterID(), audienceID, result, kept, passCache);
    updated.insert_or_assign(audienceID, std::move(next));
    loaded.erase(audienceID);
  }
  if (updated.empty()) return true;
  std::vector<APMFilterResult> rows;
  for (auto& [id, row] : updated) rows.push_back(row);
  APMErrorSlot writeError;
  if (!database_.updateFilterResults(rows, &writeError)) {
    monitor().logWithLevel(1, 6007,
                           "Unable to save updated Audience filter results. User property will "
                           "not be evaluated. User property name, error",
                           name, errorText(writeError));
    return false;
  }
  return true;
}

bool APMAudience::evaluateFiltersForNanoUserProperty(const APMPBUserAttribute& property,
                                                     APMAudienceTimestampsCache* cache,
                                                     std::optional<double> evaluationTime) {
  std::optional<APMValue> value;
  if (auto text = NANOGetString(property, APMPBUserAttribute::kStringValue)) {
    value = APMValue(*text);
  } else if (NANOHasField(property, APMPBUserAttribute::kDoubleValue)) {
    value = APMValue(NANOGetDouble(property, APMPBUserAttribute::kDoubleValue));
  } else if (NANOHasField(property, APMPBUserAttribute::kIntValue)) {
    value = APMValue(NANOGetInt64(property, APMPBUserAttribute::kIntValue));
  }
  const double lastSet =
      static_cast<double>(NANOGetInt64(property, APMPBUserAttribute::kSetTimestampMillis)) / 1000.0;
  std::optional<APMUserAttribute> attribute;
  if (value) {
    attribute = APMUserAttribute::create(
        "", NANOGetString(property, APMPBUserAttribute::kName).value_or(""), *value, lastSet);
  }
  if (!attribute) {
    // A property stored without a value fails the same way at every try: it only loses its own
    // evaluation, or it would hold back every later bundle.
    monitor().logWithLevel(2, 6039, "Could not convert user property from nano format.");
    return true;
  }
  return evaluateFiltersForUserProperty(*attribute, cache, evaluationTime.value_or(lastSet));
}

bool APMAudience::resultsForBundling(
    std::optional<std::vector<APMPBAudienceLeafFilterResult>>* results) {
  std::vector<APMPBAudienceLeafFilterResult> leaves;
  if (results) *results = leaves;
  APMErrorSlot error;
  auto stored = database_.allFilterResults(&error);
  if (!stored) {
    if (!error) return true;
    monitor().logWithLevel(1, 6019,
                           "Unable to query Audience filter results. Audience results will not "
                           "be bundled. Error",
                           errorText(error));
    if (results) *results = std::nullopt;
    return false;
  }
  std::vector<APMFilterResult> queued;
  for (const auto& [audienceID, result] : *stored) {
    auto current = decodeCurrent(&result);
    if (!current) {
      monitor().logWithLevel(2, 6020,
                             "Current result data is nil. Audience result will not be bundled. "
                             "Audience ID",
                             static_cast<int64_t>(audienceID));
      continue;
    }
    if (!Words::of(*current).anyStatus()) {
      monitor().logWithLevel(2, 6021,
                             "Current result status is 0. Audience result will not be bundled. "
                             "Audience ID",
                             static_cast<int64_t>(audienceID));
      continue;
    }
    APMPBAudienceLeafFilterResult leaf;
    NANOSetInt32(leaf, APMPBAudienceLeafFilterResult::kAudienceId, audienceID);
    const std::string currentBytes = result.currentResults().value_or(std::string());
    std::string nextBytes = currentBytes;
    const std::string previousBytes = result.previousResults().value_or(std::string());
    if (!previousBytes.empty()) {
      NANOSetBool(leaf, APMPBAudienceLeafFilterResult::kNewAudience, false);
      auto previous = APMPBResultData::initWithBuffer(previousBytes);
      // Undecodable previous bytes: nothing to compare with, so field 3 stays out.
      if (previous) {
        auto previousEncoding = previous->protoBuffer();
        if (previousEncoding && previousEncoding == current->protoBuffer()) {
          auto sequence = NANOGetMessageArray<APMPBSequenceFilterResultTimestamp>(
                              *current, APMPBResultData::kSequenceFilterTimestamps)
                              .value_or(std::vector<APMPBSequenceFilterResultTimestamp>{});
          if (!sequence.empty()) {
            auto times =
                NANOGetArray(sequence.front(), APMPBSequenceFilterResultTimestamp::kEvalTimestamps)
                    .value_or(std::vector<NANOObject>{});
            if (times.size() >= 2) {
              NANOSetArray(sequence.front(), APMPBSequenceFilterResultTimestamp::kEvalTimestamps,
                           std::vector<NANOObject>{times.back()});
              NANOSetMessageArray(*current, APMPBResultData::kSequenceFilterTimestamps, sequence);
              nextBytes = current->protoBuffer().value_or(currentBytes);
            }
          }
        } else {
          NANOSetMessage(leaf, APMPBAudienceLeafFilterResult::kPreviousData, *previous);
        }
      }
    } else {
      NANOSetBool(leaf, APMPBAudienceLeafFilterResult::kNewAudience, true);
    }
    NANOSetMessage(leaf, APMPBAudienceLeafFilterResult::kCurrentData, *current);
    leaves.push_back(std::move(leaf));
    queued.emplace_back(audienceID, nextBytes, currentBytes);
  }
  if (!queued.empty()) {
    APMErrorSlot writeError;
    if (!database_.updateFilterResults(queued, &writeError)) {
      monitor().logWithLevel(1, 6022,
                             "Unable to save updated Audience filter results. Audience results "
                             "will not be bundled. Error",
                             errorText(writeError));
      if (results) *results = std::nullopt;
      return false;
    }
  }
  if (results) *results = std::move(leaves);
  return true;
}

bool APMAudience::clearEvaluationResultsForSessionScopedFilters() {
  APMErrorSlot error;
  auto scoped = database_.allSessionScopedFilters(&error);
  if (!scoped) {
    if (!error) return true;
    monitor().logWithLevel(1, 6040,
                           "Unable to query all session scoped filters. Session scoped results "
                           "will not be cleared. Error",
                           errorText(error));
    return false;
  }
  auto stored = database_.allFilterResults(&error);
  if (!stored) {
    if (!error) return true;
    monitor().logWithLevel(1, 6041,
                           "Unable to query all filter results. Session scoped results will not "
                           "be cleared. Error",
                           errorText(error));
    return false;
  }
  for (const auto& [audienceID, filterIDs] : *scoped) {
    auto found = stored->find(audienceID);
    if (found == stored->end()) continue;
    const APMFilterResult& result = found->second;
    auto current = decodeCurrent(&result).value_or(APMPBResultData());
    Words words = Words::of(current);
    for (int32_t filterID : filterIDs) {
      if (!validFilterID(filterID)) continue;
      const size_t word = static_cast<size_t>(filterID / 64);
      if (word >= words.status.size()) continue;
      const uint64_t bit = uint64_t{1} << (filterID % 64);
      words.status[word] &= ~bit;
      words.results[word] &= ~bit;
    }
    APMErrorSlot writeError;
    if (words.anyStatus()) {
      APMPBResultData data;
      words.store(data);
      std::vector<APMPBDynamicFilterResultTimestamp> dynamic;
      for (auto& entry : NANOGetMessageArray<APMPBDynamicFilterResultTimestamp>(
                             current, APMPBResultData::kDynamicFilterTimestamps)
                             .value_or(std::vector<APMPBDynamicFilterResultTimestamp>{})) {
        if (!filterIDs.contains(
                NANOGetInt32(entry, APMPBDynamicFilterResultTimestamp::kFilterId))) {
          dynamic.push_back(entry);
        }
      }
      std::vector<APMPBSequenceFilterResultTimestamp> sequence;
      for (auto& entry : NANOGetMessageArray<APMPBSequenceFilterResultTimestamp>(
                             current, APMPBResultData::kSequenceFilterTimestamps)
                             .value_or(std::vector<APMPBSequenceFilterResultTimestamp>{})) {
        if (!filterIDs.contains(
                NANOGetInt32(entry, APMPBSequenceFilterResultTimestamp::kFilterId))) {
          sequence.push_back(entry);
        }
      }
      NANOSetMessageArray(data, APMPBResultData::kDynamicFilterTimestamps, dynamic);
      NANOSetMessageArray(data, APMPBResultData::kSequenceFilterTimestamps, sequence);
      APMFilterResult cleared(audienceID, data.protoBuffer().value_or(std::string()),
                              result.currentResults());
      if (!database_.updateFilterResults({cleared}, &writeError)) {
        monitor().logWithLevel(2, 6043,
                               "Unable to update filter results. Session scoped results will not "
                               "be cleared. Error",
                               errorText(writeError));
        return false;
      }
    } else if (!database_.deleteFilterResults({result}, &writeError)) {
      monitor().logWithLevel(1, 6042,
                             "Unable to delete filter results. Session scoped results will not be "
                             "cleared. Error",
                             errorText(writeError));
      return false;
    }
  }
  return true;
}
