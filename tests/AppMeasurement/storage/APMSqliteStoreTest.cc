#include "AppMeasurement/storage/APMSqliteStore.h"

#include <sqlite3.h>

#include <cmath>
#include <limits>
#include <stdexcept>

#include <gtest/gtest.h>

#include "tests/AppMeasurement/storage/StorageTestSupport.h"
#include "tests/support/LogCapture.h"

namespace {

using platform::Value;
using storagetest::sqliteTool;

class APMSqliteStoreTest : public storagetest::StorageTest {
 protected:
  void SetUp() override {
    StorageTest::SetUp();
    APMErrorSlot error;
    store_ = APMSqliteStore::create(path_, &error);
    ASSERT_NE(store_, nullptr) << (error ? error->description() : "");
    ASSERT_TRUE(store_->executeSQL(
        "CREATE TABLE t (id INTEGER, name TEXT NOT NULL, amount REAL, data BLOB NOT NULL)",
        nullptr));
  }
  void TearDown() override {
    store_.reset();
    StorageTest::TearDown();
  }

  // Statements alive on the connection: cached ones plus any a caller still holds.
  int liveStatements() const {
    int count = 0;
    for (sqlite3_stmt* s = sqlite3_next_stmt(store_->sqliteHandle(), nullptr); s != nullptr;
         s = sqlite3_next_stmt(store_->sqliteHandle(), s)) {
      ++count;
    }
    return count;
  }

  bool insert(int id, const char* name, Value data = Value::bytes("x")) {
    return store_->upsertRecord(
        {{"id", Value(id)}, {"name", Value(name)}, {"amount", Value(1.5)}, {"data", data}}, "t",
        nullptr);
  }

