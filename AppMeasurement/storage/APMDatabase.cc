#include "AppMeasurement/storage/APMDatabase.h"

#include <sqlite3.h>

#include <filesystem>

#include "AppMeasurement/foundation/APMFilePaths.h"
#include "AppMeasurement/foundation/APMMonitor.h"

namespace {

using platform::Value;

// Errors that say the file holds something other than our schema: the file is replaced.
bool isSchemaFault(const APMErrorSlot& error) {
  if (!error || error->domain() != kAPMErrorDomain || error->code() != 2) return false;
  std::string text = error->localizedDescription();
  return text == "Table is missing required columns" ||
         text == "Table contains unknown non-optional columns";
}

bool isCorruptionCode(int resultCode) {
  return resultCode == SQLITE_CORRUPT || resultCode == SQLITE_NOTADB;
}

}  // namespace

// --- Schema ---

const std::map<std::string, APMColumnInfo, std::less<>>& APMDatabase::elementaryColumnInfo() {
  static const auto* kInfo = new std::map<std::string, APMColumnInfo, std::less<>>{
      {"app_metadata",
       {{"last_bundle_index", "INTEGER NOT NULL"}, {"last_bundle_end_timestamp", "REAL NOT NULL"}}},
      {"raw_events_metadata",
       {{"metadata_fingerprint", "INTEGER NOT NULL PRIMARY KEY"}, {"metadata", "BLOB NOT NULL"}}},
      {"raw_events",
       {{"name", "TEXT NOT NULL"},
        {"timestamp", "INTEGER NOT NULL"},
        {"metadata_fingerprint", "INTEGER NOT NULL"},
        {"data", "BLOB NOT NULL"}}},
      {"events",
       {{"name", "TEXT NOT NULL PRIMARY KEY"},
        {"lifetime_count", "INTEGER NOT NULL"},
        {"current_bundle_count", "INTEGER NOT NULL"},
        {"last_fire_timestamp", "REAL NOT NULL"}}},
      {"user_attributes",
       {{"name", "TEXT NOT NULL PRIMARY KEY"},
        {"set_timestamp", "REAL NOT NULL"},
        {"value", "BLOB NOT NULL"}}},
      {"queue", {{"data", "BLOB NOT NULL"}, {"bundle_end_timestamp", "REAL NOT NULL"}}},
      {"event_filters",
       {{"audience_id", "INTEGER NOT NULL"},
        {"filter_id", "INTEGER NOT NULL"},
        {"event_name", "TEXT NOT NULL"},
        {"data", "BLOB NOT NULL"},
        {"PRIMARY KEY", "(audience_id, filter_id)"}}},
      {"property_filters",
       {{"audience_id", "INTEGER NOT NULL"},
        {"filter_id", "INTEGER NOT NULL"},
        {"property_name", "TEXT NOT NULL"},
        {"data", "BLOB NOT NULL"},
        {"PRIMARY KEY", "(audience_id, filter_id)"}}},
      {"audience_filter_values",
       {{"audience_id", "INTEGER NOT NULL PRIMARY KEY"},
        {"current_results", "BLOB"},
        {"previous_results", "BLOB"}}},
      {"purchase_transactions", {{"fingerprint", "TEXT NOT NULL PRIMARY KEY"}}},
      {"subscriptions", {{"subscription_id", "TEXT NOT NULL PRIMARY KEY"}}},
      {"conditional_properties",
       {{"name", "TEXT NOT NULL PRIMARY KEY"},
        {"origin", "TEXT NOT NULL"},
        {"value", "BLOB NOT NULL"},
        {"creation_timestamp", "REAL NOT NULL"},
        {"active", "INTEGER NOT NULL"},
        {"trigger_timeout", "REAL NOT NULL"},
        {"triggered_timestamp", "REAL NOT NULL"},
        {"time_to_live", "REAL NOT NULL"},
        {"trigger_event_name", "TEXT"},
        {"timed_out_event", "BLOB"},
        {"triggered_event", "BLOB"},
        {"expired_event", "BLOB"}}},
      {"main_event_params",
       {{"event_id", "INTEGER NOT NULL PRIMARY KEY"},
        {"children_to_process", "INTEGER NOT NULL"},
        {"main_event", "BLOB NOT NULL"}}},
      {"odm_values",
       {{"name", "TEXT NOT NULL PRIMARY KEY"},
        {"set_timestamp", "REAL NOT NULL"},
        {"value", "TEXT NOT NULL"}}},
  };
  return *kInfo;
}

