// What the measurement database keeps in memory of its tables (counts, real-time flags, latest
// times, daily counts, user attributes, event aggregates, on-device values) against what the
// file holds: after its own writes, a rolled-back transaction, a reopen, writes made around it
// (on its connection or by another process), bundling, stale purges and a reset. And the
// storage-limit prune against the query it replaces, on the same table.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "AppMeasurement/foundation/APMDataAdditions.h"
#include "AppMeasurement/storage/APMDatabase.h"
#include "tests/AppMeasurement/storage/StorageTestSupport.h"

namespace {

using platform::Value;
using storagetest::sqliteTool;

struct LimitSettings : APMDatabaseSettings {
  int32_t maxEventsStored() const override { return limit; }
  int32_t limit = 100000;
};

// The facts the per-event path and the upload scheduler read, as one comparable value.
struct Facts {
  std::optional<bool> rawEmpty, rawRealtime, queueEmpty, queueRealtime;
  std::optional<double> rawLatest, queueLatest;
  std::vector<std::string> userAttributes;  // name=value in rowid order
  std::optional<APMDailyCounts> daily;
  std::vector<std::string> aggregates;  // name:lifetime for the names asked
  std::optional<int64_t> publicEventNames;
  std::optional<std::string> odmValue;
  std::vector<std::string> eventFilters;  // audience:filter of "level_up"
  bool operator==(const Facts&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Facts& f) {
  auto b = [](std::optional<bool> v) { return v ? (*v ? "1" : "0") : "?"; };
  auto d = [](std::optional<double> v) { return v ? std::to_string(*v) : std::string("none"); };
  out << "raw empty " << b(f.rawEmpty) << " realtime " << b(f.rawRealtime) << " latest "
      << d(f.rawLatest) << "; queue empty " << b(f.queueEmpty) << " realtime " << b(f.queueRealtime)
      << " latest " << d(f.queueLatest) << "; attributes";
  for (const auto& a : f.userAttributes) out << " " << a;
  out << "; daily " << (f.daily ? std::to_string(f.daily->allEventsCount()) : "?");
  out << "; aggregates";
  for (const auto& a : f.aggregates) out << " " << a;
  out << "; public names " << (f.publicEventNames ? std::to_string(*f.publicEventNames) : "?");
  out << "; odm " << f.odmValue.value_or("none") << "; filters";
  for (const auto& filter : f.eventFilters) out << " " << filter;
  return out;
}

Facts factsOf(APMDatabase& database) {
  Facts f;
  f.rawEmpty = database.isRawEventsTableEmpty(nullptr);
  f.rawRealtime = database.containsRealtimeRawEventsWithError(nullptr);
  f.rawLatest = database.queryLatestRawEventTime(nullptr);
  f.queueEmpty = database.isQueuedBundleTableEmpty(nullptr);
  f.queueRealtime = database.containsRealtimeBundlesWithError(nullptr);
  f.queueLatest = database.queryLatestBundleTime(nullptr);
  for (const APMUserAttribute& a : database.userAttributesIncludingInternal(true, nullptr)
                                       .value_or(std::vector<APMUserAttribute>{})) {
    f.userAttributes.push_back(a.name() + "=" + a.value().description());
  }
  f.daily = database.dailyCounts(nullptr);
  for (const char* name : {"level_up", "_f", "purchase", "new_name"}) {
    auto aggregates = database.eventAggregatesWithName(name, nullptr);
    f.aggregates.push_back(std::string(name) + ":" +
                           (aggregates ? std::to_string(aggregates->lifetimeCount()) : "-"));
  }
  f.publicEventNames = database.publicEventCount(nullptr);
  auto odm = database.ODMValueWithName("odm1_value", nullptr);
  if (odm) f.odmValue = odm->at("value").description();
  for (const APMEventFilter& filter : database.eventFiltersForEventName("level_up", nullptr)
                                          .value_or(std::vector<APMEventFilter>{})) {
    f.eventFilters.push_back(std::to_string(filter.audienceID()) + ":" +
                             std::to_string(filter.filterID()));
  }
  return f;
}

class APMDatabaseCachesTest : public storagetest::StorageTest {
 protected:
  void SetUp() override {
    StorageTest::SetUp();
    open(settings_);
  }