  std::unique_ptr<APMSqliteStore> store_;
};

TEST_F(APMSqliteStoreTest, StatementCacheKeepsPlaceholderAndWhereLessTextsOnly) {
  ASSERT_TRUE(insert(1, "a"));
  struct Case {
    const char* sql;
    APMSqliteValues values;
    APMStatementCaching caching;
    int kept;
  };
  const Case cases[] = {
      {"SELECT name FROM t WHERE id = ?", {Value(1)}, APMStatementCaching::kCacheRule, 1},
      {"SELECT name FROM t", {}, APMStatementCaching::kCacheRule, 1},
      {"SELECT name FROM t where id = 1", {}, APMStatementCaching::kCacheRule, 0},
      {"SELECT name FROM t WHERE id IN (?,?)",
       {Value(1), Value(2)},
       APMStatementCaching::kPerCall,
       0},
  };
  for (const Case& c : cases) {
    store_->closeDatabase();
    store_ = APMSqliteStore::create(path_, nullptr);
    for (int round = 0; round < 2; ++round) {
      sqlite3_stmt* statement = store_->statementForQuery(c.sql, c.values, nullptr, c.caching);
      ASSERT_NE(statement, nullptr) << c.sql;
      ASSERT_EQ(sqlite3_step(statement), SQLITE_ROW) << c.sql;
      store_->cleanUpStatement(statement, c.sql);
    }
    EXPECT_EQ(liveStatements(), c.kept) << c.sql;
  }
}

TEST_F(APMSqliteStoreTest, PreparingRefusesEmptyTextsAndSecondStatements) {
  struct Case {
    const char* sql;
    int64_t code;  // 0: accepted
  };
  const Case cases[] = {
      {"SELECT 1", 0},
      {"SELECT 1;", 0},
      {"SELECT 1 \n", 0},
      {"SELECT 1;  -- a comment\n ", 1},
      {"SELECT 1; /* a comment */", 1},
      {"SELECT 1; ", 1},
      {"SELECT 1; SELECT 2", 1},
      {"SELECT 1; DROP TABLE t", 1},
      {"SELECT 1; garbage", 1},
      {"", 1},
      {"  -- only a comment", 1},
  };
  for (const Case& c : cases) {
    APMErrorSlot error;
    sqlite3_stmt* statement = store_->prepareSQL(c.sql, &error);
    EXPECT_EQ(statement != nullptr, c.code == 0) << c.sql;
    if (c.code != 0) {
      ASSERT_TRUE(error) << c.sql;
      EXPECT_EQ(error->code(), c.code) << c.sql;
    }
    sqlite3_finalize(statement);
  }
  EXPECT_EQ(sqliteTool(path_, "SELECT count(*) FROM sqlite_master WHERE name = 't'"), "1\n");
}

TEST_F(APMSqliteStoreTest, RecordQueriesCheckTheirArguments) {
  struct Case {
    const char* sql;
    APMSqliteValues values;
    const char* error;  // nullptr: accepted
    bool emptyFilter = false;
  };
  const Case cases[] = {
      {"SELECT * FROM t", {}, nullptr},
      {"select * from t", {}, nullptr},
      {" SELECT * FROM t", {}, "Received invalid select query"},
      {"PRAGMA table_info(t)", {}, "Received invalid select query"},
      {"", {}, "Received empty query for records for query"},
      {"SELECT * FROM t WHERE id > ?", {}, "Received empty parameters"},
      {"SELECT * FROM t", {}, "Received empty filter for selecting records", true},
  };
  for (const Case& c : cases) {
    APMErrorSlot error;
    auto records = c.emptyFilter ? store_->recordsForQuery(c.sql, c.values, &error,
                                                           APMSqliteStore::RecordFilter())
                                 : store_->recordsForQuery(c.sql, c.values, &error);
    EXPECT_EQ(records.has_value(), c.error == nullptr) << c.sql;
    if (c.error != nullptr) {
      ASSERT_TRUE(error) << c.sql;
      EXPECT_EQ(error->localizedDescription(), c.error);
    }
  }
}

TEST_F(APMSqliteStoreTest, ValuesKeepTheirKindsAndEmptyBlobsAndNaNBindAsTheSchemaSays) {
  testsupport::LogCapture log;
  // Empty data binds a zero-length blob, which NOT NULL accepts and which reads as absent.
  ASSERT_TRUE(insert(1, "empty", Value::bytes("")));
  EXPECT_EQ(sqliteTool(path_, "SELECT typeof(data), length(data) FROM t WHERE id = 1"), "blob|0\n");
  auto records = store_->recordsForQuery("SELECT * FROM t WHERE id = ?", {Value(1)}, nullptr);
  ASSERT_TRUE(records && records->size() == 1);
  const APMSqliteRecord& row = records->front();
  EXPECT_FALSE(row.contains("data"));
  EXPECT_EQ(row.at("id"), Value(1));
  EXPECT_EQ(row.at("amount"), Value(1.5));
  EXPECT_EQ(row.at("name"), Value("empty"));
  platform::DispatchQueue::waitUntilIdle();
  EXPECT_TRUE(log.contains("I-ACS034004"));

  // NaN binds NULL, which a NOT NULL column refuses.
  APMErrorSlot error;
  EXPECT_FALSE(store_->executeSQL("CREATE TABLE r (x REAL NOT NULL)", nullptr) &&
               store_->upsertRecord({{"x", Value(std::nan(""))}}, "r", &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), 3);
  EXPECT_NE(error->monitorContext().find("execute statement,19,"), std::string::npos)
      << error->monitorContext();

  // Values of other kinds are refused before anything is written; the line (34020) is the
  // whole report, the slot names no error.
  APMErrorSlot kindError;
  EXPECT_FALSE(store_->upsertRecord(
      {{"id", Value(2)}, {"name", Value(Value::Array{})}, {"data", Value::bytes("x")}}, "t",
      &kindError));
  EXPECT_FALSE(kindError);
  EXPECT_EQ(sqliteTool(path_, "SELECT count(*) FROM t"), "1\n");
  platform::DispatchQueue::waitUntilIdle();
  EXPECT_TRUE(log.contains("I-ACS034020"));
}

TEST_F(APMSqliteStoreTest, IntegerPrimaryKeyTablesHaveNoRowidEntry) {
  ASSERT_TRUE(
      store_->executeSQL("CREATE TABLE k (key INTEGER NOT NULL PRIMARY KEY, v TEXT)", nullptr));
  ASSERT_TRUE(store_->upsertRecord({{"key", Value(42)}, {"v", Value("x")}}, "k", nullptr));
  auto records = store_->recordsForQuery("SELECT rowid, * FROM k", {}, nullptr);
  ASSERT_TRUE(records && records->size() == 1);
  EXPECT_FALSE(records->front().contains("rowid"));
  EXPECT_EQ(records->front().at("key"), Value(42));
}

TEST_F(APMSqliteStoreTest, AFilterThatRefusesTheFirstRowGivesAnEmptyList) {
  ASSERT_TRUE(insert(1, "a") && insert(2, "b"));
  testsupport::LogCapture log;
  auto records = store_->recordsForQuery("SELECT * FROM t", {}, nullptr,
                                         [](size_t, const APMSqliteRecord&) { return false; });
  ASSERT_TRUE(records);
  EXPECT_TRUE(records->empty());
  platform::DispatchQueue::waitUntilIdle();
  EXPECT_TRUE(log.contains("I-ACS034005"));
}

// A read hands every row over in one record that it reuses: each row shows only its own
// columns, whatever the row before it held.
TEST_F(APMSqliteStoreTest, EnumeratedRowsHoldOnlyTheirOwnColumns) {
  ASSERT_TRUE(insert(1, "a", Value::bytes("x")) && insert(2, "b", Value::bytes("")) &&
              insert(3, "c", Value::bytes("z")) && insert(4, "d", Value::bytes("")));
  auto row = [](int id, const char* name, std::optional<std::string> data) {
    APMSqliteRecord record{{"id", Value(id)}, {"name", Value(name)}, {"amount", Value(1.5)}};
    if (data) record.emplace("data", Value::bytes(*data));
    return record;
  };
  std::vector<APMSqliteRecord> seen;
  std::vector<size_t> positions;
  ASSERT_TRUE(store_->enumerateRecordsForQuery("SELECT * FROM t ORDER BY id", {}, nullptr,
                                               [&](size_t accepted, const APMSqliteRecord& record) {
                                                 positions.push_back(accepted);
                                                 seen.push_back(record);
                                                 return record.at("id") !=
                                                        Value(3);  // the row of id 3 ends the read
                                               }));
  EXPECT_EQ(seen, (std::vector<APMSqliteRecord>{row(1, "a", "x"), row(2, "b", std::nullopt),
                                                row(3, "c", "z")}));
  EXPECT_EQ(positions, (std::vector<size_t>{0, 1, 2}));
  auto all = store_->recordsForQuery("SELECT * FROM t ORDER BY id", {}, nullptr);
  ASSERT_TRUE(all);
  EXPECT_EQ(*all, (std::vector<APMSqliteRecord>{row(1, "a", "x"), row(2, "b", std::nullopt),
                                                row(3, "c", "z"), row(4, "d", std::nullopt)}));
}

TEST_F(APMSqliteStoreTest, IncreaseRunsOnIntegerColumnsOnly) {
  ASSERT_TRUE(insert(1, "a"));
  struct Case {
    const char* column;
    const char* error;
  };
  const Case cases[] = {{"id", nullptr},
                        {"amount", "Column type is not integer."},
                        {"missing", "Invalid column or table name"}};
  for (const Case& c : cases) {
    APMErrorSlot error;
    bool ok = store_->increaseColumn(c.column, 5, "t", "name = ?", {Value("a")}, &error);
    EXPECT_EQ(ok, c.error == nullptr) << c.column;
    if (c.error != nullptr) {
      EXPECT_EQ(error->localizedDescription(), c.error);
    }
  }
  EXPECT_EQ(sqliteTool(path_, "SELECT id FROM t"), "6\n");
}

TEST_F(APMSqliteStoreTest, TransactionsRollBackFailuresAndDoNotNest) {
  APMErrorSlot error;
  EXPECT_FALSE(store_->performTransactionWithError(&error, [&] {
    EXPECT_TRUE(insert(1, "a"));
    return false;
  }));
  EXPECT_EQ(error->localizedDescription(), "Transaction failed");

  EXPECT_THROW(store_->performTransactionWithError(nullptr,
                                                   [&]() -> bool {
                                                     insert(2, "b");
                                                     throw std::runtime_error("raised");
                                                   }),
               std::runtime_error);

  APMErrorSlot inner;
  EXPECT_TRUE(store_->performTransactionWithError(nullptr, [&] {
    EXPECT_FALSE(store_->performTransactionWithError(&inner, [] { return true; }));
    return insert(3, "c");
  }));
  EXPECT_EQ(inner->localizedDescription(), "Failed to begin transaction");
  EXPECT_EQ(sqliteTool(path_, "SELECT group_concat(id) FROM t"), "3\n");
}

TEST_F(APMSqliteStoreTest, AFailedCommitLeavesNoTransactionOpen) {
  // A deferred foreign key that is still violated makes END fail and keeps the transaction
  // open inside SQLite.
  sqlite3_exec(store_->sqliteHandle(), "PRAGMA foreign_keys = ON", nullptr, nullptr, nullptr);
  ASSERT_TRUE(store_->executeSQL("CREATE TABLE parent (id INTEGER PRIMARY KEY)", nullptr));
  ASSERT_TRUE(store_->executeSQL(
      "CREATE TABLE child (pid INTEGER REFERENCES parent(id) DEFERRABLE INITIALLY DEFERRED)",
      nullptr));
  APMErrorSlot error;
  EXPECT_FALSE(store_->performTransactionWithError(&error, [&] {
    return store_->upsertRecord({{"pid", Value(7)}}, "child", nullptr);
  }));
  EXPECT_EQ(error->localizedDescription(), "Failed to end transaction");
  EXPECT_NE(sqlite3_get_autocommit(store_->sqliteHandle()), 0);
  EXPECT_TRUE(store_->performTransactionWithError(nullptr, [&] { return insert(1, "a"); }));
  EXPECT_EQ(sqliteTool(path_, "SELECT count(*) FROM child"), "0\n");
}

// In a commit group each transaction still succeeds or fails alone, nesting still fails, and
// another connection sees the group's writes only once the group ends. A transaction the group
// cannot run again, or a write outside any, commits what the group holds first.
TEST_F(APMSqliteStoreTest, ACommitGroupKeepsEachTransactionsOutcomeAndCommitsOnce) {
  store_->beginCommitGroup();
  EXPECT_TRUE(
      store_->performRerunnableTransactionWithError(nullptr, [&] { return insert(1, "a"); }));
  APMErrorSlot failed;
  EXPECT_FALSE(store_->performRerunnableTransactionWithError(&failed, [&] {
    EXPECT_TRUE(insert(2, "b"));
    return false;
  }));
  EXPECT_EQ(failed->localizedDescription(), "Transaction failed");
  EXPECT_THROW(store_->performRerunnableTransactionWithError(nullptr,
                                                             [&]() -> bool {
                                                               insert(3, "c");
                                                               throw std::runtime_error("raised");
                                                             }),
               std::runtime_error);
  APMErrorSlot inner;
  EXPECT_TRUE(store_->performRerunnableTransactionWithError(nullptr, [&] {
    EXPECT_FALSE(store_->performTransactionWithError(&inner, [] { return true; }));
    return insert(4, "d");
  }));
  EXPECT_EQ(inner->localizedDescription(), "Failed to begin transaction");
  EXPECT_TRUE(store_->holdsGroupTransaction());
  EXPECT_EQ(sqliteTool(path_, "SELECT count(*) FROM t"), "0\n");

  EXPECT_TRUE(store_->endCommitGroup(nullptr));
  EXPECT_FALSE(store_->holdsGroupTransaction());
  EXPECT_EQ(sqliteTool(path_, "SELECT group_concat(id) FROM t"), "1,4\n");
  // After the group, a transaction commits on its own again.
  EXPECT_TRUE(store_->performTransactionWithError(nullptr, [&] { return insert(5, "e"); }));
  EXPECT_EQ(sqliteTool(path_, "SELECT group_concat(id) FROM t"), "1,4,5\n");
  // A group that wrote nothing has nothing to commit.
  store_->beginCommitGroup();
  EXPECT_TRUE(store_->endCommitGroup(nullptr));
  EXPECT_NE(sqlite3_get_autocommit(store_->sqliteHandle()), 0);

  for (int id : {6, 7}) {
    bool inTransaction = id == 6;
    SCOPED_TRACE(inTransaction ? "another transaction" : "a write outside any");
    store_->beginCommitGroup();
    EXPECT_TRUE(store_->performRerunnableTransactionWithError(
        nullptr, [&, id] { return insert(id * 10, "grouped"); }));
    EXPECT_TRUE(inTransaction
                    ? store_->performTransactionWithError(nullptr, [&] { return insert(id, "f"); })
                    : insert(id, "g"));
    EXPECT_FALSE(store_->holdsGroupTransaction());
    EXPECT_EQ(sqliteTool(path_, "SELECT count(*) FROM t WHERE id IN (" + std::to_string(id) + "," +
                                    std::to_string(id * 10) + ")"),
              "2\n");
    EXPECT_TRUE(store_->endCommitGroup(nullptr));
  }
}

// A failed commit rolls the group back and runs each of its transactions again alone: the
// one that breaks the key is lost, the other is stored.
TEST_F(APMSqliteStoreTest, AFailedGroupCommitRollsTheGroupBackAndLeavesNoTransactionOpen) {
  sqlite3_exec(store_->sqliteHandle(), "PRAGMA foreign_keys = ON", nullptr, nullptr, nullptr);
  ASSERT_TRUE(store_->executeSQL("CREATE TABLE parent (id INTEGER PRIMARY KEY)", nullptr));
  ASSERT_TRUE(store_->executeSQL(
      "CREATE TABLE child (pid INTEGER REFERENCES parent(id) DEFERRABLE INITIALLY DEFERRED)",
      nullptr));
  store_->beginCommitGroup();
  EXPECT_TRUE(
      store_->performRerunnableTransactionWithError(nullptr, [&] { return insert(1, "a"); }));
  // The deferred key is checked at the group's commit, not when the savepoint is released.
  EXPECT_TRUE(store_->performRerunnableTransactionWithError(nullptr, [&] {
    return store_->upsertRecord({{"pid", Value(7)}}, "child", nullptr);
  }));
  APMErrorSlot error;
  EXPECT_FALSE(store_->endCommitGroup(&error));
  EXPECT_EQ(error->localizedDescription(), "Failed to end transaction");
  EXPECT_NE(sqlite3_get_autocommit(store_->sqliteHandle()), 0);
  EXPECT_EQ(sqliteTool(path_, "SELECT count(*) FROM t"), "1\n");
  EXPECT_EQ(sqliteTool(path_, "SELECT count(*) FROM child"), "0\n");
  EXPECT_TRUE(store_->performTransactionWithError(nullptr, [&] { return insert(2, "b"); }));
  EXPECT_EQ(sqliteTool(path_, "SELECT group_concat(id) FROM t"), "1,2\n");
}

TEST_F(APMSqliteStoreTest, TableValidationToleratesOnlyOptionalUnknownColumns) {
  struct Case {
    const char* create;
    bool valid;
    const char* error;
  };
  const Case cases[] = {
      {"CREATE TABLE v (a INTEGER NOT NULL, b TEXT)", true, nullptr},
      {"CREATE TABLE v (a INTEGER NOT NULL, b TEXT, extra TEXT)", true, nullptr},
      {"CREATE TABLE v (a INTEGER NOT NULL, b TEXT, extra TEXT NOT NULL)", false,
       "Table contains unknown non-optional columns"},
      {"CREATE TABLE v (b TEXT)", false, "Table is missing required columns"},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(store_->executeSQL("DROP TABLE IF EXISTS v", nullptr));
    ASSERT_TRUE(store_->executeSQL(c.create, nullptr));
    APMErrorSlot error;
    bool ok = store_->ensureTableWithName("v", {{"a", "INTEGER NOT NULL"}},
                                          {{"b", "TEXT"}, {"c", "REAL"}}, &error);
    EXPECT_EQ(ok, c.valid) << c.create;
    if (c.valid) {
      // The missing add-on column was added.
      EXPECT_NE(sqliteTool(path_, "PRAGMA table_info(v)").find("|c|REAL|"), std::string::npos);
    } else {
      EXPECT_EQ(error->localizedDescription(), c.error);
    }
  }
}

TEST_F(APMSqliteStoreTest, RebuildChangesTypesAndCopiesByColumnName) {
  // An old table with an extra nullable column between the wanted ones.
  ASSERT_TRUE(store_->executeSQL(
      "CREATE TABLE m (name TEXT NOT NULL, extra TEXT, stamp INTEGER NOT NULL, tail INTEGER)",
      nullptr));
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(store_->upsertRecord({{"name", Value("n" + std::to_string(i))},
                                      {"extra", Value("x")},
                                      {"stamp", Value(100 + i)},
                                      {"tail", Value(i)}},
                                     "m", nullptr));
  }
  APMColumnInfo elementary{{"name", "TEXT NOT NULL"}, {"stamp", "INTEGER NOT NULL"}};
  APMColumnInfo addOn{{"tail", "INTEGER"}};
  APMErrorSlot error;
  ASSERT_TRUE(
      store_->ensureTableWithName("m", elementary, addOn, {{"stamp", "REAL NOT NULL"}}, &error))
      << error->description();
  EXPECT_EQ(sqliteTool(path_, "SELECT name, typeof(stamp), stamp, tail FROM m ORDER BY rowid"),
            "n0|real|100.0|0\nn1|real|101.0|1\nn2|real|102.0|2\n");
  EXPECT_EQ(sqliteTool(path_, "SELECT count(*) FROM sqlite_master WHERE name = 'm_old'"), "0\n");
  // Types now match: a second run changes nothing.
  std::string schema = sqliteTool(path_, "SELECT sql FROM sqlite_master WHERE name = 'm'");
  ASSERT_TRUE(
      store_->ensureTableWithName("m", elementary, addOn, {{"stamp", "REAL NOT NULL"}}, nullptr));
  EXPECT_EQ(sqliteTool(path_, "SELECT sql FROM sqlite_master WHERE name = 'm'"), schema);
}