const std::map<std::string, APMColumnInfo, std::less<>>& APMDatabase::addOnColumnInfo() {
  static const auto* kInfo = new std::map<std::string, APMColumnInfo, std::less<>>{
      {"app_metadata",
       {{"last_bundle_start_timestamp", "REAL"},
        {"day", "INTEGER"},
        {"daily_conversions_count", "INTEGER"},
        {"daily_events_count", "INTEGER"},
        {"daily_public_events_count", "INTEGER"},
        {"daily_error_events_count", "INTEGER"},
        {"remote_config_data", "BLOB"},
        {"remote_config_timestamp", "REAL"},
        {"daily_real_time_conversion_events_count", "INTEGER"},
        {"last_delivery_index", "INTEGER"},
        {"daily_real_time_dcu_events_count", "INTEGER"}}},
      {"raw_events", {{"is_realtime", "INTEGER"}}},
      {"events",
       {{"last_bundled_timestamp", "REAL"},
        {"last_sampled_complex_event_id", "INTEGER"},
        {"last_sampling_rate", "INTEGER"},
        {"last_exempt_from_sampling", "INTEGER"},
        {"last_bundled_day", "INTEGER"},
        {"current_session_count", "INTEGER"}}},
      {"user_attributes", {{"origin", "TEXT"}}},
      {"queue", {{"is_realtime", "INTEGER"}, {"retry_count", "INTEGER"}}},
      {"event_filters", {{"session_scoped", "INTEGER"}}},
      {"property_filters", {{"session_scoped", "INTEGER"}}},
  };
  return *kInfo;
}

const std::map<std::string, APMColumnTypes, std::less<>>& APMDatabase::modifyColumnInfo() {
  static const auto* kInfo = new std::map<std::string, APMColumnTypes, std::less<>>{
      {"raw_events", {{"timestamp", "REAL NOT NULL"}}},
  };
  return *kInfo;
}

// --- Life cycle ---

APMDatabase::APMDatabase(std::shared_ptr<APMDatabaseSettings> settings,
                         std::shared_ptr<platform::DispatchQueue> workerQueue)
    : settings_(settings ? std::move(settings) : std::make_shared<APMDatabaseSettings>()) {
  if (workerQueue) sequenceChecker_.emplace(workerQueue);
}

APMDatabase::~APMDatabase() = default;

std::unique_ptr<APMDatabase> APMDatabase::create(
    std::string_view name, std::shared_ptr<APMDatabaseSettings> settings, APMErrorSlot* error,
    std::shared_ptr<platform::DispatchQueue> workerQueue) {
  if (!APMCheckResult(!name.empty(), error, 1, "Received empty database name in init"))
    return nullptr;
  // Without an Application Support folder the path is empty and the store refuses it.
  std::string path = APMApplicationSupportPath(name);
  return open(std::move(path), std::move(settings), error, std::move(workerQueue));
}

std::unique_ptr<APMDatabase> APMDatabase::createAtPath(
    std::string path, std::shared_ptr<APMDatabaseSettings> settings, APMErrorSlot* error,
    std::shared_ptr<platform::DispatchQueue> workerQueue) {
  if (!APMCheckResult(!path.empty(), error, 1, "Received empty database name in init"))
    return nullptr;
  return open(std::move(path), std::move(settings), error, std::move(workerQueue));
}

