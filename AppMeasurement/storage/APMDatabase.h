#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "AppMeasurement/foundation/APMError.h"
#include "AppMeasurement/foundation/APMRawEventData.h"
#include "AppMeasurement/foundation/APMUserAttribute.h"
#include "AppMeasurement/messages/APMPBMessages.h"
#include "AppMeasurement/records/APMConditionalUserProperty.h"
#include "AppMeasurement/records/APMDailyCounts.h"
#include "AppMeasurement/records/APMEvent.h"
#include "AppMeasurement/records/APMEventAggregates.h"
#include "AppMeasurement/storage/APMAppMetadata.h"
#include "AppMeasurement/storage/APMDatabaseCaches.h"
#include "AppMeasurement/storage/APMDatabaseSettings.h"
#include "AppMeasurement/storage/APMEventFilter.h"
#include "AppMeasurement/storage/APMFilterResult.h"
#include "AppMeasurement/storage/APMPropertyFilter.h"
#include "AppMeasurement/storage/APMSqliteStore.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/SequenceChecker.h"

// A bundle read back from the upload queue with the row it came from.
struct APMQueuedBundle {
  APMPBMeasurementBundle bundle;
  int64_t rowID;
};

// A row that a bulk read skipped because it could not be turned into its object: which row,
// under which name (event or property name; empty where rows have none), and why. The reads
// go on with the other rows; callers that mend or purge such rows read this list.
struct APMUnreadableRow {
  int64_t rowID = 0;
  std::string name;
  APMError error;
};
using APMUnreadableRows = std::vector<APMUnreadableRow>;

// The error code of a stored record whose bytes are empty or do not decode.
inline constexpr int64_t kAPMDatabaseErrorCannotDecode = 14;

// When the stored conditional user properties can next be met: no property times out or
// expires while quietFrom <= now <= quietUntil (both infinite for an empty table), and inactive
// ones wait for the trigger names listed.
struct APMConditionalUserPropertySchedule {
  double quietFrom = 0;
  double quietUntil = 0;
  std::set<std::string, std::less<>> waitingFor;
};

// The measurement database: one SQLite file (APMSqliteStore, write-ahead log) holding raw
// events with their metadata, the upload queue, user attributes, event aggregates, audience
// filters and results, purchase fingerprints, subscriptions, conditional user properties,
// complex-event state, on-device measurement values and the single app_metadata row.
//
// Every failure answers false or nullopt and stores an error of the library's domain into the
// slot when one is given: 1 a bad argument, 2 a missing row, a full table or a record that
// cannot be built, 3 a failure SQLite reported, kAPMDatabaseErrorCannotDecode a stored record
// whose bytes do not decode (it never will: callers may drop it).
//
// Threading: every operation runs on the engine's worker queue. When a queue is given at
// creation, each operation checks that it runs there (platform::SequenceChecker).
class APMDatabase {
 public:
  // Opens "<Application Support>/Orvane/Measurement/<name>" (creating it), ensures the schema
  // and the app_metadata row. nullptr with the error on failure; an empty name is code 1, and
  // so is a container without an Application Support folder (the store's empty path).
  static std::unique_ptr<APMDatabase> create(
      std::string_view name, std::shared_ptr<APMDatabaseSettings> settings, APMErrorSlot* error,
      std::shared_ptr<platform::DispatchQueue> workerQueue = nullptr);
  // The same at an explicit path (tools, benchmarks).
  static std::unique_ptr<APMDatabase> createAtPath(
      std::string path, std::shared_ptr<APMDatabaseSettings> settings, APMErrorSlot* error,
      std::shared_ptr<platform::DispatchQueue> workerQueue = nullptr);

  ~APMDatabase();
  APMDatabase(const APMDatabase&) = delete;
  APMDatabase& operator=(const APMDatabase&) = delete;

  // The store it owns; null only after a failed reset.
  APMSqliteStore* sqliteStore() const { return sqliteStore_.get(); }
  const std::string& databasePath() const { return databasePath_; }