TEST_F(APMSqliteStoreTest, DamagedFilesAreReplacedAndOtherFailuresKeepTheFile) {
  store_.reset();
  struct Case {
    const char* what;
    std::string content;
    bool replaced;
  };
  std::string valid = storagetest::readFile(path_);
  std::string truncated = valid.substr(0, 100) + std::string(4096, '\xA5');
  const Case cases[] = {
      {"text", "this is not a database at all, only some text that is long enough", true},
      {"damaged pages", truncated, true},
      {"empty file", "", false},
  };
  for (const Case& c : cases) {
    std::filesystem::remove(path_.string() + "-wal");
    std::filesystem::remove(path_.string() + "-shm");
    storagetest::writeFile(path_, c.content);
    testsupport::LogCapture log;
    APMErrorSlot error;
    auto store = APMSqliteStore::create(path_, &error);
    ASSERT_NE(store, nullptr) << c.what;
    EXPECT_TRUE(store->executeSQL("CREATE TABLE IF NOT EXISTS fresh (x)", nullptr)) << c.what;
    store.reset();
    EXPECT_EQ(integrityCheck(), "ok\n") << c.what;
    EXPECT_EQ(sqliteTool(path_, "PRAGMA journal_mode"), "wal\n") << c.what;
    platform::DispatchQueue::waitUntilIdle();
    EXPECT_EQ(log.contains("I-ACS034025"), c.replaced) << c.what;
  }

  // A file locked by another connection is kept and the open fails without deleting it.
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(path_.c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other,
                         "PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE; "
                         "INSERT INTO fresh VALUES (1);",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  APMErrorSlot error;
  EXPECT_EQ(APMSqliteStore::create(path_, &error), nullptr);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), 3);
  sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(other);
  EXPECT_EQ(sqliteTool(path_, "SELECT count(*) FROM fresh"), "1\n");
}

