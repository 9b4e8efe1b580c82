// Which watched tables a statement changed, as the tracker reports it, for each kind of write.

#include "AppMeasurement/storage/APMTableChangeTracker.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

namespace {

TEST(APMTableChangeTrackerTest, EachKindOfWriteReportsItsTable) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db,
                         "CREATE TABLE a (k TEXT PRIMARY KEY, v INTEGER);"
                         "CREATE TABLE b (k TEXT PRIMARY KEY, v INTEGER);"
                         "CREATE TABLE other (k TEXT, v INTEGER);"
                         "INSERT INTO b VALUES ('x', 1), ('y', 2);",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  APMTableChangeTracker tracker({"a", "b"});
  tracker.attach(db);
  const uint32_t a = tracker.bitOf("a");
  const uint32_t b = tracker.bitOf("b");
  EXPECT_EQ(a | b, tracker.allTables());
  struct Case {
    const char* sql;
    uint32_t changed;
  };
  const Case cases[] = {
      {"SELECT * FROM a", 0},
      {"INSERT INTO a VALUES ('p', 1)", a},
      {"INSERT OR REPLACE INTO a VALUES ('p', 2)", a},
      {"UPDATE b SET v = 3 WHERE k = 'x'", b},
      {"UPDATE b SET v = 3 WHERE k = 'none'", 0},
      {"INSERT INTO other VALUES ('q', 1)", 0},
      {"INSERT INTO a SELECT * FROM b", a},
      {"DELETE FROM a WHERE k = 'x'", a},
      // A whole-table delete reports no rows: every watched table counts as changed.
      {"DELETE FROM other", a | b},
      {"BEGIN; INSERT INTO b VALUES ('z', 9); ROLLBACK", b},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(sqlite3_exec(db, c.sql, nullptr, nullptr, nullptr), SQLITE_OK) << c.sql;
    EXPECT_EQ(tracker.takeChanges(), c.changed) << c.sql;
  }
  tracker.detach();
  ASSERT_EQ(sqlite3_exec(db, "INSERT INTO a VALUES ('r', 1)", nullptr, nullptr, nullptr),
            SQLITE_OK);
  EXPECT_EQ(tracker.takeChanges(), 0u);
  sqlite3_close(db);
}

}  // namespace