  // --- Schema, opening, transactions (the whole database) ---

  // Opens the store at the path, ensures every table and the app_metadata row. A table that
  // is damaged or of another schema (a missing elementary column, an unknown NOT NULL column)
  // makes the file be deleted (12002); a busy, full or failing file is kept.
  bool initializeDatabaseResourcesWithContext(std::string_view context, std::string path,
                                              APMErrorSlot* error);
  bool ensureAllTables(APMErrorSlot* error = nullptr);
  bool initializeAppMetadata(APMErrorSlot* error = nullptr);
  // Deletes the whole file and builds a fresh database at the same path.
  bool reset(APMErrorSlot* error);
  // Runs the block in one exclusive transaction; any failure, a missing connection too, logs
  // 12056 with the transaction's error, which is not handed on: `error` holds what the block
  // stored in it. Inside a commit group, the group first commits what it holds.
  bool performTransaction(const std::function<bool()>& block, APMErrorSlot* error = nullptr);
  // The same for a block that owns what it uses and may run again after this call returned:
  // inside a commit group it joins the group's commit (see APMSqliteStore), and should the
  // group be rolled back it runs again alone, deciding afresh from what is stored then. What
  // the block changes outside the database it registers an undo for (undoOnRollback), and
  // what it reports of its outcome waits for it (runAfterCommit, runWhenSettled).
  bool performRerunnableTransaction(std::function<bool()> block);
  // Rerunnable transactions from now until endCommitGroup share one commit (see
  // APMSqliteStore); each still succeeds or fails on its own. Used for a run of events written
  // one after another. The daily counts the group's transactions store are written once,
  // before the commit: a transaction that fails takes its own change of them back. When the
  // group cannot commit as one, it is rolled back and each of its transactions runs again
  // alone: each one lost then logs 12056 like a failed transaction, and endCommitGroup answers
  // false.
  void beginCommitGroup();
  bool endCommitGroup();
  // How many commit groups were rolled back to run their transactions again so far: a
  // transaction run again tells by it which rollback it follows.
  uint64_t groupRollbacks() const { return groupRollbacks_; }
  // Run the action once the current transaction's writes are committed, once its outcome is
  // final (committed or rolled back), or, for an undo, when it rolls back (see APMSqliteStore):
  // for what must not be reported of, or outlive, writes that may yet be rolled back.
  void runAfterCommit(std::function<void()> action);
  void runWhenSettled(std::function<void()> action);
  void undoOnRollback(std::function<void()> undo);

  // Runs reads that belong together (the upload scheduler's, say) with one check for writes by
  // other connections instead of one per read; outside a transaction each read checks alone.
  // The block must not write or begin a transaction of its own.
  void performReads(const std::function<void()>& reads);

  // --- Generic record operations ---

  using CreateDataTypeBlock = std::function<bool(const APMSqliteRecord& record)>;
  // Every row in rowid order ("SELECT rowid, * ... LIMIT n", -1 for all), handed to the block.
  bool allDataTypesFromTableWithName(std::string_view table, int64_t tableLimit,
                                     APMErrorSlot* error, const CreateDataTypeBlock& block);
  // The rows whose column equals the value. The block answers whether it built an object;
  // rows that came back but built nothing give code 2.
  bool dataTypesFromTableWithName(std::string_view table, std::string_view columnName,
                                  const platform::Value* columnValue, APMErrorSlot* error,
                                  const CreateDataTypeBlock& block);
  bool insertDataType(const APMSqliteRecord& record, std::string_view table, APMErrorSlot* error);
  // Replaces the row with the key, or adds one while the table holds fewer rows than the limit;
  // otherwise code 2 "Failed to insert data type. Table is full".
  bool upsertDataType(const APMSqliteRecord& record, std::string_view table,
                      std::string_view columnName, const platform::Value& columnValue,
                      int64_t tableLimit, APMErrorSlot* error);
  // Updates the row with the key, which must exist.
  bool updateDataType(const APMSqliteRecord& record, std::string_view table,
                      std::string_view columnName, const platform::Value& columnValue,
                      APMErrorSlot* error);

