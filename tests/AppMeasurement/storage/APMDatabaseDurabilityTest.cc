// Durability: a writer killed at random moments loses no acknowledged event and never damages
// the file; injected write and sync failures end in clear errors without losing a commit.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "AppMeasurement/storage/APMDatabase.h"
#include "tests/AppMeasurement/storage/FaultInjectingVfs.h"
#include "tests/AppMeasurement/storage/StorageTestSupport.h"
#include "tests/support/LogCapture.h"

namespace {

using storagetest::FaultInjectingVfs;
using storagetest::sqliteTool;

class APMDatabaseDurabilityTest : public storagetest::StorageTest {
 protected:
  void SetUp() override {
    StorageTest::SetUp();
    FaultInjectingVfs::install();
  }
  void TearDown() override {
    FaultInjectingVfs::disarm();
    StorageTest::TearDown();
  }

  APMEvent event(int number) {
    return *APMEvent::create("app", false, "e" + std::to_string(number), 1'700'000'000.0 + number,
                             0, APMObjectMap{});
  }

  std::set<std::string> storedNames() {
    std::set<std::string> names;
    std::istringstream lines(sqliteTool(path_, "SELECT name FROM raw_events"));
    for (std::string line; std::getline(lines, line);) names.insert(line);
    return names;
  }
};

TEST_F(APMDatabaseDurabilityTest, AKilledWriterLosesNoAcknowledgedEvent) {
  constexpr int kKills = 100;
  std::mt19937 random(12345);
  std::set<std::string> acknowledged;
  std::filesystem::create_directories(path_.parent_path());
  int next = 0;
  for (int kill = 0; kill < kKills; ++kill) {
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      dup2(out[1], STDOUT_FILENO);
      close(out[0]);
      close(out[1]);
      std::string first = std::to_string(next);
      execl(KVL_BINARY_DIR "/tests/AppMeasurement/storage/apm_storage_crash_writer",
            "apm_storage_crash_writer", path_.c_str(), first.c_str(), nullptr);
      _exit(127);
    }
    close(out[1]);
    // Wait for the first acknowledged write, then kill at a random moment after it.
    FILE* acks = fdopen(out[0], "r");
    char line[64];
    ASSERT_NE(fgets(line, sizeof(line), acks), nullptr) << "the writer wrote nothing";
    usleep(std::uniform_int_distribution<int>(0, 20000)(random));
    ::kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    int last = std::atoi(line);
    acknowledged.insert("e" + std::to_string(last));
    while (fgets(line, sizeof(line), acks) != nullptr) {
      // A line cut by the kill was never acknowledged.
      if (std::string(line).back() != '\n') break;
      last = std::atoi(line);
      acknowledged.insert("e" + std::to_string(last));
    }
    fclose(acks);
    next = last + 2;

    ASSERT_EQ(integrityCheck(), "ok\n") << "after kill " << kill;
    std::set<std::string> stored = storedNames();
    for (const std::string& name : acknowledged) {
      ASSERT_TRUE(stored.contains(name)) << name << " lost after kill " << kill;
    }
  }
  // The store itself opens the file after all that, checks it and finds every event.
  APMDatabase& database = open();
  auto events = database.allRawEventsWithError(nullptr);
  ASSERT_TRUE(events);
  EXPECT_GE(events->size(), acknowledged.size());
}