std::unique_ptr<APMDatabase> APMDatabase::open(
    std::string path, std::shared_ptr<APMDatabaseSettings> settings, APMErrorSlot* error,
    std::shared_ptr<platform::DispatchQueue> workerQueue) {
  std::unique_ptr<APMDatabase> database(
      new APMDatabase(std::move(settings), std::move(workerQueue)));
  if (!database->initializeDatabaseResourcesWithContext("Init", std::move(path), error)) {
    return nullptr;
  }
  return database;
}

void APMDatabase::checkSequence(std::string_view method) const {
  if (sequenceChecker_) sequenceChecker_->check(method);
}

bool APMDatabase::requireStore(APMErrorSlot* error) const {
  if (sqliteStore_ && sqliteStore_->sqliteHandle() != nullptr) return true;
  APMSetError(error, 2, "Database not open");
  return false;
}

bool APMDatabase::initializeDatabaseResourcesWithContext(std::string_view context, std::string path,
                                                         APMErrorSlot* error) {
  checkSequence("initializeDatabaseResourcesWithContext");
  databasePath_ = std::move(path);
  caches_.invalidate(APMDatabaseCaches::kAll);
  sqliteStore_ = APMSqliteStore::create(databasePath_, error);
  if (!sqliteStore_) return false;
  sqliteStore_->watchTables(APMDatabaseCaches::watchedTables());
  sqliteStore_->setGroupRollbackObserver([this] { groupRolledBack(); });
  sqliteStore_->setGroupCommitStep([this] {
    std::optional<APMDailyCounts> counts = std::exchange(unwrittenDailyCounts_, std::nullopt);
    return !counts || writeDailyCounts(*counts, nullptr);
  });
  sqliteStore_->setTransactionRunner(
      [this](const std::function<bool()>& block) { return runTransactionAgain(block); });

  auto* monitor = APMMonitor::monitor().get();
  APMErrorSlot ensureError;
  if (!ensureAllTables(&ensureError)) {
    monitor->logWithLevel(
        1, 12002,
        "Failed to create or validate required database tables (" + std::string(context) + ")");
    // Only a file that holds something else than our schema, or that SQLite finds damaged, is
    // replaced; a busy, full or failing disk keeps it for the next attempt.
    if (isSchemaFault(ensureError) || isCorruptionCode(sqliteStore_->lastFailureResultCode())) {
      // Deleted here rather than by the store, whose own deletion line (34019) would repeat
      // this one.
      sqliteStore_->closeDatabase();
      APMErrorSlot deletionError;
      for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
        std::string companion = databasePath_ + suffix;
        if (!std::filesystem::exists(companion)) continue;
        APMErrorSlot fileError;
        if (!APMDeleteFileAtPath(companion, &fileError) && !deletionError) {
          deletionError = std::move(fileError);
        }
      }
      if (deletionError) {
        monitor->logWithLevel(4, 12003,
                              "Failed to delete old database file after failed validation. "
                              "Error (" +
                                  std::string(context) + ")",
                              *deletionError);
      }
    }
    sqliteStore_.reset();
    if (error != nullptr) *error = ensureError;
    return false;
  }
  if (!initializeAppMetadata(error)) {
    monitor->logWithLevel(1, 12004,
                          "Failed to initialize App Metadata table (" + std::string(context) + ")");
    sqliteStore_.reset();
    return false;
  }
  return true;
}

bool APMDatabase::ensureAllTables(APMErrorSlot* error) {
  checkSequence("ensureAllTables");
  if (!requireStore(error)) return false;
  static const APMColumnInfo& kNone = *new APMColumnInfo();
  static const APMColumnTypes& kNoChange = *new APMColumnTypes();
  for (const auto& [table, elementary] : elementaryColumnInfo()) {
    auto addOn = addOnColumnInfo().find(table);
    auto modify = modifyColumnInfo().find(table);
    APMErrorSlot tableError;
    if (!sqliteStore_->ensureTableWithName(
            table, elementary, addOn == addOnColumnInfo().end() ? kNone : addOn->second,
            modify == modifyColumnInfo().end() ? kNoChange : modify->second, &tableError)) {
      if (!tableError) tableError = apm_errorWithCode(2, "Failed to ensure table " + table);
      APMMonitor::monitor()->logWithLevel(1, 12047, "Failed to ensure table. Table, error", table,
                                          *tableError);
      if (error != nullptr) *error = tableError;
      return false;
    }
  }
  return true;
}

