// The upload queue and the stale-data purge of APMDatabase.

#include <cmath>
#include <limits>

#include "AppMeasurement/foundation/APMMonitor.h"
#include "AppMeasurement/storage/APMDatabase.h"
#include "platform/dispatch/Clock.h"
#include "platform/utilities/OULGzip.h"

namespace {

using platform::Value;

constexpr int64_t kMaxRetryCount = std::numeric_limits<int32_t>::max();

// "rowid IN (?,?,...)" with the row ids as values. Its text differs with every count, so the
// statements built on it are never kept in the statement cache.
bool rowIDCondition(const std::vector<int64_t>& rowIDs, std::string* condition,
                    APMSqliteValues* values, APMErrorSlot* error) {
  if (!APMCheckResult(!rowIDs.empty(), error, 3, "Received empty row IDs to process")) return false;
  std::string placeholders = "?";
  for (size_t i = 1; i < rowIDs.size(); ++i) placeholders += ",?";
  *condition = "rowid IN (" + placeholders + ")";
  values->clear();
  for (int64_t rowID : rowIDs) values->push_back(Value(static_cast<long long>(rowID)));
  return true;
}

}  // namespace

bool APMDatabase::insertBundle(const APMPBMeasurementBundle& bundle, bool isRealtime,
                               APMErrorSlot* error) {
  checkSequence("insertBundle");
  std::optional<std::string> encoded = bundle.protoBuffer();
  if (!APMCheckResult(encoded && !encoded->empty(), error, 1, "Failed to insert nil bundle"))
    return false;
  std::optional<std::string> appID = NANOGetString(bundle, APMPBMeasurementBundle::kAppId);
  if (!APMCheckResult(appID && !appID->empty(), error, 1, "Failed to insert bundle without App ID"))
    return false;
  int64_t endMillis = NANOGetInt64(bundle, APMPBMeasurementBundle::kEndTimestampMillis);
  if (!APMCheckResult(endMillis >= 1, error, 1, "Failed to insert bundle without valid timestamp"))
    return false;
  double endTimestamp = static_cast<double>(endMillis) / 1000.0;
  double now = platform::Clock::current()->now();
  if (std::fabs(endTimestamp - now) > settings_->maxQueueTime()) {
    APMMonitor::monitor()->logWithLevel(4, 12016,
                                        "Storing bundle outside of the max uploading time span");
  }
  OULError gzipError;
  std::optional<std::string> compressed = oul_dataByGzippingData(*encoded, &gzipError);
  if (!APMCheckResult(compressed && !compressed->empty(), error, 2, "Failed to compress bundle"))
    return false;
  APMMonitor::monitor()->logWithLevel(7, 12018, "Saving bundle. size (bytes)",
                                      std::to_string(compressed->size()));
  APMSqliteRecord record{
      {"bundle_end_timestamp", Value(endTimestamp)},
      {"data", Value::bytes(std::move(*compressed))},
      {"is_realtime", Value(isRealtime)},
      {"retry_count", Value(NANOGetInt32(bundle, APMPBMeasurementBundle::kRetryCount))},
  };
  refreshCaches();
  if (!insertDataType(record, kQueueTable, error)) return false;
  caches_.queue.noteInserted(endTimestamp, isRealtime);
  acceptOwnChanges(APMDatabaseCaches::kQueue);
  return true;
}

