#include "AppMeasurement/storage/APMSqliteStore.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sqlite3.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <set>
#include <utility>

#include "AppMeasurement/foundation/APMFilePaths.h"
#include "AppMeasurement/foundation/APMMonitor.h"
#include "platform/foundation/FileManager.h"

namespace {

using platform::Value;

void logLine(int level, int64_t code, std::string_view message) {
  APMMonitor::monitor()->logWithLevel(level, code, message);
}

void logLine(int level, int64_t code, std::string_view message, APMLogContext context) {
  APMMonitor::monitor()->logWithLevel(level, code, message, std::move(context));
}

std::string lowercase(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

std::string uppercase(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return out;
}

bool isCorruption(int resultCode) {
  int primary = resultCode & 0xff;
  return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

// The first blank-separated word of a type text ("REAL NOT NULL" -> "REAL").
std::string firstWord(std::string_view type) {
  size_t start = type.find_first_not_of(' ');
  if (start == std::string_view::npos) return {};
  size_t end = type.find(' ', start);
  return std::string(type.substr(start, end == std::string_view::npos ? end : end - start));
}

// A value the record operations can bind: string, number, data or null.
bool isBindableRecordValue(const Value& value) {
  return value.isString() || value.isNumber() || value.isBytes() || value.isNull();
}

constexpr std::string_view kPrimaryKey = "PRIMARY KEY";

// The texts of the statements every transaction runs, made once: the longer ones would take an
// allocation per call.
struct TransactionStatements {
  const std::string begin = "BEGIN EXCLUSIVE TRANSACTION";
  const std::string end = "END TRANSACTION";
  const std::string rollback = "ROLLBACK";
  const std::string savepoint = "SAVEPOINT apm_group_item";
  const std::string rollbackToSavepoint = "ROLLBACK TO apm_group_item";
  const std::string release = "RELEASE apm_group_item";
};

const TransactionStatements& transactionStatements() {
  static const TransactionStatements& statements = *new TransactionStatements;
  return statements;
}

// Whether the file may carry the immutable flag. Asked without opening the file: closing any
// descriptor of a file drops every POSIX lock this process holds on it, and with them the
// locks of a connection already open on the same database (another process could then
// checkpoint and delete the write-ahead log under it). Only a file system that does not report
// the attribute sends us to the descriptor.
bool mayBeImmutable(const std::string& path) {
  struct statx info {};
  if (statx(AT_FDCWD, path.c_str(), AT_STATX_SYNC_AS_STAT, STATX_BASIC_STATS, &info) != 0) {
    return true;
  }
  if ((info.stx_attributes_mask & STATX_ATTR_IMMUTABLE) == 0) return true;
  return (info.stx_attributes & STATX_ATTR_IMMUTABLE) != 0;
}

// Clears the file's immutable flag (the file system's "locked" attribute, which stops even a
// privileged writer). A file system without such flags has nothing to clear.
bool clearImmutableFlag(const std::string& path, APMErrorSlot* error) {
  if (!mayBeImmutable(path)) return true;
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    APMSetError(error, 2,
                "Failed to read database file attributes: " + std::string(strerror(errno)));
    return false;
  }
  int flags = 0;
  bool ok = true;
  if (ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_IMMUTABLE_FL) != 0) {
    flags &= ~FS_IMMUTABLE_FL;
    if (ioctl(fd, FS_IOC_SETFLAGS, &flags) != 0) {
      APMSetError(error, 2,
                  "Failed to make database file mutable: " + std::string(strerror(errno)));
      ok = false;
    }
  }
  ::close(fd);
  return ok;
}

}  // namespace

// --- Life cycle ---

APMSqliteStore::APMSqliteStore(std::string databasePath) : databasePath_(std::move(databasePath)) {}

APMSqliteStore::~APMSqliteStore() { closeDatabase(); }

std::unique_ptr<APMSqliteStore> APMSqliteStore::create(std::string databasePath,
                                                       APMErrorSlot* error) {
  if (!APMCheckResult(!databasePath.empty(), error, 1, "Received empty database path on init"))
    return nullptr;
  std::unique_ptr<APMSqliteStore> store(new APMSqliteStore(std::move(databasePath)));
  // The failure is read here for the log line whether or not the caller asked for it.
  APMErrorSlot openError;
  OpenResult result = store->openAndValidateDatabase(&openError);
  if (result == OpenResult::kOpen) return store;
  APMLogContext context = openError ? APMLogContext(*openError) : APMLogContext();
  if (error) *error = std::move(openError);
  if (result == OpenResult::kFailed) {
    // A locked file, a full disk or an I/O error says nothing about the file's content:
    // deleting it would lose every stored event for a passing condition.
    logLine(1, 34023, "Failed to open database. The file is kept", std::move(context));
    return nullptr;
  }
  // The file is damaged: replace it with an empty database, once.
  logLine(1, 34025, "Database file is damaged. Replacing it with an empty one", std::move(context));
  if (!store->closeAndDeleteDatabase()) return nullptr;
  if (store->openAndValidateDatabase(error) == OpenResult::kOpen) return store;
  return nullptr;
}

