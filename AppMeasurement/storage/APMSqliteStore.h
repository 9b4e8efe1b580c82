#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "AppMeasurement/foundation/APMError.h"
#include "AppMeasurement/storage/APMTableChangeTracker.h"
#include "platform/foundation/Value.h"

struct sqlite3;
struct sqlite3_stmt;

// A row as the store hands it out or takes it in: column name -> value. Values are of five
// kinds: 64-bit integer (an integer or bool Value), real, text, blob (Value::Bytes) and null.
using APMSqliteRecord = platform::Value::Dictionary;
// Values bound to the "?" placeholders of a statement, in order.
using APMSqliteValues = std::vector<platform::Value>;
// Ordered (column name, SQL type text) pairs. The pseudo-pair named "PRIMARY KEY" carries a
// table constraint such as "(audience_id, filter_id)" as its type and is not a column.
using APMColumnInfo = std::vector<std::pair<std::string, std::string>>;
// Ordered (column name, "ALTER TABLE ... ADD COLUMN ..." statement) pairs: columns are added
// in this order, so an old file ends with the same column order as a new one.
using APMAlterStatements = std::vector<std::pair<std::string, std::string>>;
// Column name -> declared type.
using APMColumnTypes = std::map<std::string, std::string, std::less<>>;

// Whether a statement may stay in the statement cache. Texts that callers build per call (a
// list of row ids, a condition with literal numbers) would each add an entry that is never
// used again: they are prepared for the one call and finalized after it. kKeep is for a fixed
// text that runs often: it is kept whatever its form (even a WHERE without placeholders).
enum class APMStatementCaching { kCacheRule, kPerCall, kKeep };

// The one wrapper through which the measurement library touches SQLite: one connection to one
// database file, opened in write-ahead-log mode with synchronous NORMAL (a killed process loses
// no commit; an OS crash or power loss may lose the last commits, never the file), checked with
// "PRAGMA integrity_check" on every open, with a cache of prepared statements, typed binding and
// reading, generic record operations, exclusive transactions, and table creation, validation,
// extension and rebuilding from declarative column lists.
//
// Errors are APMError values of the library's domain through an optional slot: 1 a bad
// argument, 2 a missing connection or a table in the wrong state, 3 a failure SQLite reported or
// a failed transaction.
//
// Threading: the store takes no locks. Its cache and transactions assume that one serial queue
// at a time uses it (the worker queue for the measurement database). A statement taken from
// statementForQuery is in use until cleanUpStatement; the same text must not be used again in
// between.
class APMSqliteStore {
 public:
  using RecordFilter = std::function<bool(size_t acceptedSoFar, const APMSqliteRecord& record)>;

  // Opens (creating the file and its folder when missing) and checks the database. A file that
  // SQLite reports as corrupt or not a database, or that fails the integrity check, is deleted
  // with its "-journal", "-wal" and "-shm" companions and opened once more. Any other failure
  // (busy or locked, disk full, I/O error, cannot open) keeps the file, logs and gives null
  // with the error, so that a full disk or a locked file never costs the user's data.
  static std::unique_ptr<APMSqliteStore> create(std::string databasePath, APMErrorSlot* error);

  ~APMSqliteStore();
  APMSqliteStore(const APMSqliteStore&) = delete;
  APMSqliteStore& operator=(const APMSqliteStore&) = delete;

  // The open connection, or null while closed. The store owns it.
  sqlite3* sqliteHandle() const { return sqliteHandle_; }
  const std::string& databasePath() const { return databasePath_; }

  // Finalizes every cached statement and closes the connection (34018 on a failed close).
  void closeDatabase();
  // Closes, then removes the file and its "-journal", "-wal" and "-shm" companions. A missing
  // file is success; a failed removal logs 34019 and answers false, its reason in `failure`.
  bool closeAndDeleteDatabase(std::string* failure = nullptr);

