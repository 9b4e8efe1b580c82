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

  static bool writeRow(APMSqliteStore* store, const std::string& name) {
    return store->upsertRecord({{"name", Value(name)}}, "t", nullptr);
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

// An action run once a transaction commits or settles may begin a rerunnable transaction of
// its own, wherever the store runs it: at a group's commit that transaction runs alone and has
// committed when the call returns; between a group's transactions it joins the group. Either
// way nothing is left open once the group ends, and the next lone transaction commits.
TEST_F(APMSqliteStoreCommitGroupTest, ATransactionAReportedActionBeginsLeavesNothingOpen) {
  struct Case {
    const char* what;
    bool grouped;
    // Written in order, one transaction each (rerunnable, or not); "a" registers the action.
    std::vector<std::string> items;
    bool rerunnable;
    // Runs after the items, before the group ends.
    std::function<void(APMSqliteStore&)> then;
    // The rows another connection sees once the group has ended.
    const char* rows;
    // Whether another connection sees the inner row when the inner call returns.
    bool committedAtOnce;
  };
  const Case cases[] = {
      {"a group committed at its end", true, {"a"}, true, nullptr, "a,inner", true},
      {"a group committed before a transaction that is not rerunnable",
       true,
       {"a"},
       true,
       [](APMSqliteStore& store) {
         EXPECT_TRUE(store.performTransactionWithError(
             nullptr, [target = &store] { return writeRow(target, "lone"); }));
       },
       "a,inner,lone",
       true},
      {"a group committed before a write outside any transaction",
       true,
       {"a"},
       true,
       [](APMSqliteStore& store) {
         EXPECT_TRUE(store.executeSQL("INSERT INTO t (name) VALUES ('outside')", nullptr));
       },
       "a,inner,outside",
       true},
      {"a group that cannot commit runs its items again alone",
       true,
       {"a", "bad"},
       true,
       nullptr,
       "a,inner",
       true},
      {"a lone transaction", false, {"a"}, true, nullptr, "a,inner", true},
      {"a lone transaction inside a group", true, {"a"}, false, nullptr, "a,inner", false},
  };
  int run = 0;
  for (const Case& c : cases) {
    for (bool settled : {false, true}) {
      SCOPED_TRACE(std::string(c.what) + (settled ? ", settled action" : ", after-commit action"));
      const std::filesystem::path file = base_ / ("action" + std::to_string(run++) + ".sql");
      std::unique_ptr<APMSqliteStore> store = freshStore(file.filename().string());
      APMSqliteStore* target = store.get();
      // Per run of the action: the inner call's answer, and the rows another connection saw
      // when it returned.
      auto answers = std::make_shared<std::vector<std::pair<bool, std::string>>>();
      auto action = [target, answers, file] {
        bool answer = target->performRerunnableTransactionWithError(
            nullptr, [target] { return writeRow(target, "inner"); });
        answers->emplace_back(answer, names(file));
      };
      if (c.grouped) store->beginCommitGroup();
      for (const std::string& item : c.items) {
        auto block = [=] {
          if (item == "a" && settled) target->runWhenSettled(action);
          if (item == "a" && !settled) target->runAfterCommit(action);
          return writeRow(target, item);
        };
        if (c.rerunnable) {
          store->performRerunnableTransactionWithError(nullptr, block);
        } else {
          store->performTransactionWithError(nullptr, block);
        }
      }
      if (c.then) c.then(*store);
      if (c.grouped) store->endCommitGroup(nullptr);
      ASSERT_EQ(answers->size(), 1u);
      EXPECT_TRUE(answers->front().first);
      EXPECT_EQ(answers->front().second.find("inner") != std::string::npos, c.committedAtOnce);
      EXPECT_FALSE(store->holdsGroupTransaction());
      EXPECT_NE(sqlite3_get_autocommit(store->sqliteHandle()), 0);
      EXPECT_EQ(names(file), std::string(c.rows) + "\n");
      EXPECT_TRUE(store->performRerunnableTransactionWithError(
          nullptr, [target] { return writeRow(target, "next"); }));
      EXPECT_EQ(names(file), std::string(c.rows) + ",next\n");
      // The store still groups.
      store->beginCommitGroup();
      EXPECT_TRUE(store->performRerunnableTransactionWithError(
          nullptr, [target] { return writeRow(target, "grouped"); }));
      EXPECT_TRUE(store->holdsGroupTransaction());
      EXPECT_TRUE(store->endCommitGroup(nullptr));
    }
  }
}

}  // namespace
