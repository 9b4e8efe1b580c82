// The experiments database as the sqlite3 tool and protoc see it, and what the start-up
// transaction makes of its rows: stale activated rows go, waiting pending rows are activated,
// rows that cannot be read never block the others.
#include <gtest/gtest.h>

#include "tests/AppMeasurement/features/ExperimentTestSupport.h"
#include "tests/support/LogCapture.h"

namespace {

using experimenttest::experiment;
using experimenttest::flag;
using experimenttest::snapshot;
using testsupport::runCommand;

class APMEDatabaseTest : public experimenttest::ExperimentTest {
 protected:
  std::string sqlite(const std::string& sql) {
    return runCommand("sqlite3 '" + databasePath() + "' \"" + sql + "\"");
  }
  // Stores pending rows through a database of its own, closed afterwards.
  void storePending(const std::vector<APMESnapshot>& snapshots) {
    auto database = APMEDatabase::create(databasePath());
    ASSERT_NE(database, nullptr);
    APMErrorSlot error;
    ASSERT_TRUE(database->upsertPendingExperimentSnapshots(snapshots, &error));
  }
};

TEST_F(APMEDatabaseTest, TablesAndBlobsAsOtherToolsReadThem) {
  APMESnapshot pending = snapshot("sdk", {experiment(0, {flag("l", NANONumber::fromInt64(1))}),
                                          experiment(6, {flag("s", std::string("text"))})});
  pending.setManuallyActivated(true);
  storePending({pending});
  for (const char* table :
       {"pending_snapshot_table", "activated_snapshot_table", "launched_snapshot_table"}) {
    EXPECT_EQ(
        sqlite(std::string("SELECT name, type, \\\"notnull\\\", pk FROM pragma_table_info('") +
               table + "') ORDER BY cid"),
        "sdk_name|TEXT|1|1\nsnapshotProto|BLOB|1|0\ntimestamp|REAL|1|0\n"
        "manually_activated|INTEGER|0|0\n")
        << table;
    std::string sql =
        sqlite(std::string("SELECT sql FROM sqlite_master WHERE name = '") + table + "'");
    for (const char* column : {"sdk_name TEXT NOT NULL PRIMARY KEY", "snapshotProto BLOB NOT NULL",
                               "timestamp REAL NOT NULL", "manually_activated INTEGER"}) {
      EXPECT_NE(sql.find(column), std::string::npos) << sql;
    }
  }
  EXPECT_EQ(sqlite("SELECT sdk_name, timestamp, manually_activated FROM pending_snapshot_table"),
            "sdk|1700000000.0|1\n");
  std::string blob = runCommand("xxd -r -p", sqlite("SELECT hex(snapshotProto) FROM "
                                                    "pending_snapshot_table"));
  EXPECT_EQ(experimenttest::protocDecode("Snapshot", blob),
            "name: \"sdk\"\nexperiments {\n  experiment_id: 0\n  flags {\n    name: \"l\"\n"
            "    int_value: 1\n  }\n}\nexperiments {\n  experiment_id: 6\n  flags {\n"
            "    name: \"s\"\n    string_value: \"text\"\n  }\n}\n");
}

TEST_F(APMEDatabaseTest, ActivationSplitsLaunchedAndActivatedRows) {
  auto database = APMEDatabase::create(databasePath());
  ASSERT_NE(database, nullptr);
  APMErrorSlot error;
  APMESnapshot first = snapshot("sdk", {experiment(2, {flag("a", NANONumber::fromInt64(1))})});
  ASSERT_TRUE(database->upsertPendingExperimentSnapshots({first}, &error));
  ASSERT_TRUE(database->activateSnapshot(first, env.now(), &error));
  // Only a launched experiment: the old activated row stays.
  APMESnapshot second = snapshot("sdk", {experiment(0, {flag("b", NANONumber::fromInt64(2))})});
  second.setTimestamp(env.now() + 100);  // stored later than the activation below
  ASSERT_TRUE(database->upsertPendingExperimentSnapshots({second}, &error));
  ASSERT_TRUE(database->activateSnapshot(second, env.now() + 50, &error));
  EXPECT_EQ(sqlite("SELECT count(*) FROM activated_snapshot_table"), "1\n");
  EXPECT_EQ(sqlite("SELECT count(*) FROM launched_snapshot_table"), "1\n");
  EXPECT_EQ(sqlite("SELECT count(*) FROM pending_snapshot_table"), "1\n");  // newer than t
  EXPECT_FALSE(database->activateSnapshot(std::nullopt, env.now(), &error));
  EXPECT_FALSE(database->deleteActivatedExperimentsOfSDKName("", &error));
}

TEST_F(APMEDatabaseTest, StartActivatesWaitingRowsAndDropsStaleAndUnreadableOnes) {
  APMESnapshot automatic = snapshot("auto", {experiment(1, {flag("f", NANONumber::fromInt64(1))})});
  APMESnapshot manual = snapshot("manual", {experiment(2, {flag("f", NANONumber::fromInt64(2))})});
  manual.setManuallyActivated(true);
  storePending({automatic, manual});
  auto database = APMEDatabase::create(databasePath());
  APMErrorSlot error;
  APMESnapshot stale = snapshot("stale", {experiment(3, {})});
  ASSERT_TRUE(database->upsertSnapshot(stale.proto(), APMEDatabase::kActivatedTable,
                                       env.now() - 259200, std::nullopt, &error));
  database.reset();
  // A row without a mark waits like a manual one; rows that do not decode are skipped.
  sqlite(
      "INSERT INTO pending_snapshot_table VALUES ('unmarked', X'0a08756e6d61726b6564', 1, "
      "NULL); INSERT INTO pending_snapshot_table VALUES ('broken', X'ff', 1, 0); "
      "INSERT INTO activated_snapshot_table VALUES ('broken', X'ff', " +
      std::to_string(env.now()) + ", NULL);");

  makeManager();
  env.waitUntilIdle();
  EXPECT_EQ(sqlite("SELECT sdk_name FROM pending_snapshot_table ORDER BY sdk_name"),
            "manual\nunmarked\n");
  EXPECT_EQ(sqlite("SELECT sdk_name FROM activated_snapshot_table ORDER BY sdk_name"),
            "auto\nbroken\n");
  // What the manager was told: the readable rows.
  manager->registerSDKProperty(APMESDKProperty::create("auto"), {});
  manager->registerSDKProperty(APMESDKProperty::create("manual"), {});
  EXPECT_EQ(manager->experimentIDs(), (std::vector<int64_t>{1}));
  EXPECT_TRUE(manager->activateSnapshotOfSDK("manual", &error));
  EXPECT_EQ(manager->experimentIDs(), (std::vector<int64_t>{1, 2}));
}

TEST_F(APMEDatabaseTest, ATableThatCannotBeEnsuredCostsTheFileAndItsCompanions) {
  sqlite("CREATE TABLE pending_snapshot_table (other TEXT); PRAGMA journal_mode=WAL;");
  EXPECT_EQ(APMEDatabase::create(databasePath()), nullptr);
  for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
    EXPECT_FALSE(std::filesystem::exists(databasePath() + suffix)) << suffix;
  }
  EXPECT_EQ(APMEDatabase::create(""), nullptr);
}

