// The measurement database as a whole: its schema as SQLite's own tool reads it, opening,
// migration of older files, replacement of damaged ones, and the row limits.

#include "AppMeasurement/storage/APMDatabase.h"

#include <functional>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "tests/AppMeasurement/storage/StorageTestSupport.h"
#include "tests/support/LogCapture.h"

namespace {

using platform::Value;
using storagetest::sqliteTool;

class APMDatabaseTest : public storagetest::StorageTest {};

// Every table, column, declared type, NOT NULL flag and key position, as the sqlite3 tool
// lists them (table|column|type|notnull|pk).
constexpr const char* kSchema = R"(app_metadata|last_bundle_index|INTEGER|1|0
app_metadata|last_bundle_end_timestamp|REAL|1|0
app_metadata|last_bundle_start_timestamp|REAL|0|0
app_metadata|day|INTEGER|0|0
app_metadata|daily_conversions_count|INTEGER|0|0
app_metadata|daily_events_count|INTEGER|0|0
app_metadata|daily_public_events_count|INTEGER|0|0
app_metadata|daily_error_events_count|INTEGER|0|0
app_metadata|remote_config_data|BLOB|0|0
app_metadata|remote_config_timestamp|REAL|0|0
app_metadata|daily_real_time_conversion_events_count|INTEGER|0|0
app_metadata|last_delivery_index|INTEGER|0|0
app_metadata|daily_real_time_dcu_events_count|INTEGER|0|0
audience_filter_values|audience_id|INTEGER|1|1
audience_filter_values|current_results|BLOB|0|0
audience_filter_values|previous_results|BLOB|0|0
conditional_properties|name|TEXT|1|1
conditional_properties|origin|TEXT|1|0
conditional_properties|value|BLOB|1|0
conditional_properties|creation_timestamp|REAL|1|0
conditional_properties|active|INTEGER|1|0
conditional_properties|trigger_timeout|REAL|1|0
conditional_properties|triggered_timestamp|REAL|1|0
conditional_properties|time_to_live|REAL|1|0
conditional_properties|trigger_event_name|TEXT|0|0
conditional_properties|timed_out_event|BLOB|0|0
conditional_properties|triggered_event|BLOB|0|0
conditional_properties|expired_event|BLOB|0|0
event_filters|audience_id|INTEGER|1|1
event_filters|filter_id|INTEGER|1|2
event_filters|event_name|TEXT|1|0
event_filters|data|BLOB|1|0
event_filters|session_scoped|INTEGER|0|0
events|name|TEXT|1|1
events|lifetime_count|INTEGER|1|0
events|current_bundle_count|INTEGER|1|0
events|last_fire_timestamp|REAL|1|0
events|last_bundled_timestamp|REAL|0|0
events|last_sampled_complex_event_id|INTEGER|0|0
events|last_sampling_rate|INTEGER|0|0
events|last_exempt_from_sampling|INTEGER|0|0
events|last_bundled_day|INTEGER|0|0
events|current_session_count|INTEGER|0|0
main_event_params|event_id|INTEGER|1|1
main_event_params|children_to_process|INTEGER|1|0
main_event_params|main_event|BLOB|1|0
odm_values|name|TEXT|1|1
odm_values|set_timestamp|REAL|1|0
odm_values|value|TEXT|1|0
property_filters|audience_id|INTEGER|1|1
property_filters|filter_id|INTEGER|1|2
property_filters|property_name|TEXT|1|0
property_filters|data|BLOB|1|0
property_filters|session_scoped|INTEGER|0|0
purchase_transactions|fingerprint|TEXT|1|1
queue|data|BLOB|1|0
queue|bundle_end_timestamp|REAL|1|0
queue|is_realtime|INTEGER|0|0
queue|retry_count|INTEGER|0|0
raw_events|name|TEXT|1|0
raw_events|timestamp|REAL|1|0
raw_events|metadata_fingerprint|INTEGER|1|0
raw_events|data|BLOB|1|0
raw_events|is_realtime|INTEGER|0|0
raw_events_metadata|metadata_fingerprint|INTEGER|1|1
raw_events_metadata|metadata|BLOB|1|0
subscriptions|subscription_id|TEXT|1|1
user_attributes|name|TEXT|1|1
user_attributes|set_timestamp|REAL|1|0
user_attributes|value|BLOB|1|0
user_attributes|origin|TEXT|0|0
)";

constexpr const char* kSchemaQuery =
    "SELECT m.name, p.name, p.type, p.\"notnull\", p.pk FROM sqlite_master m, "
    "pragma_table_info(m.name) p WHERE m.type = 'table' ORDER BY m.name, p.cid";