  // --- Raw events and their metadata ---

  // Stores the bundle's encoding under its fingerprint (apm_64LSBMD5 of the bytes) unless that
  // row exists; at most 100000 rows.
  bool insertIfNotExistsRawEventMetadata(const APMPBMeasurementBundle& metadata,
                                         APMErrorSlot* error);
  // The same for a bundle already encoded, with the fingerprint of those bytes.
  bool insertIfNotExistsRawEventMetadata(std::string_view encodedMetadata, int64_t fingerprint,
                                         APMErrorSlot* error);
  // A row whose bytes are empty or do not decode: kAPMDatabaseErrorCannotDecode.
  std::optional<APMPBMeasurementBundle> queryRawEventsMetadataWithFingerprint(int64_t fingerprint,
                                                                              APMErrorSlot* error);
  bool deleteRawEventMetadataWithMetadataFingerprint(int64_t fingerprint, APMErrorSlot* error);
  // Deletes the metadata rows no raw event refers to.
  bool deleteUnusedRawEventsMetadata(APMErrorSlot* error);
  std::optional<bool> isRawEventsTableEmpty(APMErrorSlot* error);
  std::optional<bool> containsRawEventWithMetadataFingerprint(int64_t fingerprint,
                                                              APMErrorSlot* error);
  std::optional<bool> containsRealtimeRawEventsWithError(APMErrorSlot* error);
  // The largest raw-event timestamp; nullopt (without an error) for an empty table.
  std::optional<double> queryLatestRawEventTime(APMErrorSlot* error);
  // The fingerprint of the oldest stored event; nullopt without an error for an empty table.
  std::optional<int64_t> nextMetadataFingerprintToProcess(APMErrorSlot* error);
  bool deleteRawEventsWithMaxRowID(int64_t rowID, APMErrorSlot* error);
  // Keeps the newest maxEventsStored - 1 raw events; the number deleted. Below the limit it
  // answers 0 from the row count this object keeps, without a query; over it, the oldest rows
  // go by a rowid range (the cost grows with the rows deleted, not with the table).
  std::optional<int64_t> deleteRawEventsOverAbsoluteLimit(APMErrorSlot* error);
  // Deletes raw events stamped further than maxAge from now (either way), then unused metadata.
  bool deleteStaleRawEventsDataOlderThanMaxAge(double maxAge, APMErrorSlot* error);

  // Stores the event: its name, time in seconds, the fingerprint, its Event message without
  // the name field, and the real-time flag.
  bool insertRawEvent(const APMEvent& event, int64_t metadataFingerprint, bool isRealtime,
                      APMErrorSlot* error);
  // Rewrites the row of the wrapper's row id from its event; the row must exist.
  bool updateRawEvent(const APMRawEventData& rawEventData, APMErrorSlot* error);
  using RawEventFilter = APMSqliteStore::RecordFilter;
  // The oldest 1000 events of the fingerprint, in rowid order, that the filter accepts (a
  // refused row ends the read; no filter is a bad argument, code 1). Rows that do not decode
  // are skipped and listed; nullopt when rows were accepted but none decoded.
  std::optional<std::vector<APMRawEventData>> rawEventsWithMetadataFingerprint(
      int64_t fingerprint, APMErrorSlot* error, const RawEventFilter& eventFilter,
      APMUnreadableRows* unreadableRows = nullptr);
  // Up to maxEventsStored events in rowid order; undecodable rows skipped and listed (an empty
  // list when none decodes). nullopt only when the read fails.
  std::optional<std::vector<APMRawEventData>> allRawEventsWithError(
      APMErrorSlot* error, APMUnreadableRows* unreadableRows = nullptr);
  // Decodes a row: the Event message, "_o" back to the origin, the parameters through the
  // event creator (public off), with the row id and the fingerprint.
  std::optional<APMRawEventData> rawEventDataFromDictionary(const APMSqliteRecord& record,
                                                            APMErrorSlot* error);
  // A row decoded as rawEventDataFromDictionary decodes it (same checks and errors), the event
  // kept as it is instead of turned into its message.
  struct RawEventRow {
    int64_t rowID;
    int64_t fingerprint;
    APMEvent event;
  };
  std::optional<RawEventRow> rawEventRowFromDictionary(const APMSqliteRecord& record,
                                                       APMErrorSlot* error);
  // The rows rawEventsWithMetadataFingerprint reads, undecoded and one at a time, for a
  // visitor that decodes each row once (the record is reused for the next row; see
  // APMSqliteStore::enumerateRecordsForQuery). False on failure.
  bool rawEventRecordsWithMetadataFingerprint(int64_t fingerprint, APMErrorSlot* error,
                                              const RawEventFilter& visitor);

