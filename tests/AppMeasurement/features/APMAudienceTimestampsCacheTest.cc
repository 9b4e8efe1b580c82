// The timestamp caches of one evaluation pass: population, the keeping rules of each filter
// kind, and the arrays written back.
#include "AppMeasurement/features/APMAudienceTimestampsCache.h"

#include <gtest/gtest.h>

#include "AppMeasurement/storage/APMEventFilter.h"
#include "AppMeasurement/storage/APMFilterResult.h"
#include "AppMeasurement/storage/APMPropertyFilter.h"
#include "tests/AppMeasurement/foundation/ParameterTestSupport.h"

namespace {

APMEventFilter event(int filterID, bool dynamic, bool sequence, bool session = false) {
  return APMEventFilter(7, filterID, "e", "", session, dynamic, sequence);
}
APMPropertyFilter property(int filterID, bool dynamic, bool sequence) {
  return APMPropertyFilter(7, filterID, "p", "", false, dynamic, sequence);
}

// Stored ResultData with dynamic times (filter, time) and sequence lists.
APMFilterResult stored(std::vector<std::pair<int, int64_t>> dynamic,
                       std::vector<std::pair<int, std::vector<int64_t>>> sequence) {
  APMPBResultData data;
  std::vector<APMPBDynamicFilterResultTimestamp> d;
  for (auto [id, time] : dynamic) {
    APMPBDynamicFilterResultTimestamp entry;
    NANOSetInt32(entry, APMPBDynamicFilterResultTimestamp::kFilterId, id);
    NANOSetInt64(entry, APMPBDynamicFilterResultTimestamp::kEvalTimestamp, time);
    d.push_back(entry);
  }
  std::vector<APMPBSequenceFilterResultTimestamp> s;
  for (auto& [id, times] : sequence) {
    APMPBSequenceFilterResultTimestamp entry;
    NANOSetInt32(entry, APMPBSequenceFilterResultTimestamp::kFilterId, id);
    std::vector<NANOObject> numbers;
    for (int64_t t : times) numbers.emplace_back(NANONumber::fromInt64(t));
    NANOSetArray(entry, APMPBSequenceFilterResultTimestamp::kEvalTimestamps, numbers);
    s.push_back(entry);
  }
  NANOSetMessageArray(data, APMPBResultData::kDynamicFilterTimestamps, d);
  NANOSetMessageArray(data, APMPBResultData::kSequenceFilterTimestamps, s);
  return APMFilterResult(7, data.protoBuffer(), std::nullopt);
}

// "id:t,t;id:t" for the sequence array, "id:t;..." for the dynamic one.
std::string sequenceText(const APMAudienceTimestampsCache& cache) {
  auto entries = cache.sequenceTimestampsForAudienceID(7);
  if (!entries) return "nil";
  std::string out;
  for (const auto& entry : *entries) {
    out += std::to_string(NANOGetInt32(entry, APMPBSequenceFilterResultTimestamp::kFilterId)) + ":";
    auto times = NANOGetArray(entry, APMPBSequenceFilterResultTimestamp::kEvalTimestamps);
    for (const auto& t : *times) {
      out += std::to_string(std::get<NANONumber>(t).longLongValue()) + ",";
    }
    out += ";";
  }
  return out;
}
std::string dynamicText(const APMAudienceTimestampsCache& cache) {
  std::string out;
  for (const auto& entry : cache.dynamicTimestampsForAudienceID(7)) {
    out += std::to_string(NANOGetInt32(entry, APMPBDynamicFilterResultTimestamp::kFilterId)) + ":" +
           std::to_string(NANOGetInt64(entry, APMPBDynamicFilterResultTimestamp::kEvalTimestamp)) +
           ";";
  }
  return out;
}

class TimestampsCache : public testsupport::ParameterTest {};

TEST_F(TimestampsCache, KeepingRulesPerFilterKind) {
  struct Case {
    std::string label;
    std::optional<APMFilterResult> result;
    std::function<void(APMAudienceTimestampsCache&)> steps;
    std::string dynamic, sequence;
  };
  const std::vector<Case> cases = {
      {"nothing stored: empty arrays, sequence written empty", std::nullopt, [](auto&) {}, "", ""},
      {"undecodable bytes load nothing",
       APMFilterResult(7, std::string("\xff\xff", 2), std::nullopt), [](auto&) {}, "", ""},
      {"stored sequence returns as its last time", stored({}, {{3, {10, 20, 30}}, {4, {}}}),
       [](auto&) {}, "", "3:30,;"},
      {"same whole second keeps one, other seconds append", std::nullopt,
       [](auto& c) {
         c.addEvaluationTimestamp(event(2, false, true), 100.2);
         c.addEvaluationTimestamp(event(2, false, true), 100.9);
         c.addEvaluationTimestamp(event(2, false, true), 101.0);
       },
       "", "2:100,101,;"},
      {"earlier event time is still taken and sorted on output", std::nullopt,
       [](auto& c) {
         c.addEvaluationTimestamp(event(2, false, true), 200);
         c.addEvaluationTimestamp(event(2, false, true), 150);
       },
       "", "2:150,200,;"},
      {"property in a sequence keeps the latest set only", stored({}, {{5, {40}}}),
       [](auto& c) {
         c.addEvaluationTimestamp(property(5, false, true), 90);
         c.addEvaluationTimestamp(property(5, false, true), 80);
       },
       "", "5:80,;"},
      {"dynamic keeps the later time", stored({{1, 500}, {1, 600}}, {}),
       [](auto& c) {
         c.addEvaluationTimestamp(event(1, true, false), 550.7);
         c.addEvaluationTimestamp(event(2, false, false, true), 700.9);
         c.addEvaluationTimestamp(event(3, false, false), 800);
       },
       "1:600;2:700;", ""},
      {"first population of the pass wins", stored({{1, 10}}, {{2, {20}}}),
       [](auto& c) {
         auto later = stored({{1, 99}}, {{2, {99}}});
         c.populateCachedTimestamps(&later, 7);
       },
       "1:10;", "2:20,;"},
  };
  for (const Case& c : cases) {
    APMAudienceTimestampsCache cache;
    cache.populateCachedTimestamps(c.result ? &*c.result : nullptr, 7);
    c.steps(cache);
    EXPECT_EQ(dynamicText(cache), c.dynamic) << c.label;
    EXPECT_EQ(sequenceText(cache), c.sequence) << c.label;
  }
}

TEST_F(TimestampsCache, UnpopulatedAudienceRecordsOnlySequences) {
  APMAudienceTimestampsCache cache;
  EXPECT_EQ(sequenceText(cache), "nil");
  cache.addEvaluationTimestamp(event(1, true, false), 10);
  EXPECT_EQ(dynamicText(cache), "");
  cache.addEvaluationTimestamp(event(2, false, true), 1e300);
  EXPECT_EQ(sequenceText(cache), "2:9223372036854775807,;");
}

}  // namespace