TEST_F(APMDatabaseTest, AFreshFileHasTheWholeSchemaAndOneAppMetadataRow) {
  open();
  EXPECT_EQ(sqliteTool(path_, kSchemaQuery), kSchema);
  EXPECT_EQ(sqliteTool(path_,
                       "SELECT rowid, last_bundle_index, last_bundle_end_timestamp, "
                       "last_bundle_start_timestamp, last_delivery_index FROM app_metadata"),
            "1|0|0.0|0.0|0\n");
  EXPECT_EQ(integrityCheck(), "ok\n");
  EXPECT_EQ(sqliteTool(path_, "PRAGMA journal_mode"), "wal\n");
}

TEST_F(APMDatabaseTest, AnOldFileIsMigratedWithoutLosingRows) {
  // The layout of an older release: raw_events with an integer timestamp, app_metadata and
  // queue without their later columns, an events row written before its add-on columns.
  std::string script =
      "CREATE TABLE raw_events (name TEXT NOT NULL, timestamp INTEGER NOT NULL, "
      "metadata_fingerprint INTEGER NOT NULL, data BLOB NOT NULL);"
      "INSERT INTO raw_events VALUES ('a', 1700000000, 7, X'0102'), ('b', 1700000001, 7, "
      "X'03'), ('c', 1700000002, 8, X'04');"
      "CREATE TABLE app_metadata (last_bundle_index INTEGER NOT NULL, "
      "last_bundle_end_timestamp REAL NOT NULL);"
      "INSERT INTO app_metadata (rowid, last_bundle_index, last_bundle_end_timestamp) VALUES "
      "(1, 41, 1699999999.5);"
      "CREATE TABLE queue (data BLOB NOT NULL, bundle_end_timestamp REAL NOT NULL);"
      "INSERT INTO queue VALUES (X'1F8B', 1700000000.0);"
      "CREATE TABLE events (name TEXT NOT NULL PRIMARY KEY, lifetime_count INTEGER NOT NULL, "
      "current_bundle_count INTEGER NOT NULL, last_fire_timestamp REAL NOT NULL);"
      "INSERT INTO events VALUES ('_f', 1, 1, 1700000000.0);";
  std::filesystem::create_directories(path_.parent_path());
  ASSERT_EQ(sqliteTool(path_, script), "");

  APMDatabase& database = open();
  EXPECT_EQ(sqliteTool(path_, kSchemaQuery), kSchema);
  EXPECT_EQ(sqliteTool(path_,
                       "SELECT name, typeof(timestamp), timestamp, metadata_fingerprint, "
                       "hex(data) FROM raw_events ORDER BY rowid"),
            "a|real|1700000000.0|7|0102\nb|real|1700000001.0|7|03\nc|real|1700000002.0|8|04\n");
  auto metadata = database.queryAppMetadata(nullptr);
  ASSERT_TRUE(metadata);
  EXPECT_EQ(metadata->lastBundleIndex(), 41);
  EXPECT_EQ(metadata->lastDeliveryIndex(), 0);
  EXPECT_EQ(metadata->lastBundleStartTimestamp(), 0.0);
  EXPECT_EQ(metadata->lastBundleEndTimestamp(), 1699999999.5);
  auto aggregates = database.eventAggregatesWithName("_f", nullptr);
  ASSERT_TRUE(aggregates);
  EXPECT_EQ(aggregates->lastSamplingRate(), 1);
  EXPECT_FALSE(aggregates->lastExemptFromSampling());
  EXPECT_EQ(aggregates->lastBundledDay(), 0);
  EXPECT_EQ(sqliteTool(path_, "SELECT count(*), quote(retry_count) FROM queue"), "1|NULL\n");
  EXPECT_EQ(integrityCheck(), "ok\n");

  // Opening again changes nothing.
  std::string before = sqliteTool(path_, "SELECT sql FROM sqlite_master ORDER BY name");
  database_.reset();
  open();
  EXPECT_EQ(sqliteTool(path_, "SELECT sql FROM sqlite_master ORDER BY name"), before);
}