  // --- Upload queue ---

  // Stores the gzip-compressed encoded bundle. Needs an app id and an end time of 1 ms or more.
  bool insertBundle(const APMPBMeasurementBundle& bundle, bool isRealtime, APMErrorSlot* error);
  // The oldest bundles up to the count, and up to the size counted on their uncompressed
  // encodings: the first readable bundle always goes, the first that does not fit ends the
  // walk. Unreadable rows are skipped (and listed) but stay in the table.
  std::optional<std::vector<APMQueuedBundle>> queryBundlesWithCountLimit(
      int64_t countLimit, int64_t sizeLimit, APMErrorSlot* error,
      APMUnreadableRows* unreadableRows = nullptr);
  std::optional<std::vector<APMQueuedBundle>> queryBundlesWithRowIDs(
      const std::vector<int64_t>& rowIDs, APMErrorSlot* error,
      APMUnreadableRows* unreadableRows = nullptr);
  // Adds 1 to retry_count of the rows below 2147483647; a NULL count stays NULL.
  bool incrementRetryCounterForBundlesWithIDs(const std::vector<int64_t>& rowIDs,
                                              APMErrorSlot* error);
  bool deleteBundlesWithRowIDs(const std::vector<int64_t>& rowIDs, APMErrorSlot* error);
  std::optional<bool> isQueuedBundleTableEmpty(APMErrorSlot* error);
  std::optional<bool> containsRealtimeBundlesWithError(APMErrorSlot* error);
  // The largest bundle_end_timestamp; nullopt (without an error) for an empty queue.
  std::optional<double> queryLatestBundleTime(APMErrorSlot* error);
  // true when a purge ran, false when none was due, nullopt when a purge failed.
  std::optional<bool> maybeDeleteStaleData(APMErrorSlot* error);
  bool deleteStaleBundlesOlderThanMaxAge(double maxAge, APMErrorSlot* error);

  // --- User attributes, event aggregates, daily counts ---

  // nullopt without an error when no such row exists.
  std::optional<APMUserAttribute> userAttributeWithName(std::string_view name, APMErrorSlot* error);
  // Up to 1000 rows in rowid order; without the flag only the public ones (no "_" prefix, no
  // reserved prefix, no public name of an internal property).
  std::optional<std::vector<APMUserAttribute>> userAttributesIncludingInternal(
      bool includeInternal, APMErrorSlot* error, APMUnreadableRows* unreadableRows = nullptr);
  // The "_ltv_" attributes, newest first; nullopt when any of them cannot be read.
  std::optional<std::vector<APMUserAttribute>> allLifetimeValueUserAttributes(APMErrorSlot* error);
  // Upserts by name, at most 1000 rows.
  bool updateUserAttribute(const APMUserAttribute& attribute, APMErrorSlot* error);
  bool deleteUserAttributeWithName(std::string_view name, APMErrorSlot* error);
  std::optional<bool> containsUserAttributeWithName(std::string_view name, APMErrorSlot* error);
  std::optional<int64_t> userAttributeCountForOrigin(std::string_view origin, APMErrorSlot* error);
  std::optional<int64_t> publicUserAttributeCount(APMErrorSlot* error);

