// Raw events and their metadata rows in APMDatabase.

#include "AppMeasurement/foundation/APMDataAdditions.h"
#include "AppMeasurement/storage/APMDatabase.h"
#include "platform/dispatch/Clock.h"

namespace {

using platform::Value;

constexpr int64_t kMaxRawEventsMetadataRows = 100000;

}  // namespace

bool APMDatabase::insertIfNotExistsRawEventMetadata(const APMPBMeasurementBundle& metadata,
                                                    APMErrorSlot* error) {
  checkSequence("insertIfNotExistsRawEventMetadata");
  std::optional<std::string> encoded = metadata.protoBuffer();
  if (!encoded || encoded->empty()) {
    APMSetError(error, 3,
                "Received empty measurement bundle metadata for getting dictionary representation");
    return false;
  }
  int64_t fingerprint = apm_64LSBMD5(*encoded);
  if (!requireStore(error)) return false;
  Value key(static_cast<long long>(fingerprint));
  auto existing = sqliteStore_->rowCountForTableWithName(kRawEventsMetadataTable,
                                                         "metadata_fingerprint", &key, error);
  if (!existing) return false;
  if (*existing > 0) return true;
  APMSqliteRecord record{{"metadata_fingerprint", key},
                         {"metadata", Value::bytes(std::move(*encoded))}};
  return upsertDataType(record, kRawEventsMetadataTable, "metadata_fingerprint", key,
                        kMaxRawEventsMetadataRows, error);
}

std::optional<APMPBMeasurementBundle> APMDatabase::queryRawEventsMetadataWithFingerprint(
    int64_t fingerprint, APMErrorSlot* error) {
  checkSequence("queryRawEventsMetadataWithFingerprint");
  std::optional<APMPBMeasurementBundle> result;
  Value key(static_cast<long long>(fingerprint));
  bool read = dataTypesFromTableWithName(
      kRawEventsMetadataTable, "metadata_fingerprint", &key, error,
      [&](const APMSqliteRecord& record) {
        if (result) return true;
        auto it = record.find("metadata");
        if (it == record.end()) {
          APMSetError(error, 3, "Received empty dictionary for getting measurement bundle");
          return false;
        }
        if (!it->second.isBytes() || it->second.asBytes()->data.empty()) {
          APMSetError(error, 3,
                      "Event metadata should not be empty for getting measurement bundle");
          return false;
        }
        result =
            APMPBMeasurementBundle::initWithBuffer(std::string_view(it->second.asBytes()->data));
        if (!result) {
          APMSetError(error, 3, "Failed to parse measurement bundle metadata");
          return false;
        }
        return true;
      });
  if (!read) return std::nullopt;
  return result;
}

bool APMDatabase::deleteRawEventMetadataWithMetadataFingerprint(int64_t fingerprint,
                                                                APMErrorSlot* error) {
  checkSequence("deleteRawEventMetadataWithMetadataFingerprint");
  if (!requireStore(error)) return false;
  return sqliteStore_
      ->deleteRecordsFromTableWithName(kRawEventsMetadataTable, "metadata_fingerprint == ?",
                                       {Value(static_cast<long long>(fingerprint))}, error)
      .has_value();
}

bool APMDatabase::deleteUnusedRawEventsMetadata(APMErrorSlot* error) {
  checkSequence("deleteUnusedRawEventsMetadata");
  if (!requireStore(error)) return false;
  return sqliteStore_
      ->deleteRecordsFromTableWithName(
          kRawEventsMetadataTable,
          "metadata_fingerprint NOT IN (SELECT DISTINCT metadata_fingerprint FROM raw_events)", {},
          error)
      .has_value();
}

std::optional<bool> APMDatabase::isRawEventsTableEmpty(APMErrorSlot* error) {
  checkSequence("isRawEventsTableEmpty");
  return booleanForQuery("SELECT NOT EXISTS (SELECT 1 FROM raw_events LIMIT 1)", {}, error);
}