TEST_F(APMDatabaseDurabilityTest, AFullDiskEndsInClearErrorsAndLosesNoCommit) {
  struct Case {
    int64_t nthWrite;
    int resultCode;
    bool sticky;
  };
  const Case cases[] = {{1, SQLITE_FULL, true},         {2, SQLITE_FULL, true},
                        {3, SQLITE_FULL, true},         {7, SQLITE_FULL, true},
                        {1, SQLITE_IOERR_WRITE, false}, {4, SQLITE_IOERR_WRITE, false}};
  for (const Case& c : cases) {
    database_.reset();
    std::filesystem::remove_all(path_.parent_path());
    APMDatabase& database = open();
    int committed = 0;
    for (; committed < 5; ++committed) {
      ASSERT_TRUE(database.insertRawEvent(event(committed), 1, false, nullptr));
    }
    FaultInjectingVfs::failWrites(c.nthWrite, c.resultCode, c.sticky);
    std::set<std::string> acknowledged;
    int failures = 0;
    bool succeededAfterFailure = false;
    for (int i = 100; i < 120; ++i) {
      APMErrorSlot error;
      bool written = false;
      bool ok = database.performTransaction(
          [&] {
            written = database.insertRawEvent(event(i), 1, false, &error);
            return written;
          },
          &error);
      if (ok) {
        acknowledged.insert("e" + std::to_string(i));
        succeededAfterFailure = succeededAfterFailure || failures > 0;
        continue;
      }
      ++failures;
      // A refused commit is no error of the block's: only the 12056 line names it.
      if (written) continue;
      ASSERT_TRUE(error);
      EXPECT_EQ(error->code(), 3) << error->description();
    }
    EXPECT_GT(failures, 0);
    // A disk that stays full refuses every write after the first refused one; a single failed
    // write leaves the next transactions working.
    EXPECT_EQ(succeededAfterFailure, !c.sticky) << c.nthWrite;
    FaultInjectingVfs::disarm();
    database_.reset();
    ASSERT_TRUE(std::filesystem::exists(path_)) << "the file was deleted on a full disk";
    EXPECT_EQ(integrityCheck(), "ok\n");
    std::set<std::string> stored = storedNames();
    EXPECT_EQ(stored.size(), 5 + acknowledged.size());
    for (const std::string& name : acknowledged) EXPECT_TRUE(stored.contains(name)) << name;
  }
}

TEST_F(APMDatabaseDurabilityTest, AFailedSyncAtCloseKeepsTheLogForTheNextOpen) {
  APMDatabase& database = open();
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(database.insertRawEvent(event(i), 1, false, nullptr));
  // The checkpoint at close syncs; it fails, and the write-ahead log keeps the commits.
  FaultInjectingVfs::failSyncs(1, true);
  database_.reset();
  FaultInjectingVfs::disarm();
  EXPECT_EQ(integrityCheck(), "ok\n");
  EXPECT_EQ(storedNames().size(), 20u);
  EXPECT_EQ(open().allRawEventsWithError(nullptr)->size(), 20u);
}

TEST_F(APMDatabaseDurabilityTest, AMigrationOnAFullDiskKeepsTheOldFileForTheNextAttempt) {
  std::filesystem::create_directories(path_.parent_path());
  ASSERT_EQ(sqliteTool(path_,
                       "CREATE TABLE raw_events (name TEXT NOT NULL, timestamp INTEGER NOT "
                       "NULL, metadata_fingerprint INTEGER NOT NULL, data BLOB NOT NULL);"
                       "INSERT INTO raw_events VALUES ('old', 1700000000, 1, X'01');"),
            "");
  FaultInjectingVfs::failWrites(1, SQLITE_FULL, true);
  testsupport::LogCapture log;
  APMErrorSlot error;
  EXPECT_EQ(APMDatabase::create(kName, nullptr, &error), nullptr);
  ASSERT_TRUE(error);
  FaultInjectingVfs::disarm();
  EXPECT_EQ(sqliteTool(path_, "SELECT name, typeof(timestamp) FROM raw_events"), "old|integer\n");
  open();
  EXPECT_EQ(sqliteTool(path_, "SELECT name, typeof(timestamp) FROM raw_events"), "old|real\n");
}

TEST_F(APMDatabaseDurabilityTest, AFileThatCannotBeOpenedIsKeptAndTheOpenFailsOnce) {
  APMDatabase& database = open();
  ASSERT_TRUE(database.insertRawEvent(event(1), 1, false, nullptr));
  database_.reset();
  FaultInjectingVfs::failOpens(true);
  testsupport::LogCapture log;
  APMErrorSlot error;
  EXPECT_EQ(APMDatabase::create(kName, nullptr, &error), nullptr);
  FaultInjectingVfs::disarm();
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), 3);
  EXPECT_NE(error->monitorContext().find("initialize sqlite handle,14,"), std::string::npos)
      << error->monitorContext();
  platform::DispatchQueue::waitUntilIdle();
  EXPECT_TRUE(log.contains("I-ACS034023"));
  EXPECT_FALSE(log.contains("I-ACS034025"));
  EXPECT_EQ(storedNames(), std::set<std::string>{"e1"});
}

}  // namespace
