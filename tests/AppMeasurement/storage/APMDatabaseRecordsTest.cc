// The record operations of the measurement database: raw events and their metadata, user
// attributes, event aggregates, daily counts, audience state, purchases, conditional user
// properties, complex events, app metadata and the stored configuration.

#include <functional>

#include <gtest/gtest.h>

#include "AppMeasurement/foundation/APMDataAdditions.h"
#include "AppMeasurement/storage/APMDatabase.h"
#include "tests/AppMeasurement/storage/StorageTestSupport.h"
#include "tests/support/LogCapture.h"

namespace {

using platform::Value;
using storagetest::sqliteTool;

class APMDatabaseRecordsTest : public storagetest::StorageTest {
 protected:
  void SetUp() override {
    StorageTest::SetUp();
    database_ = APMDatabase::create(kName, settings_, nullptr);
    ASSERT_NE(database_, nullptr);
  }

  APMEvent event(const std::string& name, double timestamp, APMObjectMap parameters = {}) {
    auto made = APMEvent::create("app", true, name, timestamp, 0, parameters);
    EXPECT_TRUE(made) << name;
    return *made;
  }

  APMPBMeasurementBundle metadata(const std::string& appInstanceID) {
    APMPBMeasurementBundle bundle;
    NANOSetString(bundle, APMPBMeasurementBundle::kAppInstanceId, appInstanceID);
    return bundle;
  }