  // Starts reporting changes to these tables made through the connection, by anyone (see
  // APMTableChangeTracker); watching ends when the connection closes.
  void watchTables(std::vector<std::string_view> tables);
  // The tracker of watchTables, or null when nothing is watched or the connection is closed.
  APMTableChangeTracker* changeTracker() const { return changeTracker_.get(); }

  // The primary SQLite result code of the last failure that produced a code-3 error (0 when
  // none), so that callers can tell a corrupt file from a full disk.
  int lastFailureResultCode() const { return lastFailureResultCode_; }

  // --- Statements ---

  // Prepares one statement, never cached; the caller finalizes it. Any text left after the
  // statement's end (a second statement, or only blanks or a comment after its ";") is refused
  // with code 1.
  sqlite3_stmt* prepareSQL(std::string_view sql, APMErrorSlot* error);
  // The statement for the text by the cache rule, with the values bound: texts with "?" are
  // cached and need values the first time; texts without "?" are cached unless they contain
  // "WHERE" (any case). kPerCall never adds to the cache; kKeep always does. Every use must end
  // with cleanUpStatement. A cached statement left mid-step (a caller that stopped early) is
  // reset before it is used again; one still in use (the same text asked for again before its
  // clean-up) is not shared: a fresh statement is prepared for the inner use.
  sqlite3_stmt* statementForQuery(const std::string& sql, APMErrorSlot* error);
  sqlite3_stmt* statementForQuery(const std::string& sql, const APMSqliteValues& values,
                                  APMErrorSlot* error,
                                  APMStatementCaching caching = APMStatementCaching::kCacheRule);
  // Resets a cached statement and clears its bindings, or finalizes one that is not cached
  // (34016 first when the cache holds another statement for the text).
  void cleanUpStatement(sqlite3_stmt* statement, const std::string& sql);
  // Clears the bindings and binds value n to parameter n + 1; a value of another kind or a
  // failed bind makes the result false (the remaining values are still bound).
  bool bindValues(const APMSqliteValues& values, sqlite3_stmt* statement, APMErrorSlot* error);
  // The column's value; nullopt for a zero-length blob, a missing statement or an unknown type.
  std::optional<platform::Value> valueAtColumn(int index, sqlite3_stmt* statement);
  // Prepares (uncached), steps once, finalizes.
  bool executeSQL(std::string_view sql, APMErrorSlot* error);
  // Steps once and finalizes; true only when the step reports done.
  bool executeSQLStatement(sqlite3_stmt* statement, APMErrorSlot* error);
  // Runs a write of fixed text (one that runs often, such as a row written per event) once
  // with the values bound, through a statement kept prepared for the next call; true when the
  // step reports done.
  bool executeKeptStatement(const std::string& sql, const APMSqliteValues& values,
                            APMErrorSlot* error);

  // --- Records ---

