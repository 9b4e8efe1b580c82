#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

struct sqlite3;

// Tells which of a few watched tables any code changed through one SQLite connection, so that
// what a caller keeps in memory of those tables can be dropped when someone else wrote them
// (a row written through the store directly, a tool on the same connection).
//
// Rows are reported by SQLite's update hook. A whole-table DELETE (SQLite's truncate shortcut)
// reports no rows; it is seen as a change that cannot be attributed, which marks every watched
// table as changed. Changes are counted when made, so a rolled-back transaction still reports
// them: a rollback undoes what was counted, and both call for a re-read.
//
// Threading: the connection's own (the worker queue for the measurement database). The tracker
// must outlive its attachment: detach() (or destruction) removes the hook.
class APMTableChangeTracker {
 public:
  // The watched tables, by position: bit i of a change set stands for tables[i].
  explicit APMTableChangeTracker(std::vector<std::string_view> tables);
  ~APMTableChangeTracker();
  APMTableChangeTracker(const APMTableChangeTracker&) = delete;
  APMTableChangeTracker& operator=(const APMTableChangeTracker&) = delete;

  // Starts watching the connection (replacing any earlier one); nothing counts as changed yet.
  void attach(sqlite3* connection);
  void detach();

  // The watched tables changed since the last call (every bit when a change could not be
  // attributed), and starts over.
  uint32_t takeChanges();

  // Every watched table.
  uint32_t allTables() const { return all_; }
  // The bit of a watched table (0 for another table).
  uint32_t bitOf(std::string_view table) const;

 private:
  static void onRowChange(void* self, int operation, const char* database, const char* table,
                          long long rowID);

  std::vector<std::string_view> tables_;
  uint32_t all_ = 0;
  sqlite3* connection_ = nullptr;
  uint32_t changed_ = 0;
  // Rows the hook reported, and sqlite3_total_changes64, at the last takeChanges.
  int64_t reportedRows_ = 0;
  int64_t totalChangesAtTake_ = 0;
};