  std::optional<APMEventAggregates> eventAggregatesWithName(std::string_view name,
                                                            APMErrorSlot* error);
  // nullopt (without an error) when no snapshot table exists.
  std::optional<APMEventAggregates> eventAggregatesSnapshotWithName(std::string_view name,
                                                                    APMErrorSlot* error);
  std::optional<APMEventAggregates> eventAggregatesWithName(std::string_view name,
                                                            std::string_view table,
                                                            APMErrorSlot* error);
  std::optional<std::vector<APMEventAggregates>> allEventAggregates(
      APMErrorSlot* error, APMUnreadableRows* unreadableRows = nullptr);
  // Upserts by name, at most 2000 rows.
  bool updateEventAggregates(const APMEventAggregates& aggregates, APMErrorSlot* error);
  std::optional<int64_t> publicEventCount(APMErrorSlot* error);
  bool clearCurrentSessionCounts(APMErrorSlot* error);
  bool deleteAllEventAggregates(APMErrorSlot* error);
  bool deleteAllEventAggregatesInSnapshot(APMErrorSlot* error);
  // Copies events into a fresh events_snapshot table.
  bool createEventsSnapshotTable(APMErrorSlot* error);
  // Puts the snapshot back into events (a first open "_f" counted after the snapshot stays)
  // and empties the snapshot. A first open that cannot be written back answers false with its
  // error, the snapshot emptied all the same.
  bool restoreFromEventsSnapshotTable(APMErrorSlot* error);

  // Today's counts from the app_metadata row; today is floor((now - midnightOffset) / 86400).
  std::optional<APMDailyCounts> dailyCounts(APMErrorSlot* error);
  bool updateDailyCounts(const APMDailyCounts& counts, APMErrorSlot* error);
  // The UPDATE of the daily-count columns.
  bool writeDailyCounts(const APMDailyCounts& counts, APMErrorSlot* error);
  // floor((now - midnightOffset) / 86400) by the installed clock.
  int32_t currentDayNumber() const;

  // --- Audience filters and results ---

  std::optional<std::vector<APMEventFilter>> eventFiltersForEventName(std::string_view name,
                                                                      APMErrorSlot* error);
  std::optional<std::vector<APMPropertyFilter>> propertyFiltersForPropertyName(
      std::string_view name, APMErrorSlot* error);
  bool updateEventFilters(const std::vector<APMEventFilter>& filters, APMErrorSlot* error);
  bool updatePropertyFilters(const std::vector<APMPropertyFilter>& filters, APMErrorSlot* error);
  // Deletes by (audience_id, filter_id), in chunks that SQLite's expression limits accept; run
  // inside a transaction to make a long list all or nothing.
  bool deleteEventFilters(const std::vector<APMEventFilter>& filters, APMErrorSlot* error);
  bool deletePropertyFilters(const std::vector<APMPropertyFilter>& filters, APMErrorSlot* error);
  bool deleteAllEventFilters(APMErrorSlot* error);
  bool deleteAllPropertyFilters(APMErrorSlot* error);
  std::optional<std::vector<int32_t>> allAudienceIDs(APMErrorSlot* error);
  std::optional<std::map<int32_t, std::set<int32_t>>> allSessionScopedFilters(APMErrorSlot* error);
  std::optional<std::map<int32_t, APMFilterResult>> allFilterResults(APMErrorSlot* error);
  std::optional<APMFilterResult> filterResultForAudienceID(int32_t audienceID, APMErrorSlot* error);
  bool updateFilterResults(const std::vector<APMFilterResult>& results, APMErrorSlot* error);
  bool deleteFilterResults(const std::vector<APMFilterResult>& results, APMErrorSlot* error);

  // --- Purchases, subscriptions, on-device values ---