std::optional<bool> APMDatabase::containsRawEventWithMetadataFingerprint(int64_t fingerprint,
                                                                         APMErrorSlot* error) {
  checkSequence("containsRawEventWithMetadataFingerprint");
  return booleanForQuery(
      "SELECT EXISTS (SELECT 1 FROM raw_events WHERE metadata_fingerprint = ? LIMIT 1)",
      {Value(static_cast<long long>(fingerprint))}, error);
}

std::optional<bool> APMDatabase::containsRealtimeRawEventsWithError(APMErrorSlot* error) {
  checkSequence("containsRealtimeRawEventsWithError");
  return booleanForQuery("SELECT EXISTS (SELECT 1 FROM raw_events WHERE is_realtime = 1 LIMIT 1)",
                         {}, error);
}

std::optional<double> APMDatabase::queryLatestRawEventTime(APMErrorSlot* error) {
  checkSequence("queryLatestRawEventTime");
  if (!requireStore(error)) return std::nullopt;
  auto number = sqliteStore_->numberForQuery("SELECT MAX(timestamp) FROM raw_events", {}, error);
  if (!number) return std::nullopt;
  return number->numberAsDouble();
}

std::optional<int64_t> APMDatabase::nextMetadataFingerprintToProcess(APMErrorSlot* error) {
  checkSequence("nextMetadataFingerprintToProcess");
  if (!requireStore(error)) return std::nullopt;
  auto records = sqliteStore_->recordsForQuery(
      "SELECT metadata_fingerprint, MIN(rowid) FROM raw_events", {}, error);
  if (!records) return std::nullopt;
  if (records->size() != 1) {
    APMSetError(error, 2, "Only one event metadata should be processed");
    return std::nullopt;
  }
  // An empty table answers one row of NULLs: nothing to process, no error.
  auto it = records->front().find("metadata_fingerprint");
  if (it == records->front().end() || !it->second.isInteger()) return std::nullopt;
  return *it->second.asInteger();
}

bool APMDatabase::deleteRawEventsWithMaxRowID(int64_t rowID, APMErrorSlot* error) {
  checkSequence("deleteRawEventsWithMaxRowID");
  if (!requireStore(error)) return false;
  return sqliteStore_
      ->deleteRecordsFromTableWithName(kRawEventsTable, "rowid <= ?",
                                       {Value(static_cast<long long>(rowID))}, error)
      .has_value();
}

std::optional<int64_t> APMDatabase::deleteRawEventsOverAbsoluteLimit(APMErrorSlot* error) {
  checkSequence("deleteRawEventsOverAbsoluteLimit");
  if (!requireStore(error)) return std::nullopt;
  int64_t keep = std::max<int64_t>(static_cast<int64_t>(settings_->maxEventsStored()) - 1, 0);
  return sqliteStore_->deleteRecordsFromTableWithName(
      kRawEventsTable,
      "rowid IN (SELECT rowid FROM raw_events ORDER BY rowid DESC LIMIT -1 OFFSET ?)",
      {Value(static_cast<long long>(keep))}, error);
}

bool APMDatabase::deleteStaleRawEventsDataOlderThanMaxAge(double maxAge, APMErrorSlot* error) {
  checkSequence("deleteStaleRawEventsDataOlderThanMaxAge");
  if (maxAge < 0) {
    APMSetError(error, 1, "Cannot delete stale raw events given negative time period");
    return false;
  }
  if (!requireStore(error)) return false;
  double now = platform::Clock::current()->now();
  std::optional<int64_t> deleted = sqliteStore_->deleteRecordsFromTableWithName(
      kRawEventsTable, "abs(timestamp - cast(? as REAL)) > cast(? as REAL)",
      {Value(now), Value(maxAge)}, error);
  if (!deleted) return false;
  if (*deleted > 0 && !deleteUnusedRawEventsMetadata(error)) return false;
  return true;
}