TEST_F(APMDatabaseTest, AFileOfAnotherSchemaIsReplacedOnceAndNeverInALoop) {
  struct Case {
    const char* what;
    const char* script;
  };
  const Case cases[] = {
      {"missing elementary column",
       "CREATE TABLE queue (data BLOB NOT NULL); INSERT INTO queue VALUES (X'00');"},
      {"unknown NOT NULL column",
       "CREATE TABLE odm_values (name TEXT NOT NULL PRIMARY KEY, set_timestamp REAL NOT NULL, "
       "value TEXT NOT NULL, owner TEXT NOT NULL);"},
  };
  for (const Case& c : cases) {
    std::filesystem::remove_all(path_.parent_path());
    std::filesystem::create_directories(path_.parent_path());
    ASSERT_EQ(sqliteTool(path_, c.script), "") << c.what;
    testsupport::LogCapture log;
    APMErrorSlot error;
    EXPECT_EQ(APMDatabase::create(kName, nullptr, &error), nullptr) << c.what;
    platform::DispatchQueue::waitUntilIdle();
    EXPECT_TRUE(log.contains("I-ACS012002")) << c.what;
    EXPECT_TRUE(log.contains("I-ACS012047")) << c.what;
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
      EXPECT_FALSE(std::filesystem::exists(path_.string() + suffix)) << c.what << suffix;
    }
    // The next creation starts from an empty file.
    open();
    EXPECT_EQ(sqliteTool(path_, "SELECT count(*) FROM queue"), "0\n") << c.what;
    database_.reset();
  }
}

// When a file of another schema cannot be deleted, the line says why (here: its folder may not
// change, while another connection keeps its write-ahead log open).
TEST_F(APMDatabaseTest, AFileOfAnotherSchemaThatCannotBeDeletedSaysWhy) {
  std::filesystem::create_directories(path_.parent_path());
  ASSERT_EQ(sqliteTool(path_, "PRAGMA journal_mode=WAL; CREATE TABLE queue (data BLOB NOT NULL);"),
            "wal\n");
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(path_.c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "SELECT count(*) FROM queue", nullptr, nullptr, nullptr),
            SQLITE_OK);
  const std::string folder = storagetest::quoted(path_.parent_path().string());
  int status = -1;
  storagetest::run("chattr +i " + folder + " 2>/dev/null", &status);
  if (status != 0) {
    sqlite3_close(other);
    GTEST_SKIP() << "this file system has no immutable flag (or we may not set it)";
  }
  struct Unlock {
    std::string folder;
    sqlite3* other;
    ~Unlock() {
      storagetest::run("chattr -i " + folder + " 2>/dev/null");
      sqlite3_close(other);
    }
  } unlock{folder, other};
  testsupport::LogCapture log;
  EXPECT_EQ(APMDatabase::create(kName, nullptr, nullptr), nullptr);
  platform::DispatchQueue::waitUntilIdle();
  bool said = false;
  for (const std::string& line : log.lines()) {
    if (line.find("I-ACS012003") != std::string::npos) {
      said = line.find("Operation not permitted") != std::string::npos;
    }
  }
  EXPECT_TRUE(said) << "the 12003 line names the deletion's error";
  EXPECT_FALSE(log.contains("I-ACS034019")) << "the store's own deletion line is not repeated";
}