  // true when the fingerprint was new and is now stored (the newest 1000 are kept); false for a
  // known or empty one; nullopt on failure.
  std::optional<bool> insertIfNotDuplicatePurchaseFingerprint(std::string_view fingerprint,
                                                              APMErrorSlot* error);
  std::optional<bool> insertIfNotDuplicateSubscriptionID(std::string_view subscriptionID,
                                                         APMErrorSlot* error);
  std::optional<int64_t> deleteSubscriptionsOverLimit(APMErrorSlot* error);
  // The row ("name", "value", "set_timestamp", "rowid"), nullopt when absent or on failure.
  std::optional<APMSqliteRecord> ODMValueWithName(std::string_view name, APMErrorSlot* error);
  bool updateODMValue(std::string_view value, std::string_view name, double setTimestamp,
                      APMErrorSlot* error);
  bool deleteODMValueWithName(std::string_view name, APMErrorSlot* error);

  // --- Conditional user properties and complex events ---

  // nullopt without an error when no such row exists.
  std::optional<APMConditionalUserProperty> conditionalUserPropertyWithName(std::string_view name,
                                                                            APMErrorSlot* error);
  // Upserts by name, at most 1000 rows.
  bool updateConditionalUserProperty(const APMConditionalUserProperty& property,
                                     APMErrorSlot* error);
  bool deleteConditionalUserPropertyWithName(std::string_view name, APMErrorSlot* error);
  // Deletes one row by its rowid (a row that cannot be decoded has no usable name).
  bool deleteConditionalUserPropertyWithRowID(int64_t rowID, APMErrorSlot* error);
  // Read in one pass over the table; nullopt on a failure.
  std::optional<APMConditionalUserPropertySchedule> conditionalUserPropertySchedule(
      APMErrorSlot* error);
  // The list queries answer nullopt when any row cannot be read, so that no caller acts on a
  // partial list; the unreadable rows are listed.
  std::optional<std::vector<APMConditionalUserProperty>> timedOutConditionalUserPropertiesWithError(
      APMErrorSlot* error, APMUnreadableRows* unreadableRows = nullptr);
  std::optional<std::vector<APMConditionalUserProperty>> expiredConditionalUserPropertiesWithError(
      APMErrorSlot* error, APMUnreadableRows* unreadableRows = nullptr);
  std::optional<std::vector<APMConditionalUserProperty>>
  triggeredConditionalUserPropertiesWithEventName(std::string_view eventName, APMErrorSlot* error,
                                                  APMUnreadableRows* unreadableRows = nullptr);
  // Names starting with the prefix (LIKE wildcards in it act as such) and, when given, the
  // origin; both empty: every row.
  std::optional<std::vector<APMConditionalUserProperty>> conditionalUserPropertiesWithPrefix(
      std::string_view prefix, std::string_view origin, APMErrorSlot* error,
      APMUnreadableRows* unreadableRows = nullptr);
  std::optional<std::vector<APMConditionalUserProperty>> conditionalUserPropertiesWithCondition(
      std::string_view condition, const APMSqliteValues& values, APMErrorSlot* error,
      APMUnreadableRows* unreadableRows = nullptr);

  // The main event and its count of children still to process; nullopt without an error when
  // there is no such row.
  std::optional<std::pair<APMEvent, int64_t>> mainEventAndChildCountPairWithEventID(
      int64_t eventID, APMErrorSlot* error);
  bool updateComplexEventForAudienceEvaluationWithEventID(int64_t eventID, int64_t childEventCount,
                                                          const APMEvent& mainEvent,
                                                          APMErrorSlot* error);
  bool deleteComplexEventForAudienceEvaluationWithEventID(int64_t eventID, APMErrorSlot* error);

  // --- App metadata and stored remote configuration ---