bool APMDatabase::initializeAppMetadata(APMErrorSlot* error) {
  checkSequence("initializeAppMetadata");
  return performTransaction(
      [&] {
        APMErrorSlot readError;
        bool found = false;
        auto records = sqliteStore_->recordsForQuery(
            "SELECT rowid FROM app_metadata WHERE rowid = ?", {Value(1)}, &readError);
        if (!records) {
          APMMonitor::monitor()->logWithLevel(1, 12005, "Failed to query app metadata");
          if (error != nullptr) *error = readError;
          return false;
        }
        found = !records->empty();
        if (found) return true;
        APMSqliteRecord record{{"rowid", Value(1)},
                               {"last_bundle_index", Value(0)},
                               {"last_delivery_index", Value(0)},
                               {"last_bundle_start_timestamp", Value(0.0)},
                               {"last_bundle_end_timestamp", Value(0.0)}};
        APMErrorSlot writeError;
        if (!upsertDataType(record, kAppMetadataTable, "rowid", Value(1), 1, &writeError)) {
          APMMonitor::monitor()->logWithLevel(
              1, 12006, "Unable to update the app metadata. Error",
              writeError ? APMLogContext(*writeError) : APMLogContext());
          if (error != nullptr) *error = std::move(writeError);
          return false;
        }
        return true;
      },
      error);
}

bool APMDatabase::reset(APMErrorSlot* error) {
  checkSequence("reset");
  bool deleted = true;
  if (sqliteStore_) {
    deleted = sqliteStore_->closeAndDeleteDatabase();
  } else {
    // A store that failed to open left no connection: remove the files all the same.
    for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
      std::string path = databasePath_ + suffix;
      if (std::filesystem::exists(path) && !APMDeleteFileAtPath(path, nullptr)) deleted = false;
    }
  }
  sqliteStore_.reset();
  caches_.invalidate(APMDatabaseCaches::kAll);
  if (!APMCheckResult(deleted, error, 2, "Failed to delete database data")) return false;
  return initializeDatabaseResourcesWithContext("Reset", databasePath_, error);
}

bool APMDatabase::performTransaction(const std::function<bool()>& block, APMErrorSlot* error) {
  checkSequence("performTransaction");
  if (!sqliteStore_) {
    // A failed reset left no store: the transaction fails as the store's own does without a
    // connection (which the store reports itself when it is there but closed).
    transactionFailed(apm_errorWithCode(2, "Database not open"));
    return false;
  }
  // Not a transaction a group can run again: the store commits what the group holds first.
  return runTransaction(false, [&](APMErrorSlot* transactionError) {
    return sqliteStore_->performTransactionWithError(transactionError, block);
  });
}

bool APMDatabase::runTransaction(bool joinsGroup,
                                 const std::function<bool(APMErrorSlot*)>& perform) {
  APMErrorSlot transactionError;
  bool committed;
  // Inside a commit group's open transaction nobody else can write: the check for other
  // writers made in it still holds.
  const bool withinGroup = joinsGroup && sqliteStore_->holdsGroupTransaction();
  if (!withinGroup) ++transactionSerial_;
  // A transaction of a group that fails takes back the counts it stored, unless the group was
  // rolled back meanwhile, which left nothing held.
  std::optional<APMDailyCounts> unwrittenBefore = unwrittenDailyCounts_;
  const uint64_t rollbacksBefore = groupRollbacks_;
  auto takeBackCounts = [&] {
    if (joinsGroup && groupRollbacks_ == rollbacksBefore) {
      unwrittenDailyCounts_ = std::move(unwrittenBefore);
    }
  };
  try {
    committed = perform(&transactionError);
  } catch (...) {
    dataVersionCheckedInTransaction_ = 0;
    caches_.invalidate(APMDatabaseCaches::kAll);
    takeBackCounts();
    throw;
  }
  if (!committed) takeBackCounts();
  // The next transaction, whoever begins it, checks for other writers again.
  if (!sqliteStore_->holdsGroupTransaction()) dataVersionCheckedInTransaction_ = 0;
  if (!committed) {
    transactionFailed(transactionError);
    return false;
  }
  return true;
}