  // The rows of a select in SQLite's order; nullopt on failure.
  std::optional<std::vector<APMSqliteRecord>> recordsForQuery(
      const std::string& sql, const APMSqliteValues& values, APMErrorSlot* error,
      APMStatementCaching caching = APMStatementCaching::kCacheRule);
  // The same through a filter that sees each row with the number of rows accepted so far;
  // false ends the read without that row. An empty filter is code 1.
  std::optional<std::vector<APMSqliteRecord>> recordsForQuery(
      const std::string& sql, const APMSqliteValues& values, APMErrorSlot* error,
      const RecordFilter& filter, APMStatementCaching caching = APMStatementCaching::kCacheRule);
  // A literal null filter is caught here: the filterless form is the one that reads every row.
  std::optional<std::vector<APMSqliteRecord>> recordsForQuery(
      const std::string& sql, const APMSqliteValues& values, APMErrorSlot* error, std::nullptr_t,
      APMStatementCaching caching = APMStatementCaching::kCacheRule) = delete;
  // The rows of a select handed one at a time to the visitor, with the number of rows it
  // accepted before; false ends the read without that row. The record handed over is reused
  // for the next row: copy what must outlive the call. False on failure (an empty visitor is
  // code 1).
  bool enumerateRecordsForQuery(const std::string& sql, const APMSqliteValues& values,
                                APMErrorSlot* error, const RecordFilter& visitor,
                                APMStatementCaching caching = APMStatementCaching::kCacheRule);
  // The first column of the first row: a number, or nullopt (a null column gives nullopt
  // without an error).
  std::optional<platform::Value> numberForQuery(
      const std::string& sql, const APMSqliteValues& values, APMErrorSlot* error,
      APMStatementCaching caching = APMStatementCaching::kCacheRule);
  std::optional<int64_t> rowCountForTableWithName(std::string_view table, APMErrorSlot* error);
  std::optional<int64_t> rowCountForTableWithName(std::string_view table,
                                                  std::string_view columnName,
                                                  const platform::Value* columnValue,
                                                  APMErrorSlot* error);
  // INSERT OR REPLACE of one record. The statement stays prepared for the next record of the
  // same table and columns.
  bool upsertRecord(const APMSqliteRecord& record, std::string_view table, APMErrorSlot* error);
  // UPDATE of the record's columns in the rows whose key column equals the key value. The
  // statement stays prepared for the next record of the same table and columns.
  bool updateRecord(const APMSqliteRecord& record, std::string_view table,
                    std::string_view columnName, const platform::Value* columnValue,
                    APMErrorSlot* error);
  bool updateAllRecordsInTableWithName(std::string_view table, std::string_view columnName,
                                       const platform::Value* columnValue, APMErrorSlot* error);
  // "UPDATE t SET c = c + amount WHERE condition" on an INTEGER column.
  bool increaseColumn(std::string_view column, int64_t amount, std::string_view table,
                      std::string_view condition, const APMSqliteValues& values,
                      APMErrorSlot* error,
                      APMStatementCaching caching = APMStatementCaching::kCacheRule);
  bool deleteRecordFromTableWithName(std::string_view table, std::string_view columnName,
                                     const platform::Value* columnValue, APMErrorSlot* error);
  // The number of rows deleted, or nullopt on failure.
  std::optional<int64_t> deleteRecordsFromTableWithName(
      std::string_view table, std::string_view condition, const APMSqliteValues& values,
      APMErrorSlot* error, APMStatementCaching caching = APMStatementCaching::kCacheRule);
  bool deleteAllRecordsFromTableWithName(std::string_view table, APMErrorSlot* error);
  // The two statements above, built and bound but not run; the caller finalizes them.
  sqlite3_stmt* upsertStatementForRecord(const APMSqliteRecord& record, std::string_view table,
                                         APMErrorSlot* error);
  sqlite3_stmt* updateStatementForRecord(const APMSqliteRecord& record, std::string_view table,
                                         std::string_view columnName,
                                         const platform::Value* columnValue, APMErrorSlot* error);

  // --- Transactions ---

  // Runs the block inside "BEGIN EXCLUSIVE TRANSACTION". A block answering false rolls back
  // ("Transaction failed"); an exception rolls back and is raised again. A failed END leaves
  // no transaction open: it is rolled back, so that later transactions can begin.
  // Transactions do not nest: an inner call fails with "Failed to begin transaction".
  // Inside a commit group this transaction is not grouped: the group first commits what it
  // holds (see commitGroupSoFar), then the block runs in a transaction of its own.
  // Once SQLite has ended a transaction by itself (a full disk, an I/O error), the block's
  // later writes are refused instead of running outside any transaction.
  bool performTransactionWithError(APMErrorSlot* error, const std::function<bool()>& block);
  // The same for a block that may be run again after this call has returned: it owns what it
  // reads and writes (no references into its caller's frame), and each run decides afresh from
  // what is stored. What it reads of memory that others change meanwhile (a clock, settings of
  // another queue), it takes at its first run and keeps for the runs again. Inside a commit group
  // it is a savepoint of the group's transaction, kept with the group so that a group that cannot
  // commit can run it again alone.
  bool performRerunnableTransactionWithError(APMErrorSlot* error, std::function<bool()> block);
  bool beginTransaction();
  bool endTransaction();
  bool rollbackTransaction();