std::optional<APMQueuedBundle> APMDatabase::bundleFromRecord(const APMSqliteRecord& record,
                                                             APMErrorSlot* error) {
  if (!APMCheckResult(!record.empty(), error, 3, "Cannot process empty rowData"))
    return std::nullopt;
  auto dataIt = record.find("data");
  if (dataIt == record.end() || !dataIt->second.isBytes() ||
      dataIt->second.asBytes()->data.empty()) {
    APMSetError(error, 3, "Cannot decompress an empty bundle data");
    return std::nullopt;
  }
  OULError inflateError;
  std::optional<std::string> inflated =
      oul_dataByInflatingGzippedData(dataIt->second.asBytes()->data, &inflateError);
  if (!inflated || inflated->empty()) {
    APMSetError(error, 2,
                inflateError.description.empty() ? "Failed to inflate bundle data"
                                                 : inflateError.description);
    return std::nullopt;
  }
  std::optional<APMPBMeasurementBundle> bundle =
      APMPBMeasurementBundle::initWithBuffer(std::string_view(*inflated));
  if (!APMCheckNonNil(bundle, error, 2, "Unable to parse bundle from decompressed data"))
    return std::nullopt;
  auto retry = record.find("retry_count");
  if (retry != record.end() && !retry->second.isNull()) {
    int64_t count = retry->second.numberAsInteger().value_or(0);
    if (count >= 1) {
      NANOSetInt32(*bundle, APMPBMeasurementBundle::kRetryCount,
                   static_cast<int32_t>(std::min(count, kMaxRetryCount)));
    }
  }
  auto rowID = record.find("rowid");
  if (!APMCheckResult(rowID != record.end() && rowID->second.isInteger(), error, 3,
                      "Unable to find row ID in the database dictionary"))
    return std::nullopt;
  return APMQueuedBundle{std::move(*bundle), *rowID->second.asInteger()};
}

std::optional<std::vector<APMQueuedBundle>> APMDatabase::bundlesFromRecords(
    const std::vector<APMSqliteRecord>& records, std::optional<int64_t> sizeLimit,
    APMUnreadableRows* unreadableRows) {
  std::vector<APMQueuedBundle> taken;
  int64_t total = 0;
  for (const APMSqliteRecord& record : records) {
    APMErrorSlot rowError;
    std::optional<APMQueuedBundle> bundle = bundleFromRecord(record, &rowError);
    if (!bundle) {
      // The row stays in the table until the stale purge or a reset removes it.
      int64_t rowID = 0;
      if (auto it = record.find("rowid"); it != record.end() && it->second.isInteger()) {
        rowID = *it->second.asInteger();
      }
      APMError reason = rowError ? *rowError : apm_errorWithCode(2, "Unreadable bundle row");
      if (unreadableRows != nullptr) unreadableRows->push_back({rowID, "", reason});
      continue;
    }
    if (sizeLimit) {
      auto encoded = bundle->bundle.protoBuffer();
      int64_t size = encoded ? static_cast<int64_t>(encoded->size()) : 0;
      if (!taken.empty() && total + size > *sizeLimit) break;
      total += size;
    }
    taken.push_back(std::move(*bundle));
    if (sizeLimit && total > *sizeLimit) break;
  }
  return taken;
}

std::optional<std::vector<APMQueuedBundle>> APMDatabase::queryBundlesWithCountLimit(
    int64_t countLimit, int64_t sizeLimit, APMErrorSlot* error, APMUnreadableRows* unreadableRows) {
  checkSequence("queryBundlesWithCountLimit");
  if (!requireStore(error)) return std::nullopt;
  auto records = sqliteStore_->recordsForQuery(
      "SELECT rowid, data, retry_count FROM queue ORDER BY rowid ASC LIMIT ?",
      {Value(static_cast<long long>(countLimit))}, error);
  if (!records) return std::nullopt;
  return bundlesFromRecords(*records, sizeLimit, unreadableRows);
}

std::optional<std::vector<APMQueuedBundle>> APMDatabase::queryBundlesWithRowIDs(
    const std::vector<int64_t>& rowIDs, APMErrorSlot* error, APMUnreadableRows* unreadableRows) {
  checkSequence("queryBundlesWithRowIDs");
  if (!requireStore(error)) return std::nullopt;
  std::string condition;
  APMSqliteValues values;
  if (!rowIDCondition(rowIDs, &condition, &values, error)) return std::nullopt;
  auto records =
      sqliteStore_->recordsForQuery("SELECT rowid, data, retry_count FROM queue WHERE " + condition,
                                    values, error, APMStatementCaching::kPerCall);
  if (!records) return std::nullopt;
  return bundlesFromRecords(*records, std::nullopt, unreadableRows);
}

