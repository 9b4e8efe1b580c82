#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "AppMeasurement/features/APMESnapshot.h"
#include "AppMeasurement/foundation/APMError.h"

class APMSqliteStore;

// The experiment snapshots on disk: an SQLite file of its own with the tables
// "pending_snapshot_table", "activated_snapshot_table" and "launched_snapshot_table", one row
// per SDK each (sdk_name, snapshotProto, timestamp, manually_activated).
//
// A row whose snapshot does not decode is skipped by every read and deleted when pending
// snapshots are activated at start, so one bad row never hides the others.
//
// Threads: not synchronised; used only on the experiment worker queue.
class APMEDatabase {
 public:
  static constexpr std::string_view kFileName = "orvane_experimentation_database.sql";
  static constexpr std::string_view kPendingTable = "pending_snapshot_table";
  static constexpr std::string_view kActivatedTable = "activated_snapshot_table";
  static constexpr std::string_view kLaunchedTable = "launched_snapshot_table";

  // initWithPath:. Null (logged) for an empty path (810000) or a failed open (810001-810004).
  static std::unique_ptr<APMEDatabase> create(const std::string& path);
  ~APMEDatabase();

  // Opens the store and ensures the tables; a schema that cannot be ensured costs the file
  // (closed, then deleted with its companions). `context` is "Init" or "Reset".
  bool initializeDatabaseResourcesWithContext(std::string_view context,
                                              const std::string& databasePath);
  bool ensureAllTables();
  // Closes the store and deletes its file (810005 on failure).
  void closeAndDelete();
  // Deletes and recreates the file (810006 on failure).
  void reset();
  bool performTransaction(const std::function<bool()>& block);

  // Every decodable row of the table, in row order; nothing on a failed query. A snapshot's
  // timestamp and manual mark come from its row.
  std::optional<std::vector<APMESnapshot>> fetchAllActivatedSnapshots(APMErrorSlot* error);
  std::optional<std::vector<APMESnapshot>> fetchAllPendingSnapshots(APMErrorSlot* error);
  std::optional<std::vector<APMESnapshot>> fetchAllLaunchedSnapshots(APMErrorSlot* error);

  // Writes the ID-0 experiment as the launched row and the others as the activated row (each
  // only when present), then deletes the SDK's pending row if stored at or before `timestamp`.
  bool activateSnapshot(const std::optional<APMESnapshot>& snapshot, double timestamp,
                        APMErrorSlot* error);
  bool deleteActivatedExperimentsOfSDKName(std::string_view sdkName, APMErrorSlot* error);
  bool deletePendingExperimentsOfSDKName(std::string_view sdkName, APMErrorSlot* error);
  bool deleteLaunchedExperimentSDKName(std::string_view sdkName, APMErrorSlot* error);
  // Deletes activated rows stored three days ago or earlier.
  bool deleteStaleActivatedSnapshots(APMErrorSlot* error);
  bool upsertPendingExperimentSnapshots(const std::vector<APMESnapshot>& snapshots,
                                        APMErrorSlot* error);
  // Activates every pending row whose manually_activated is 0 (rows with 1 or without a value
  // wait), each with its own timestamp, in row order.
  bool activatePendingSnapshotsAutomatically(APMErrorSlot* error);

  bool upsertSnapshot(const APMPBSnapshot& snapshot, std::string_view table, double timestamp,
                      std::optional<bool> manuallyActivated, APMErrorSlot* error);
  bool deleteExperimentsOfSDKName(std::string_view sdkName, std::string_view table,
                                  APMErrorSlot* error);

  const std::string& databasePath() const { return databasePath_; }

 private:
  APMEDatabase() = default;
  std::optional<std::vector<APMESnapshot>> allSnapshotsFromTableWithName(std::string_view table,
                                                                         APMErrorSlot* error);

  std::unique_ptr<APMSqliteStore> sqliteStore_;
  std::string databasePath_;
};