void APMDatabase::transactionFailed(const APMErrorSlot& transactionError) {
  // What the block wrote into the caches was rolled back in the file: read it again.
  caches_.invalidate(APMDatabaseCaches::kAll);
  std::string description = transactionError ? transactionError->localizedDescription() : "";
  APMMonitor::monitor()->logWithLevel(1, 12056, "Transaction failed. " + description);
}

bool APMDatabase::performRerunnableTransaction(std::function<bool()> block) {
  checkSequence("performRerunnableTransaction");
  if (!sqliteStore_) return performTransaction(block);
  return runTransaction(true, [&](APMErrorSlot* transactionError) {
    return sqliteStore_->performRerunnableTransactionWithError(transactionError, std::move(block));
  });
}

bool APMDatabase::runTransactionAgain(const std::function<bool()>& block) {
  try {
    return performTransaction(block);
  } catch (...) {
    // Raised by the block of a transaction that a rolled-back group runs again: nobody waits
    // for it there, so it is reported as the failure it is.
    transactionFailed(apm_errorWithCode(3, "Transaction failed. The block raised an exception"));
    return false;
  }
}

void APMDatabase::beginCommitGroup() {
  checkSequence("beginCommitGroup");
  if (sqliteStore_) sqliteStore_->beginCommitGroup();
}

bool APMDatabase::endCommitGroup() {
  checkSequence("endCommitGroup");
  if (!sqliteStore_) return true;
  APMErrorSlot commitError;
  // A failed commit is reported by the transactions that fail when they run again.
  bool committed = sqliteStore_->endCommitGroup(&commitError);
  dataVersionCheckedInTransaction_ = 0;
  return committed;
}

void APMDatabase::groupRolledBack() {
  ++groupRollbacks_;
  unwrittenDailyCounts_.reset();
  dataVersionCheckedInTransaction_ = 0;
  caches_.invalidate(APMDatabaseCaches::kAll);
}

void APMDatabase::runAfterCommit(std::function<void()> action) {
  if (!sqliteStore_) return action();
  sqliteStore_->runAfterCommit(std::move(action));
}

void APMDatabase::runWhenSettled(std::function<void()> action) {
  if (!sqliteStore_) return action();
  sqliteStore_->runWhenSettled(std::move(action));
}

void APMDatabase::undoOnRollback(std::function<void()> undo) {
  if (sqliteStore_) sqliteStore_->undoOnRollback(std::move(undo));
}

// --- Generic record operations ---

bool APMDatabase::allDataTypesFromTableWithName(std::string_view table, int64_t tableLimit,
                                                APMErrorSlot* error,
                                                const CreateDataTypeBlock& block) {
  checkSequence("allDataTypesFromTableWithName");
  if (!APMCheckNonNil(block, error, 1, "Received nil block to get all data types")) return false;
  if (!requireStore(error)) return false;
  std::string sql = "SELECT rowid, * FROM " + std::string(table) + " ORDER BY rowid LIMIT " +
                    std::to_string(tableLimit);
  auto records = sqliteStore_->recordsForQuery(sql, {}, error);
  if (!records) return false;
  for (const APMSqliteRecord& record : *records) block(record);
  return true;
}

