#include "AppMeasurement/features/APMEDatabase.h"

#include "AppMeasurement/features/APMEManager.h"
#include "AppMeasurement/foundation/APMFilePaths.h"
#include "AppMeasurement/storage/APMSqliteStore.h"
#include "platform/dispatch/Clock.h"
#include "platform/foundation/FileManager.h"

namespace {

constexpr double kStaleSnapshotInterval = 259200;  // three days
constexpr int64_t kTableLimit = 100000;

// Never destroyed: the experiments' worker queue may open the database while the process exits.
const APMColumnInfo& snapshotColumns() {
  static const APMColumnInfo& columns =
      *new APMColumnInfo{{"sdk_name", "TEXT NOT NULL PRIMARY KEY"},
                         {"snapshotProto", "BLOB NOT NULL"},
                         {"timestamp", "REAL NOT NULL"},
                         {"manually_activated", "INTEGER"}};
  return columns;
}

APMEMonitor& monitor() { return APMEManager::monitor(); }

APMLogContext errorContext(const APMErrorSlot& error) {
  return error ? APMLogContext(*error) : APMLogContext();
}

// The snapshot of a row, with the row's timestamp and manual mark; nothing when the blob does
// not decode to a snapshot.
std::optional<APMESnapshot> snapshotFromRecord(const APMSqliteRecord& record) {
  auto blob = record.find("snapshotProto");
  if (blob == record.end() || blob->second.asBytes() == nullptr) return std::nullopt;
  std::optional<APMPBSnapshot> message =
      APMPBSnapshot::initWithBuffer(blob->second.asBytes()->data);
  if (!message) return std::nullopt;
  std::optional<APMESnapshot> snapshot = APMESnapshot::initWithProtobuf(*message);
  if (!snapshot) return std::nullopt;
  if (auto timestamp = record.find("timestamp"); timestamp != record.end()) {
    snapshot->setTimestamp(timestamp->second.numberAsDouble().value_or(0));
  }
  if (auto mark = record.find("manually_activated"); mark != record.end()) {
    if (std::optional<int64_t> value = mark->second.numberAsInteger()) {
      snapshot->setManuallyActivated(*value != 0);
    }
  }
  return snapshot;
}

std::string rowName(const APMSqliteRecord& record) {
  auto name = record.find("sdk_name");
  return name != record.end() && name->second.asString() ? *name->second.asString() : "";
}

}  // namespace

APMEDatabase::~APMEDatabase() = default;

std::unique_ptr<APMEDatabase> APMEDatabase::create(const std::string& path) {
  if (path.empty()) {
    monitor().logWithLevel(1, 810000, "Cannot initialize the database with invalid path");
    return nullptr;
  }
  std::unique_ptr<APMEDatabase> database(new APMEDatabase());
  if (!database->initializeDatabaseResourcesWithContext("Init", path)) return nullptr;
  return database;
}

bool APMEDatabase::initializeDatabaseResourcesWithContext(std::string_view context,
                                                          const std::string& databasePath) {
  databasePath_ = databasePath;
  APMErrorSlot error;
  sqliteStore_ = APMSqliteStore::create(databasePath, &error);
  if (!sqliteStore_) {
    monitor().logWithLevel(1, 810001, "Failed to open database (" + std::string(context) + ")",
                           errorContext(error));
    return false;
  }
  if (ensureAllTables()) return true;
  monitor().logWithLevel(
      1, 810002,
      "Failed to create or validate required database tables (" + std::string(context) + ")");
  // Closed before deleting, and with its journal and WAL companions, so that no open
  // connection keeps writing into a deleted file and no stale log is replayed into a new one.
  // Deleted here rather than by the store, whose own line per file (34019) would repeat this
  // one; the first failure is the one reported.
  sqliteStore_->closeDatabase();
  APMErrorSlot deletionError;
  for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
    std::string file = databasePath + suffix;
    if (!platform::FileManager::defaultManager().fileExistsAtPath(file)) continue;
    APMErrorSlot fileError;
    if (!APMDeleteFileAtPath(file, &fileError) && !deletionError) {
      deletionError = std::move(fileError);
    }
  }
  if (deletionError) {
    monitor().logWithLevel(4, 810003,
                           "Failed to delete old database file after failed validation. Error (" +
                               std::string(context) + ")",
                           APMLogContext(*deletionError));
  }
  sqliteStore_.reset();
  return false;
}