  std::optional<APMAppMetadata> queryAppMetadata(APMErrorSlot* error);
  bool updateAppMetadata(const APMAppMetadata& appMetadata, APMErrorSlot* error);
  // Stores the encoded configuration with now as its time; needs a non-empty app id.
  bool updateRemoteConfig(const APMPBMeasurementConfig& config, APMErrorSlot* error);
  bool updateRemoteConfigSuccessfulTimestamp(double timestamp, APMErrorSlot* error);
  // nullopt without an error when nothing is stored; code 2 when the blob does not decode.
  std::optional<APMPBMeasurementConfig> queryMeasurementConfigWithError(APMErrorSlot* error);
  std::optional<double> lastRemoteConfigUpdateTimestamp(APMErrorSlot* error);

  // Table names.
  static constexpr std::string_view kAppMetadataTable = "app_metadata";
  static constexpr std::string_view kRawEventsMetadataTable = "raw_events_metadata";
  static constexpr std::string_view kRawEventsTable = "raw_events";
  static constexpr std::string_view kEventsTable = "events";
  static constexpr std::string_view kEventsSnapshotTable = "events_snapshot";
  static constexpr std::string_view kUserAttributesTable = "user_attributes";
  static constexpr std::string_view kQueueTable = "queue";
  static constexpr std::string_view kEventFiltersTable = "event_filters";
  static constexpr std::string_view kPropertyFiltersTable = "property_filters";
  static constexpr std::string_view kAudienceFilterValuesTable = "audience_filter_values";
  static constexpr std::string_view kPurchaseTransactionsTable = "purchase_transactions";
  static constexpr std::string_view kSubscriptionsTable = "subscriptions";
  static constexpr std::string_view kConditionalPropertiesTable = "conditional_properties";
  static constexpr std::string_view kMainEventParamsTable = "main_event_params";
  static constexpr std::string_view kODMValuesTable = "odm_values";

  // The declared schema: table -> elementary columns, table -> add-on columns, and the one
  // column type change (raw_events.timestamp to REAL NOT NULL).
  static const std::map<std::string, APMColumnInfo, std::less<>>& elementaryColumnInfo();
  static const std::map<std::string, APMColumnInfo, std::less<>>& addOnColumnInfo();
  static const std::map<std::string, APMColumnTypes, std::less<>>& modifyColumnInfo();

 private:
  APMDatabase(std::shared_ptr<APMDatabaseSettings> settings,
              std::shared_ptr<platform::DispatchQueue> workerQueue);
  static std::unique_ptr<APMDatabase> open(std::string path,
                                           std::shared_ptr<APMDatabaseSettings> settings,
                                           APMErrorSlot* error,
                                           std::shared_ptr<platform::DispatchQueue> workerQueue);
  void checkSequence(std::string_view method) const;
  bool requireStore(APMErrorSlot* error) const;
  std::optional<bool> booleanForQuery(const std::string& sql, const APMSqliteValues& values,
                                      APMErrorSlot* error);
  std::optional<APMQueuedBundle> bundleFromRecord(const APMSqliteRecord& record,
                                                  APMErrorSlot* error);
  std::optional<std::vector<APMQueuedBundle>> bundlesFromRecords(
      const std::vector<APMSqliteRecord>& records, std::optional<int64_t> sizeLimit,
      APMUnreadableRows* unreadableRows);
  bool deleteFiltersByKeys(std::string_view table,
                           const std::vector<std::pair<int32_t, int32_t>>& keys,
                           APMErrorSlot* error);
  std::optional<bool> insertIfNotDuplicate(std::string_view table, std::string_view column,
                                           std::string_view value, bool trim, APMErrorSlot* error);
  bool updateAppMetadataColumns(const APMSqliteRecord& record, APMErrorSlot* error);
  std::optional<APMConditionalUserProperty> conditionalUserPropertyFromRecord(
      const APMSqliteRecord& record, APMErrorSlot* error);
  // The records decoded, undecodable ones skipped (and listed). With noneWhenNoneDecodes,
  // records none of which decodes give nullopt and the last row's error.
  std::optional<std::vector<APMRawEventData>> rawEventsFromRecords(
      const std::vector<APMSqliteRecord>& records, bool noneWhenNoneDecodes, APMErrorSlot* error,
      APMUnreadableRows* unreadableRows);
  std::optional<APMUserAttribute> userAttributeFromRecord(const APMSqliteRecord& record,
                                                          APMErrorSlot* error);
  std::optional<APMEventAggregates> eventAggregatesFromRecord(const APMSqliteRecord& record,
                                                              APMErrorSlot* error);