// The failure lines carry their errors, and a transaction without a store fails with its line.
TEST_F(APMEDatabaseTest, FailureLinesCarryTheirErrors) {
  testsupport::LogCapture capture;
  auto lineWith = [&](const char* code) {
    env.waitUntilIdle();
    for (const std::string& line : capture.lines()) {
      if (line.find(code) != std::string::npos) return line;
    }
    return std::string();
  };
  // A table that cannot be ensured: the line names the store's error.
  sqlite("CREATE TABLE pending_snapshot_table (other TEXT);");
  EXPECT_EQ(APMEDatabase::create(databasePath()), nullptr);
  EXPECT_NE(lineWith("I-ACS810004").find("missing required columns"), std::string::npos)
      << lineWith("I-ACS810004");

  // A file that cannot be deleted after the failed check: its folder only takes new entries
  // (append-only binds the root user too). The file is in WAL mode already, so that opening it
  // needs no deletion.
  sqlite("PRAGMA journal_mode=WAL; CREATE TABLE pending_snapshot_table (other TEXT);");
  const std::string folder = std::filesystem::path(databasePath()).parent_path().string();
  if (std::system(("chattr +a '" + folder + "' 2>/dev/null").c_str()) == 0) {
    capture.clear();
    EXPECT_EQ(APMEDatabase::create(databasePath()), nullptr);
    EXPECT_EQ(std::system(("chattr -a '" + folder + "'").c_str()), 0);
    EXPECT_NE(lineWith("I-ACS810003").find("Cannot remove"), std::string::npos)
        << lineWith("I-ACS810003");
    // One line, carrying the error object, not one store line per file before it.
    EXPECT_NE(lineWith("I-ACS810003").find("Error Domain="), std::string::npos)
        << lineWith("I-ACS810003");
    EXPECT_EQ(lineWith("I-ACS034019"), "");
  }
  for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
    std::filesystem::remove(databasePath() + suffix);
  }

  std::unique_ptr<APMEDatabase> database = APMEDatabase::create(databasePath());
  ASSERT_NE(database, nullptr);
  database->closeAndDelete();
  capture.clear();
  EXPECT_FALSE(database->performTransaction([] { return true; }));
  EXPECT_NE(lineWith("I-ACS810007"), "");
}

}  // namespace
