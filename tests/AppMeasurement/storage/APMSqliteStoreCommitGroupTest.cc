// A commit group that cannot commit as one stores what one transaction per item would store.
#include <sqlite3.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "AppMeasurement/storage/APMSqliteStore.h"
#include "tests/AppMeasurement/storage/FaultInjectingVfs.h"
#include "tests/AppMeasurement/storage/StorageTestSupport.h"

namespace {

using platform::Value;
using storagetest::FaultInjectingVfs;
using storagetest::sqliteTool;

class APMSqliteStoreCommitGroupTest : public storagetest::StorageTest {
 protected:
  void SetUp() override {
    FaultInjectingVfs::install();
    StorageTest::SetUp();
  }
  void TearDown() override {
    FaultInjectingVfs::disarm();
    StorageTest::TearDown();
  }

  // A fresh file with a table of named rows, and a trigger that breaks a deferred foreign key
  // for a row named "bad" (checked only at the commit).
  std::unique_ptr<APMSqliteStore> freshStore(const std::string& name) {
    std::filesystem::path path = base_ / name;
    std::unique_ptr<APMSqliteStore> store = APMSqliteStore::create(path.string(), nullptr);
    EXPECT_NE(store, nullptr);
    for (const char* sql :
         {"PRAGMA foreign_keys = ON", "CREATE TABLE t (name TEXT, data BLOB)",
          "CREATE TABLE parent (id INTEGER PRIMARY KEY)",
          "CREATE TABLE child (pid INTEGER REFERENCES parent(id) DEFERRABLE INITIALLY DEFERRED)",
          "CREATE TRIGGER breaks AFTER INSERT ON t WHEN NEW.name = 'bad' BEGIN INSERT INTO child "
          "VALUES (7); END"}) {
      EXPECT_EQ(sqlite3_exec(store->sqliteHandle(), sql, nullptr, nullptr, nullptr), SQLITE_OK)
          << sql;
    }
    return store;
  }

  static std::string names(const std::filesystem::path& path) {
    return sqliteTool(path, "SELECT group_concat(name) FROM t");
  }
};

// Each row writes its items once one transaction each and once in one group, on fresh files
// with the same fault: the group must leave the same rows.
TEST_F(APMSqliteStoreCommitGroupTest, AGroupThatCannotCommitStoresWhatOneTransactionEachWould) {
  struct Case {
    const char* what;
    std::vector<std::string> items;
    size_t dataSize;
    // Arms the fault on the store's fresh file, before the items.
    std::function<void(APMSqliteStore&)> arm;
    // Given: the rows expected, when not those of one transaction each.
    const char* expected;
  };
  auto fullAfterOnePage = [](APMSqliteStore& store) {
    std::optional<Value> pages = store.numberForQuery("PRAGMA page_count", {}, nullptr);
    ASSERT_TRUE(pages);
    std::string limit = "PRAGMA max_page_count = " + std::to_string(*pages->numberAsInteger() + 1);
    ASSERT_EQ(sqlite3_exec(store.sqliteHandle(), limit.c_str(), nullptr, nullptr, nullptr),
              SQLITE_OK);
  };
  std::vector<std::string> twelve;
  for (int i = 0; i < 12; ++i) twelve.push_back("e" + std::to_string(10 + i));
  const Case cases[] = {
      {"a deferred key broken by one item fails the group's commit",
       {"a", "bad", "b"},
       10,
       nullptr,
       nullptr},
      {"the disk fills part-way through the group", twelve, 1800, fullAfterOnePage, nullptr},
      // One failed write: each commit of its own writes again.
      {"an I/O error at the group's commit",
       {"a", "b", "c"},
       10,
       [](APMSqliteStore&) { FaultInjectingVfs::failWrites(1, SQLITE_IOERR_WRITE, false); },
       "a,b,c\n"},
  };
  int run = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string outcome[2];
    for (bool grouped : {false, true}) {
      std::string file = "run" + std::to_string(run++) + ".sql";
      std::unique_ptr<APMSqliteStore> store = freshStore(file);
      if (c.arm && (grouped || !c.expected)) c.arm(*store);
      auto write = [&](const std::string& name) {
        store->performRerunnableTransactionWithError(
            nullptr, [target = store.get(), name, size = c.dataSize] {
              return target->upsertRecord(
                  {{"name", Value(name)}, {"data", Value::bytes(std::string(size, 'x'))}}, "t",
                  nullptr);
            });
      };
      if (grouped) store->beginCommitGroup();
      for (const std::string& item : c.items) write(item);
      if (grouped) store->endCommitGroup(nullptr);
      FaultInjectingVfs::disarm();
      EXPECT_NE(sqlite3_get_autocommit(store->sqliteHandle()), 0);
      store.reset();
      outcome[grouped] = names(base_ / file);
    }
    EXPECT_EQ(outcome[1], c.expected ? std::string(c.expected) : outcome[0]);
    EXPECT_EQ(sqliteTool(base_ / ("run" + std::to_string(run - 1) + ".sql"),
                         "SELECT count(*) FROM child"),
              "0\n");
  }
}