// A container without an Application Support folder gives an empty path, which the store
// refuses as it refuses any empty path.
TEST_F(APMDatabaseTest, NoApplicationSupportFolderIsTheStoresEmptyPath) {
  int status = -1;
  std::string answer = storagetest::run(
      "env -i " KVL_BINARY_DIR
      "/tests/AppMeasurement/storage/apm_storage_crash_writer --open-named measurement.sql",
      &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(answer, "1 Received empty database path on init\n");
}

TEST_F(APMDatabaseTest, RowLimitsRefuseNewKeysAndAcceptReplacements) {
  APMDatabase& database = open();
  for (int i = 0; i < 10; ++i) {
    ASSERT_TRUE(database.updateODMValue("v", "name" + std::to_string(i), 1.0, nullptr));
  }
  APMErrorSlot error;
  EXPECT_FALSE(database.updateODMValue("v", "name10", 1.0, &error));
  EXPECT_EQ(error->code(), 2);
  EXPECT_EQ(error->localizedDescription(), "Failed to insert data type. Table is full");
  EXPECT_TRUE(database.updateODMValue("changed", "name3", 2.0, nullptr));
  EXPECT_EQ(sqliteTool(path_, "SELECT count(*), max(value) FROM odm_values"), "10|v\n");
  EXPECT_EQ(sqliteTool(path_, "SELECT value FROM odm_values WHERE name = 'name3'"), "changed\n");

  // An update needs the row.
  APMErrorSlot missing;
  EXPECT_FALSE(database.updateDataType({{"value", Value("x")}}, "odm_values", "name",
                                       Value("nobody"), &missing));
  EXPECT_EQ(missing->localizedDescription(), "Failed to update record. Item doesn't exist");
}

TEST_F(APMDatabaseTest, ResetLeavesAnEmptyDatabaseWithAFreshAppMetadataRow) {
  APMDatabase& database = open();
  ASSERT_TRUE(database.updateODMValue("v", "n", 1.0, nullptr));
  auto metadata = database.queryAppMetadata(nullptr);
  metadata->increaseLastBundleIndex(5);
  ASSERT_TRUE(database.updateAppMetadata(*metadata, nullptr));
  ASSERT_TRUE(database.reset(nullptr));
  EXPECT_EQ(sqliteTool(path_, "SELECT count(*) FROM odm_values"), "0\n");
  EXPECT_EQ(database.queryAppMetadata(nullptr)->lastBundleIndex(), 0);
  EXPECT_EQ(integrityCheck(), "ok\n");
}

// A failed transaction logs its own error (12056) and hands it to nobody: the caller's slot
// holds what the block left there, nothing when the block stored nothing. A connection that is
// gone fails the same way (the last case: the database stays closed).
TEST_F(APMDatabaseTest, AFailedTransactionLeavesTheCallersSlotAsTheBlockLeftIt) {
  struct Case {
    const char* label;
    const char* blockError;  // nullptr: the block stores none
    bool closed;
    const char* line;
  };
  const Case cases[] = {
      {"the block stored nothing", nullptr, false, "Transaction failed. Transaction failed"},
      {"the block stored its reason", "the block's own reason", false,
       "Transaction failed. Transaction failed"},
      {"no connection", nullptr, true, "Transaction failed. Database not open"}};
  APMDatabase& database = open();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    if (c.closed) database.sqliteStore()->closeDatabase();
    testsupport::LogCapture log;
    APMErrorSlot error;
    EXPECT_FALSE(database.performTransaction(
        [&] {
          if (c.blockError != nullptr) APMSetError(&error, 7, c.blockError);
          return database.updateODMValue("v", "n", 1.0, nullptr) && false;
        },
        &error));
    if (c.blockError == nullptr) {
      EXPECT_FALSE(error);
    } else {
      ASSERT_TRUE(error);
      EXPECT_EQ(error->localizedDescription(), c.blockError);
    }
    EXPECT_EQ(sqliteTool(path_, "SELECT count(*) FROM odm_values"), "0\n");
    platform::DispatchQueue::waitUntilIdle();
    EXPECT_TRUE(log.contains("I-ACS012056"));
    EXPECT_TRUE(log.contains(c.line));
  }
}

// A read by key whose rows build nothing is code 2, whatever the row builder found wrong.
TEST_F(APMDatabaseTest, ReadsByKeyWhoseRowsBuildNothingAreCodeTwo) {
  APMDatabase& database = open();
  ASSERT_EQ(sqliteTool(path_,
                       "INSERT INTO user_attributes (name, set_timestamp, value, origin) "
                       "VALUES ('unreadable', 1.0, X'00', 'app'); "
                       "INSERT INTO events (name, lifetime_count, current_bundle_count, "
                       "last_fire_timestamp) VALUES ('negative', -1, 0, 1.0);"),
            "");
  struct Case {
    const char* label;
    std::function<bool(APMErrorSlot*)> read;
  };
  const Case cases[] = {
      {"user attribute",
       [&](APMErrorSlot* error) {
         return database.userAttributeWithName("unreadable", error).has_value();
       }},
      {"event aggregates",
       [&](APMErrorSlot* error) {
         return database.eventAggregatesWithName("negative", error).has_value();
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    APMErrorSlot error;
    EXPECT_FALSE(c.read(&error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), 2);
    EXPECT_EQ(error->localizedDescription(), "Failed to initialize data types from dictionaries");
  }
}

TEST_F(APMDatabaseTest, OperationsOnTheWorkerQueuePassTheSequenceCheck) {
  auto queue = platform::DispatchQueue::createSerial("com.orvane.kvla.worker");
  std::unique_ptr<APMDatabase> database;
  queue->sync([&] {
    database = APMDatabase::create(kName, nullptr, nullptr, queue);
    ASSERT_NE(database, nullptr);
    EXPECT_TRUE(database->updateODMValue("v", "n", 1.0, nullptr));
  });
  queue->sync([&] { database.reset(); });
  EXPECT_EQ(sqliteTool(path_, "SELECT count(*) FROM odm_values"), "1\n");
}

}  // namespace