  // Rerunnable transactions run from now until endCommitGroup share one commit: transactions
  // run one after another pay for one journal write instead of one each. Other connections
  // see none of them before the group ends. A write that is not such a transaction (another
  // transaction, a write outside any) first commits what the group holds, so that it runs as
  // it would without the group.
  //
  // When the group's transaction cannot go on (SQLite ended it by itself, a savepoint could
  // not be taken back) or its commit fails, it is rolled back, the undo actions of all its
  // transactions run (latest first), and each of its transactions runs again, alone and in
  // order, through the transaction runner: each decides again from what is stored then, as it
  // would have without the group, so one that fails again is lost alone and takes nothing it
  // wrote into the ones after it. The rest of the group then runs one transaction each. What a
  // transaction's first run reported (after-commit and settled actions) is dropped; its run
  // again reports its own. Not undone: what a first run did outside the database without
  // registering an undo for it (the lines it logged stay, and are logged again by the run
  // again; caches the store's user keeps must be dropped by its rollback observer).
  void beginCommitGroup();
  // Commits what the group wrote (nothing to do when it wrote nothing) and ends the group.
  // True when the group committed as one; false when it was run again transaction by
  // transaction, now or earlier (the failed commit's error in `error`).
  bool endCommitGroup(APMErrorSlot* error);
  // Commits what the group holds and keeps grouping; false when the commit failed and the
  // group was run again transaction by transaction (it then runs ungrouped).
  bool commitGroupSoFar(APMErrorSlot* error);
  // True while a commit group holds a transaction open between its transactions.
  bool holdsGroupTransaction() const { return groupTransactionOpen_; }
  // Runs last inside the group's transaction before each of its commits, for what the store's
  // user holds back for the group's end (false fails the commit).
  void setGroupCommitStep(std::function<bool()> step) { groupCommitStep_ = std::move(step); }
  // Runs a transaction of a rolled-back group again: the default runs it as a lone
  // transaction; the store's user may wrap it (its caches, its failure report).
  using TransactionRunner = std::function<bool(const std::function<bool()>& block)>;
  void setTransactionRunner(TransactionRunner runner) { transactionRunner_ = std::move(runner); }
  // Called after a group's transaction was rolled back, before its transactions run again:
  // the store's user drops what it read or held inside the group.
  void setGroupRollbackObserver(std::function<void()> observer) {
    groupRollbackObserver_ = std::move(observer);
  }

  // Runs the action once what the current transaction wrote is committed: at once outside a
  // transaction; after the commit of a lone transaction; in a commit group after the group's
  // commit. Dropped with a transaction that rolls back, whose commit fails, or that a
  // rolled-back group runs again. A transaction the action begins at a group's commit is not
  // the group's: it runs alone and has committed when it returns.
  void runAfterCommit(std::function<void()> action);
  // Runs the action once the current transaction's outcome is final, committed or rolled
  // back: at once outside a transaction; after a lone transaction ends; in a commit group when
  // the group commits (a transaction it begins there runs alone, as above). Dropped when a
  // rolled-back group runs the transaction again.
  void runWhenSettled(std::function<void()> action);
  // Registers the undoing of a change the current transaction's block made outside the
  // database: run (latest first) when the transaction rolls back, its commit fails, or its
  // group is rolled back to run it again. Ignored outside a transaction.
  void undoOnRollback(std::function<void()> undo);

  // --- Tables ---