APMSqliteStore::OpenResult APMSqliteStore::openAndValidateDatabase(APMErrorSlot* error) {
  namespace fs = std::filesystem;
  auto& files = platform::FileManager::defaultManager();
  const fs::path path(databasePath_);
  if (files.fileExistsAtPath(path)) {
    if (!clearImmutableFlag(databasePath_, error)) return OpenResult::kFailed;
  } else if (path.has_parent_path()) {
    absl::Status status = files.createDirectoryAtPath(path.parent_path(), true);
    if (!status.ok()) {
      APMSetError(error, 2, std::string(status.message()));
      return OpenResult::kFailed;
    }
  }
  // Only the user may read the measurement data: the file is made 0600 before SQLite opens it
  // (SQLite gives its journal and WAL files the database file's mode), and an older file is
  // narrowed by path. No descriptor of an existing file is opened and closed here: closing one
  // would drop the POSIX locks another connection of this process holds on it.
  if (files.fileExistsAtPath(path)) {
    (void)::chmod(databasePath_.c_str(), 0600);
  } else if (int fd = ::open(databasePath_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
             fd >= 0) {
    ::close(fd);
  }
  int rc =
      sqlite3_open_v2(databasePath_.c_str(), &sqliteHandle_,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    setDatabaseError(error, "initialize sqlite handle");
    lastFailureResultCode_ = rc & 0xff;
    closeDatabase();
    return isCorruption(rc) ? OpenResult::kCorrupt : OpenResult::kFailed;
  }
  APMErrorSlot backupError;
  if (!APMExcludePathFromBackup(databasePath_, &backupError)) {
    logLine(4, 34017, "Failed to exclude database file from backup",
            backupError ? APMLogContext(*backupError) : APMLogContext());
  }
  OpenResult result = validateDatabaseWithError(error);
  if (result == OpenResult::kOpen && !applyJournalSettings(error)) result = OpenResult::kFailed;
  if (result != OpenResult::kOpen) closeDatabase();
  return result;
}

APMSqliteStore::OpenResult APMSqliteStore::validateDatabaseWithError(APMErrorSlot* error) {
  sqlite3_stmt* statement = nullptr;
  int rc = sqlite3_prepare_v2(sqliteHandle_, "PRAGMA integrity_check", -1, &statement, nullptr);
  OpenResult result = OpenResult::kFailed;
  if (rc == SQLITE_OK && statement != nullptr) {
    rc = sqlite3_step(statement);
    if (rc == SQLITE_ROW) {
      const unsigned char* text = sqlite3_column_text(statement, 0);
      bool ok = sqlite3_column_count(statement) == 1 && text != nullptr &&
                std::string_view(reinterpret_cast<const char*>(text)) == "ok";
      // Rows other than "ok" list the damage the check found.
      result = ok ? OpenResult::kOpen : OpenResult::kCorrupt;
    } else {
      result = isCorruption(rc) ? OpenResult::kCorrupt : OpenResult::kFailed;
    }
  } else {
    result = isCorruption(rc) ? OpenResult::kCorrupt : OpenResult::kFailed;
  }
  if (result != OpenResult::kOpen) {
    setDatabaseError(error, "validate database");
    if (result == OpenResult::kCorrupt && (rc == SQLITE_ROW || rc == SQLITE_OK)) {
      lastFailureResultCode_ = SQLITE_CORRUPT;
    }
  }
  sqlite3_finalize(statement);
  return result;
}

bool APMSqliteStore::applyJournalSettings(APMErrorSlot* error) {
  // Write-ahead log with synchronous NORMAL: a commit survives a killed process; an OS crash
  // or power loss may lose the last commits but never damages the file.
  std::string mode;
  auto readMode = [](void* out, int columns, char** values, char**) {
    if (columns > 0 && values[0] != nullptr) *static_cast<std::string*>(out) = values[0];
    return 0;
  };
  if (sqlite3_exec(sqliteHandle_, "PRAGMA journal_mode=WAL", readMode, &mode, nullptr) !=
          SQLITE_OK ||
      sqlite3_exec(sqliteHandle_, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr) !=
          SQLITE_OK) {
    setDatabaseError(error, "set journal mode");
    return false;
  }
  if (mode != "wal") {
    // A file system without shared memory keeps the rollback journal: still safe against a
    // killed process, slower.
    logLine(4, 34024, "Database is not in write-ahead-log mode. Journal mode", mode);
  }
  return true;
}

void APMSqliteStore::finalizeAndClearStatements() {
  for (auto& [sql, cached] : statementCache_) sqlite3_finalize(cached.statement);
  statementCache_.clear();
}

void APMSqliteStore::watchTables(std::vector<std::string_view> tables) {
  changeTracker_.reset();
  if (sqliteHandle_ == nullptr) return;
  changeTracker_ = std::make_unique<APMTableChangeTracker>(std::move(tables));
  changeTracker_->attach(sqliteHandle_);
}

void APMSqliteStore::closeDatabase() {
  changeTracker_.reset();
  finalizeAndClearStatements();
  if (sqliteHandle_ == nullptr) return;
  int rc = sqlite3_close(sqliteHandle_);
  if (rc != SQLITE_OK) {
    logLine(1, 34018, "Failed to close database. Got error code", APMLogContext(rc));
    // A statement someone kept would hold the connection open: close it once that goes.
    sqlite3_close_v2(sqliteHandle_);
  }
  sqliteHandle_ = nullptr;
}

bool APMSqliteStore::closeAndDeleteDatabase(std::string* failure) {
  closeDatabase();
  auto& files = platform::FileManager::defaultManager();
  bool deleted = true;
  // The companions go too: a write-ahead log left beside a new, empty file would be replayed
  // into it.
  for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
    std::filesystem::path path(databasePath_ + suffix);
    if (!files.fileExistsAtPath(path)) continue;
    clearImmutableFlag(path.string(), nullptr);
    absl::Status status = files.removeItemAtPath(path);
    if (!status.ok()) {
      logLine(1, 34019, "Failed to delete database. Error", std::string(status.message()));
      if (failure != nullptr && deleted) *failure = std::string(status.message());
      deleted = false;
    }
  }
  return deleted;
}

// --- Statements ---

sqlite3_stmt* APMSqliteStore::prepareSQL(std::string_view sql, APMErrorSlot* error) {
  if (!APMCheckResult(!sql.empty(), error, 1, "Received empty SQL string to prepare"))
    return nullptr;
  if (!APMCheckResult(sqliteHandle_ != nullptr, error, 2, "Prepare SQL failed. Database not open."))
    return nullptr;
  sqlite3_stmt* statement = nullptr;
  const char* tail = nullptr;
  int rc = SQLITE_ERROR;
  if (sqlite3_libversion_number() >= 3020000) {
    rc = sqlite3_prepare_v3(sqliteHandle_, sql.data(), static_cast<int>(sql.size()),
                            SQLITE_PREPARE_PERSISTENT, &statement, &tail);
  }
  if (rc != SQLITE_OK) {
    rc = sqlite3_prepare_v2(sqliteHandle_, sql.data(), static_cast<int>(sql.size()), &statement,
                            &tail);
  }
  if (rc != SQLITE_OK) {
    setDatabaseError(error, "prepare statement");
    return nullptr;
  }
  if (statement == nullptr) {
    // Only blanks or comments: nothing to run.
    APMSetError(error, 1, "Received empty SQL string to prepare");
    return nullptr;
  }
  if (tail != nullptr && tail < sql.data() + sql.size()) {
    // Whatever SQLite left unparsed, even blanks or a comment after the statement's end, is
    // refused: only the text that was prepared would run.
    sqlite3_finalize(statement);
    APMSetError(error, 1, "Query contained more than one SQL statement.");
    return nullptr;
  }
  return statement;
}

sqlite3_stmt* APMSqliteStore::statementForQuery(const std::string& sql, APMErrorSlot* error) {
  return statementForQuery(sql, {}, error);
}

sqlite3_stmt* APMSqliteStore::statementForQuery(const std::string& sql,
                                                const APMSqliteValues& values, APMErrorSlot* error,
                                                APMStatementCaching caching) {
  sqlite3_stmt* statement = takeStatement(sql, !values.empty(), error, caching);
  if (statement != nullptr && !values.empty() && !bindValues(values, statement, error)) {
    cleanUpStatement(statement, sql);
    return nullptr;
  }
  return statement;
}

sqlite3_stmt* APMSqliteStore::takeStatement(const std::string& sql, bool willBind,
                                            APMErrorSlot* error, APMStatementCaching caching) {
  auto it = statementCache_.find(sql);
  if (it != statementCache_.end() && !it->second.inUse) {
    sqlite3_stmt* statement = it->second.statement;
    // A caller that stopped stepping early (an error, a filter that ended the read) may have
    // left it mid-step, holding a read open: start it over.
    if (sqlite3_stmt_busy(statement) != 0) sqlite3_reset(statement);
    it->second.inUse = true;
    return statement;
  }
  if (!APMCheckResult(sqliteHandle_ != nullptr, error, 2,
                      "Statement for query failed. Database not open."))
    return nullptr;
  bool hasPlaceholder = sql.find('?') != std::string::npos;
  if (!APMCheckResult(!hasPlaceholder || willBind, error, 1, "Received empty parameters"))
    return nullptr;
  sqlite3_stmt* statement = prepareSQL(sql, error);
  if (statement == nullptr) return nullptr;
  // A text already in the cache is in use further up the stack: this statement serves the
  // inner use alone and is finalized after it.
  bool cache = it == statementCache_.end() &&
               (caching == APMStatementCaching::kKeep ||
                (caching == APMStatementCaching::kCacheRule &&
                 (hasPlaceholder || lowercase(sql).find("where") == std::string::npos)));
  if (cache) statementCache_.emplace(sql, CachedStatement{statement, true});
  return statement;
}

void APMSqliteStore::cleanUpStatement(sqlite3_stmt* statement, const std::string& sql) {
  if (statement == nullptr) return;
  auto it = statementCache_.find(sql);
  if (it == statementCache_.end() || it->second.statement != statement) {
    // Not the cache's: nobody else would ever finalize it.
    if (it != statementCache_.end() && !it->second.inUse) {
      logLine(5, 34016, "Statement is not the same one in the cache");
    }
    sqlite3_finalize(statement);
    return;
  }
  sqlite3_reset(statement);
  sqlite3_clear_bindings(statement);
  it->second.inUse = false;
}