  std::shared_ptr<APMDatabaseSettings> settings_ = std::make_shared<APMDatabaseSettings>();
};

TEST_F(APMDatabaseRecordsTest, RawEventsComeBackWithOriginTimesAndParameters) {
  APMPBMeasurementBundle shared = metadata("instance-1");
  int64_t fingerprint = apm_64LSBMD5(*shared.protoBuffer());
  ASSERT_TRUE(database_->insertIfNotExistsRawEventMetadata(shared, nullptr));
  ASSERT_TRUE(database_->insertIfNotExistsRawEventMetadata(shared, nullptr));
  ASSERT_TRUE(database_->insertIfNotExistsRawEventMetadata(metadata("instance-2"), nullptr));
  EXPECT_EQ(sqliteTool(path_, "SELECT count(*) FROM raw_events_metadata"), "2\n");
  auto read = database_->queryRawEventsMetadataWithFingerprint(fingerprint, nullptr);
  ASSERT_TRUE(read);
  EXPECT_EQ(*read, shared);

  APMObjectMap parameters{{"level", APMObject(Value(7))},
                          {"score", APMObject(Value(1.25))},
                          {"title", APMObject(Value("first"))}};
  parameters["items"] = APMObject(
      Value::Array{Value(Value::Dictionary{{"item_id", Value("sku1")}, {"price", Value(2.5)}}),
                   Value(Value::Dictionary{{"item_id", Value("sku2")}, {"quantity", Value(3)}})});
  APMEvent stored = event("view_item", 1'700'000'000.5, parameters);
  stored = stored.copyWithPreviousTimestamp(1'699'999'000.25);
  ASSERT_TRUE(database_->insertRawEvent(stored, fingerprint, true, nullptr));
  ASSERT_TRUE(
      database_->insertRawEvent(event("level_up", 1'700'000'001.0), fingerprint, false, nullptr));
  EXPECT_EQ(sqliteTool(path_, "SELECT name, timestamp, is_realtime FROM raw_events"),
            "view_item|1700000000.5|1\nlevel_up|1700000001.0|0\n");
  EXPECT_EQ(database_->containsRealtimeRawEventsWithError(nullptr), std::optional<bool>(true));
  EXPECT_EQ(database_->nextMetadataFingerprintToProcess(nullptr), fingerprint);

  auto events = database_->rawEventsWithMetadataFingerprint(
      fingerprint, nullptr, [](size_t, const APMSqliteRecord&) { return true; });
  ASSERT_TRUE(events && events->size() == 2);
  std::optional<APMEvent> back = APMEvent::createWithEventProto(*(*events)[0].rawEvent());
  ASSERT_TRUE(back);
  EXPECT_EQ(back->origin(), "app");
  EXPECT_EQ(back->name(), "view_item");
  EXPECT_EQ(back->timestamp(), 1'700'000'000.5);
  EXPECT_EQ(back->previousTimestamp(), 1'699'999'000.25);
  EXPECT_EQ(*back->parameter("level"), APMValue(int64_t{7}));
  EXPECT_EQ(*back->parameter("score"), APMValue(1.25));
  EXPECT_EQ(*back->parameter("title"), APMValue("first"));
  // The items come back as an array of two maps, seen in the stored message.
  auto params = NANOGetMessageArray<APMPBEventParam>(*(*events)[0].rawEvent(), APMPBEvent::kParams);
  bool sawItems = false;
  for (const auto& param : *params) {
    if (NANOGetString(param, APMPBEventParam::kName) != "items") continue;
    sawItems = true;
    EXPECT_EQ(NANOGetMessageArray<APMPBEventParam>(param, APMPBEventParam::kParamValue)->size(),
              2u);
  }
  EXPECT_TRUE(sawItems);
  EXPECT_EQ((*events)[0].rowID(), 1);
  EXPECT_EQ((*events)[0].metadataFingerprint(), fingerprint);

  // Deleting what was bundled leaves the unused metadata to its own deletion.
  ASSERT_TRUE(database_->deleteRawEventsWithMaxRowID(2, nullptr));
  ASSERT_TRUE(database_->deleteUnusedRawEventsMetadata(nullptr));
  EXPECT_EQ(sqliteTool(path_, "SELECT count(*) FROM raw_events_metadata"), "0\n");
  EXPECT_EQ(database_->nextMetadataFingerprintToProcess(nullptr), std::nullopt);
}

TEST_F(APMDatabaseRecordsTest, AStoredEventWithoutOriginFailsAloneAndIsListed) {
  ASSERT_TRUE(database_->insertRawEvent(event("first", 1'700'000'000.0), 5, false, nullptr));
  APMPBEvent bare;
  NANOSetInt64(bare, APMPBEvent::kTimestampMillis, 1'700'000'000'000);
  std::string data = *bare.protoBuffer();
  ASSERT_TRUE(database_->insertDataType({{"name", Value("bare")},
                                         {"timestamp", Value(1'700'000'000.0)},
                                         {"metadata_fingerprint", Value(5)},
                                         {"data", Value::bytes(data)}},
                                        "raw_events", nullptr));
  APMUnreadableRows unreadable;
  auto events = database_->allRawEventsWithError(nullptr, &unreadable);
  ASSERT_TRUE(events);
  EXPECT_EQ(events->size(), 1u);
  ASSERT_EQ(unreadable.size(), 1u);
  EXPECT_EQ(unreadable[0].rowID, 2);
  EXPECT_EQ(unreadable[0].name, "bare");
  EXPECT_EQ(unreadable[0].error.localizedDescription(),
            "Cannot create an event from database. Missing origin parameter");
}

// Over rows none of which decodes, the read by fingerprint gives none with the last row's
// error, while the read of every row gives an empty list; a read by fingerprint needs a filter.
TEST_F(APMDatabaseRecordsTest, ReadsOfRowsThatAllFailToDecode) {
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(database_->insertDataType({{"name", Value("bare")},
                                           {"timestamp", Value(1'700'000'000.0)},
                                           {"metadata_fingerprint", Value(5)},
                                           {"data", Value::bytes(std::string("\xff", 1))}},
                                          "raw_events", nullptr));
  }
  auto accept = [](size_t, const APMSqliteRecord&) { return true; };
  struct Case {
    const char* read;
    std::function<std::optional<std::vector<APMRawEventData>>(APMErrorSlot*)> run;
    const char* error;  // nullptr: an empty list and no error
  };
  const Case cases[] = {
      {"every row", [&](APMErrorSlot* error) { return database_->allRawEventsWithError(error); },
       nullptr},
      {"by fingerprint",
       [&](APMErrorSlot* error) {
         return database_->rawEventsWithMetadataFingerprint(5, error, accept);
       },
       "Failed to parse event from data"},
      {"by fingerprint without a filter",
       [&](APMErrorSlot* error) {
         return database_->rawEventsWithMetadataFingerprint(5, error, nullptr);
       },
       "Received empty filter for selecting records"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.read);
    APMErrorSlot error;
    auto events = c.run(&error);
    if (c.error == nullptr) {
      EXPECT_TRUE(events && events->empty());
      EXPECT_FALSE(error);
    } else {
      EXPECT_FALSE(events);
      EXPECT_EQ(error ? error->localizedDescription() : "(none)", c.error);
    }
  }
}

TEST_F(APMDatabaseRecordsTest, StoringMetadataAgainMendsARowThatNoLongerDecodes) {
  APMPBMeasurementBundle shared = metadata("instance-1");
  int64_t fingerprint = apm_64LSBMD5(*shared.protoBuffer());
  ASSERT_EQ(sqliteTool(path_, "INSERT INTO raw_events_metadata VALUES (" +
                                  std::to_string(fingerprint) + ", X'00FF')"),
            "");
  ASSERT_FALSE(database_->queryRawEventsMetadataWithFingerprint(fingerprint, nullptr));
  ASSERT_TRUE(database_->insertIfNotExistsRawEventMetadata(shared, nullptr));
  auto read = database_->queryRawEventsMetadataWithFingerprint(fingerprint, nullptr);
  ASSERT_TRUE(read);
  EXPECT_EQ(*read, shared);
  EXPECT_EQ(sqliteTool(path_, "SELECT count(*) FROM raw_events_metadata"), "1\n");
}

TEST_F(APMDatabaseRecordsTest, AValuelessItemFieldIsDroppedAndAnUnnamedParameterFailsTheRow) {
  auto param = [](const std::string& name) {
    APMPBEventParam made;
    NANOSetString(made, APMPBEventParam::kName, name);
    return made;
  };
  auto text = [&](const std::string& name, const std::string& value) {
    APMPBEventParam made = param(name);
    NANOSetString(made, APMPBEventParam::kStringValue, value);
    return made;
  };
  auto nested = [&](const std::string& name, const std::vector<APMPBEventParam>& children) {
    APMPBEventParam made = param(name);
    NANOSetMessageArray(made, APMPBEventParam::kParamValue, children);
    return made;
  };
  auto store = [&](const std::string& name, const std::vector<APMPBEventParam>& params) {
    APMPBEvent message;
    NANOSetInt64(message, APMPBEvent::kTimestampMillis, 1'700'000'000'000);
    NANOSetMessageArray(message, APMPBEvent::kParams, params);
    ASSERT_TRUE(database_->insertDataType({{"name", Value(name)},
                                           {"timestamp", Value(1'700'000'000.0)},
                                           {"metadata_fingerprint", Value(5)},
                                           {"data", Value::bytes(*message.protoBuffer())}},
                                          "raw_events", nullptr));
  };
  // The first item has a field without a value, the second nothing but such a field, the third
  // neither a value nor fields.
  store("view_item", {text("_o", "app"),
                      nested("items", {nested("item", {text("item_id", "sku1"), param("color")}),
                                       nested("item", {param("size")}), param("item")})});
  store("unnamed", {text("_o", "app"), text("", "value")});

  testsupport::LogCapture log;
  APMUnreadableRows unreadable;
  auto events = database_->allRawEventsWithError(nullptr, &unreadable);
  ASSERT_TRUE(events);
  ASSERT_EQ(events->size(), 1u);
  platform::DispatchQueue::waitUntilIdle();
  EXPECT_FALSE(log.contains("I-ACS012020")) << "a skipped row is no line of its own";
  auto params = NANOGetMessageArray<APMPBEventParam>(*(*events)[0].rawEvent(), APMPBEvent::kParams);
  ASSERT_TRUE(params);
  std::vector<std::vector<std::string>> items;
  for (const auto& stored : *params) {
    if (NANOGetString(stored, APMPBEventParam::kName) != "items") continue;
    auto storedItems = NANOGetMessageArray<APMPBEventParam>(stored, APMPBEventParam::kParamValue);
    ASSERT_TRUE(storedItems);
    for (const auto& item : *storedItems) {
      std::vector<std::string> fields;
      auto storedFields = NANOGetMessageArray<APMPBEventParam>(item, APMPBEventParam::kParamValue);
      for (const auto& field : storedFields.value_or(std::vector<APMPBEventParam>{})) {
        fields.push_back(NANOGetString(field, APMPBEventParam::kName).value_or(""));
      }
      items.push_back(fields);
    }
  }
  EXPECT_EQ(items, (std::vector<std::vector<std::string>>{{"item_id"}, {}}));

  ASSERT_EQ(unreadable.size(), 1u);
  EXPECT_EQ(unreadable[0].name, "unnamed");
  EXPECT_EQ(unreadable[0].error.code(), 2);
  EXPECT_EQ(unreadable[0].error.localizedDescription(), "Failed to parse event params from data");
}

TEST_F(APMDatabaseRecordsTest, RawEventLimitsKeepTheNewestAndPurgeBothDirections) {
  struct LimitSettings : APMDatabaseSettings {
    int32_t maxEventsStored() const override { return 10; }
  };
  database_ = APMDatabase::create(kName, std::make_shared<LimitSettings>(), nullptr);
  double now = environment_.now();
  for (int i = 0; i < 12; ++i) {
    ASSERT_TRUE(database_->insertRawEvent(event("e", now), 1, false, nullptr));
  }
  EXPECT_EQ(database_->deleteRawEventsOverAbsoluteLimit(nullptr), std::optional<int64_t>(3));
  EXPECT_EQ(sqliteTool(path_, "SELECT min(rowid), count(*) FROM raw_events"), "4|9\n");

  ASSERT_TRUE(database_->insertRawEvent(event("past", now - 400 * 86400.0), 2, false, nullptr));
  ASSERT_TRUE(database_->insertRawEvent(event("future", now + 400 * 86400.0), 2, false, nullptr));
  ASSERT_TRUE(database_->insertIfNotExistsRawEventMetadata(metadata("x"), nullptr));
  ASSERT_TRUE(database_->deleteStaleRawEventsDataOlderThanMaxAge(86400, nullptr));
  EXPECT_EQ(sqliteTool(path_, "SELECT count(*), count(DISTINCT name) FROM raw_events"), "9|1\n");
  EXPECT_EQ(sqliteTool(path_, "SELECT count(*) FROM raw_events_metadata"), "0\n");
}

TEST_F(APMDatabaseRecordsTest, RawEventLimitCountsRowsThatRolledBackOrWereUploaded) {
  struct LimitSettings : APMDatabaseSettings {
    int32_t maxEventsStored() const override { return 5; }
  };
  database_ = APMDatabase::create(kName, std::make_shared<LimitSettings>(), nullptr);
  double now = environment_.now();
  auto insert = [&](int count) {
    for (int i = 0; i < count; ++i) {
      ASSERT_TRUE(database_->insertRawEvent(event("e", now), 1, false, nullptr));
    }
  };
  auto rowIDs = [&] { return sqliteTool(path_, "SELECT group_concat(rowid) FROM raw_events"); };
  insert(3);
  EXPECT_EQ(database_->deleteRawEventsOverAbsoluteLimit(nullptr), std::optional<int64_t>(0));
  // A deletion that rolls back leaves every row in place: the limit must still see them.
  EXPECT_FALSE(database_->performTransaction(
      [&] { return database_->deleteRawEventsWithMaxRowID(100, nullptr) && false; }));
  insert(3);
  EXPECT_EQ(database_->deleteRawEventsOverAbsoluteLimit(nullptr), std::optional<int64_t>(2));
  EXPECT_EQ(rowIDs(), "3,4,5,6\n");
  // Rows that an upload deleted make room again.
  ASSERT_TRUE(database_->deleteRawEventsWithMaxRowID(4, nullptr));
  insert(2);
  EXPECT_EQ(database_->deleteRawEventsOverAbsoluteLimit(nullptr), std::optional<int64_t>(0));
  insert(1);
  EXPECT_EQ(database_->deleteRawEventsOverAbsoluteLimit(nullptr), std::optional<int64_t>(1));
  EXPECT_EQ(rowIDs(), "6,7,8,9\n");
  // A new connection counts what the file holds.
  database_.reset();
  database_ = APMDatabase::create(kName, std::make_shared<LimitSettings>(), nullptr);
  insert(1);
  EXPECT_EQ(database_->deleteRawEventsOverAbsoluteLimit(nullptr), std::optional<int64_t>(1));
  EXPECT_EQ(rowIDs(), "7,8,9,10\n");
}

TEST_F(APMDatabaseRecordsTest, UserAttributesKeepValueKindsAndThePublicListFiltersNames) {
  struct Case {
    const char* name;
    APMValue value;
    bool isPublic;
  };
  const Case cases[] = {
      {"level", APMValue(int64_t{3}), true},
      {"ratio", APMValue(0.5), true},
      {"nickname", APMValue("ann"), true},
      {"_fot", APMValue(int64_t{1}), false},
      {"first_open_time", APMValue(int64_t{1}), false},
      {"kavrelin_x", APMValue(int64_t{1}), false},
  };
  for (const Case& c : cases) {
    auto attribute = APMUserAttribute::create("app", c.name, c.value, 1'700'000'000.0);
    ASSERT_TRUE(attribute) << c.name;
    ASSERT_TRUE(database_->updateUserAttribute(*attribute, nullptr)) << c.name;
    auto back = database_->userAttributeWithName(c.name, nullptr);
    ASSERT_TRUE(back) << c.name;
    EXPECT_EQ(back->value(), c.value) << c.name;
  }
  EXPECT_EQ(sqliteTool(path_, "SELECT typeof(value) FROM user_attributes ORDER BY rowid LIMIT 3"),
            "integer\nreal\ntext\n");
  auto publicOnes = database_->userAttributesIncludingInternal(false, nullptr);
  ASSERT_TRUE(publicOnes);
  std::vector<std::string> names;
  for (const auto& attribute : *publicOnes) names.push_back(attribute.name());
  EXPECT_EQ(names, (std::vector<std::string>{"level", "ratio", "nickname"}));
  EXPECT_EQ(database_->userAttributesIncludingInternal(true, nullptr)->size(), 6u);
  EXPECT_EQ(database_->publicUserAttributeCount(nullptr), std::optional<int64_t>(5));

  APMErrorSlot error;
  auto empty = APMUserAttribute::create("app", "blank", APMValue(""), 1.0);
  if (empty) {
    EXPECT_FALSE(database_->updateUserAttribute(*empty, &error));
    EXPECT_EQ(error->localizedDescription(), "Received empty string value for user property");
  }
}

TEST_F(APMDatabaseRecordsTest, EventAggregatesFillTheTableAndTheSnapshotKeepsALaterFirstOpen) {
  for (int i = 0; i < 2000; ++i) {
    auto aggregates = APMEventAggregates::create("e" + std::to_string(i), 1, 1, 0, 1.0);
    ASSERT_TRUE(database_->updateEventAggregates(*aggregates, nullptr));
  }
  APMErrorSlot error;
  EXPECT_FALSE(
      database_->updateEventAggregates(*APMEventAggregates::create("new", 1, 1, 0, 1.0), &error));
  EXPECT_EQ(error->localizedDescription(), "Failed to insert data type. Table is full");
  EXPECT_TRUE(
      database_->updateEventAggregates(*APMEventAggregates::create("e5", 9, 1, 0, 1.0), nullptr));
  ASSERT_TRUE(database_->deleteAllEventAggregates(nullptr));

  // A snapshot taken before the first open; the first open counted afterwards survives.
  ASSERT_TRUE(
      database_->updateEventAggregates(*APMEventAggregates::create("a", 1, 1, 0, 1.0), nullptr));
  ASSERT_TRUE(database_->createEventsSnapshotTable(nullptr));
  ASSERT_TRUE(
      database_->updateEventAggregates(*APMEventAggregates::create("a", 5, 5, 0, 2.0), nullptr));
  ASSERT_TRUE(
      database_->updateEventAggregates(*APMEventAggregates::create("_f", 1, 1, 1, 2.0), nullptr));
  ASSERT_TRUE(database_->restoreFromEventsSnapshotTable(nullptr));
  EXPECT_EQ(database_->eventAggregatesWithName("a", nullptr)->lifetimeCount(), 1);
  EXPECT_EQ(database_->eventAggregatesWithName("_f", nullptr)->lifetimeCount(), 1);
  EXPECT_EQ(sqliteTool(path_, "SELECT count(*) FROM events_snapshot"), "0\n");
}

TEST_F(APMDatabaseRecordsTest, AFirstOpenThatCannotBeWrittenBackStillEmptiesTheSnapshot) {
  // A snapshot of a full events table without "_f": the current "_f" finds no room after the copy.
  for (int i = 0; i < 2000; ++i) {
    auto aggregates = APMEventAggregates::create("e" + std::to_string(i), 1, 1, 0, 1.0);
    ASSERT_TRUE(database_->updateEventAggregates(*aggregates, nullptr));
  }
  ASSERT_TRUE(database_->createEventsSnapshotTable(nullptr));
  ASSERT_TRUE(database_->deleteAllEventAggregates(nullptr));
  ASSERT_TRUE(
      database_->updateEventAggregates(*APMEventAggregates::create("_f", 1, 1, 1, 2.0), nullptr));

  APMErrorSlot error;
  EXPECT_FALSE(database_->restoreFromEventsSnapshotTable(&error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->localizedDescription(), "Failed to insert data type. Table is full");
  EXPECT_EQ(sqliteTool(path_, "SELECT count(*) FROM events"), "2000\n");
  EXPECT_EQ(sqliteTool(path_, "SELECT count(*) FROM events_snapshot"), "0\n");
}

TEST_F(APMDatabaseRecordsTest, DailyCountsStartAtTodayAndSaturateWhenNarrowed) {
  struct OffsetSettings : APMDatabaseSettings {
    double midnightOffset() const override { return 3600; }
  };
  database_ = APMDatabase::create(kName, std::make_shared<OffsetSettings>(), nullptr);
  int32_t today = static_cast<int32_t>(std::floor((environment_.now() - 3600) / 86400));
  auto counts = database_->dailyCounts(nullptr);
  ASSERT_TRUE(counts);
  EXPECT_EQ(*counts, APMDailyCounts(today, 0, 0, 0, 0, 0, 0));
  ASSERT_TRUE(database_->updateDailyCounts(APMDailyCounts(today, 1, 2, 3, 4, 5, 6), nullptr));
  EXPECT_EQ(*database_->dailyCounts(nullptr), APMDailyCounts(today, 1, 2, 3, 4, 5, 6));
  ASSERT_EQ(sqliteTool(path_,
                       "UPDATE app_metadata SET daily_events_count = 9000000000, "
                       "daily_public_events_count = -9000000000"),
            "");
  counts = database_->dailyCounts(nullptr);
  EXPECT_EQ(counts->allEventsCount(), 2147483647);
  EXPECT_EQ(counts->publicEventsCount(), -2147483647 - 1);
}

TEST_F(APMDatabaseRecordsTest, AudienceFiltersAndResults) {
  APMPBEventFilter message;
  NANOSetBool(message, APMPBEventFilter::kSessionScoped, true);
  NANOSetBool(message, APMPBEventFilter::kSequence, true);
  std::string data = *message.protoBuffer();
  ASSERT_TRUE(database_->updateEventFilters(
      {APMEventFilter(1, 1, "purchase", data, true, false, true),
       APMEventFilter(1, 2, "purchase", "not a message\xff", false, false, false),
       APMEventFilter(2, 1, "login", data, true, false, true)},
      nullptr));
  ASSERT_TRUE(database_->updatePropertyFilters(
      {APMPropertyFilter(3, 1, "level", "\x28\x01", false, false, false)}, nullptr));
  auto filters = database_->eventFiltersForEventName("purchase", nullptr);
  ASSERT_TRUE(filters && filters->size() == 2);
  EXPECT_TRUE((*filters)[0].isSessionScoped() && (*filters)[0].isSequence());
  EXPECT_FALSE((*filters)[1].isSessionScoped() || (*filters)[1].isDynamic());
  EXPECT_EQ(database_->allAudienceIDs(nullptr), (std::vector<int32_t>{1, 2, 3}));
  auto scoped = database_->allSessionScopedFilters(nullptr);
  EXPECT_EQ(scoped, (std::map<int32_t, std::set<int32_t>>{{1, {1}}, {2, {1}}}));

  // Deleting many filters at once stays within SQLite's expression limits.
  std::vector<APMEventFilter> many;
  for (int i = 0; i < 1500; ++i) many.emplace_back(10, i, "bulk", data, false, false, false);
  ASSERT_TRUE(database_->performTransaction([&] {
    return database_->updateEventFilters(many, nullptr) &&
           database_->deleteEventFilters(many, nullptr);
  }));
  EXPECT_EQ(sqliteTool(path_, "SELECT count(*) FROM event_filters"), "3\n");

  ASSERT_TRUE(database_->updateFilterResults(
      {APMFilterResult(3, std::string("\x08\x01", 2), std::string()),
       APMFilterResult(4, std::string("\x08\x02", 2), std::string("\x08\x03", 2))},
      nullptr));
  auto result = database_->filterResultForAudienceID(3, nullptr);
  ASSERT_TRUE(result);
  EXPECT_FALSE(result->previousResults());
  EXPECT_EQ(sqliteTool(path_,
                       "SELECT quote(previous_results) FROM audience_filter_values "
                       "WHERE audience_id = 3"),
            "NULL\n");
  ASSERT_TRUE(database_->deleteFilterResults({APMFilterResult(3, std::nullopt, std::nullopt),
                                              APMFilterResult(3, std::nullopt, std::nullopt)},
                                             nullptr));
  EXPECT_EQ(database_->allFilterResults(nullptr)->size(), 1u);
}

TEST_F(APMDatabaseRecordsTest, PurchaseFingerprintsAreReportedOnceAndTheNewest1000Kept) {
  EXPECT_EQ(database_->insertIfNotDuplicatePurchaseFingerprint("f0", nullptr), true);
  EXPECT_EQ(database_->insertIfNotDuplicatePurchaseFingerprint("f0", nullptr), false);
  EXPECT_EQ(database_->insertIfNotDuplicatePurchaseFingerprint("", nullptr), false);
  ASSERT_TRUE(database_->performTransaction([&] {
    for (int i = 1; i <= 1000; ++i) {
      if (!database_->insertIfNotDuplicatePurchaseFingerprint("f" + std::to_string(i), nullptr)) {
        return false;
      }
    }
    return true;
  }));
  EXPECT_EQ(sqliteTool(path_,
                       "SELECT count(*), sum(fingerprint = 'f0') FROM "
                       "purchase_transactions"),
            "1000|0\n");
}

TEST_F(APMDatabaseRecordsTest, ConditionalPropertiesByTimeoutTriggerAndPrefix) {
  double now = environment_.now();
  APMConditionalUserProperty waiting;
  waiting.name = "plan";
  waiting.origin = "app";
  waiting.value = APMValue("gold");
  waiting.triggerEventName = "purchase";
  waiting.triggerTimeout = 60;
  waiting.timeToLive = 3600;
  waiting.creationTimestamp = now - 100;
  waiting.triggeredEvent = event("plan_set", now);
  APMConditionalUserProperty fresh = waiting;
  fresh.name = "planet";
  fresh.creationTimestamp = now - 10;
  fresh.triggeredEvent.reset();
  APMConditionalUserProperty other = fresh;
  other.name = "my_plan";
  for (const auto* property : {&waiting, &fresh, &other}) {
    ASSERT_TRUE(database_->updateConditionalUserProperty(*property, nullptr));
  }
  auto names = [](const std::optional<std::vector<APMConditionalUserProperty>>& list) {
    std::vector<std::string> out;
    for (const auto& p : list.value_or(std::vector<APMConditionalUserProperty>{})) {
      out.push_back(p.name);
    }
    return out;
  };
  EXPECT_EQ(names(database_->timedOutConditionalUserPropertiesWithError(nullptr)),
            (std::vector<std::string>{"plan"}));
  EXPECT_EQ(names(database_->triggeredConditionalUserPropertiesWithEventName("purchase", nullptr)),
            (std::vector<std::string>{"planet", "my_plan"}));
  EXPECT_EQ(names(database_->conditionalUserPropertiesWithPrefix("plan", "", nullptr)),
            (std::vector<std::string>{"plan", "planet"}));
  auto back = database_->conditionalUserPropertyWithName("plan", nullptr);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->value, APMValue("gold"));
  ASSERT_TRUE(back->triggeredEvent);
  EXPECT_EQ(back->triggeredEvent->name(), "plan_set");
  EXPECT_EQ(database_->conditionalUserPropertyWithName("planet", nullptr)->triggeredEvent,
            std::nullopt);

  // One row that no longer decodes makes the list queries answer nothing.
  ASSERT_EQ(sqliteTool(path_,
                       "UPDATE conditional_properties SET expired_event = X'FFFF' WHERE "
                       "name = 'my_plan'"),
            "");
  APMErrorSlot error;
  APMUnreadableRows unreadable;
  EXPECT_FALSE(database_->conditionalUserPropertiesWithPrefix("", "", &error, &unreadable));
  ASSERT_EQ(unreadable.size(), 1u);
  EXPECT_EQ(unreadable[0].name, "my_plan");
}

TEST_F(APMDatabaseRecordsTest, ComplexEventsKeepTheMainEventAndItsChildCount) {
  ASSERT_TRUE(database_->updateComplexEventForAudienceEvaluationWithEventID(
      77, 3, event("main", 1'700'000'000.0, {{"k", APMObject(Value(1))}}), nullptr));
  auto pair = database_->mainEventAndChildCountPairWithEventID(77, nullptr);
  ASSERT_TRUE(pair);
  EXPECT_EQ(pair->first.name(), "main");
  EXPECT_EQ(pair->second, 3);
  APMErrorSlot error;
  EXPECT_FALSE(database_->mainEventAndChildCountPairWithEventID(78, &error));
  EXPECT_FALSE(error);
  ASSERT_TRUE(database_->deleteComplexEventForAudienceEvaluationWithEventID(77, nullptr));
  EXPECT_EQ(sqliteTool(path_, "SELECT count(*) FROM main_event_params"), "0\n");
}

TEST_F(APMDatabaseRecordsTest, AppMetadataIndexesWrapAndTheConfigurationIsCheckedOnBothWays) {
  struct IndexCase {
    int32_t start;
    int32_t count;
    int32_t expected;
  };
  // The wrap is logged at a level the console never shows (4001, level 5).
  const IndexCase cases[] = {{2147483640, 10, 9}, {2147483640, 7, 2147483647}, {0, 3, 3}};
  for (const IndexCase& c : cases) {
    auto metadata = APMAppMetadata::create(c.start, 0, 0);
    metadata->increaseLastBundleIndex(c.count);
    EXPECT_EQ(metadata->lastBundleIndex(), c.expected);
  }
  auto delivery = APMAppMetadata::create(0, 2147483647, 0, 0);
  delivery->incrementLastDeliveryIndex();
  EXPECT_EQ(delivery->lastDeliveryIndex(), 0);
  EXPECT_FALSE(APMAppMetadata::create(-1, 0, 0));

  APMErrorSlot none;
  EXPECT_FALSE(database_->queryMeasurementConfigWithError(&none));
  EXPECT_FALSE(none);
  EXPECT_FALSE(database_->lastRemoteConfigUpdateTimestamp(nullptr));
  APMPBMeasurementConfig config;
  NANOSetString(config, APMPBMeasurementConfig::kAppId, "1:123:ios:abc");
  NANOSetInt64(config, APMPBMeasurementConfig::kVersion, 4);
  ASSERT_TRUE(database_->updateRemoteConfig(config, nullptr));
  APMPBMeasurementConfig noAppID;
  NANOSetInt64(noAppID, APMPBMeasurementConfig::kVersion, 5);
  APMErrorSlot refused;
  EXPECT_FALSE(database_->updateRemoteConfig(noAppID, &refused));
  EXPECT_EQ(refused->localizedDescription(), "Missing Orvane app ID in measurement configuration");
  EXPECT_EQ(database_->queryMeasurementConfigWithError(nullptr), config);
  EXPECT_EQ(database_->lastRemoteConfigUpdateTimestamp(nullptr), environment_.now());

  ASSERT_EQ(sqliteTool(path_, "UPDATE app_metadata SET remote_config_data = X'FFFFFFFF'"), "");
  APMErrorSlot corrupted;
  EXPECT_FALSE(database_->queryMeasurementConfigWithError(&corrupted));
  EXPECT_EQ(corrupted->localizedDescription(), "Remote config data is corrupted");
}

TEST_F(APMDatabaseRecordsTest, AMissingAppMetadataRowIsAnUnusableRecord) {
  ASSERT_EQ(sqliteTool(path_, "DELETE FROM app_metadata"), "");
  APMErrorSlot error;
  EXPECT_FALSE(database_->queryAppMetadata(&error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), 3);
  EXPECT_EQ(error->localizedDescription(), "Received empty dictionary for getting app metadata");
}

}  // namespace