  // Creates the table when missing, validates it, adds missing add-on columns, and rebuilds it
  // when a column named in modifyColumnInfo has another declared type.
  bool ensureTableWithName(std::string_view table, const APMColumnInfo& elementaryColumnInfo,
                           const APMColumnInfo& addOnColumnInfo,
                           const APMColumnTypes& modifyColumnInfo, APMErrorSlot* error);
  bool ensureTableWithName(std::string_view table, const APMColumnInfo& elementaryColumnInfo,
                           const APMColumnInfo& addOnColumnInfo, APMErrorSlot* error);
  // Rebuilds the table (rename to "<table>_old", create, copy by column name, drop) in one
  // transaction unless its declared types already match: the first word of an elementary
  // type, the whole text of an add-on type.
  bool ensureSchemaOfTableWithName(std::string_view table,
                                   const APMColumnInfo& elementaryColumnInfo,
                                   const APMColumnInfo& addOnColumnInfo, APMErrorSlot* error);
  bool ensureTableWithName(std::string_view table, const std::string& createSQL,
                           const std::vector<std::string>& requiredColumnNames,
                           const APMAlterStatements& addOnColumns, APMErrorSlot* error);
  std::optional<bool> validateTableWithName(std::string_view table,
                                            const std::vector<std::string>& requiredColumnNames,
                                            const APMAlterStatements& addOnColumns,
                                            APMErrorSlot* error);
  std::optional<bool> tableExists(std::string_view table, APMErrorSlot* error);
  // Column names in table order; empty when the table does not exist.
  std::optional<std::vector<std::string>> columnsForTableWithName(std::string_view table,
                                                                  APMErrorSlot* error);
  std::optional<APMColumnTypes> columnInfoForTableWithName(std::string_view table,
                                                           APMErrorSlot* error);
  bool dropTableWithName(std::string_view table, APMErrorSlot* error);
  bool renameTable(std::string_view table, std::string_view newName, APMErrorSlot* error);
  // "INSERT INTO destination SELECT * FROM source": both tables must have the same columns in
  // the same order (a copy of a table made by createEmptyTable).
  bool copyContentsFromTable(std::string_view source, std::string_view destination,
                             APMErrorSlot* error);
  // Copies the columns that both tables have, matched by name.
  bool copyContentsByColumnNameFromTable(std::string_view source, std::string_view destination,
                                         APMErrorSlot* error);
  bool createEmptyTable(std::string_view destination, std::string_view source, APMErrorSlot* error);

  // --- Errors ---

  // sqlite3_errmsg, or nullopt without a connection (34022).
  std::optional<std::string> lastErrorMessage();
  std::string errorDescriptionForDatabaseOperation(std::string_view operation);
  std::string monitorContextForDatabaseOperation(std::string_view operation);
  // Stores the code-3 error of the operation, described from SQLite's last error.
  void setDatabaseError(APMErrorSlot* error, std::string_view operation);

 private:
  enum class OpenResult { kOpen, kCorrupt, kFailed };
  // What a transaction's run registered to follow its outcome.
  struct RunReports {
    std::vector<std::function<void()>> undo;
    std::vector<std::function<void()>> afterCommit;
    std::vector<std::function<void()>> settled;
    // The run's writes were taken back: its undo actions run (latest first), and what it
    // would have reported of a commit is dropped.
    void rolledBack();
    // Its outcome is final: rolled back, or committed.
    void failed();
    void committed() const;
    void settle() const;
  };
  // What a commit group keeps of one of its transactions: the block to run it again, and what
  // its run registered.
  struct GroupItem {
    std::function<bool()> block;
    RunReports reports;
  };
  // The values of a record in binding order, pointing into the record.
  using RecordValues = std::vector<const platform::Value*>;