bool APMSqliteStore::bindValue(const Value& value, int index, sqlite3_stmt* statement,
                               APMErrorSlot* error) {
  int rc = SQLITE_MISUSE;
  if (const double* real = value.asReal()) {
    // SQLite binds NaN as NULL, which a NOT NULL column then refuses.
    rc = sqlite3_bind_double(statement, index, *real);
  } else if (value.isInteger() || value.isBool()) {
    rc = sqlite3_bind_int64(statement, index, *value.numberAsInteger());
  } else if (const std::string* text = value.asString()) {
    rc = sqlite3_bind_text64(statement, index, text->data(), text->size(), SQLITE_TRANSIENT,
                             SQLITE_UTF8);
  } else if (const Value::Bytes* bytes = value.asBytes()) {
    // A null pointer would bind NULL: empty data binds a zero-length blob.
    rc = sqlite3_bind_blob64(statement, index, bytes->data.empty() ? "" : bytes->data.data(),
                             bytes->data.size(), SQLITE_TRANSIENT);
  } else if (value.isNull()) {
    rc = sqlite3_bind_null(statement, index);
  }
  if (rc == SQLITE_OK) return true;
  setDatabaseError(error, "bind values");
  return false;
}

bool APMSqliteStore::bindValues(const APMSqliteValues& values, sqlite3_stmt* statement,
                                APMErrorSlot* error) {
  if (!APMCheckResult(statement != nullptr, error, 1, "Failed to bind to NULL statement"))
    return false;
  sqlite3_clear_bindings(statement);
  bool ok = true;
  for (size_t i = 0; i < values.size(); ++i) {
    ok = bindValue(values[i], static_cast<int>(i + 1), statement, error) && ok;
  }
  return ok;
}

bool APMSqliteStore::bindRecordValues(const RecordValues& values, sqlite3_stmt* statement,
                                      APMErrorSlot* error) {
  sqlite3_clear_bindings(statement);
  bool ok = true;
  for (size_t i = 0; i < values.size(); ++i) {
    ok = bindValue(*values[i], static_cast<int>(i + 1), statement, error) && ok;
  }
  return ok;
}

std::optional<Value> APMSqliteStore::valueAtColumn(int index, sqlite3_stmt* statement) {
  if (statement == nullptr) return std::nullopt;
  switch (sqlite3_column_type(statement, index)) {
    case SQLITE_INTEGER:
      return Value(static_cast<long long>(sqlite3_column_int64(statement, index)));
    case SQLITE_FLOAT:
      return Value(sqlite3_column_double(statement, index));
    case SQLITE_TEXT: {
      const unsigned char* text = sqlite3_column_text(statement, index);
      int length = sqlite3_column_bytes(statement, index);
      return Value(std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(length)));
    }
    case SQLITE_BLOB: {
      const void* bytes = sqlite3_column_blob(statement, index);
      int length = sqlite3_column_bytes(statement, index);
      if (bytes == nullptr || length <= 0) return std::nullopt;
      return Value::bytes(
          std::string(static_cast<const char*>(bytes), static_cast<size_t>(length)));
    }
    case SQLITE_NULL:
      return Value();
    default:
      return std::nullopt;
  }
}

bool APMSqliteStore::executeSQL(std::string_view sql, APMErrorSlot* error) {
  sqlite3_stmt* statement = prepareSQL(sql, error);
  if (statement == nullptr) return false;
  return executeSQLStatement(statement, error);
}

bool APMSqliteStore::executeSQLStatement(sqlite3_stmt* statement, APMErrorSlot* error) {
  if (!APMCheckResult(statement != nullptr, error, 1, "Received empty statement to execute"))
    return false;
  commitGroupBeforeUngroupedWrite(statement);
  if (refuseWriteOutsideTransaction(statement, "execute statement", error)) {
    sqlite3_finalize(statement);
    return false;
  }
  int rc = sqlite3_step(statement);
  bool done = rc == SQLITE_DONE;
  if (!done) {
    setDatabaseError(error, "execute statement");
    if (rc != SQLITE_ROW) lastFailureResultCode_ = rc & 0xff;
  }
  sqlite3_finalize(statement);
  return done;
}

bool APMSqliteStore::executeKeptStatement(const std::string& sql, const APMSqliteValues& values,
                                          APMErrorSlot* error) {
  sqlite3_stmt* statement = statementForQuery(sql, values, error, APMStatementCaching::kKeep);
  if (statement == nullptr) return false;
  return stepDone(statement, sql, "execute statement", error);
}

bool APMSqliteStore::stepDone(sqlite3_stmt* statement, const std::string& sql,
                              std::string_view operation, APMErrorSlot* error) {
  commitGroupBeforeUngroupedWrite(statement);
  if (refuseWriteOutsideTransaction(statement, operation, error)) {
    cleanUpStatement(statement, sql);
    return false;
  }
  int rc = sqlite3_step(statement);
  bool done = rc == SQLITE_DONE;
  if (!done) {
    setDatabaseError(error, operation);
    lastFailureResultCode_ = rc & 0xff;
  }
  cleanUpStatement(statement, sql);
  return done;
}

bool APMSqliteStore::refuseWriteOutsideTransaction(sqlite3_stmt* statement,
                                                   std::string_view operation,
                                                   APMErrorSlot* error) {
  if (!groupTransactionOpen_ && !loneTransactionOpen_) return false;
  if (sqlite3_get_autocommit(sqliteHandle_) == 0 || sqlite3_stmt_readonly(statement) != 0) {
    return false;
  }
  // SQLite rolled the transaction back by itself: this write would commit alone, beside the
  // transaction's own writes that were just lost.
  APMSetError(error, 3,
              "Failed to " + std::string(operation) + ". The transaction was rolled back");
  return true;
}

void APMSqliteStore::commitGroupBeforeUngroupedWrite(sqlite3_stmt* statement) {
  if (!groupTransactionOpen_ || groupItemRunning_ || groupCommitting_ ||
      sqlite3_stmt_readonly(statement) != 0) {
    return;
  }
  // The group holds only transactions it can run again; this write could not be, so what
  // the group holds is committed first and the write runs as it would without the group.
  commitGroupSoFar(nullptr);
}

// --- Records ---

std::optional<std::vector<APMSqliteRecord>> APMSqliteStore::recordsForQuery(
    const std::string& sql, const APMSqliteValues& values, APMErrorSlot* error,
    APMStatementCaching caching) {
  return recordsForQuery(
      sql, values, error, [](size_t, const APMSqliteRecord&) { return true; }, caching);
}

std::optional<std::vector<APMSqliteRecord>> APMSqliteStore::recordsForQuery(
    const std::string& sql, const APMSqliteValues& values, APMErrorSlot* error,
    const RecordFilter& filter, APMStatementCaching caching) {
  if (!APMCheckResult(!sql.empty(), error, 1, "Received empty query for records for query"))
    return std::nullopt;
  if (!APMCheckResult(static_cast<bool>(filter), error, 1,
                      "Received empty filter for selecting records"))
    return std::nullopt;
  std::vector<APMSqliteRecord> records;
  bool read = enumerateRecordsForQuery(
      sql, values, error,
      [&](size_t accepted, const APMSqliteRecord& record) {
        if (!filter(accepted, record)) return false;
        records.push_back(record);
        return true;
      },
      caching);
  if (!read) return std::nullopt;
  return records;
}