bool APMEDatabase::ensureAllTables() {
  if (!sqliteStore_) return false;
  for (std::string_view table : {kPendingTable, kActivatedTable, kLaunchedTable}) {
    APMErrorSlot error;
    if (!sqliteStore_->ensureTableWithName(table, snapshotColumns(), {}, &error)) {
      if (error) {
        monitor().logWithLevel(1, 810004, "Failed to ensure table. Table, error",
                               std::string(table), APMLogContext(*error));
      }
      return false;
    }
  }
  return true;
}

void APMEDatabase::closeAndDelete() {
  if (!sqliteStore_ || !sqliteStore_->closeAndDeleteDatabase()) {
    monitor().logWithLevel(4, 810005, "Failed to delete database data");
  }
  sqliteStore_.reset();
}

void APMEDatabase::reset() {
  std::string path = sqliteStore_ ? sqliteStore_->databasePath() : databasePath_;
  closeAndDelete();
  if (!initializeDatabaseResourcesWithContext("Reset", path)) {
    monitor().logWithLevel(1, 810006, "Cannot re-initialize the database");
  }
}

bool APMEDatabase::performTransaction(const std::function<bool()>& block) {
  APMErrorSlot error;
  // Without a store (a failed open or reset) the transaction fails like any other.
  bool result = sqliteStore_ && sqliteStore_->performTransactionWithError(&error, block);
  if (!result) {
    monitor().logWithLevel(1, 810007,
                           "Transaction failed. " +
                               (error ? error->localizedDescription() : std::string("(no error)")));
  }
  return result;
}

std::optional<std::vector<APMESnapshot>> APMEDatabase::allSnapshotsFromTableWithName(
    std::string_view table, APMErrorSlot* error) {
  if (!sqliteStore_) {
    APMSetError(error, 2, "Database is not open");
    return std::nullopt;
  }
  std::string sql = "SELECT rowid, * FROM " + std::string(table) + " ORDER BY rowid LIMIT " +
                    std::to_string(kTableLimit);
  std::optional<std::vector<APMSqliteRecord>> records =
      sqliteStore_->recordsForQuery(sql, {}, error);
  if (!records) return std::nullopt;
  std::vector<APMESnapshot> snapshots;
  for (const APMSqliteRecord& record : *records) {
    if (std::optional<APMESnapshot> snapshot = snapshotFromRecord(record)) {
      snapshots.push_back(std::move(*snapshot));
    } else {
      monitor().logWithLevel(2, 810008, "Received an invalid snapshot from database",
                             std::string(table), rowName(record));
    }
  }
  return snapshots;
}

std::optional<std::vector<APMESnapshot>> APMEDatabase::fetchAllActivatedSnapshots(
    APMErrorSlot* error) {
  return allSnapshotsFromTableWithName(kActivatedTable, error);
}
std::optional<std::vector<APMESnapshot>> APMEDatabase::fetchAllPendingSnapshots(
    APMErrorSlot* error) {
  return allSnapshotsFromTableWithName(kPendingTable, error);
}
std::optional<std::vector<APMESnapshot>> APMEDatabase::fetchAllLaunchedSnapshots(
    APMErrorSlot* error) {
  return allSnapshotsFromTableWithName(kLaunchedTable, error);
}

bool APMEDatabase::activateSnapshot(const std::optional<APMESnapshot>& snapshot, double timestamp,
                                    APMErrorSlot* error) {
  if (!snapshot) {
    APMSetError(error, 1, "Received nil pending snapshot");
    return false;
  }
  std::optional<APMEExperiment> launched;
  std::vector<APMEExperiment> others;
  for (const APMEExperiment& experiment : snapshot->experiments()) {
    if (experiment.experimentID() == 0) {
      launched = experiment;
    } else {
      others.push_back(experiment);
    }
  }
  if (launched) {
    std::optional<APMESnapshot> row =
        APMESnapshot::create(snapshot->SDKName(), std::vector<APMEExperiment>{*launched});
    if (!row || !upsertSnapshot(row->proto(), kLaunchedTable, timestamp, std::nullopt, error)) {
      return false;
    }
  }
  if (!others.empty()) {
    std::optional<APMESnapshot> row = APMESnapshot::create(snapshot->SDKName(), others);
    if (!row || !upsertSnapshot(row->proto(), kActivatedTable, timestamp, std::nullopt, error)) {
      return false;
    }
  }
  if (!sqliteStore_) return false;
  return sqliteStore_
      ->deleteRecordsFromTableWithName(
          kPendingTable, "sdk_name = ? AND timestamp <= ?",
          {platform::Value(snapshot->SDKName()), platform::Value(timestamp)}, error)
      .has_value();
}