// A transaction that reads what an earlier one of its group wrote decides again when the group
// runs it again: a running total kept after a lost transaction holds only its own share; and
// what a transaction did or reports outside the database follows its outcome: undone when it
// rolls back, reported once it commits (after-commit) or once it is final (settled), never for
// a run that the group's rollback dropped.
TEST_F(APMSqliteStoreCommitGroupTest, ATransactionRunAgainDecidesAgainAndReportsOnce) {
  struct Item {
    std::string name;
    int64_t amount;
    bool succeeds;
    // Raises an exception when run again, after its write.
    bool throwsWhenRunAgain = false;
  };
  struct Case {
    const char* what;
    bool grouped;
    std::vector<Item> items;
    int64_t total;
    // What the items left outside the database: "+name" per effect kept, then "commit:name"
    // and "settled:name" as reported.
    std::vector<std::string> reports;
  };
  const Case cases[] = {
      {"alone",
       false,
       {{"a", 10, true}, {"b", 5, false}},
       10,
       {"+a", "commit:a", "settled:a", "settled:b"}},
      {"a lone commit that fails",
       false,
       {{"bad", 10, true}, {"b", 5, true}},
       5,
       {"+b", "settled:bad", "commit:b", "settled:b"}},
      {"a group that commits",
       true,
       {{"a", 10, true}, {"b", 5, false}, {"c", 1, true}},
       11,
       {"+a", "+c", "commit:a", "settled:a", "settled:b", "commit:c", "settled:c"}},
      {"a group rolled back by its first item",
       true,
       {{"bad", 10, true}, {"b", 5, true}},
       5,
       {"+b", "settled:bad", "commit:b", "settled:b"}},
      {"a group rolled back by its last item",
       true,
       {{"a", 10, true}, {"b", 5, false}, {"bad", 1, true}},
       10,
       {"+a", "commit:a", "settled:a", "settled:b", "settled:bad"}},
      // b's run again writes, then raises: lost with its undo run, the items after it still run.
      {"a group rolled back by its last item, one item raising when run again",
       true,
       {{"a", 10, true}, {"b", 5, true, true}, {"bad", 1, true}},
       10,
       {"+a", "commit:a", "settled:a", "settled:b", "settled:bad"}},
  };
  int run = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string file = "total" + std::to_string(run++) + ".sql";
    std::unique_ptr<APMSqliteStore> store = freshStore(file);
    ASSERT_TRUE(
        store->executeSQL("CREATE TABLE total (id INTEGER PRIMARY KEY, amount INTEGER)", nullptr));
    ASSERT_TRUE(store->executeSQL("INSERT INTO total VALUES (1, 0)", nullptr));
    std::vector<std::string> effects;
    std::vector<std::string> reports;
    if (c.grouped) store->beginCommitGroup();
    for (const Item& item : c.items) {
      APMSqliteStore* target = store.get();
      auto runs = std::make_shared<int>(0);
      store->performRerunnableTransactionWithError(nullptr, [=, &effects, &reports] {
        bool raises = item.throwsWhenRunAgain && ++*runs > 1;
        std::optional<Value> before =
            target->numberForQuery("SELECT amount FROM total", {}, nullptr);
        if (!before) return false;
        effects.push_back("+" + item.name);
        target->undoOnRollback([&effects] { effects.pop_back(); });
        target->runAfterCommit([&reports, item] { reports.push_back("commit:" + item.name); });
        target->runWhenSettled([&reports, item] { reports.push_back("settled:" + item.name); });
        bool written =
            target->executeSQL("UPDATE total SET amount = " +
                                   std::to_string(*before->numberAsInteger() + item.amount),
                               nullptr) &&
            target->upsertRecord({{"name", Value(item.name)}}, "t", nullptr);
        if (raises) throw std::runtime_error("raised when run again");
        return written && item.succeeds;
      });
    }
    if (c.grouped) store->endCommitGroup(nullptr);
    EXPECT_EQ(sqliteTool(base_ / file, "SELECT amount FROM total"), std::to_string(c.total) + "\n");
    for (const std::string& report : reports) effects.push_back(report);
    EXPECT_EQ(effects, c.reports);
    // Nothing is left open: a later lone transaction commits.
    EXPECT_TRUE(store->performRerunnableTransactionWithError(nullptr, [target = store.get()] {
      return target->executeSQL("UPDATE total SET amount = amount + 100", nullptr);
    }));
    EXPECT_EQ(sqliteTool(base_ / file, "SELECT amount FROM total"),
              std::to_string(c.total + 100) + "\n");
  }
}

}  // namespace