bool APMSqliteStore::enumerateRecordsForQuery(const std::string& sql, const APMSqliteValues& values,
                                              APMErrorSlot* error, const RecordFilter& visitor,
                                              APMStatementCaching caching) {
  if (!APMCheckResult(!sql.empty(), error, 1, "Received empty query for records for query"))
    return false;
  if (!APMCheckResult(static_cast<bool>(visitor), error, 1,
                      "Received empty filter for selecting records"))
    return false;
  if (!APMCheckResult(sqliteHandle_ != nullptr, error, 2,
                      "Query records failed. Database not open."))
    return false;
  if (!APMCheckResult(lowercase(sql.substr(0, 6)) == "select", error, 1,
                      "Received invalid select query"))
    return false;
  sqlite3_stmt* statement = statementForQuery(sql, values, error, caching);
  if (statement == nullptr) return false;
  // One record serves every row: each column keeps its entry, whose value is replaced row by
  // row, so that a long read builds its map and its names once.
  APMSqliteRecord record;
  std::vector<APMSqliteRecord::iterator> entries;
  size_t accepted = 0;
  bool sawRows = false;
  int rc;
  while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
    sawRows = true;
    int count = sqlite3_column_count(statement);
    entries.resize(static_cast<size_t>(count), record.end());
    for (int column = 0; column < count; ++column) {
      auto& entry = entries[static_cast<size_t>(column)];
      std::optional<Value> value = valueAtColumn(column, statement);
      if (value && entry != record.end()) {
        entry->second = std::move(*value);
        continue;
      }
      const char* name = sqlite3_column_name(statement, column);
      if (name == nullptr) {
        logLine(4, 34003, "Failed to get column name");
        continue;
      }
      if (!value) {
        logLine(4, 34004, "Value is nil for column", std::string(name));
        // The row has no value here: the entry an earlier row left (under any column of
        // this name) goes.
        auto stale = record.find(std::string_view(name));
        if (stale != record.end()) {
          std::replace(entries.begin(), entries.end(), stale, record.end());
          record.erase(stale);
        }
        continue;
      }
      entry = record.insert_or_assign(name, std::move(*value)).first;
    }
    if (!visitor(accepted, record)) break;
    ++accepted;
  }
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
    // A read that stops half way is a failure, not a short result.
    setDatabaseError(error, "query records");
    lastFailureResultCode_ = rc & 0xff;
    cleanUpStatement(statement, sql);
    return false;
  }
  if (sawRows && accepted == 0) {
    logLine(4, 34005, "Database contains records that were all filtered out");
  }
  cleanUpStatement(statement, sql);
  return true;
}

std::optional<Value> APMSqliteStore::numberForQuery(const std::string& sql,
                                                    const APMSqliteValues& values,
                                                    APMErrorSlot* error,
                                                    APMStatementCaching caching) {
  if (!APMCheckResult(!sql.empty(), error, 1, "Received empty query to get numeric result"))
    return std::nullopt;
  if (!APMCheckResult(sqliteHandle_ != nullptr, error, 2,
                      "Query numeric result failed. Database not open."))
    return std::nullopt;
  sqlite3_stmt* statement = statementForQuery(sql, values, error, caching);
  if (statement == nullptr) return std::nullopt;
  std::optional<Value> result;
  int rc = sqlite3_step(statement);
  if (rc != SQLITE_ROW) {
    setDatabaseError(error, "query numeric result");
    if (rc != SQLITE_DONE) lastFailureResultCode_ = rc & 0xff;
  } else {
    std::optional<Value> value = valueAtColumn(0, statement);
    if (value && value->isNumber()) {
      result = std::move(value);
    } else if (value && !value->isNull()) {
      APMSetError(error, 1, "Found result that was not numeric");
    }
  }
  cleanUpStatement(statement, sql);
  return result;
}

std::optional<int64_t> APMSqliteStore::rowCountForTableWithName(std::string_view table,
                                                                APMErrorSlot* error) {
  return rowCountForTableWithName(table, {}, nullptr, error);
}

std::optional<int64_t> APMSqliteStore::rowCountForTableWithName(std::string_view table,
                                                                std::string_view columnName,
                                                                const Value* columnValue,
                                                                APMErrorSlot* error) {
  std::string sql = "SELECT count(1) FROM " + std::string(table);
  APMSqliteValues values;
  if (!columnName.empty() && columnValue != nullptr) {
    sql += " WHERE " + std::string(columnName) + "=?";
    values.push_back(*columnValue);
  }
  std::optional<Value> count = numberForQuery(sql, values, error);
  if (!count) return std::nullopt;
  return count->numberAsInteger();
}

bool APMSqliteStore::upsertSQLForRecord(const APMSqliteRecord& record, std::string_view table,
                                        std::string* sql, RecordValues* values,
                                        APMErrorSlot* error) {
  if (!APMCheckResult(!record.empty(), error, 1, "Received empty record for upsert")) return false;
  if (!APMCheckResult(!table.empty(), error, 1, "Received empty table name for upsert"))
    return false;
  if (!APMCheckResult(sqliteHandle_ != nullptr, error, 2,
                      "Upsert record failed. Database not open."))
    return false;
  std::string columns;
  std::string placeholders;
  values->clear();
  values->reserve(record.size());
  for (const auto& [name, value] : record) {
    if (!isBindableRecordValue(value)) {
      // The line is the whole report: the caller's slot names no error.
      logLine(4, 34020, "Record has value of unexpected type", name);
      return false;
    }
    columns.append(name).append(", ");
    placeholders.append("?, ");
    values->push_back(&value);
  }
  columns.resize(columns.size() - 2);
  placeholders.resize(placeholders.size() - 2);
  sql->assign("INSERT OR REPLACE INTO ").append(table).append(" (").append(columns);
  sql->append(") VALUES (").append(placeholders).append(");");
  return true;
}

sqlite3_stmt* APMSqliteStore::upsertStatementForRecord(const APMSqliteRecord& record,
                                                       std::string_view table,
                                                       APMErrorSlot* error) {
  std::string sql;
  RecordValues values;
  if (!upsertSQLForRecord(record, table, &sql, &values, error)) return nullptr;
  sqlite3_stmt* statement = prepareSQL(sql, error);
  if (statement == nullptr) return nullptr;
  if (!bindRecordValues(values, statement, error)) {
    sqlite3_finalize(statement);
    return nullptr;
  }
  return statement;
}

bool APMSqliteStore::upsertRecord(const APMSqliteRecord& record, std::string_view table,
                                  APMErrorSlot* error) {
  // The text depends only on the table and the record's columns, so there are a few dozen of
  // them at most: keeping them prepared saves most of the cost of writing one row.
  std::string sql;
  RecordValues values;
  if (!upsertSQLForRecord(record, table, &sql, &values, error)) return false;
  return stepRecordStatement(sql, values, error);
}

bool APMSqliteStore::stepRecordStatement(const std::string& sql, const RecordValues& values,
                                         APMErrorSlot* error) {
  // Bound straight from the record: no copy of its values on the way.
  sqlite3_stmt* statement = takeStatement(sql, true, error, APMStatementCaching::kCacheRule);
  if (statement == nullptr) return false;
  if (!bindRecordValues(values, statement, error)) {
    cleanUpStatement(statement, sql);
    return false;
  }
  return stepDone(statement, sql, "execute statement", error);
}

