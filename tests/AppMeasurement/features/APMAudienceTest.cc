// Audience evaluation, bundling, session clearing and definition updates over a real SQLite
// file: the sqlite3 tool reads the stored rows, protoc decodes the stored results.
#include "AppMeasurement/features/APMAudience.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "AppMeasurement/features/APMAudienceTimestampsCache.h"
#include "AppMeasurement/foundation/APMMonitor.h"
#include "AppMeasurement/foundation/APMUserAttribute.h"
#include "AppMeasurement/records/APMEventAggregates.h"
#include "AppMeasurement/storage/APMDatabase.h"
#include "tests/AppMeasurement/features/FilterBuilders.h"
#include "tests/AppMeasurement/foundation/ParameterTestSupport.h"
#include "tests/AppMeasurement/foundation/PythonReference.h"
#include "tests/AppMeasurement/storage/StorageTestSupport.h"

namespace {

using filters::eventFilter;
using filters::filter;
using filters::number;
using filters::propertyFilter;
using filters::string;

APMPBAudience audience(std::optional<int> id, std::vector<APMPBEventFilter> events,
                       std::vector<APMPBPropertyFilter> properties = {}) {
  APMPBAudience result;
  if (id) NANOSetInt32(result, APMPBAudience::kAudienceId, *id);
  NANOSetMessageArray(result, APMPBAudience::kEventFilters, events);
  NANOSetMessageArray(result, APMPBAudience::kPropertyFilters, properties);
  return result;
}

template <class M>
M flagged(M message, uint32_t slot) {
  NANOSetBool(message, slot, true);
  return message;
}

class Audiences : public testsupport::ParameterTest {
 protected:
  void SetUp() override {
    ParameterTest::SetUp();
    std::string pattern = (std::filesystem::temp_directory_path() / "kvl-audience-XXXXXX");
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    database_ = APMDatabase::createAtPath((dir_ / "m.sql").string(),
                                          std::make_shared<APMDatabaseSettings>(), nullptr);
    ASSERT_NE(database_, nullptr);
    audience_ = std::make_unique<APMAudience>(*database_, [this] { return limits_; });
  }
  void TearDown() override {
    audience_.reset();
    database_.reset();
    std::filesystem::remove_all(dir_);
    ParameterTest::TearDown();
  }

  bool event(const std::string& name, APMValueMap params = {}, double time = 1000, int lifetime = 1,
             int session = 1, APMAudienceTimestampsCache* cache = nullptr) {
    auto aggregates = APMEventAggregates::create(name, lifetime, 0, session, 0);
    return audience_->evaluateFiltersForEventName(name, params, *aggregates, time, cache);
  }
  bool property(const std::string& name, APMValue value, double time = 1000) {
    auto attribute = APMUserAttribute::create("app", name, std::move(value), time);
    return audience_->evaluateFiltersForUserProperty(*attribute, nullptr, time);
  }
  // "status/results" words of the stored current result, "-" without a row.
  std::string bits(int audienceID) {
    auto row = database_->filterResultForAudienceID(audienceID, nullptr);
    if (!row) return "-";
    auto data = APMPBResultData::initWithBuffer(row->currentResults().value_or(""));
    std::string out;
    for (uint32_t slot : {APMPBResultData::kStatus, APMPBResultData::kResults}) {
      auto words = NANOGetArray(*data, slot);
      for (const auto& w : *words) {
        out += std::to_string(std::get<NANONumber>(w).unsignedLongLongValue()) + ",";
      }
      out += "/";
    }
    return out;
  }
  std::string protocDecode(const std::string& type, const std::string& bytes,
                           const std::string& file = "measurement_upload.proto") {
    std::string input = (dir_ / "in.bin").string();
    storagetest::writeFile(input, bytes);
    return storagetest::run(std::string(KVL_TEST_PROTOC) + " -I" + KVL_TEST_PROTO_DIR +
                            " --decode=apm." + type + " " + file + " < " + input);
  }
  std::string sqlite(const std::string& sql) {
    return storagetest::sqliteTool(dir_ / "m.sql", sql);
  }