bool APMEDatabase::deleteActivatedExperimentsOfSDKName(std::string_view sdkName,
                                                       APMErrorSlot* error) {
  if (sdkName.empty()) {
    APMSetError(error, 1, "Received empty SDK Name");
    return false;
  }
  return deleteExperimentsOfSDKName(sdkName, kActivatedTable, error);
}

bool APMEDatabase::deletePendingExperimentsOfSDKName(std::string_view sdkName,
                                                     APMErrorSlot* error) {
  return deleteExperimentsOfSDKName(sdkName, kPendingTable, error);
}

bool APMEDatabase::deleteLaunchedExperimentSDKName(std::string_view sdkName, APMErrorSlot* error) {
  return deleteExperimentsOfSDKName(sdkName, kLaunchedTable, error);
}

bool APMEDatabase::deleteExperimentsOfSDKName(std::string_view sdkName, std::string_view table,
                                              APMErrorSlot* error) {
  if (!sqliteStore_) {
    APMSetError(error, 2, "Database is not open");
    return false;
  }
  platform::Value name{std::string(sdkName)};
  return sqliteStore_->deleteRecordFromTableWithName(table, "sdk_name", &name, error);
}

bool APMEDatabase::deleteStaleActivatedSnapshots(APMErrorSlot* error) {
  if (!sqliteStore_) {
    APMSetError(error, 2, "Database is not open");
    return false;
  }
  double limit = platform::Clock::current()->now() - kStaleSnapshotInterval;
  return sqliteStore_
      ->deleteRecordsFromTableWithName(kActivatedTable, "timestamp <= ?", {platform::Value(limit)},
                                       error)
      .has_value();
}

bool APMEDatabase::upsertPendingExperimentSnapshots(const std::vector<APMESnapshot>& snapshots,
                                                    APMErrorSlot* error) {
  for (const APMESnapshot& snapshot : snapshots) {
    if (!upsertSnapshot(snapshot.proto(), kPendingTable, snapshot.timestamp(),
                        snapshot.manuallyActivated(), error)) {
      return false;
    }
  }
  return true;
}

bool APMEDatabase::activatePendingSnapshotsAutomatically(APMErrorSlot* error) {
  if (!sqliteStore_) {
    APMSetError(error, 2, "Database is not open");
    return false;
  }
  std::optional<std::vector<APMSqliteRecord>> records = sqliteStore_->recordsForQuery(
      "SELECT rowid,* FROM pending_snapshot_table WHERE NOT manually_activated = ? ORDER BY rowid",
      {platform::Value(int64_t{1})}, error);
  if (!records) return false;
  for (const APMSqliteRecord& record : *records) {
    std::string name = rowName(record);
    std::optional<APMESnapshot> snapshot = snapshotFromRecord(record);
    if (!snapshot) {
      // A row that cannot be read would fail every later start: it goes, the rest go on.
      monitor().logWithLevel(2, 810008, "Received an invalid snapshot from database",
                             std::string(kPendingTable), name);
      if (!deletePendingExperimentsOfSDKName(name, error)) return false;
      continue;
    }
    if (!activateSnapshot(snapshot, snapshot->timestamp(), error)) return false;
    if (!deletePendingExperimentsOfSDKName(name, error)) return false;
  }
  return true;
}

bool APMEDatabase::upsertSnapshot(const APMPBSnapshot& snapshot, std::string_view table,
                                  double timestamp, std::optional<bool> manuallyActivated,
                                  APMErrorSlot* error) {
  if (!sqliteStore_) {
    APMSetError(error, 2, "Database is not open");
    return false;
  }
  std::optional<std::string> bytes = snapshot.protoBuffer();
  std::optional<std::string> name = NANOGetString(snapshot, APMPBSnapshot::kName);
  if (!bytes || !name) {
    APMSetError(error, 1, "Cannot serialize the snapshot");
    return false;
  }
  APMSqliteRecord record{{"sdk_name", platform::Value(*name)},
                         {"timestamp", platform::Value(timestamp)},
                         {"snapshotProto", platform::Value::bytes(*bytes)}};
  if (manuallyActivated) {
    record.emplace("manually_activated", platform::Value(int64_t{*manuallyActivated ? 1 : 0}));
  }
  return sqliteStore_->upsertRecord(record, table, error);
}