bool APMSqliteStore::updateSQLForRecord(const APMSqliteRecord& record, std::string_view table,
                                        std::string_view columnName, const Value* columnValue,
                                        std::string* sql, RecordValues* values,
                                        APMErrorSlot* error) {
  if (!APMCheckResult(!record.empty(), error, 1, "Empty record for update")) return false;
  if (!APMCheckResult(!table.empty(), error, 1, "Empty table name for update")) return false;
  if (!APMCheckResult(!columnName.empty(), error, 1, "Empty column name for update")) return false;
  if (!APMCheckResult(columnValue != nullptr, error, 1, "Nil column value for update"))
    return false;
  if (!APMCheckResult(sqliteHandle_ != nullptr, error, 2,
                      "Update record failed. Database not open."))
    return false;
  std::string assignments;
  values->clear();
  values->reserve(record.size() + 1);
  for (const auto& [name, value] : record) {
    if (!isBindableRecordValue(value)) {
      logLine(4, 34021, "Record has value of unexpected type (update)", name);
      APMSetError(error, 1, "Failed to bind parameter of unexpected type to update statement");
      return false;
    }
    assignments.append(name).append("=?,");
    values->push_back(&value);
  }
  assignments.pop_back();
  values->push_back(columnValue);
  sql->assign("UPDATE ").append(table).append(" SET ").append(assignments);
  sql->append(" WHERE ").append(columnName).append("=?");
  return true;
}

sqlite3_stmt* APMSqliteStore::updateStatementForRecord(const APMSqliteRecord& record,
                                                       std::string_view table,
                                                       std::string_view columnName,
                                                       const Value* columnValue,
                                                       APMErrorSlot* error) {
  std::string sql;
  RecordValues values;
  if (!updateSQLForRecord(record, table, columnName, columnValue, &sql, &values, error))
    return nullptr;
  sqlite3_stmt* statement = prepareSQL(sql, error);
  if (statement == nullptr) return nullptr;
  if (!bindRecordValues(values, statement, error)) {
    sqlite3_finalize(statement);
    return nullptr;
  }
  return statement;
}

bool APMSqliteStore::updateRecord(const APMSqliteRecord& record, std::string_view table,
                                  std::string_view columnName, const Value* columnValue,
                                  APMErrorSlot* error) {
  // Like upserts, the texts depend only on the table and the record's columns.
  std::string sql;
  RecordValues values;
  if (!updateSQLForRecord(record, table, columnName, columnValue, &sql, &values, error))
    return false;
  return stepRecordStatement(sql, values, error);
}

bool APMSqliteStore::updateAllRecordsInTableWithName(std::string_view table,
                                                     std::string_view columnName,
                                                     const Value* columnValue,
                                                     APMErrorSlot* error) {
  if (!APMCheckResult(!table.empty(), error, 1, "Empty table name for update")) return false;
  if (!APMCheckResult(!columnName.empty(), error, 1, "Empty column name for update")) return false;
  if (!APMCheckResult(columnValue != nullptr, error, 1, "Nil column value for update"))
    return false;
  if (!APMCheckResult(sqliteHandle_ != nullptr, error, 2,
                      "Update record failed. Database not open."))
    return false;
  std::string sql = "UPDATE " + std::string(table) + " SET " + std::string(columnName) + "=?";
  APMSqliteValues values{*columnValue};
  sqlite3_stmt* statement = statementForQuery(sql, values, error);
  if (statement == nullptr) return false;
  return stepDone(statement, sql, "update all records value", error);
}

bool APMSqliteStore::increaseColumn(std::string_view column, int64_t amount, std::string_view table,
                                    std::string_view condition, const APMSqliteValues& values,
                                    APMErrorSlot* error, APMStatementCaching caching) {
  if (!APMCheckResult(!table.empty(), error, 1, "Empty table name for increase column"))
    return false;
  if (!APMCheckResult(!column.empty(), error, 1, "Empty column name for increase column"))
    return false;
  if (!APMCheckResult(!condition.empty(), error, 1, "Empty condition for increase column"))
    return false;
  if (!APMCheckResult(sqliteHandle_ != nullptr, error, 2,
                      "Increase column failed. Database not open."))
    return false;
  std::optional<APMColumnTypes> types = columnInfoForTableWithName(table, error);
  if (!types) return false;
  auto it = types->find(column);
  if (!APMCheckResult(it != types->end(), error, 1, "Invalid column or table name")) return false;
  if (!APMCheckResult(uppercase(it->second) == "INTEGER", error, 1, "Column type is not integer."))
    return false;
  std::string sql = "UPDATE " + std::string(table) + " SET " + std::string(column) + " = " +
                    std::string(column) + " + " + std::to_string(amount) + " WHERE " +
                    std::string(condition);
  sqlite3_stmt* statement = statementForQuery(sql, values, error, caching);
  if (statement == nullptr) return false;
  return stepDone(statement, sql, "increase records value", error);
}

bool APMSqliteStore::deleteRecordFromTableWithName(std::string_view table,
                                                   std::string_view columnName,
                                                   const Value* columnValue, APMErrorSlot* error) {
  if (!APMCheckResult(!table.empty(), error, 1, "Received empty table name for delete record"))
    return false;
  if (!APMCheckResult(!columnName.empty(), error, 1, "Received empty column for delete record"))
    return false;
  if (!APMCheckResult(columnValue != nullptr, error, 1, "Received nil value for delete record"))
    return false;
  if (!APMCheckResult(sqliteHandle_ != nullptr, error, 2,
                      "Delete record failed. Database not open."))
    return false;
  std::string sql =
      "DELETE FROM " + std::string(table) + " WHERE " + std::string(columnName) + "=?";
  APMSqliteValues values{*columnValue};
  sqlite3_stmt* statement = statementForQuery(sql, values, error);
  if (statement == nullptr) return false;
  return stepDone(statement, sql, "delete record", error);
}

std::optional<int64_t> APMSqliteStore::deleteRecordsFromTableWithName(std::string_view table,
                                                                      std::string_view condition,
                                                                      const APMSqliteValues& values,
                                                                      APMErrorSlot* error,
                                                                      APMStatementCaching caching) {
  if (!APMCheckResult(!table.empty(), error, 1, "Received empty table name for delete record"))
    return std::nullopt;
  if (!APMCheckResult(!condition.empty(), error, 1, "Received empty condition for delete record"))
    return std::nullopt;
  if (!APMCheckResult(sqliteHandle_ != nullptr, error, 2,
                      "Delete records with condition failed. Database not open."))
    return std::nullopt;
  std::string sql = "DELETE FROM " + std::string(table) + " WHERE " + std::string(condition);
  sqlite3_stmt* statement = statementForQuery(sql, values, error, caching);
  if (statement == nullptr) return std::nullopt;
  if (!stepDone(statement, sql, "delete records with condition", error)) return std::nullopt;
  return sqlite3_changes64(sqliteHandle_);
}

bool APMSqliteStore::deleteAllRecordsFromTableWithName(std::string_view table,
                                                       APMErrorSlot* error) {
  if (!APMCheckResult(!table.empty(), error, 1, "Received empty table name for delete all records"))
    return false;
  if (!APMCheckResult(sqliteHandle_ != nullptr, error, 2,
                      "Delete all records failed. Database not open."))
    return false;
  std::string sql = "DELETE FROM " + std::string(table);
  sqlite3_stmt* statement = statementForQuery(sql, error);
  if (statement == nullptr) return false;
  return stepDone(statement, sql, "delete all records", error);
}

// --- Transactions ---