  // Drops what caches_ holds of the tables changed by writes this object did not account for
  // (SQL run on the store directly). Called before a cache is read and before a write that
  // keeps one current.
  void refreshCaches();
  // After this object's own write to the given tables, whose caches it has brought up to date:
  // any other change seen since refreshCaches drops the caches of its tables.
  void acceptOwnChanges(uint32_t tables);
  // The row count, whether a real-time row exists, and the largest time of raw_events or queue,
  // from the summary when known, else read (and kept).
  std::optional<int64_t> summaryRowCount(APMTimedTableSummary& summary, std::string_view table,
                                         APMErrorSlot* error);
  std::optional<bool> summaryHasRealtimeRows(APMTimedTableSummary& summary, std::string_view table,
                                             APMErrorSlot* error);
  std::optional<double> summaryLatestTimestamp(APMTimedTableSummary& summary,
                                               std::string_view table, std::string_view column,
                                               APMErrorSlot* error);
  // The user_attributes rows, read once; nullptr on a failed read.
  const std::vector<APMCachedUserAttributeRow>* cachedUserAttributeRows(APMErrorSlot* error);
  // A transaction (or a commit group) was rolled back: caches dropped, 12056 logged with the
  // transaction's error.
  void transactionFailed(const APMErrorSlot& transactionError);
  // A commit group's transaction was rolled back: nothing read or held inside it holds.
  void groupRolledBack();
  // Runs the block of a rolled-back group's transaction again (the store's runner).
  bool runTransactionAgain(const std::function<bool()>& block);
  // Runs a transaction through the store (`perform`; `joinsGroup` for one a commit group may
  // take in), keeping the caches and the held counts right and reporting its failure.
  bool runTransaction(bool joinsGroup, const std::function<bool(APMErrorSlot*)>& perform);
  // The daily counts as the file holds them, read past the caches.
  std::optional<APMDailyCounts> storedDailyCounts(APMErrorSlot* error, bool* dayStored = nullptr);
  // `deleted` raw events went; `range` (row_count, realtime_rows, latest), read before, tells
  // what they held when it counted the same rows; otherwise their flags and times are unknown.
  void noteRawEventsDeleted(int64_t deleted, const APMSqliteRecord* range);
  // Deletes the oldest rows so that `keep` remain, by rowid, knowing the table holds `count`.
  std::optional<int64_t> deleteOldestRawEvents(int64_t count, int64_t keep, APMErrorSlot* error);

  std::shared_ptr<APMDatabaseSettings> settings_;
  std::optional<platform::SequenceChecker> sequenceChecker_;
  std::string databasePath_;
  std::unique_ptr<APMSqliteStore> sqliteStore_;
  // The counts, flags, rows and times the per-event path and the upload scheduler read, kept
  // with this object's writes and dropped when the file changed otherwise (another writer on
  // the store, a rolled-back transaction, a reset).
  APMDatabaseCaches caches_;
  // SQLite's "PRAGMA data_version" when the caches were last checked against other
  // connections, and the transaction (numbered from 1 by performTransaction) in which that
  // check was made (0: outside one).
  std::optional<int64_t> dataVersion_;
  uint64_t transactionSerial_ = 0;
  uint64_t dataVersionCheckedInTransaction_ = 0;
  // Inside a commit group: the daily counts its transactions stored, not yet in the file.
  std::optional<APMDailyCounts> unwrittenDailyCounts_;
  // Commit groups rolled back so far (see groupRolledBack).
  uint64_t groupRollbacks_ = 0;
  // Inside performReads: whether its one check was made.
  int readBatchDepth_ = 0;
  bool dataVersionCheckedInReadBatch_ = false;
};