  bool performLoneTransaction(APMErrorSlot* error, const std::function<bool()>& block);
  // A transaction of a commit group: a savepoint of the group's transaction.
  bool performGroupedTransaction(APMErrorSlot* error, std::function<bool()> block);
  // Rolls the group's transaction back (unless SQLite did), undoes what its transactions did
  // outside the database and runs each of them again alone; the group runs ungrouped from then
  // on.
  void rewriteGroup();
  // The group's running transaction could not finish as a savepoint: it is taken out of the
  // group (its undo actions run), the group is run again, then this one alone.
  bool rerunAfterGroupAbort(APMErrorSlot* error);
  // What the running transaction registers goes to: its group item, the lone transaction's,
  // or nowhere outside a transaction.
  RunReports* currentReports();
  // Commits the group's transaction; on failure the group is run again.
  bool commitGroupTransaction(APMErrorSlot* error);
  // Before a write that is not a transaction of the group: commits what the group holds.
  void commitGroupBeforeUngroupedWrite(sqlite3_stmt* statement);
  // A write statement about to run where SQLite ended the transaction the store began.
  bool refuseWriteOutsideTransaction(sqlite3_stmt* statement, std::string_view operation,
                                     APMErrorSlot* error);
  // A transaction statement SQLite refused: its result code kept, "Failed to <operation>"
  // stored with the monitor context.
  void noteTransactionStatementFailed(APMErrorSlot* error, std::string_view operation);
  void rollBackAfterFailedCommit();

  explicit APMSqliteStore(std::string databasePath);
  OpenResult openAndValidateDatabase(APMErrorSlot* error);
  OpenResult validateDatabaseWithError(APMErrorSlot* error);
  bool applyJournalSettings(APMErrorSlot* error);
  void finalizeAndClearStatements();
  // Steps a kept statement without values once; true when it reports done.
  bool runKeptStatement(const std::string& sql);
  bool upsertSQLForRecord(const APMSqliteRecord& record, std::string_view table, std::string* sql,
                          RecordValues* values, APMErrorSlot* error);
  bool updateSQLForRecord(const APMSqliteRecord& record, std::string_view table,
                          std::string_view columnName, const platform::Value* columnValue,
                          std::string* sql, RecordValues* values, APMErrorSlot* error);
  // The statement for the text by the cache rule (see statementForQuery), not yet bound;
  // willBind says values will be bound to it. Every use ends with cleanUpStatement.
  sqlite3_stmt* takeStatement(const std::string& sql, bool willBind, APMErrorSlot* error,
                              APMStatementCaching caching);
  bool bindValue(const platform::Value& value, int index, sqlite3_stmt* statement,
                 APMErrorSlot* error);
  bool bindRecordValues(const RecordValues& values, sqlite3_stmt* statement, APMErrorSlot* error);
  // Runs a record's INSERT OR REPLACE or UPDATE through its kept statement.
  bool stepRecordStatement(const std::string& sql, const RecordValues& values, APMErrorSlot* error);
  bool checkTableNames(std::string_view first, std::string_view second, APMErrorSlot* error);
  // Steps a statement once; true when it reports done.
  bool stepDone(sqlite3_stmt* statement, const std::string& sql, std::string_view operation,
                APMErrorSlot* error);

  std::string databasePath_;
  sqlite3* sqliteHandle_ = nullptr;
  struct CachedStatement {
    sqlite3_stmt* statement = nullptr;
    // Handed out by statementForQuery and not yet cleaned up.
    bool inUse = false;
  };
  std::map<std::string, CachedStatement, std::less<>> statementCache_;
  int lastFailureResultCode_ = 0;
  // Commit group: grouping, its transaction begun, and a transaction of the group running.
  bool grouping_ = false;
  bool groupTransactionOpen_ = false;
  bool groupItemRunning_ = false;
  // The group was run again transaction by transaction.
  bool groupRewritten_ = false;
  std::vector<GroupItem> groupItems_;
  std::function<bool()> groupCommitStep_;
  // The commit step is writing: its writes belong to the group's transaction.
  bool groupCommitting_ = false;
  // The actions of a group's committed transactions are running: a transaction they begin is
  // not the group's.
  bool reportingGroupCommit_ = false;
  TransactionRunner transactionRunner_;
  std::function<void()> groupRollbackObserver_;
  // A transaction that is not a group's is open, and what its run registered.
  bool loneTransactionOpen_ = false;
  RunReports loneRun_;
  std::unique_ptr<APMTableChangeTracker> changeTracker_;
};