bool APMSqliteStore::runKeptStatement(const std::string& sql) {
  if (sqliteHandle_ == nullptr) return false;
  // Run on every event: prepared once instead of parsed by sqlite3_exec each time.
  sqlite3_stmt* statement = statementForQuery(sql, {}, nullptr, APMStatementCaching::kKeep);
  if (statement == nullptr) {
    return sqlite3_exec(sqliteHandle_, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
  }
  int rc = sqlite3_step(statement);
  cleanUpStatement(statement, sql);
  return rc == SQLITE_DONE;
}

bool APMSqliteStore::beginTransaction() { return runKeptStatement(transactionStatements().begin); }

bool APMSqliteStore::endTransaction() { return runKeptStatement(transactionStatements().end); }

bool APMSqliteStore::rollbackTransaction() {
  return runKeptStatement(transactionStatements().rollback);
}

bool APMSqliteStore::performTransactionWithError(APMErrorSlot* error,
                                                 const std::function<bool()>& block) {
  if (!APMCheckNonNil(block, error, 1, "Received nil transaction block")) return false;
  if (!APMCheckResult(sqliteHandle_ != nullptr, error, 2, "Database not open")) return false;
  if (groupTransactionOpen_ && !groupItemRunning_) {
    // Only what can run again stays in the group.
    if (sqlite3_get_autocommit(sqliteHandle_) != 0) {
      rewriteGroup();
    } else {
      commitGroupSoFar(nullptr);
    }
  }
  return performLoneTransaction(error, block);
}

bool APMSqliteStore::performRerunnableTransactionWithError(APMErrorSlot* error,
                                                           std::function<bool()> block) {
  if (!APMCheckNonNil(block, error, 1, "Received nil transaction block")) return false;
  if (!APMCheckResult(sqliteHandle_ != nullptr, error, 2, "Database not open")) return false;
  if (grouping_ && !groupItemRunning_ && !reportingGroupCommit_) {
    // A write made between the group's transactions may have ended it.
    if (groupTransactionOpen_ && sqlite3_get_autocommit(sqliteHandle_) != 0) rewriteGroup();
    if (grouping_) return performGroupedTransaction(error, std::move(block));
  }
  return performLoneTransaction(error, block);
}

bool APMSqliteStore::performLoneTransaction(APMErrorSlot* error,
                                            const std::function<bool()>& block) {
  // Inside a transaction that SQLite ended by itself, BEGIN would succeed: it must fail as
  // it does inside one that is still open.
  if ((groupTransactionOpen_ || loneTransactionOpen_) &&
      sqlite3_get_autocommit(sqliteHandle_) != 0) {
    APMSetError(error, 3, "Failed to begin transaction");
    return false;
  }
  if (!beginTransaction()) {
    noteTransactionStatementFailed(error, "begin transaction");
    return false;
  }
  loneTransactionOpen_ = true;
  auto close = [this] {
    loneTransactionOpen_ = false;
    return std::exchange(loneRun_, {});
  };
  bool succeeded;
  try {
    succeeded = block();
  } catch (...) {
    RunReports run = close();
    if (!rollbackTransaction()) logLine(1, 34009, "Failed to rollback transaction after exception");
    run.failed();
    throw;
  }
  RunReports run = close();
  if (!succeeded) {
    APMSetError(error, 3, "Transaction failed");
    if (!rollbackTransaction()) logLine(1, 34011, "Failed to rollback transaction");
    run.failed();
    return false;
  }
  if (!endTransaction()) {
    noteTransactionStatementFailed(error, "end transaction");
    rollBackAfterFailedCommit();
    run.failed();
    return false;
  }
  run.committed();
  return true;
}

void APMSqliteStore::noteTransactionStatementFailed(APMErrorSlot* error,
                                                    std::string_view operation) {
  lastFailureResultCode_ = sqlite3_errcode(sqliteHandle_) & 0xff;
  APMSetErrorWithMonitorContext(error, 3, "Failed to " + std::string(operation),
                                monitorContextForDatabaseOperation(operation));
}

void APMSqliteStore::rollBackAfterFailedCommit() {
  // A commit that failed (disk full, I/O error) can leave the transaction open, and then
  // every later BEGIN fails: end it here.
  if (sqlite3_get_autocommit(sqliteHandle_) == 0 && !rollbackTransaction()) {
    logLine(1, 34011, "Failed to rollback transaction");
  }
}

void APMSqliteStore::beginCommitGroup() {
  grouping_ = true;
  groupRewritten_ = false;
}

void APMSqliteStore::RunReports::rolledBack() {
  for (auto action = undo.rbegin(); action != undo.rend(); ++action) (*action)();
  undo.clear();
  afterCommit.clear();
}

void APMSqliteStore::RunReports::failed() {
  rolledBack();
  settle();
}

void APMSqliteStore::RunReports::committed() const {
  for (const std::function<void()>& action : afterCommit) action();
  settle();
}

void APMSqliteStore::RunReports::settle() const {
  for (const std::function<void()>& action : settled) action();
}

APMSqliteStore::RunReports* APMSqliteStore::currentReports() {
  if (groupItemRunning_) return &groupItems_.back().reports;
  return loneTransactionOpen_ ? &loneRun_ : nullptr;
}

void APMSqliteStore::runAfterCommit(std::function<void()> action) {
  if (RunReports* reports = currentReports()) {
    reports->afterCommit.push_back(std::move(action));
  } else {
    action();
  }
}

void APMSqliteStore::runWhenSettled(std::function<void()> action) {
  if (RunReports* reports = currentReports()) {
    reports->settled.push_back(std::move(action));
  } else {
    action();
  }
}

void APMSqliteStore::undoOnRollback(std::function<void()> undo) {
  if (RunReports* reports = currentReports()) reports->undo.push_back(std::move(undo));
}

bool APMSqliteStore::performGroupedTransaction(APMErrorSlot* error, std::function<bool()> block) {
  if (!groupTransactionOpen_) {
    if (!beginTransaction()) {
      noteTransactionStatementFailed(error, "begin transaction");
      return false;
    }
    groupTransactionOpen_ = true;
  }
  if (!runKeptStatement(transactionStatements().savepoint)) {
    // The group cannot go on: what it holds runs again alone, and so does this transaction.
    rewriteGroup();
    return performLoneTransaction(error, block);
  }
  groupItems_.emplace_back().block = std::move(block);
  // Takes this transaction's writes back and leaves the group's transaction open for the
  // next; false when that failed and the group cannot go on.
  auto rollBackItem = [this] {
    groupItems_.back().reports.rolledBack();
    return sqlite3_get_autocommit(sqliteHandle_) == 0 &&
           runKeptStatement(transactionStatements().rollbackToSavepoint) &&
           runKeptStatement(transactionStatements().release);
  };
  bool succeeded;
  groupItemRunning_ = true;
  try {
    succeeded = groupItems_.back().block();
  } catch (...) {
    groupItemRunning_ = false;
    // The caller handles the exception: this transaction is not run again.
    bool rolledBack = rollBackItem();
    GroupItem item = std::move(groupItems_.back());
    groupItems_.pop_back();
    if (!rolledBack) rewriteGroup();
    item.reports.settle();
    throw;
  }
  groupItemRunning_ = false;
  if (sqlite3_get_autocommit(sqliteHandle_) != 0) {
    // SQLite ended the group's transaction by itself (a full disk, an I/O error): this
    // transaction's writes went with it, and those of the group's earlier ones. Each runs
    // again alone, this one last.
    return rerunAfterGroupAbort(error);
  }
  if (!succeeded) {
    APMSetError(error, 3, "Transaction failed");
    // Kept with the group: should an earlier transaction be lost, this one runs again and
    // may decide otherwise.
    if (!rollBackItem()) return rerunAfterGroupAbort(error);
    return false;
  }
  if (!runKeptStatement(transactionStatements().release)) {
    noteTransactionStatementFailed(error, "end transaction");
    return rerunAfterGroupAbort(error);
  }
  return true;
}

bool APMSqliteStore::rerunAfterGroupAbort(APMErrorSlot* error) {
  GroupItem item = std::move(groupItems_.back());
  groupItems_.pop_back();
  item.reports.rolledBack();
  rewriteGroup();
  if (error != nullptr) error->reset();
  return performLoneTransaction(error, item.block);
}

void APMSqliteStore::rewriteGroup() {
  std::vector<GroupItem> items = std::exchange(groupItems_, {});
  grouping_ = false;
  groupTransactionOpen_ = false;
  groupRewritten_ = true;
  rollBackAfterFailedCommit();
  // What the transactions changed outside the database goes with their writes, latest first.
  for (auto item = items.rbegin(); item != items.rend(); ++item) item->reports.rolledBack();
  if (groupRollbackObserver_) groupRollbackObserver_();
  for (GroupItem& item : items) {
    try {
      if (transactionRunner_) {
        transactionRunner_(item.block);
      } else {
        performLoneTransaction(nullptr, item.block);
      }
    } catch (...) {
      // Lost like a transaction that fails (the runner reports it); the others still run.
    }
  }
}

bool APMSqliteStore::commitGroupTransaction(APMErrorSlot* error) {
  if (sqlite3_get_autocommit(sqliteHandle_) != 0) {
    rewriteGroup();
    return false;
  }
  groupCommitting_ = true;
  bool stepped = !groupCommitStep_ || groupCommitStep_();
  groupCommitting_ = false;
  if (!stepped) {
    APMSetError(error, 3, "Transaction failed");
    rewriteGroup();
    return false;
  }
  if (!endTransaction()) {
    noteTransactionStatementFailed(error, "end transaction");
    rewriteGroup();
    return false;
  }
  groupTransactionOpen_ = false;
  std::vector<GroupItem> items;
  items.swap(groupItems_);
  // A transaction an action begins here runs alone, as after a lone commit: joining the group
  // would open its transaction again where nothing commits it before the group ends, or before
  // the transaction or write that this commit makes way for.
  const bool wasReporting = std::exchange(reportingGroupCommit_, true);
  try {
    for (const GroupItem& item : items) item.reports.committed();
  } catch (...) {
    reportingGroupCommit_ = wasReporting;
    throw;
  }
  reportingGroupCommit_ = wasReporting;
  // The next group reuses the storage: a group of 64 would otherwise grow it anew, 7 times.
  items.clear();
  if (groupItems_.empty()) groupItems_.swap(items);
  return true;
}

bool APMSqliteStore::commitGroupSoFar(APMErrorSlot* error) {
  if (!groupTransactionOpen_) return !groupRewritten_;
  if (sqliteHandle_ == nullptr) {
    groupTransactionOpen_ = false;
    groupItems_.clear();
    return false;
  }
  return commitGroupTransaction(error);
}

bool APMSqliteStore::endCommitGroup(APMErrorSlot* error) {
  bool committed = commitGroupSoFar(error);
  grouping_ = false;
  return committed && !groupRewritten_;
}

// --- Tables ---

bool APMSqliteStore::ensureTableWithName(std::string_view table,
                                         const APMColumnInfo& elementaryColumnInfo,
                                         const APMColumnInfo& addOnColumnInfo,
                                         APMErrorSlot* error) {
  if (!APMCheckResult(!table.empty(), error, 1, "Received empty table name for ensure table"))
    return false;
  if (!APMCheckResult(!elementaryColumnInfo.empty(), error, 1,
                      "Received empty elementary column info for ensure table"))
    return false;
  std::string createSQL = "CREATE TABLE IF NOT EXISTS " + std::string(table) + " ( ";
  std::vector<std::string> required;
  for (const auto& [name, type] : elementaryColumnInfo) {
    createSQL += name + " " + type + ", ";
    if (name != kPrimaryKey) required.push_back(name);
  }
  createSQL.resize(createSQL.size() - 2);
  createSQL += ");";
  APMAlterStatements addOn;
  for (const auto& [name, type] : addOnColumnInfo) {
    if (name.empty()) continue;
    addOn.emplace_back(name,
                       "ALTER TABLE " + std::string(table) + " ADD COLUMN " + name + " " + type);
  }
  return ensureTableWithName(table, createSQL, required, addOn, error);
}

bool APMSqliteStore::ensureTableWithName(std::string_view table, const std::string& createSQL,
                                         const std::vector<std::string>& requiredColumnNames,
                                         const APMAlterStatements& addOnColumns,
                                         APMErrorSlot* error) {
  if (!APMCheckResult(!table.empty(), error, 1, "Received empty table name for ensure table"))
    return false;
  if (!APMCheckResult(!requiredColumnNames.empty(), error, 1,
                      "Received no table columns for ensure table"))
    return false;
  if (!APMCheckResult(!createSQL.empty(), error, 1,
                      "Received empty create statement for ensure table"))
    return false;
  if (!APMCheckResult(sqliteHandle_ != nullptr, error, 2,
                      "Ensure table failed. Database not open."))
    return false;
  std::optional<bool> exists = tableExists(table, error);
  if (!exists) return false;
  if (!*exists && !executeSQL(createSQL, error)) return false;
  std::optional<bool> valid =
      validateTableWithName(table, requiredColumnNames, addOnColumns, error);
  return valid.value_or(false);
}

std::optional<bool> APMSqliteStore::validateTableWithName(
    std::string_view table, const std::vector<std::string>& requiredColumnNames,
    const APMAlterStatements& addOnColumns, APMErrorSlot* error) {
  if (!APMCheckResult(!table.empty(), error, 1, "Received empty table name for validate table"))
    return std::nullopt;
  if (!APMCheckResult(!requiredColumnNames.empty(), error, 1,
                      "Received no table columns for validate table"))
    return std::nullopt;
  if (!APMCheckResult(sqliteHandle_ != nullptr, error, 2,
                      "Validate table failed. Database not open."))
    return std::nullopt;
  std::optional<std::vector<std::string>> columns = columnsForTableWithName(table, error);
  if (!columns || columns->empty()) return std::nullopt;
  std::set<std::string, std::less<>> remaining(columns->begin(), columns->end());
  for (const std::string& name : requiredColumnNames) {
    if (!APMCheckResult(remaining.contains(name), error, 2, "Table is missing required columns"))
      return false;
    remaining.erase(name);
  }
  for (const auto& [name, alter] : addOnColumns) {
    if (remaining.erase(name) > 0) continue;
    if (!executeSQL(alter, error)) return false;
  }
  if (!remaining.empty()) {
    std::string sql = "PRAGMA table_info(" + std::string(table) + ")";
    sqlite3_stmt* statement = prepareSQL(sql, error);
    if (statement == nullptr) return std::nullopt;
    bool unknownRequired = false;
    while (sqlite3_step(statement) == SQLITE_ROW) {
      const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(statement, 1));
      if (name != nullptr && remaining.contains(std::string_view(name)) &&
          sqlite3_column_int(statement, 3) != 0) {
        unknownRequired = true;
      }
    }
    sqlite3_finalize(statement);
    if (!APMCheckResult(!unknownRequired, error, 2, "Table contains unknown non-optional columns"))
      return false;
  }
  return true;
}