  APMEvent event(const std::string& name, double timestamp) {
    return *APMEvent::create("app", true, name, timestamp, 0, APMObjectMap{});
  }

  bool insertRaw(double timestamp, bool realtime = false, const std::string& name = "level_up") {
    return database_->insertRawEvent(event(name, timestamp), 42, realtime, nullptr);
  }

  APMPBMeasurementBundle bundle(int64_t endMillis) {
    APMPBMeasurementBundle made;
    NANOSetString(made, APMPBMeasurementBundle::kAppId, "1:1:ios:1");
    NANOSetInt64(made, APMPBMeasurementBundle::kEndTimestampMillis, endMillis);
    return made;
  }

  // What this database answers equals what a fresh one, opened on the same file, reads.
  void expectMatchesFile(const std::string& when) {
    Facts cached = factsOf(*database_);
    auto fresh = APMDatabase::create(kName, settings_, nullptr);
    ASSERT_NE(fresh, nullptr) << when;
    EXPECT_EQ(cached, factsOf(*fresh)) << when;
  }

  int64_t fileRowCount() {
    return std::stoll(sqliteTool(path_, "SELECT count(*) FROM raw_events"));
  }

  std::shared_ptr<LimitSettings> settings_ = std::make_shared<LimitSettings>();
};

TEST_F(APMDatabaseCachesTest, OwnWritesKeepEveryCacheEqualToTheFile) {
  double now = environment_.now();
  expectMatchesFile("fresh");
  struct Step {
    const char* what;
    std::function<bool(APMDatabase&)> write;
  };
  const Step steps[] = {
      {"raw event", [&](APMDatabase&) { return insertRaw(now - 10); }},
      {"real-time raw event", [&](APMDatabase&) { return insertRaw(now - 20, true); }},
      {"later raw event", [&](APMDatabase&) { return insertRaw(now + 5); }},
      {"bundle", [&](APMDatabase& d) { return d.insertBundle(bundle(1000), false, nullptr); }},
      {"real-time bundle",
       [&](APMDatabase& d) { return d.insertBundle(bundle(5000), true, nullptr); }},
      {"user attribute a",
       [&](APMDatabase& d) {
         return d.updateUserAttribute(*APMUserAttribute::create("app", "a", APMValue("x"), 1),
                                      nullptr);
       }},
      {"user attribute b",
       [&](APMDatabase& d) {
         return d.updateUserAttribute(*APMUserAttribute::create("app", "b", APMValue(2.5), 2),
                                      nullptr);
       }},
      {"a replaced moves last",
       [&](APMDatabase& d) {
         return d.updateUserAttribute(
             *APMUserAttribute::create("auto", "a", APMValue(int64_t{7}), 3), nullptr);
       }},
      {"b deleted", [&](APMDatabase& d) { return d.deleteUserAttributeWithName("b", nullptr); }},
      {"daily counts",
       [&](APMDatabase& d) {
         return d.updateDailyCounts(APMDailyCounts(d.currentDayNumber(), 1, 2, 3, 4, 5, 6),
                                    nullptr);
       }},
      {"app metadata beside the counts",
       [&](APMDatabase& d) {
         return d.updateAppMetadata(*APMAppMetadata::create(3, 1, 10, 20), nullptr);
       }},
      {"new aggregates",
       [&](APMDatabase& d) {
         return d.updateEventAggregates(*APMEventAggregates::create("level_up", 1, 1, 1, now),
                                        nullptr);
       }},
      {"changed aggregates",
       [&](APMDatabase& d) {
         return d.updateEventAggregates(*APMEventAggregates::create("level_up", 9, 1, 1, now),
                                        nullptr);
       }},
      {"internal aggregates",
       [&](APMDatabase& d) {
         return d.updateEventAggregates(*APMEventAggregates::create("_f", 1, 0, 0, now), nullptr);
       }},
      {"session counts cleared",
       [&](APMDatabase& d) { return d.clearCurrentSessionCounts(nullptr); }},
      {"odm value",
       [&](APMDatabase& d) { return d.updateODMValue("7", "odm1_value", 1, nullptr); }},
      {"bundling deletes raw events",
       [&](APMDatabase& d) { return d.deleteRawEventsWithMaxRowID(2, nullptr); }},
      {"sent bundles deleted",
       [&](APMDatabase& d) { return d.deleteBundlesWithRowIDs({2}, nullptr); }},
      {"retry counts",
       [&](APMDatabase& d) { return d.incrementRetryCounterForBundlesWithIDs({1}, nullptr); }},
      {"stale purge",
       [&](APMDatabase& d) {
         return d.deleteStaleRawEventsDataOlderThanMaxAge(1, nullptr) &&
                d.deleteStaleBundlesOlderThanMaxAge(1, nullptr);
       }},
      {"odm value deleted",
       [&](APMDatabase& d) { return d.deleteODMValueWithName("odm1_value", nullptr); }},
      {"event filters",
       [&](APMDatabase& d) {
         return d.updateEventFilters({APMEventFilter(1, 1, "level_up", "x", false, false, false),
                                      APMEventFilter(2, 5, "level_up", "x", false, false, false)},
                                     nullptr);
       }},
      {"event filter deleted",
       [&](APMDatabase& d) {
         return d.deleteEventFilters({APMEventFilter(1, 1, "level_up", "x", false, false, false)},
                                     nullptr);
       }},
  };
  for (const Step& step : steps) {
    // Read first, so that each write has a cache to keep current.
    factsOf(*database_);
    ASSERT_TRUE(step.write(*database_)) << step.what;
    expectMatchesFile(step.what);
  }
}

TEST_F(APMDatabaseCachesTest, ARolledBackTransactionLeavesNothingOfItsWritesInTheCaches) {
  double now = environment_.now();
  ASSERT_TRUE(insertRaw(now));
  ASSERT_TRUE(database_->updateUserAttribute(
      *APMUserAttribute::create("app", "kept", APMValue("x"), 1), nullptr));
  Facts before = factsOf(*database_);
  EXPECT_FALSE(database_->performTransaction([&] {
    EXPECT_TRUE(insertRaw(now + 100, true));
    EXPECT_TRUE(database_->updateDailyCounts(
        APMDailyCounts(database_->currentDayNumber(), 0, 50, 50, 0, 0, 0), nullptr));
    EXPECT_TRUE(database_->updateUserAttribute(
        *APMUserAttribute::create("app", "rolled_back", APMValue("y"), 2), nullptr));
    EXPECT_TRUE(database_->deleteUserAttributeWithName("kept", nullptr));
    EXPECT_TRUE(database_->updateEventAggregates(
        *APMEventAggregates::create("new_name", 1, 1, 1, now), nullptr));
    EXPECT_TRUE(database_->updateODMValue("9", "odm1_value", 1, nullptr));
    // Read back inside: the transaction sees its own writes.
    EXPECT_EQ(database_->queryLatestRawEventTime(nullptr), now + 100);
    EXPECT_EQ(database_->containsRealtimeRawEventsWithError(nullptr), true);
    return false;
  }));
  EXPECT_EQ(factsOf(*database_), before);
  expectMatchesFile("after the rollback");
  // And an exception thrown out of the block rolls back the same way.
  EXPECT_THROW(database_->performTransaction([&]() -> bool {
    insertRaw(now + 200, true);
    throw std::runtime_error("abandoned");
  }),
               std::runtime_error);
  EXPECT_EQ(factsOf(*database_), before);
}

TEST_F(APMDatabaseCachesTest, WritesMadeAroundTheDatabaseAreSeen) {
  double now = environment_.now();
  ASSERT_TRUE(insertRaw(now));
  ASSERT_TRUE(database_->updateUserAttribute(
      *APMUserAttribute::create("app", "a", APMValue("x"), 1), nullptr));
  ASSERT_TRUE(database_->updateODMValue("1", "odm1_value", 1, nullptr));
  factsOf(*database_);
  APMSqliteStore* store = database_->sqliteStore();
  // On its own connection, row by row and as a whole-table delete.
  ASSERT_TRUE(store->executeSQL(
      "INSERT INTO raw_events (name, timestamp, metadata_fingerprint, data, is_realtime) "
      "VALUES ('x', 1e10, 1, x'00', 1)",
      nullptr));
  expectMatchesFile("row inserted on the store");
  ASSERT_TRUE(store->executeSQL("DELETE FROM user_attributes", nullptr));
  expectMatchesFile("table emptied on the store");
  ASSERT_TRUE(store->executeSQL("UPDATE odm_values SET value = '5'", nullptr));
  expectMatchesFile("value changed on the store");
  ASSERT_TRUE(
      store->executeSQL("INSERT INTO event_filters (audience_id, filter_id, event_name, data) "
                        "VALUES (3, 4, 'level_up', x'00')",
                        nullptr));
  expectMatchesFile("event filter inserted on the store");
  // By another process.
  ASSERT_EQ(sqliteTool(path_,
                       "DELETE FROM raw_events; INSERT INTO queue (data, bundle_end_timestamp, "
                       "is_realtime) VALUES (x'00', 77, 1); UPDATE app_metadata SET "
                       "daily_events_count = 41"),
            "");
  Facts seen = factsOf(*database_);
  EXPECT_EQ(seen.rawEmpty, true);
  EXPECT_EQ(seen.queueRealtime, true);
  EXPECT_EQ(seen.queueLatest, 77);
  EXPECT_EQ(seen.daily->allEventsCount(), 41);
  expectMatchesFile("written by another process");
}

TEST_F(APMDatabaseCachesTest, AReopenAndAResetReadTheFileAgain) {
  double now = environment_.now();
  ASSERT_TRUE(insertRaw(now, true));
  ASSERT_TRUE(database_->insertBundle(bundle(2000), true, nullptr));
  ASSERT_TRUE(database_->updateDailyCounts(
      APMDailyCounts(database_->currentDayNumber(), 0, 3, 3, 0, 0, 0), nullptr));
  Facts written = factsOf(*database_);
  database_.reset();
  open(settings_);
  EXPECT_EQ(factsOf(*database_), written);
  ASSERT_TRUE(database_->reset(nullptr));
  Facts wiped = factsOf(*database_);
  EXPECT_EQ(wiped.rawEmpty, true);
  EXPECT_EQ(wiped.queueEmpty, true);
  EXPECT_EQ(wiped.rawLatest, std::nullopt);
  EXPECT_EQ(wiped.daily->allEventsCount(), 0);
  expectMatchesFile("after the reset");
}

// The rowids the storage-limit prune deleted, against the rows the query it replaces selects
// on the same table just before.
void expectPruneLikeTheOffsetQuery(APMDatabase& database, const std::filesystem::path& path,
                                   int32_t limit, const std::string& when) {
  std::string expected =
      sqliteTool(path,
                 "SELECT group_concat(rowid) FROM (SELECT rowid FROM raw_events WHERE rowid IN "
                 "(SELECT rowid FROM raw_events ORDER BY rowid DESC LIMIT -1 OFFSET " +
                     std::to_string(std::max(limit - 1, 0)) + ") ORDER BY rowid)");
  std::string before = sqliteTool(path, "SELECT group_concat(rowid) FROM raw_events");
  std::optional<int64_t> deleted = database.deleteRawEventsOverAbsoluteLimit(nullptr);
  ASSERT_TRUE(deleted) << when;
  std::string after = sqliteTool(path, "SELECT group_concat(rowid) FROM raw_events");
  // before = the deleted ones, then the kept ones (both in rowid order).
  std::string gone = expected == "\n" ? "" : expected.substr(0, expected.size() - 1);
  std::string kept = after == "\n" ? "" : after.substr(0, after.size() - 1);
  std::string joined = gone.empty() ? kept : (kept.empty() ? gone : gone + "," + kept);
  EXPECT_EQ(joined + "\n", before) << when;
  EXPECT_EQ(*deleted, gone.empty() ? 0 : std::count(gone.begin(), gone.end(), ',') + 1) << when;
}

TEST_F(APMDatabaseCachesTest, ThePruneDeletesTheRowsTheOffsetQueryDeletes) {
  double now = environment_.now();
  settings_->limit = 5;
  struct Case {
    const char* what;
    std::function<void()> arrange;
  };
  auto fill = [&](int rows) {
    database_->performTransaction([&] {
      for (int i = 0; i < rows; ++i) insertRaw(now + i, i % 3 == 0);
      return true;
    });
  };
  const Case cases[] = {
      {"below the limit", [&] { fill(3); }},
      {"at the limit less one", [&] { fill(1); }},
      {"at the limit", [&] { fill(1); }},
      {"one over", [&] { fill(2); }},
      {"far over, with gaps",
       [&] {
         fill(20);
         ASSERT_TRUE(database_->sqliteStore()->executeSQL(
             "DELETE FROM raw_events WHERE rowid % 4 = 1", nullptr));
       }},
      {"after bundling the oldest",
       [&] {
         fill(6);
         ASSERT_TRUE(database_->deleteRawEventsWithMaxRowID(30, nullptr));
       }},
      {"limit lowered to one",
       [&] {
         fill(3);
         settings_->limit = 1;
       }},
      {"limit of zero",
       [&] {
         fill(2);
         settings_->limit = 0;
       }},
  };
  for (const Case& c : cases) {
    c.arrange();
    expectPruneLikeTheOffsetQuery(*database_, path_, settings_->limit, c.what);
    expectMatchesFile(c.what);
  }
}

TEST_F(APMDatabaseCachesTest, TheCountHoldsAtAnEmptyTableAndAtFortyThousandRows) {
  double now = environment_.now();
  settings_->limit = 40'001;
  EXPECT_EQ(database_->deleteRawEventsOverAbsoluteLimit(nullptr), 0);
  EXPECT_EQ(database_->isRawEventsTableEmpty(nullptr), true);
  ASSERT_TRUE(database_->performTransaction([&] {
    for (int i = 0; i < 40'000; ++i) {
      if (!insertRaw(now - 40'000 + i, i == 5)) return false;
    }
    return true;
  }));
  EXPECT_EQ(fileRowCount(), 40'000);
  // At the limit less one nothing goes; one more row makes one go, the oldest.
  EXPECT_EQ(database_->deleteRawEventsOverAbsoluteLimit(nullptr), 0);
  ASSERT_TRUE(insertRaw(now));
  EXPECT_EQ(database_->deleteRawEventsOverAbsoluteLimit(nullptr), 1);
  EXPECT_EQ(fileRowCount(), 40'000);
  EXPECT_EQ(sqliteTool(path_, "SELECT min(rowid) FROM raw_events"), "2\n");
  // The count read at opening agrees.
  database_.reset();
  open(settings_);
  settings_->limit = 40'000;
  EXPECT_EQ(database_->deleteRawEventsOverAbsoluteLimit(nullptr), 1);
  EXPECT_EQ(fileRowCount(), 39'999);
  EXPECT_EQ(database_->containsRealtimeRawEventsWithError(nullptr), true);
  expectMatchesFile("at forty thousand rows");
}

// The statements SQLite runs while the block runs, in order, as their texts.
std::vector<std::string> statementsRunBy(APMDatabase& database,
                                         const std::function<void()>& block) {
  std::vector<std::string> texts;
  sqlite3* handle = database.sqliteStore()->sqliteHandle();
  sqlite3_trace_v2(
      handle, SQLITE_TRACE_STMT,
      [](unsigned, void* context, void* statement, void*) {
        static_cast<std::vector<std::string>*>(context)->push_back(
            sqlite3_sql(static_cast<sqlite3_stmt*>(statement)));
        return 0;
      },
      &texts);
  block();
  sqlite3_trace_v2(handle, 0, nullptr, nullptr);
  return texts;
}

// Once the caches are warm, writing an event runs no SELECT: the transaction, one check for
// other writers, the daily counts written through and the row itself; the upload scheduler's
// reads run one check and nothing else.
TEST_F(APMDatabaseCachesTest, AWarmEventWriteRunsNoSelect) {
  APMPBMeasurementBundle metadata = bundle(1000);
  int64_t fingerprint = apm_64LSBMD5(*metadata.protoBuffer());
  auto writeEvent = [&] {
    ASSERT_TRUE(database_->performTransaction([&] {
      std::optional<APMDailyCounts> counts = database_->dailyCounts(nullptr);
      if (!counts) return false;
      counts->incrementCountsForCurrentDay(counts->day(), true, false, 1);
      return database_->updateDailyCounts(*counts, nullptr) &&
             database_->eventAggregatesWithName("level_up", nullptr) &&
             database_->userAttributesIncludingInternal(true, nullptr) &&
             !database_->userAttributeWithName("_npa", nullptr) &&
             database_->insertIfNotExistsRawEventMetadata(metadata, nullptr) &&
             database_->deleteRawEventsOverAbsoluteLimit(nullptr) == 0 &&
             database_->insertRawEvent(event("level_up", environment_.now()), fingerprint, false,
                                       nullptr);
    }));
  };
  auto scheduleReads = [&] {
    database_->performReads([&] {
      database_->isQueuedBundleTableEmpty(nullptr);
      database_->isRawEventsTableEmpty(nullptr);
      database_->queryLatestBundleTime(nullptr);
      database_->queryLatestRawEventTime(nullptr);
      database_->containsRealtimeBundlesWithError(nullptr);
      database_->containsRealtimeRawEventsWithError(nullptr);
    });
  };
  ASSERT_TRUE(database_->updateDailyCounts(
      APMDailyCounts(database_->currentDayNumber(), 0, 0, 0, 0, 0, 0), nullptr));
  ASSERT_TRUE(database_->updateEventAggregates(*APMEventAggregates::create("level_up", 0, 0, 0, 0),
                                               nullptr));
  writeEvent();
  scheduleReads();
  EXPECT_EQ(statementsRunBy(*database_, writeEvent),
            (std::vector<std::string>{
                "BEGIN EXCLUSIVE TRANSACTION", "PRAGMA data_version",
                "UPDATE app_metadata SET daily_conversions_count=?,daily_error_events_count=?,"
                "daily_events_count=?,daily_public_events_count=?,"
                "daily_real_time_conversion_events_count=?,daily_real_time_dcu_events_count=?,"
                "day=? WHERE rowid=?",
                "INSERT OR REPLACE INTO raw_events (data, is_realtime, metadata_fingerprint, name, "
                "timestamp) VALUES (?, ?, ?, ?, ?);",
                "END TRANSACTION"}));
  EXPECT_EQ(statementsRunBy(*database_, scheduleReads),
            (std::vector<std::string>{"PRAGMA data_version"}));
  expectMatchesFile("after warm writes");
}

// A commit group's transactions are savepoints of one transaction that begins and checks for
// other writers once; reads between them run no statement; a transaction that fails inside the
// group leaves nothing of its writes in the caches; the file gets everything at the group's end.
TEST_F(APMDatabaseCachesTest, ACommitGroupWritesItsTransactionsUnderOneCommit) {
  double now = environment_.now();
  ASSERT_TRUE(insertRaw(now));
  factsOf(*database_);
  auto write = [&](double timestamp, bool succeed) {
    EXPECT_EQ(database_->performRerunnableTransaction(
                  [this, timestamp, succeed] { return insertRaw(timestamp) && succeed; }),
              succeed);
  };
  auto reads = [&] {
    database_->performReads([&] {
      database_->queryLatestRawEventTime(nullptr);
      database_->containsRealtimeRawEventsWithError(nullptr);
      database_->isRawEventsTableEmpty(nullptr);
    });
  };
  const std::string insert =
      "INSERT OR REPLACE INTO raw_events (data, is_realtime, metadata_fingerprint, name, "
      "timestamp) VALUES (?, ?, ?, ?, ?);";
  EXPECT_EQ(
      statementsRunBy(*database_,
                      [&] {
                        database_->beginCommitGroup();
                        write(now + 1, true);
                        reads();
                        write(now + 2, true);
                      }),
      (std::vector<std::string>{"BEGIN EXCLUSIVE TRANSACTION", "SAVEPOINT apm_group_item",
                                "PRAGMA data_version", insert, "RELEASE apm_group_item",
                                "SAVEPOINT apm_group_item", insert, "RELEASE apm_group_item"}));
  write(now + 3, false);
  EXPECT_EQ(database_->queryLatestRawEventTime(nullptr), now + 2);
  EXPECT_EQ(fileRowCount(), 1);
  EXPECT_EQ(statementsRunBy(*database_, [&] { EXPECT_TRUE(database_->endCommitGroup()); }),
            (std::vector<std::string>{"END TRANSACTION"}));
  EXPECT_EQ(fileRowCount(), 3);
  expectMatchesFile("after the group");
}

// The daily counts the transactions of a group store reach the file once, as the last write
// before the commit; until then reads answer them; a transaction that fails takes back its own.
TEST_F(APMDatabaseCachesTest, ACommitGroupWritesTheDailyCountsOnceBeforeItsCommit) {
  int32_t day = database_->currentDayNumber();
  ASSERT_TRUE(database_->updateDailyCounts(APMDailyCounts(day, 0, 0, 0, 0, 0, 0), nullptr));
  auto count = [&](int32_t events, bool succeed) {
    EXPECT_EQ(database_->performRerunnableTransaction([this, day, events, succeed] {
      return database_->updateDailyCounts(APMDailyCounts(day, 0, events, events, 0, 0, 0),
                                          nullptr) &&
             insertRaw(environment_.now()) && succeed;
    }),
              succeed);
  };
  auto fileCount = [&] { return sqliteTool(path_, "SELECT daily_events_count FROM app_metadata"); };
  const std::string update =
      "UPDATE app_metadata SET daily_conversions_count=?,daily_error_events_count=?,"
      "daily_events_count=?,daily_public_events_count=?,"
      "daily_real_time_conversion_events_count=?,daily_real_time_dcu_events_count=?,day=? "
      "WHERE rowid=?";
  std::vector<std::string> statements = statementsRunBy(*database_, [&] {
    database_->beginCommitGroup();
    count(1, true);
    count(2, true);
    count(3, false);
  });
  EXPECT_EQ(std::count(statements.begin(), statements.end(), update), 0);
  EXPECT_EQ(database_->dailyCounts(nullptr)->allEventsCount(), 2);
  EXPECT_EQ(fileCount(), "0\n");
  EXPECT_EQ(statementsRunBy(*database_, [&] { EXPECT_TRUE(database_->endCommitGroup()); }),
            (std::vector<std::string>{update, "END TRANSACTION"}));
  EXPECT_EQ(fileCount(), "2\n");
  expectMatchesFile("after the group");

  // A group whose every transaction failed leaves the counts as they were.
  database_->beginCommitGroup();
  count(7, false);
  EXPECT_EQ(database_->dailyCounts(nullptr)->allEventsCount(), 2);
  EXPECT_TRUE(database_->endCommitGroup());
  EXPECT_EQ(fileCount(), "2\n");
  expectMatchesFile("after a failed group");
}

// Deleting the oldest rows (what bundling does) keeps the real-time and latest-time facts
// without reading the whole table again, unless the latest row itself went.
TEST_F(APMDatabaseCachesTest, DeletedOldRowsKeepTheRealtimeAndLatestFacts) {
  struct Case {
    const char* what;
    int64_t maxRowID;       // of the rows 1..4 below
    size_t readStatements;  // run by the scheduler's reads afterwards
  };
  const Case cases[] = {
      {"old rows, the real-time one among them", 2, 1},
      {"old rows, not the real-time one", 1, 1},
      {"every row: the latest went too", 4, 1},
      {"the latest row went", 3, 2},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(database_->reset(nullptr));
    double now = environment_.now();
    // Rowids 1..4: the third is the latest in time, the second real-time.
    ASSERT_TRUE(insertRaw(now - 30));
    ASSERT_TRUE(insertRaw(now - 20, true));
    ASSERT_TRUE(insertRaw(now + 50));
    ASSERT_TRUE(insertRaw(now - 10));
    factsOf(*database_);
    ASSERT_TRUE(database_->deleteRawEventsWithMaxRowID(c.maxRowID, nullptr)) << c.what;
    auto reads = [&] {
      database_->performReads([&] {
        database_->queryLatestRawEventTime(nullptr);
        database_->containsRealtimeRawEventsWithError(nullptr);
        database_->isRawEventsTableEmpty(nullptr);
      });
    };
    EXPECT_EQ(statementsRunBy(*database_, reads).size(), c.readStatements) << c.what;
    expectMatchesFile(c.what);
  }
}

// A statement taken from the cache and not yet cleaned up is not shared with a nested use of
// the same text, and a table changed under a kept statement is read with its new columns.
TEST_F(APMDatabaseCachesTest, KeptStatementsSurviveNestingAndSchemaChanges) {
  APMSqliteStore& store = *database_->sqliteStore();
  ASSERT_TRUE(store.executeSQL("CREATE TABLE t (id INTEGER, name TEXT)", nullptr));
  ASSERT_TRUE(store.executeSQL("INSERT INTO t VALUES (1, 'a'), (2, 'b')", nullptr));
  const std::string sql = "SELECT * FROM t WHERE id >= ? ORDER BY id";
  std::vector<std::string> inner;
  auto outer =
      store.recordsForQuery(sql, {Value(1)}, nullptr, [&](size_t, const APMSqliteRecord& record) {
        auto nested = store.recordsForQuery(sql, {Value(2)}, nullptr);
        inner.push_back(std::to_string(nested ? nested->size() : 99) + "/" +
                        record.at("name").description());
        return true;
      });
  ASSERT_TRUE(outer);
  EXPECT_EQ(outer->size(), 2u);
  EXPECT_EQ(inner, (std::vector<std::string>{"1/a", "1/b"}));
  ASSERT_TRUE(store.executeSQL("ALTER TABLE t ADD COLUMN extra INTEGER DEFAULT 5", nullptr));
  auto again = store.recordsForQuery(sql, {Value(2)}, nullptr);
  ASSERT_TRUE(again);
  ASSERT_EQ(again->size(), 1u);
  EXPECT_EQ(again->front().at("extra"), Value(5));
}

}  // namespace

namespace {

// The metadata table's limit of 100,000 rows holds with the count kept in memory: after the
// database's own inserts and deletes and after rows deleted by another process.
TEST_F(APMDatabaseCachesTest, TheMetadataLimitHoldsWithTheKeptCount) {
  auto insert = [&](int64_t fingerprint) {
    return database_->insertIfNotExistsRawEventMetadata("metadata-" + std::to_string(fingerprint),
                                                        fingerprint, nullptr);
  };
  ASSERT_TRUE(insert(-1));  // counted from here on
  ASSERT_EQ(sqliteTool(path_,
                       "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < "
                       "99999) INSERT INTO raw_events_metadata (metadata_fingerprint, metadata) "
                       "SELECT i, x'00' FROM n"),
            "");
  EXPECT_FALSE(insert(-2)) << "the other process's rows count";
  EXPECT_TRUE(insert(5)) << "a stored fingerprint needs no new row";
  ASSERT_TRUE(database_->deleteRawEventMetadataWithMetadataFingerprint(7, nullptr));
  EXPECT_TRUE(insert(-3)) << "a row deleted here makes room";
  EXPECT_FALSE(insert(-4)) << "and the row inserted here fills it again";
  ASSERT_EQ(sqliteTool(path_, "DELETE FROM raw_events_metadata WHERE metadata_fingerprint < 10"),
            "");
  EXPECT_TRUE(insert(-4)) << "rows deleted by another process make room";
  EXPECT_EQ(sqliteTool(path_, "SELECT count(*) FROM raw_events_metadata"), "99991\n");
}

}  // namespace