bool APMDatabase::dataTypesFromTableWithName(std::string_view table, std::string_view columnName,
                                             const Value* columnValue, APMErrorSlot* error,
                                             const CreateDataTypeBlock& block) {
  checkSequence("dataTypesFromTableWithName");
  if (!APMCheckResult(!table.empty(), error, 1,
                      "Received empty table name to create data type from table"))
    return false;
  if (!APMCheckResult(!columnName.empty(), error, 1,
                      "Received empty column name to create data type from table"))
    return false;
  if (!APMCheckResult(columnValue != nullptr, error, 1,
                      "Received nil column value to create data type from table"))
    return false;
  if (!APMCheckNonNil(block, error, 2, "Received nil block to create data type from table"))
    return false;
  if (!requireStore(error)) return false;
  std::string sql =
      "SELECT rowid, * FROM " + std::string(table) + " WHERE " + std::string(columnName) + " = ?";
  auto records = sqliteStore_->recordsForQuery(sql, {*columnValue}, error);
  if (!records) return false;
  bool built = false;
  for (const APMSqliteRecord& record : *records) built = block(record) || built;
  if (!records->empty() && !built) {
    APMSetError(error, 2, "Failed to initialize data types from dictionaries");
    return false;
  }
  return true;
}

bool APMDatabase::insertDataType(const APMSqliteRecord& record, std::string_view table,
                                 APMErrorSlot* error) {
  checkSequence("insertDataType");
  if (!APMCheckResult(!table.empty(), error, 1, "Received empty table name for inserting"))
    return false;
  if (!APMCheckResult(!record.empty(), error, 2, "Failed to insert empty record")) return false;
  if (!requireStore(error)) return false;
  return sqliteStore_->upsertRecord(record, table, error);
}

bool APMDatabase::upsertDataType(const APMSqliteRecord& record, std::string_view table,
                                 std::string_view columnName, const Value& columnValue,
                                 int64_t tableLimit, APMErrorSlot* error) {
  checkSequence("upsertDataType");
  if (!APMCheckResult(!record.empty(), error, 1, "Received empty data type to upsert"))
    return false;
  if (!APMCheckResult(!table.empty(), error, 1, "Received empty table name for checking upsert"))
    return false;
  if (!requireStore(error)) return false;
  auto keyRows = sqliteStore_->rowCountForTableWithName(table, columnName, &columnValue, error);
  if (!keyRows) return false;
  if (*keyRows == 0) {
    auto allRows = sqliteStore_->rowCountForTableWithName(table, error);
    if (!allRows) return false;
    if (!APMCheckResult(*allRows < tableLimit, error, 2,
                        "Failed to insert data type. Table is full"))
      return false;
  }
  return sqliteStore_->upsertRecord(record, table, error);
}

bool APMDatabase::updateDataType(const APMSqliteRecord& record, std::string_view table,
                                 std::string_view columnName, const Value& columnValue,
                                 APMErrorSlot* error) {
  checkSequence("updateDataType");
  if (!APMCheckResult(!record.empty(), error, 1, "Received empty data type to update"))
    return false;
  if (!APMCheckResult(!table.empty(), error, 1, "Received empty table name for updating"))
    return false;
  if (!requireStore(error)) return false;
  // An update that matches no row writes nothing: its count of changed rows tells a missing row
  // without a query before it.
  if (!sqliteStore_->updateRecord(record, table, columnName, &columnValue, error)) return false;
  return APMCheckResult(sqlite3_changes64(sqliteStore_->sqliteHandle()) != 0, error, 2,
                        "Failed to update record. Item doesn't exist");
}

std::optional<bool> APMDatabase::booleanForQuery(const std::string& sql,
                                                 const APMSqliteValues& values,
                                                 APMErrorSlot* error) {
  if (!requireStore(error)) return std::nullopt;
  auto number = sqliteStore_->numberForQuery(sql, values, error);
  if (!number) {
    if (error != nullptr && !*error) APMSetError(error, 3, "Query gave no result");
    return std::nullopt;
  }
  return number->numberAsInteger().value_or(0) != 0;
}

// --- Caches ---