bool APMSqliteStore::ensureTableWithName(std::string_view table,
                                         const APMColumnInfo& elementaryColumnInfo,
                                         const APMColumnInfo& addOnColumnInfo,
                                         const APMColumnTypes& modifyColumnInfo,
                                         APMErrorSlot* error) {
  if (!ensureTableWithName(table, elementaryColumnInfo, addOnColumnInfo, error)) return false;
  if (modifyColumnInfo.empty()) return true;
  auto derive = [&](const APMColumnInfo& info) {
    APMColumnInfo derived;
    for (const auto& [name, type] : info) {
      if (name == kPrimaryKey) continue;
      auto it = modifyColumnInfo.find(name);
      derived.emplace_back(name, it == modifyColumnInfo.end() ? type : it->second);
    }
    return derived;
  };
  return ensureSchemaOfTableWithName(table, derive(elementaryColumnInfo), derive(addOnColumnInfo),
                                     error);
}

bool APMSqliteStore::ensureSchemaOfTableWithName(std::string_view table,
                                                 const APMColumnInfo& elementaryColumnInfo,
                                                 const APMColumnInfo& addOnColumnInfo,
                                                 APMErrorSlot* error) {
  if (!APMCheckResult(!table.empty(), error, 1,
                      "Received empty table name for ensure table schema"))
    return false;
  if (!APMCheckResult(!elementaryColumnInfo.empty(), error, 1,
                      "Received empty column info for ensure table schema"))
    return false;
  std::optional<APMColumnTypes> current = columnInfoForTableWithName(table, error);
  if (!current) return false;
  if (!APMCheckResult(!current->empty(), error, 2, "Table does not exist for ensure table schema"))
    return false;
  APMColumnTypes wanted;
  for (const auto& [name, type] : elementaryColumnInfo) wanted[name] = firstWord(type);
  for (const auto& [name, type] : addOnColumnInfo) wanted[name] = type;
  if (*current == wanted) return true;

  const std::string oldName = std::string(table) + "_old";
  APMErrorSlot stepError;
  bool rebuilt = performTransactionWithError(error, [&] {
    return renameTable(table, oldName, &stepError) &&
           ensureTableWithName(table, elementaryColumnInfo, addOnColumnInfo, &stepError) &&
           copyContentsByColumnNameFromTable(oldName, table, &stepError) &&
           dropTableWithName(oldName, &stepError);
  });
  // The failed step says more than "Transaction failed".
  if (!rebuilt && stepError && error != nullptr) *error = stepError;
  return rebuilt;
}