  APMAudience::Limits limits_;
  std::filesystem::path dir_;
  std::unique_ptr<APMDatabase> database_;
  std::unique_ptr<APMAudience> audience_;
};

// One rule per row: the filter kinds keep or drop their bits as the inputs change.
TEST_F(Audiences, FilterKindsKeepTheirBits) {
  auto gold = filter(string(5, "gold"), std::nullopt);
  struct Case {
    std::string label;
    APMPBAudience definition;
    std::function<void()> inputs;
    std::string bits;
  };
  const std::vector<Case> cases = {
      {"plain event filter latches",
       audience(1, {eventFilter(0, "buy", {filter(std::nullopt, number(2, "5"), false, "n")})}),
       [&] {
         event("buy", {{"n", APMValue(int64_t{9})}});
         event("buy", {{"n", APMValue(int64_t{1})}});
       },
       "1,/1,/"},
      {"dynamic property turns false",
       audience(2, {}, {flagged(propertyFilter(3, "tier", gold), APMPBPropertyFilter::kDynamic)}),
       [&] {
         property("tier", APMValue("Gold"));
         property("tier", APMValue("silver"));
       },
       "8,/0,/"},
      {"session-scoped property stays true",
       audience(3, {},
                {flagged(propertyFilter(3, "tier", gold), APMPBPropertyFilter::kSessionScoped)}),
       [&] {
         property("tier", APMValue("Gold"));
         property("tier", APMValue("silver"));
       },
       "8,/8,/"},
      {"plain property false is kept false, nil keeps bits",
       audience(4, {}, {propertyFilter(1, "tier", gold)}),
       [&] {
         property("tier", APMValue("silver"));
         property("tier", APMValue(int64_t{3}));
       },
       "2,/0,/"},
      {"dynamic event filter never turns false",
       audience(5,
                {flagged(eventFilter(0, "buy", {filter(std::nullopt, number(2, "5"), false, "n")}),
                         APMPBEventFilter::kDynamic)}),
       [&] {
         event("buy", {{"n", APMValue(int64_t{9})}});
         event("buy", {{"n", APMValue(int64_t{1})}});
       },
       "1,/1,/"},
      {"filter 70 grows both arrays to two words", audience(6, {eventFilter(70, "buy", {})}),
       [&] { event("buy"); }, "0,64,/0,64,/"},
  };
  limits_.maxFiltersPerAudience = 100;
  for (const Case& c : cases) {
    ASSERT_TRUE(audience_->updateAudiences({c.definition})) << c.label;
    c.inputs();
    const int id = NANOGetInt32(c.definition, APMPBAudience::kAudienceId);
    EXPECT_EQ(bits(id), c.bits) << c.label;
  }
}

// Leaves: new audience, unchanged, changed; the stored previous bytes; protoc reads them.
TEST_F(Audiences, BundlingWritesLeavesAndPreviousResults) {
  ASSERT_TRUE(audience_->updateAudiences(
      {audience(1, {flagged(eventFilter(0, "buy", {}), APMPBEventFilter::kSequence),
                    eventFilter(1, "sell", {})})}));
  APMAudienceTimestampsCache cache;
  event("buy", {}, 100, 1, 1, &cache);
  event("buy", {}, 200, 1, 1, &cache);
  std::optional<std::vector<APMPBAudienceLeafFilterResult>> leaves;
  ASSERT_TRUE(audience_->resultsForBundling(&leaves));
  ASSERT_EQ(leaves->size(), 1u);
  const auto& first = leaves->front();
  EXPECT_TRUE(NANOGetBool(first, APMPBAudienceLeafFilterResult::kNewAudience));
  EXPECT_FALSE(NANOHasField(first, APMPBAudienceLeafFilterResult::kPreviousData));
  std::string decoded = protocDecode("AudienceLeafFilterResult", *first.protoBuffer());
  EXPECT_NE(decoded.find("new_audience: true"), std::string::npos) << decoded;
  EXPECT_NE(decoded.find("eval_timestamps: 100\n"), std::string::npos) << decoded;
  EXPECT_NE(decoded.find("eval_timestamps: 200\n"), std::string::npos) << decoded;

  // Unchanged: no field 3, field 4 false, the sequence cut to its last time.
  ASSERT_TRUE(audience_->resultsForBundling(&leaves));
  const auto& second = leaves->front();
  EXPECT_FALSE(NANOGetBool(second, APMPBAudienceLeafFilterResult::kNewAudience));
  EXPECT_TRUE(NANOHasField(second, APMPBAudienceLeafFilterResult::kNewAudience));
  EXPECT_FALSE(NANOHasField(second, APMPBAudienceLeafFilterResult::kPreviousData));
  decoded = protocDecode("AudienceLeafFilterResult", *second.protoBuffer());
  EXPECT_EQ(decoded.find("eval_timestamps: 100\n"), std::string::npos) << decoded;
  EXPECT_NE(decoded.find("eval_timestamps: 200\n"), std::string::npos) << decoded;

  // Changed: the previous data travels as field 3.
  event("sell");
  ASSERT_TRUE(audience_->resultsForBundling(&leaves));
  EXPECT_TRUE(NANOHasField(leaves->front(), APMPBAudienceLeafFilterResult::kPreviousData));
  EXPECT_EQ(sqlite("SELECT audience_id, length(previous_results) > 0 FROM audience_filter_values"),
            "1|1\n");
}

TEST_F(Audiences, SessionClearingResetsScopedBitsAndDeletesEmptyRows) {
  ASSERT_TRUE(audience_->updateAudiences(
      {audience(1, {flagged(eventFilter(0, "buy", {}), APMPBEventFilter::kSessionScoped),
                    eventFilter(1, "sell", {})}),
       audience(2, {flagged(eventFilter(0, "buy", {}), APMPBEventFilter::kSessionScoped)})}));
  event("buy", {}, 500);
  event("sell");
  EXPECT_EQ(bits(1), "3,/3,/");
  ASSERT_TRUE(audience_->clearEvaluationResultsForSessionScopedFilters());
  EXPECT_EQ(bits(1), "2,/2,/");
  EXPECT_EQ(bits(2), "-");
  std::optional<std::vector<APMPBAudienceLeafFilterResult>> leaves;
  ASSERT_TRUE(audience_->resultsForBundling(&leaves));
  ASSERT_EQ(leaves->size(), 1u);
  EXPECT_EQ(NANOGetInt32(leaves->front(), APMPBAudienceLeafFilterResult::kAudienceId), 1);
}

// Stored rows that are corrupt never crash and never index past an array.
TEST_F(Audiences, CorruptStoredRowsAreReadDefensively) {
  struct Case {
    std::string label;
    std::function<void()> corrupt;
    std::string bitsAfterEvent;
    int64_t code;
  };
  const std::vector<Case> cases = {
      {"filter id beyond 100",
       [&] {
         database_->updateEventFilters(
             {APMEventFilter(1, 200, "buy", "\x08\x01", false, false, false)}, nullptr);
       },
       "-", 6035},
      {"undecodable filter data",
       [&] {
         database_->updateEventFilters(
             {APMEventFilter(1, 0, "buy", "\xff\xff", false, false, false)}, nullptr);
       },
       "-", 6035},
      {"status longer than results",
       [&] {
         APMPBResultData data;
         NANOSetArray(
             data, APMPBResultData::kStatus,
             std::vector<NANOObject>{NANONumber::fromUInt64(4), NANONumber::fromUInt64(1)});
         database_->updateFilterResults({APMFilterResult(1, *data.protoBuffer(), "\xff")}, nullptr);
       },
       "5,1,/1,0,/", 0},
  };
  for (const Case& c : cases) {
    database_->deleteAllEventFilters(nullptr);
    database_->deleteFilterResults({APMFilterResult(1, std::nullopt, std::nullopt)}, nullptr);
    ASSERT_TRUE(audience_->updateAudiences({audience(1, {eventFilter(0, "buy", {})})}));
    c.corrupt();
    clearLog();
    EXPECT_TRUE(event("buy")) << c.label;
    if (c.code) {
      EXPECT_TRUE(logged(c.code)) << c.label;
    }
    if (c.bitsAfterEvent != "-") {
      EXPECT_EQ(bits(1), c.bitsAfterEvent) << c.label;
      std::optional<std::vector<APMPBAudienceLeafFilterResult>> leaves;
      ASSERT_TRUE(audience_->resultsForBundling(&leaves)) << c.label;
      // Undecodable previous bytes: no field 3, field 4 false.
      EXPECT_FALSE(NANOHasField(leaves->front(), APMPBAudienceLeafFilterResult::kPreviousData));
      EXPECT_FALSE(NANOGetBool(leaves->front(), APMPBAudienceLeafFilterResult::kNewAudience));
    }
  }
}

// The lines of a refused audience and of a stored result missing a word array carry the
// audience and the result data themselves. Both are silent warnings, seen in the health sample,
// where a message object encodes as "?" (an audience id would be a number).
TEST_F(Audiences, RefusalLinesCarryTheirObjects) {
  APMPBResultData statusOnly;
  NANOSetArray(statusOnly, APMPBResultData::kStatus,
               std::vector<NANOObject>{NANONumber::fromUInt64(1)});
  const APMFilterResult result(1, *statusOnly.protoBuffer(), std::nullopt);
  struct Case {
    std::function<void()> run;
    std::string message, contexts;
  };
  const std::vector<Case> cases = {
      {[&] { audience_->updateAudiences({audience(-1, {eventFilter(0, "buy", {})})}); },
       "Audience definition is invalid. Audience will not be saved. Audience, error", "?,-"},
      {[&] { EXPECT_FALSE(APMAudience::isFilterResultTrueForFilterID(&result, 0)); },
       "Audience filter result is non-nil and is missing status or results array. Audience "
       "result will not be bundled. Audience ID, result data",
       ",?"},
  };
  for (const Case& c : cases) {
    APMMonitor::monitor()->setSampleRandomForTesting([](uint32_t) { return 0u; });
    c.run();
    settle();
    clock->advance(10);
    std::string health = APMMonitor::monitor()->monitoringDataForDispatch(1, 0).value_or("");
    EXPECT_NE(health.find(c.message + ":"), std::string::npos) << health;
    EXPECT_TRUE(health.ends_with(c.contexts)) << health;
  }
}

// Validation in table order; the first failure rejects the audience.
TEST_F(Audiences, ValidationRejectsAtTheFirstFailure) {
  auto ok = eventFilter(0, "buy", {});
  auto floatCount = number(2, "1");
  NANOSetBool(floatCount, APMPBNumberFilter::kMatchAsFloat, true);
  struct Case {
    std::string label;
    APMPBAudience definition;
    std::string description;  // empty: valid
  };
  std::vector<APMPBFilter> many(26, filter(string(2, "a"), std::nullopt, false, "p"));
  const std::vector<Case> cases = {
      {"no id", audience(std::nullopt, {ok}), "Missing audience ID"},
      {"negative id", audience(-1, {ok}), "Audience ID is negative"},
      {"duplicate id", audience(7, {ok}), "Duplicate audience ID"},
      {"no filters", audience(1, {}), "Audience missing filters arrays"},
      {"eleven filters", audience(1, std::vector<APMPBEventFilter>(11, ok)),
       "Audience filter count out of range"},
      {"empty event name", audience(1, {eventFilter(0, "", {})}),
       "Event filter missing event name"},
      {"filter id 10", audience(1, {eventFilter(10, "buy", {})}),
       "Event filter ID is out of range"},
      {"filter id negative", audience(1, {eventFilter(-1, "buy", {})}),
       "Event filter ID is out of range"},
      {"same id in event and property filter",
       audience(1, {ok}, {propertyFilter(0, "p", filter(string(2, "a"), std::nullopt))}),
       "Duplicate property filter ID"},
      {"float count", audience(1, {eventFilter(0, "buy", {}, floatCount)}),
       "Event filter has float event count filter"},
      {"invalid count", audience(1, {eventFilter(0, "buy", {}, number(2, "1e5"))}),
       "Event filter has invalid event count filter"},
      {"26 parameter filters", audience(1, {eventFilter(0, "buy", many)}),
       "Event filter parameters filters count out of range"},
      {"parameter without name",
       audience(1, {eventFilter(0, "buy", {filter(string(2, "a"), std::nullopt)})}),
       "Event filter missing parameter name"},
      {"both inner filters",
       audience(1, {eventFilter(0, "buy", {filter(string(2, "a"), number(2, "1"), false, "p")})}),
       "Event filter must have exactly one of number or string filter"},
      {"catastrophic but valid regex",
       audience(1,
                {eventFilter(0, "buy", {filter(string(1, "(a+)+$"), std::nullopt, false, "p")})}),
       ""},
      {"bad regex",
       audience(1, {eventFilter(0, "buy", {filter(string(1, "("), std::nullopt, false, "p")})}),
       "Event filter has invalid string filter"},
      {"property without filter", audience(1, {}, {propertyFilter(1, "p", std::nullopt)}),
       "Property filter has no filter"},
      {"property NaN number",
       audience(1, {}, {propertyFilter(1, "p", filter(std::nullopt, number(3, "NaN")))}),
       "Property filter has invalid number filter"},
  };
  for (const Case& c : cases) {
    APMErrorSlot error;
    const bool valid = APMValidateAudience(c.definition, {7}, APMAudience::Limits(), &error);
    EXPECT_EQ(valid, c.description.empty()) << c.label;
    if (!valid) {
      ASSERT_TRUE(error) << c.label;
      EXPECT_EQ(error->localizedDescription(), c.description) << c.label;
    }
  }
}

TEST_F(Audiences, UpdatesReplaceFiltersAndTranslateNames) {
  auto start = eventFilter(0, "session_start",
                           {filter(std::nullopt, number(2, "1"), false, "engagement_time_msec")});
  // Too many audiences: YES, nothing changed.
  ASSERT_TRUE(audience_->updateAudiences({audience(1, {start})}));
  EXPECT_TRUE(audience_->updateAudiences(std::vector<APMPBAudience>(101, audience(2, {start}))));
  EXPECT_EQ(sqlite("SELECT audience_id, filter_id, event_name FROM event_filters"), "1|0|_s\n");
  std::string data = sqlite("SELECT hex(data) FROM event_filters");
  std::string bytes;
  for (size_t i = 0; i + 1 < data.size(); i += 2)
    bytes += static_cast<char>(std::stoi(data.substr(i, 2), nullptr, 16));
  EXPECT_NE(
      protocDecode("EventFilter", bytes, "measurement_config.proto").find("param_name: \"_et\""),
      std::string::npos);

  // A rejected first audience lets a second of the same id in; the property name translates.
  ASSERT_TRUE(audience_->updateAudiences(
      {audience(3, {eventFilter(0, "", {})}),
       audience(3, {},
                {propertyFilter(2, "first_open_time", filter(std::nullopt, number(2, "1")))})}));
  EXPECT_EQ(sqlite("SELECT count(*) FROM event_filters"), "0\n");
  EXPECT_EQ(sqlite("SELECT audience_id, filter_id, property_name FROM property_filters"),
            "3|2|_fot\n");

  // An empty list removes every filter and keeps the stored results.
  property("_fot", APMValue(int64_t{5}));
  ASSERT_TRUE(audience_->updateAudiences({}));
  EXPECT_EQ(sqlite("SELECT count(*) FROM property_filters"), "0\n");
  EXPECT_EQ(sqlite("SELECT count(*) FROM audience_filter_values"), "1\n");

  // Over the result cap with none stale: the empty delete is refused, NO, filters untouched.
  ASSERT_TRUE(audience_->updateAudiences(
      {audience(3, {}, {propertyFilter(2, "_fot", filter(std::nullopt, number(2, "1")))})}));
  limits_.maxFilterResultCount = 0;
  clearLog();
  EXPECT_FALSE(audience_->updateAudiences({audience(3, {start})}));
  EXPECT_TRUE(logged(6018));
  EXPECT_EQ(sqlite("SELECT count(*) FROM property_filters"), "1\n");
}

}  // namespace