void APMDatabase::performReads(const std::function<void()>& reads) {
  checkSequence("performReads");
  if (readBatchDepth_++ == 0) dataVersionCheckedInReadBatch_ = false;
  try {
    reads();
  } catch (...) {
    --readBatchDepth_;
    throw;
  }
  --readBatchDepth_;
}

void APMDatabase::refreshCaches() {
  APMTableChangeTracker* tracker = sqliteStore_ ? sqliteStore_->changeTracker() : nullptr;
  if (tracker == nullptr) {
    caches_.invalidate(APMDatabaseCaches::kAll);
    return;
  }
  caches_.invalidate(tracker->takeChanges());
  // Another connection (another process, the sqlite3 tool) may have committed meanwhile. Inside
  // this object's transaction nobody else can write, so once per transaction is enough.
  bool inTransaction = sqlite3_get_autocommit(sqliteStore_->sqliteHandle()) == 0;
  if (inTransaction && dataVersionCheckedInTransaction_ == transactionSerial_) return;
  if (!inTransaction && readBatchDepth_ > 0) {
    if (dataVersionCheckedInReadBatch_) return;
    dataVersionCheckedInReadBatch_ = true;
  }
  std::optional<Value> version =
      sqliteStore_->numberForQuery("PRAGMA data_version", {}, nullptr, APMStatementCaching::kKeep);
  std::optional<int64_t> current = version ? version->numberAsInteger() : std::nullopt;
  if (!current || current != dataVersion_) caches_.invalidate(APMDatabaseCaches::kAll);
  dataVersion_ = current;
  dataVersionCheckedInTransaction_ = inTransaction ? transactionSerial_ : 0;
}

void APMDatabase::acceptOwnChanges(uint32_t tables) {
  APMTableChangeTracker* tracker = sqliteStore_ ? sqliteStore_->changeTracker() : nullptr;
  if (tracker == nullptr) {
    caches_.invalidate(APMDatabaseCaches::kAll);
    return;
  }
  caches_.invalidate(tracker->takeChanges() & ~tables);
}

std::optional<int64_t> APMDatabase::summaryRowCount(APMTimedTableSummary& summary,
                                                    std::string_view table, APMErrorSlot* error) {
  refreshCaches();
  if (summary.rowCount) return summary.rowCount;
  if (!requireStore(error)) return std::nullopt;
  summary.rowCount = sqliteStore_->rowCountForTableWithName(table, error);
  summary.noteIfEmpty();
  return summary.rowCount;
}

std::optional<bool> APMDatabase::summaryHasRealtimeRows(APMTimedTableSummary& summary,
                                                        std::string_view table,
                                                        APMErrorSlot* error) {
  refreshCaches();
  if (!summary.realtimeRowCount) {
    if (!requireStore(error)) return std::nullopt;
    auto count = sqliteStore_->numberForQuery(
        "SELECT count(1) FROM " + std::string(table) + " WHERE is_realtime = 1", {}, error,
        APMStatementCaching::kKeep);
    if (!count) {
      if (error != nullptr && !*error) APMSetError(error, 3, "Query gave no result");
      return std::nullopt;
    }
    summary.realtimeRowCount = count->numberAsInteger().value_or(0);
  }
  return *summary.realtimeRowCount > 0;
}

std::optional<double> APMDatabase::summaryLatestTimestamp(APMTimedTableSummary& summary,
                                                          std::string_view table,
                                                          std::string_view column,
                                                          APMErrorSlot* error) {
  refreshCaches();
  if (!summary.latestTimestamp) {
    if (!requireStore(error)) return std::nullopt;
    APMErrorSlot readError;
    auto number = sqliteStore_->numberForQuery(
        "SELECT MAX(" + std::string(column) + ") FROM " + std::string(table), {}, &readError);
    if (readError) {
      if (error != nullptr) *error = readError;
      return std::nullopt;
    }
    // A null maximum: the table is empty.
    summary.latestTimestamp =
        number ? number->numberAsDouble() : std::optional<double>(std::nullopt);
  }
  return *summary.latestTimestamp;
}