// The lines of a damaged file (34025) and of a file that cannot be opened (34023) name the
// error, whether or not the caller asked for it.
TEST_F(APMSqliteStoreTest, OpenFailureLinesNameTheError) {
  store_.reset();
  auto lineWith = [](const testsupport::LogCapture& log, const std::string& code) {
    for (const std::string& line : log.lines()) {
      if (line.find(code) != std::string::npos) return line;
    }
    return std::string();
  };
  for (bool callerSlot : {false, true}) {
    SCOPED_TRACE(callerSlot ? "caller's slot" : "no slot");
    std::filesystem::remove(path_.string() + "-wal");
    std::filesystem::remove(path_.string() + "-shm");
    storagetest::writeFile(path_, "this is not a database at all, only some text that is long");
    testsupport::LogCapture log;
    APMErrorSlot error;
    auto store = APMSqliteStore::create(path_, callerSlot ? &error : nullptr);
    ASSERT_NE(store, nullptr);
    EXPECT_TRUE(store->executeSQL("CREATE TABLE IF NOT EXISTS fresh (x)", nullptr));
    store.reset();
    platform::DispatchQueue::waitUntilIdle();
    std::string damaged = lineWith(log, "I-ACS034025");
    EXPECT_NE(damaged.find("Replacing it with an empty one: Error Domain="), std::string::npos)
        << damaged;
    EXPECT_EQ(damaged.find("(nil)"), std::string::npos) << damaged;

    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(path_.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other,
                           "PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE; "
                           "INSERT INTO fresh VALUES (1);",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    log.clear();
    EXPECT_EQ(APMSqliteStore::create(path_, callerSlot ? &error : nullptr), nullptr);
    sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    platform::DispatchQueue::waitUntilIdle();
    std::string kept = lineWith(log, "I-ACS034023");
    EXPECT_NE(kept.find("The file is kept: Error Domain="), std::string::npos) << kept;
    EXPECT_EQ(kept.find("(nil)"), std::string::npos) << kept;
    if (callerSlot) {
      ASSERT_TRUE(error);
      EXPECT_NE(kept.find(error->description()), std::string::npos) << kept;
    }
  }
}

TEST_F(APMSqliteStoreTest, OpeningASecondStoreKeepsTheFirstOnesLocks) {
  ASSERT_TRUE(insert(1, "before"));
  // A second connection in this process must not release the first one's file locks: without
  // them another process's reader takes itself for the last user, checkpoints and deletes the
  // write-ahead log that the first connection goes on writing into.
  auto second = APMSqliteStore::create(path_, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(sqliteTool(path_, "SELECT count(*) FROM t"), "1\n");
  ASSERT_TRUE(insert(2, "after"));
  EXPECT_EQ(sqliteTool(path_, "SELECT count(*) FROM t"), "2\n");
  second.reset();
  store_.reset();
  EXPECT_EQ(sqliteTool(path_, "PRAGMA integrity_check; SELECT count(*) FROM t"), "ok\n2\n");
}

TEST_F(APMSqliteStoreTest, AnImmutableFileIsMadeMutableBeforeOpeningAndDeleting) {
  ASSERT_TRUE(insert(1, "kept"));
  store_.reset();
  int status = -1;
  storagetest::run("chattr +i " + storagetest::quoted(path_.string()) + " 2>/dev/null", &status);
  if (status != 0) GTEST_SKIP() << "this file system has no immutable flag (or we may not set it)";
  // A failure below must not leave a file the fixture cannot remove.
  struct Unlock {
    std::string path;
    ~Unlock() { storagetest::run("chattr -i " + storagetest::quoted(path) + " 2>/dev/null"); }
  } unlock{path_.string()};
  auto store = APMSqliteStore::create(path_, nullptr);
  ASSERT_NE(store, nullptr);
  EXPECT_TRUE(store->upsertRecord(
      {{"id", Value(2)}, {"name", Value("added")}, {"data", Value::bytes("x")}}, "t", nullptr));
  EXPECT_EQ(sqliteTool(path_, "SELECT count(*) FROM t"), "2\n");
  store.reset();
  storagetest::run("chattr +i " + storagetest::quoted(path_.string()), &status);
  store = APMSqliteStore::create(path_, nullptr);
  ASSERT_NE(store, nullptr);
  storagetest::run("chattr +i " + storagetest::quoted(path_.string()), &status);
  EXPECT_TRUE(store->closeAndDeleteDatabase());
  EXPECT_FALSE(std::filesystem::exists(path_));
}

}  // namespace