bool APMDatabase::incrementRetryCounterForBundlesWithIDs(const std::vector<int64_t>& rowIDs,
                                                         APMErrorSlot* error) {
  checkSequence("incrementRetryCounterForBundlesWithIDs");
  if (!APMCheckResult(!rowIDs.empty(), error, 1, "Failed to increment retry counter")) return false;
  if (!requireStore(error)) return false;
  std::optional<bool> atLimit =
      booleanForQuery("SELECT EXISTS (SELECT 1 FROM queue WHERE retry_count = ? LIMIT 1)",
                      {Value(static_cast<long long>(kMaxRetryCount))}, error);
  if (!atLimit) return false;
  if (*atLimit) {
    APMMonitor::monitor()->logWithLevel(
        1, 12054, "The number of upload retries exceeds the limit. Will remain unchanged.");
  }
  std::string condition;
  APMSqliteValues values;
  if (!rowIDCondition(rowIDs, &condition, &values, error)) return false;
  values.push_back(Value(static_cast<long long>(kMaxRetryCount)));
  // Retry counts are not part of what the queue's summary holds.
  refreshCaches();
  bool increased = sqliteStore_->increaseColumn("retry_count", 1, kQueueTable,
                                                condition + " AND retry_count < ?", values, error,
                                                APMStatementCaching::kPerCall);
  acceptOwnChanges(APMDatabaseCaches::kQueue);
  return increased;
}

bool APMDatabase::deleteBundlesWithRowIDs(const std::vector<int64_t>& rowIDs, APMErrorSlot* error) {
  checkSequence("deleteBundlesWithRowIDs");
  if (!requireStore(error)) return false;
  std::string condition;
  APMSqliteValues values;
  if (!rowIDCondition(rowIDs, &condition, &values, error)) return false;
  refreshCaches();
  std::optional<int64_t> deleted = sqliteStore_->deleteRecordsFromTableWithName(
      kQueueTable, condition, values, error, APMStatementCaching::kPerCall);
  if (deleted) caches_.queue.noteDeleted(*deleted);
  acceptOwnChanges(APMDatabaseCaches::kQueue);
  return deleted.has_value();
}

std::optional<bool> APMDatabase::isQueuedBundleTableEmpty(APMErrorSlot* error) {
  checkSequence("isQueuedBundleTableEmpty");
  std::optional<int64_t> rows = summaryRowCount(caches_.queue, kQueueTable, error);
  if (!rows) return std::nullopt;
  return *rows == 0;
}

std::optional<bool> APMDatabase::containsRealtimeBundlesWithError(APMErrorSlot* error) {
  checkSequence("containsRealtimeBundlesWithError");
  return summaryHasRealtimeRows(caches_.queue, kQueueTable, error);
}

std::optional<double> APMDatabase::queryLatestBundleTime(APMErrorSlot* error) {
  checkSequence("queryLatestBundleTime");
  return summaryLatestTimestamp(caches_.queue, kQueueTable, "bundle_end_timestamp", error);
}

std::optional<bool> APMDatabase::maybeDeleteStaleData(APMErrorSlot* error) {
  checkSequence("maybeDeleteStaleData");
  double now = platform::Clock::current()->now();
  double last = settings_->lastDeleteStaleBundlesTimestamp();
  if (!(std::fabs(now - last) > settings_->databaseDeleteStaleBundlesInterval())) return false;
  double maxAge = settings_->maxQueueTime();
  if (!deleteStaleRawEventsDataOlderThanMaxAge(maxAge, error) ||
      !deleteStaleBundlesOlderThanMaxAge(maxAge, error)) {
    return std::nullopt;
  }
  settings_->setLastDeleteStaleBundlesTimestamp(now);
  return true;
}

bool APMDatabase::deleteStaleBundlesOlderThanMaxAge(double maxAge, APMErrorSlot* error) {
  checkSequence("deleteStaleBundlesOlderThanMaxAge");
  if (!APMCheckResult(maxAge >= 0, error, 1,
                      "Cannot delete stale bundles after negative time period"))
    return false;
  if (!requireStore(error)) return false;
  double now = platform::Clock::current()->now();
  refreshCaches();
  std::optional<int64_t> deleted = sqliteStore_->deleteRecordsFromTableWithName(
      kQueueTable, "abs(bundle_end_timestamp - cast(? as REAL)) > cast(? as REAL)",
      {Value(now), Value(maxAge)}, error);
  if (deleted && *deleted > 0) caches_.queue.noteDeleted(*deleted);
  acceptOwnChanges(APMDatabaseCaches::kQueue);
  return deleted.has_value();
}