std::optional<bool> APMSqliteStore::tableExists(std::string_view table, APMErrorSlot* error) {
  std::optional<Value> found =
      numberForQuery("SELECT EXISTS (SELECT name FROM sqlite_master WHERE type='table' AND name=?)",
                     {Value(table)}, error);
  if (!found) return std::nullopt;
  return found->numberAsInteger().value_or(0) != 0;
}

std::optional<std::vector<std::string>> APMSqliteStore::columnsForTableWithName(
    std::string_view table, APMErrorSlot* error) {
  std::string sql = "PRAGMA table_info(" + std::string(table) + ")";
  sqlite3_stmt* statement = prepareSQL(sql, error);
  if (statement == nullptr) return std::nullopt;
  std::vector<std::string> names;
  int rc;
  while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
    const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(statement, 1));
    if (name != nullptr) names.emplace_back(name);
  }
  if (rc != SQLITE_DONE) {
    setDatabaseError(error, "read table info");
    lastFailureResultCode_ = rc & 0xff;
    sqlite3_finalize(statement);
    return std::nullopt;
  }
  sqlite3_finalize(statement);
  return names;
}

std::optional<APMColumnTypes> APMSqliteStore::columnInfoForTableWithName(std::string_view table,
                                                                         APMErrorSlot* error) {
  std::string sql = "PRAGMA table_info(" + std::string(table) + ")";
  sqlite3_stmt* statement = prepareSQL(sql, error);
  if (statement == nullptr) return std::nullopt;
  APMColumnTypes types;
  int rc;
  while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
    const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(statement, 1));
    const auto* type = reinterpret_cast<const char*>(sqlite3_column_text(statement, 2));
    if (name != nullptr) types[name] = type != nullptr ? type : "";
  }
  if (rc != SQLITE_DONE) {
    setDatabaseError(error, "read table info");
    lastFailureResultCode_ = rc & 0xff;
    sqlite3_finalize(statement);
    return std::nullopt;
  }
  sqlite3_finalize(statement);
  return types;
}

bool APMSqliteStore::checkTableNames(std::string_view first, std::string_view second,
                                     APMErrorSlot* error) {
  if (!APMCheckResult(!first.empty() && !second.empty(), error, 1, "Received empty table name"))
    return false;
  if (!APMCheckResult(first != second, error, 1, "Received the same table name twice"))
    return false;
  return true;
}

bool APMSqliteStore::dropTableWithName(std::string_view table, APMErrorSlot* error) {
  if (!APMCheckResult(!table.empty(), error, 1, "Received empty table name")) return false;
  return executeSQL("DROP TABLE " + std::string(table), error);
}

bool APMSqliteStore::renameTable(std::string_view table, std::string_view newName,
                                 APMErrorSlot* error) {
  if (!checkTableNames(table, newName, error)) return false;
  return executeSQL("ALTER TABLE " + std::string(table) + " RENAME TO " + std::string(newName),
                    error);
}

bool APMSqliteStore::copyContentsFromTable(std::string_view source, std::string_view destination,
                                           APMErrorSlot* error) {
  if (!checkTableNames(source, destination, error)) return false;
  return executeSQL(
      "INSERT INTO " + std::string(destination) + " SELECT * FROM " + std::string(source), error);
}

bool APMSqliteStore::copyContentsByColumnNameFromTable(std::string_view source,
                                                       std::string_view destination,
                                                       APMErrorSlot* error) {
  if (!checkTableNames(source, destination, error)) return false;
  auto sourceColumns = columnsForTableWithName(source, error);
  auto destinationColumns = columnsForTableWithName(destination, error);
  if (!sourceColumns || !destinationColumns) return false;
  std::set<std::string, std::less<>> wanted(destinationColumns->begin(), destinationColumns->end());
  std::string columns;
  for (const std::string& name : *sourceColumns) {
    if (wanted.contains(name)) columns += (columns.empty() ? "" : ", ") + name;
  }
  if (!APMCheckResult(!columns.empty(), error, 2, "Tables have no column in common")) return false;
  return executeSQL("INSERT INTO " + std::string(destination) + " (" + columns + ") SELECT " +
                        columns + " FROM " + std::string(source),
                    error);
}

bool APMSqliteStore::createEmptyTable(std::string_view destination, std::string_view source,
                                      APMErrorSlot* error) {
  if (!checkTableNames(source, destination, error)) return false;
  return executeSQL("CREATE TABLE IF NOT EXISTS " + std::string(destination) +
                        " AS SELECT * FROM " + std::string(source) + " WHERE false",
                    error);
}

// --- Errors ---

std::optional<std::string> APMSqliteStore::lastErrorMessage() {
  if (sqliteHandle_ == nullptr) {
    logLine(1, 34022, "Failed to get last error message. Database not open");
    return std::nullopt;
  }
  return std::string(sqlite3_errmsg(sqliteHandle_));
}

std::string APMSqliteStore::errorDescriptionForDatabaseOperation(std::string_view operation) {
  int code = sqliteHandle_ != nullptr ? sqlite3_errcode(sqliteHandle_) : 0;
  std::string message = sqliteHandle_ != nullptr ? sqlite3_errmsg(sqliteHandle_) : "";
  return "Database operation \"" + std::string(operation) + "\" failed with sqlite code " +
         std::to_string(code) + " and error message \"" + message + "\"";
}

std::string APMSqliteStore::monitorContextForDatabaseOperation(std::string_view operation) {
  int code = sqliteHandle_ != nullptr ? sqlite3_errcode(sqliteHandle_) : 0;
  bool writable = access(databasePath_.c_str(), W_OK) == 0;
  return std::string(operation.empty() ? "Unknown operation" : operation) + "," +
         std::to_string(code) + "," + (writable ? "A" : "NA");
}

void APMSqliteStore::setDatabaseError(APMErrorSlot* error, std::string_view operation) {
  if (sqliteHandle_ != nullptr) lastFailureResultCode_ = sqlite3_errcode(sqliteHandle_) & 0xff;
  APMSetErrorWithMonitorContext(error, 3, errorDescriptionForDatabaseOperation(operation),
                                monitorContextForDatabaseOperation(operation));
}
