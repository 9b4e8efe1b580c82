// Raw events and their metadata rows in APMDatabase.

#include <set>

#include <sqlite3.h>

#include "AppMeasurement/foundation/APMDataAdditions.h"
#include "AppMeasurement/foundation/APMMonitor.h"
#include "AppMeasurement/storage/APMDatabase.h"

#include "AppMeasurement/records/APMEventEncoder.h"
#include "AppMeasurement/storage/APMDatabaseColumns.h"
#include "platform/dispatch/Clock.h"

namespace {

using platform::Value;
using namespace apm_database_columns;

constexpr int64_t kMaxRawEventsMetadataRows = 100000;
constexpr int64_t kRawEventsPerFingerprintRead = 1000;
constexpr size_t kRememberedMetadataFingerprints = 256;

// The first value field present decides: string, then integer, then double.
std::optional<APMValue> scalarOf(const NANOMessageBase& param) {
  if (NANOHasField(param, APMPBEventParam::kStringValue)) {
    std::optional<std::string> text = NANOGetString(param, APMPBEventParam::kStringValue);
    if (text) return APMValue(std::move(*text));
  }
  if (NANOHasField(param, APMPBEventParam::kIntValue)) {
    return APMValue(static_cast<int64_t>(NANOGetInt64(param, APMPBEventParam::kIntValue)));
  }
  if (NANOHasField(param, APMPBEventParam::kDoubleValue)) {
    return APMValue(NANOGetDouble(param, APMPBEventParam::kDoubleValue));
  }
  return std::nullopt;
}

std::string nameOf(const NANOMessageBase& param) {
  return NANOGetString(param, APMPBEventParam::kName).value_or("");
}

// The nested parameters of a parameter, read in place.
std::optional<std::vector<NANOMessageView>> childrenOf(const NANOMessageBase& param) {
  return NANOViewMessageArray<APMPBEventParam>(param, APMPBEventParam::kParamValue);
}

// A nested parameter as the map of an item: its own value under its name, or the entries of
// its children (each child's own name first). A child without any value adds nothing: one
// empty field does not cost the item, nor the event, its other fields. nullopt for a parameter
// with neither a value nor children.
std::optional<APMObjectMap> nestedParameterMap(const NANOMessageBase& param) {
  if (std::optional<APMValue> value = scalarOf(param)) {
    return APMObjectMap{{nameOf(param), APMObject(std::move(*value))}};
  }
  auto children = childrenOf(param);
  if (children && !children->empty()) {
    APMObjectMap map;
    for (const NANOMessageView& child : *children) {
      std::optional<APMObjectMap> childMap = nestedParameterMap(child);
      if (!childMap) continue;
      auto own = childMap->find(nameOf(child));
      if (own != childMap->end()) map.insert_or_assign(own->first, own->second);
    }
    return map;
  }
  return std::nullopt;
}

// A top-level parameter: its name and value; nested parameters become an array of item maps
// (an item without any value is left out).
std::optional<std::pair<std::string, APMValue>> topLevelParameter(const NANOMessageBase& param,
                                                                  APMErrorSlot* error) {
  std::string name = nameOf(param);
  if (!APMCheckResult(!name.empty(), error, 1, "Event parameter name is empty"))
    return std::nullopt;
  if (std::optional<APMValue> value = scalarOf(param)) return std::pair{name, std::move(*value)};
  auto children = childrenOf(param);
  if (children && !children->empty()) {
    APMValue::Array items;
    for (const NANOMessageView& child : *children) {
      std::optional<APMObjectMap> item = nestedParameterMap(child);
      if (item) items.emplace_back(std::move(*item));
    }
    return std::pair{name, APMValue(std::move(items))};
  }
  APMSetError(error, 2, "Failed to parse invalid event params data");
  return std::nullopt;
}

// The columns of a raw event row.
std::optional<APMSqliteRecord> rawEventRecord(const APMEvent& event, int64_t fingerprint,
                                              bool isRealtime, APMErrorSlot* error) {
  std::string data = APMEventEncoder::encodedEventWithoutName(event);
  if (!APMCheckResult(!data.empty(), error, 3,
                      "Received empty raw event data for getting dictionary representation"))
    return std::nullopt;
  return APMSqliteRecord{{"name", Value(event.name())},
                         {"timestamp", Value(event.timestamp())},
                         {"metadata_fingerprint", Value(static_cast<long long>(fingerprint))},
                         {"data", Value::bytes(std::move(data))},
                         {"is_realtime", Value(isRealtime)}};
}

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
  return insertIfNotExistsRawEventMetadata(*encoded, apm_64LSBMD5(*encoded), error);
}

bool APMDatabase::insertIfNotExistsRawEventMetadata(std::string_view encodedMetadata,
                                                    int64_t fingerprint, APMErrorSlot* error) {
  checkSequence("insertIfNotExistsRawEventMetadata");
  if (encodedMetadata.empty()) {
    APMSetError(error, 3,
                "Received empty measurement bundle metadata for getting dictionary representation");
    return false;
  }
  if (!requireStore(error)) return false;
  // One statement inserts the row unless one with the fingerprint is there.
  static const std::string& kInsertIfNotExists = *new std::string(
      "INSERT OR IGNORE INTO raw_events_metadata (metadata_fingerprint, metadata) VALUES (?, ?)");
  refreshCaches();
  std::set<int64_t>& known = caches_.storedMetadataFingerprints;
  if (known.contains(fingerprint)) return true;
  // The row count is kept with this object's writes: an app whose metadata changes with every
  // event (a campaign link each) adds a row per event, and counting them all each time would
  // grow with the table.
  std::optional<int64_t>& rows = caches_.metadataRowCount;
  if (!rows) rows = sqliteStore_->rowCountForTableWithName(kRawEventsMetadataTable, error);
  if (!rows) return false;
  Value key(static_cast<long long>(fingerprint));
  bool inserted = false;
  if (*rows >= kMaxRawEventsMetadataRows) {
    // A full table takes no new row; a stored one is still fine.
    auto existing = sqliteStore_->rowCountForTableWithName(kRawEventsMetadataTable,
                                                           "metadata_fingerprint", &key, error);
    if (!existing) return false;
    if (!APMCheckResult(*existing > 0, error, 2, "Failed to insert data type. Table is full"))
      return false;
  } else {
    if (!sqliteStore_->executeKeptStatement(
            kInsertIfNotExists, {key, Value::bytes(std::string(encodedMetadata))}, error)) {
      rows.reset();
      return false;
    }
    int64_t changes = sqlite3_changes64(sqliteStore_->sqliteHandle());
    *rows += changes;
    inserted = changes > 0;
  }
  if (!inserted) {
    // The row already there serves only while it still decodes: damaged bytes would cost every
    // event that refers to them, so they are replaced by the good ones.
    APMErrorSlot readError;
    if (!queryRawEventsMetadataWithFingerprint(fingerprint, &readError)) {
      if (!readError || readError->code() != kAPMDatabaseErrorCannotDecode) {
        if (error != nullptr) *error = readError;
        return false;
      }
      static const std::string& kReplace = *new std::string(
          "INSERT OR REPLACE INTO raw_events_metadata (metadata_fingerprint, metadata) "
          "VALUES (?, ?)");
      if (!sqliteStore_->executeKeptStatement(
              kReplace, {key, Value::bytes(std::string(encodedMetadata))}, error)) {
        return false;
      }
    }
  }
  // Most events share the metadata of the event before them; a few hundred fingerprints cover
  // the ones a session goes back to.
  if (known.size() >= kRememberedMetadataFingerprints) known.clear();
  known.insert(fingerprint);
  acceptOwnChanges(APMDatabaseCaches::kRawEventsMetadata);
  return true;
}

std::optional<APMPBMeasurementBundle> APMDatabase::queryRawEventsMetadataWithFingerprint(
    int64_t fingerprint, APMErrorSlot* error) {
  checkSequence("queryRawEventsMetadataWithFingerprint");
  std::optional<APMPBMeasurementBundle> result;
  Value key(static_cast<long long>(fingerprint));
  APMErrorSlot decodeError;
  bool read = dataTypesFromTableWithName(
      kRawEventsMetadataTable, "metadata_fingerprint", &key, error,
      [&](const APMSqliteRecord& record) {
        if (result) return true;
        auto it = record.find("metadata");
        // A row without bytes, with empty ones or with bytes that do not decode never will.
        if (!APMCheckResult(it != record.end(), &decodeError, kAPMDatabaseErrorCannotDecode,
                            "Received empty dictionary for getting measurement bundle"))
          return false;
        if (!it->second.isBytes() || it->second.asBytes()->data.empty()) {
          APMSetError(&decodeError, kAPMDatabaseErrorCannotDecode,
                      "Event metadata should not be empty for getting measurement bundle");
          return false;
        }
        result =
            APMPBMeasurementBundle::initWithBuffer(std::string_view(it->second.asBytes()->data));
        if (!APMCheckNonNil(result, &decodeError, kAPMDatabaseErrorCannotDecode,
                            "Failed to parse measurement bundle metadata"))
          return false;
        return true;
      });
  if (!read) {
    // The bundler tells metadata that can never decode from a failing read by this reason.
    if (decodeError && error != nullptr) *error = decodeError;
    return std::nullopt;
  }
  return result;
}

bool APMDatabase::deleteRawEventMetadataWithMetadataFingerprint(int64_t fingerprint,
                                                                APMErrorSlot* error) {
  checkSequence("deleteRawEventMetadataWithMetadataFingerprint");
  if (!requireStore(error)) return false;
  refreshCaches();
  bool deleted =
      sqliteStore_
          ->deleteRecordsFromTableWithName(kRawEventsMetadataTable, "metadata_fingerprint == ?",
                                           {Value(static_cast<long long>(fingerprint))}, error)
          .has_value();
  caches_.storedMetadataFingerprints.erase(fingerprint);
  caches_.metadataRowCount.reset();
  acceptOwnChanges(APMDatabaseCaches::kRawEventsMetadata);
  return deleted;
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
  std::optional<int64_t> rows = summaryRowCount(caches_.rawEvents, kRawEventsTable, error);
  if (!rows) return std::nullopt;
  return *rows == 0;
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
  return summaryHasRealtimeRows(caches_.rawEvents, kRawEventsTable, error);
}

std::optional<double> APMDatabase::queryLatestRawEventTime(APMErrorSlot* error) {
  checkSequence("queryLatestRawEventTime");
  return summaryLatestTimestamp(caches_.rawEvents, kRawEventsTable, "timestamp", error);
}

std::optional<int64_t> APMDatabase::nextMetadataFingerprintToProcess(APMErrorSlot* error) {
  checkSequence("nextMetadataFingerprintToProcess");
  if (!requireStore(error)) return std::nullopt;
  auto records = sqliteStore_->recordsForQuery(
      "SELECT metadata_fingerprint, MIN(rowid) FROM raw_events", {}, error);
  if (!records) return std::nullopt;
  if (!APMCheckResult(records->size() == 1, error, 2,
                      "Only one event metadata should be processed"))
    return std::nullopt;
  // An empty table answers one row of NULLs: nothing to process, no error.
  auto it = records->front().find("metadata_fingerprint");
  if (it == records->front().end() || !it->second.isInteger()) return std::nullopt;
  return *it->second.asInteger();
}

bool APMDatabase::deleteRawEventsWithMaxRowID(int64_t rowID, APMErrorSlot* error) {
  checkSequence("deleteRawEventsWithMaxRowID");
  if (!requireStore(error)) return false;
  refreshCaches();
  // What the rows about to go hold, read over their rowid range only, keeps the summary exact
  // (otherwise the next event's scheduling reads the whole table again).
  std::optional<APMSqliteRecord> range;
  const APMTimedTableSummary& summary = caches_.rawEvents;
  if (summary.realtimeRowCount || (summary.latestTimestamp && *summary.latestTimestamp)) {
    auto records = sqliteStore_->recordsForQuery(
        "SELECT count(1) AS row_count, "
        "count(CASE WHEN is_realtime = 1 THEN 1 END) AS realtime_rows, max(timestamp) AS latest "
        "FROM raw_events WHERE rowid <= ?",
        {Value(static_cast<long long>(rowID))}, nullptr, APMStatementCaching::kKeep);
    if (records && records->size() == 1) range = std::move(records->front());
  }
  std::optional<int64_t> deleted = sqliteStore_->deleteRecordsFromTableWithName(
      kRawEventsTable, "rowid <= ?", {Value(static_cast<long long>(rowID))}, error);
  if (deleted) noteRawEventsDeleted(*deleted, range ? &*range : nullptr);
  acceptOwnChanges(APMDatabaseCaches::kRawEvents);
  return deleted.has_value();
}

void APMDatabase::noteRawEventsDeleted(int64_t deleted, const APMSqliteRecord* range) {
  if (range == nullptr || int64Column(*range, "row_count") != deleted) {
    caches_.rawEvents.noteDeleted(deleted);
    return;
  }
  auto latest = range->find("latest");
  std::optional<double> latestDeleted;
  if (latest != range->end() && latest->second.isNumber()) {
    latestDeleted = latest->second.numberAsDouble();
  }
  caches_.rawEvents.noteDeleted(deleted, int64Column(*range, "realtime_rows").value_or(0),
                                latestDeleted);
}

std::optional<int64_t> APMDatabase::deleteRawEventsOverAbsoluteLimit(APMErrorSlot* error) {
  checkSequence("deleteRawEventsOverAbsoluteLimit");
  if (!requireStore(error)) return std::nullopt;
  int64_t keep = std::max<int64_t>(static_cast<int64_t>(settings_->maxEventsStored()) - 1, 0);
  std::optional<int64_t> count = summaryRowCount(caches_.rawEvents, kRawEventsTable, error);
  if (!count) return std::nullopt;
  if (*count <= keep) return 0;
  return deleteOldestRawEvents(*count, keep, error);
}

std::optional<int64_t> APMDatabase::deleteOldestRawEvents(int64_t count, int64_t keep,
                                                          APMErrorSlot* error) {
  // Keeping the newest `keep` rows by rowid deletes the oldest count - keep: the same rows as
  // "rowid IN (SELECT rowid FROM raw_events ORDER BY rowid DESC LIMIT -1 OFFSET keep)", found
  // from the old end of the rowid order instead of walking past every row kept. Their largest
  // rowid bounds the delete; their flags and times keep the summary exact.
  int64_t excess = count - keep;
  auto oldest = sqliteStore_->recordsForQuery(
      "SELECT max(r) AS last_rowid, count(1) AS row_count, "
      "count(CASE WHEN is_realtime = 1 THEN 1 END) AS realtime_rows, max(timestamp) AS latest "
      "FROM (SELECT rowid AS r, is_realtime, timestamp FROM raw_events ORDER BY rowid ASC "
      "LIMIT ?)",
      {Value(static_cast<long long>(excess))}, error);
  if (!oldest || oldest->size() != 1) {
    if (oldest) APMSetError(error, 3, "Query gave no result");
    return std::nullopt;
  }
  const APMSqliteRecord& range = oldest->front();
  std::optional<int64_t> rows = int64Column(range, "row_count");
  std::optional<int64_t> lastRowID = int64Column(range, "last_rowid");
  if (rows != excess || !lastRowID) {
    // The count was not the table's: count again and start over.
    caches_.rawEvents.rowCount.reset();
    std::optional<int64_t> recounted = summaryRowCount(caches_.rawEvents, kRawEventsTable, error);
    if (!recounted) return std::nullopt;
    if (*recounted <= keep) return 0;
    if (*recounted == count) {
      APMSetError(error, 3, "Raw event rows changed while counted");
      return std::nullopt;
    }
    return deleteOldestRawEvents(*recounted, keep, error);
  }
  refreshCaches();
  std::optional<int64_t> deleted = sqliteStore_->deleteRecordsFromTableWithName(
      kRawEventsTable, "rowid <= ?", {Value(static_cast<long long>(*lastRowID))}, error);
  if (deleted) noteRawEventsDeleted(*deleted, &range);
  acceptOwnChanges(APMDatabaseCaches::kRawEvents);
  return deleted;
}

bool APMDatabase::deleteStaleRawEventsDataOlderThanMaxAge(double maxAge, APMErrorSlot* error) {
  checkSequence("deleteStaleRawEventsDataOlderThanMaxAge");
  if (!APMCheckResult(maxAge >= 0, error, 1,
                      "Cannot delete stale raw events given negative time period"))
    return false;
  if (!requireStore(error)) return false;
  refreshCaches();
  double now = platform::Clock::current()->now();
  std::optional<int64_t> deleted = sqliteStore_->deleteRecordsFromTableWithName(
      kRawEventsTable, "abs(timestamp - cast(? as REAL)) > cast(? as REAL)",
      {Value(now), Value(maxAge)}, error);
  if (deleted && *deleted > 0) caches_.rawEvents.noteDeleted(*deleted);
  acceptOwnChanges(APMDatabaseCaches::kRawEvents);
  if (!deleted) return false;
  if (*deleted > 0 && !deleteUnusedRawEventsMetadata(error)) return false;
  return true;
}

// --- Raw events ---

bool APMDatabase::insertRawEvent(const APMEvent& event, int64_t metadataFingerprint,
                                 bool isRealtime, APMErrorSlot* error) {
  checkSequence("insertRawEvent");
  // One row per event: a kept statement bound straight from the event, the columns in the
  // order of the generic insert of the row's record.
  // Never destroyed: the worker may still write while the process exits.
  static const std::string& kInsertRawEvent = *new std::string(
      "INSERT OR REPLACE INTO raw_events (data, is_realtime, metadata_fingerprint, name, "
      "timestamp) VALUES (?, ?, ?, ?, ?);");
  std::string data = APMEventEncoder::encodedEventWithoutName(event);
  if (!APMCheckResult(!data.empty(), error, 3,
                      "Received empty raw event data for getting dictionary representation"))
    return false;
  if (!requireStore(error)) return false;
  refreshCaches();
  if (!sqliteStore_->executeKeptStatement(kInsertRawEvent,
                                          {Value::bytes(std::move(data)), Value(isRealtime),
                                           Value(static_cast<long long>(metadataFingerprint)),
                                           Value(event.name()), Value(event.timestamp())},
                                          error)) {
    return false;
  }
  caches_.rawEvents.noteInserted(event.timestamp(), isRealtime);
  acceptOwnChanges(APMDatabaseCaches::kRawEvents);
  return true;
}

bool APMDatabase::updateRawEvent(const APMRawEventData& rawEventData, APMErrorSlot* error) {
  checkSequence("updateRawEvent");
  std::optional<APMEvent> event = rawEventData.rawEvent()
                                      ? APMEvent::createWithEventProto(*rawEventData.rawEvent())
                                      : std::nullopt;
  if (!APMCheckNonNil(event, error, 3,
                      "Received empty raw event data for getting dictionary representation"))
    return false;
  std::optional<APMSqliteRecord> record =
      rawEventRecord(*event, rawEventData.metadataFingerprint(), event->isRealtime(), error);
  if (!record) return false;
  refreshCaches();
  bool updated = updateDataType(*record, kRawEventsTable, "rowid",
                                Value(static_cast<long long>(rawEventData.rowID())), error);
  if (updated) caches_.rawEvents.noteRewritten();
  acceptOwnChanges(APMDatabaseCaches::kRawEvents);
  return updated;
}

std::optional<APMRawEventData> APMDatabase::rawEventDataFromDictionary(
    const APMSqliteRecord& record, APMErrorSlot* error) {
  std::optional<RawEventRow> row = rawEventRowFromDictionary(record, error);
  if (!row) return std::nullopt;
  std::optional<APMRawEventData> raw = APMRawEventData::create(
      std::make_shared<const APMPBEvent>(row->event.protoEvent()), row->rowID, row->fingerprint);
  if (!APMCheckNonNil(raw, error, 2, "Failed to initialize raw event data from dictionary"))
    return std::nullopt;
  return raw;
}

std::optional<APMDatabase::RawEventRow> APMDatabase::rawEventRowFromDictionary(
    const APMSqliteRecord& record, APMErrorSlot* error) {
  if (!APMCheckResult(!record.empty(), error, 1,
                      "Received empty dictionary for getting raw event data"))
    return std::nullopt;
  std::optional<int64_t> rowID = int64Column(record, "rowid");
  if (!APMCheckNonNil(rowID, error, 1, "Unable to find row ID in the database dictionary"))
    return std::nullopt;
  auto dataColumn = record.find("data");
  const platform::Value::Bytes* data =
      dataColumn != record.end() ? dataColumn->second.asBytes() : nullptr;
  if (!APMCheckResult(data != nullptr, error, 1,
                      "Unable to find event data in the database dictionary"))
    return std::nullopt;
  std::optional<int64_t> fingerprint = int64Column(record, "metadata_fingerprint");
  if (!APMCheckNonNil(fingerprint, error, 1,
                      "Unable to find event metadata in the database dictionary"))
    return std::nullopt;
  std::optional<APMPBEvent> message = APMPBEvent::initWithBuffer(std::string_view(data->data));
  if (!APMCheckNonNil(message, error, 3, "Failed to parse event from data")) return std::nullopt;
  std::optional<std::string> origin;
  // Made as the event creator takes them, without a second map of typed values.
  APMObjectMap parameters;
  auto params = NANOViewMessageArray<APMPBEventParam>(*message, APMPBEvent::kParams);
  for (const NANOMessageView& param : params.value_or(std::vector<NANOMessageView>{})) {
    if (nameOf(param) == "_o") {
      std::optional<std::string> text = NANOGetString(param, APMPBEventParam::kStringValue);
      if (!text) {
        APMSetError(error, 2,
                    "Cannot create an event from database. Origin parameter is not a string");
        return std::nullopt;
      }
      origin = std::move(text);
      continue;
    }
    auto entry = topLevelParameter(param, error);
    if (!entry) {
      APMSetError(error, 2, "Failed to parse event params from data");
      return std::nullopt;
    }
    parameters.insert_or_assign(std::move(entry->first), APMObject(std::move(entry->second)));
  }
  if (!APMCheckNonNil(origin, error, 2,
                      "Cannot create an event from database. Missing origin parameter"))
    return std::nullopt;
  double previous =
      static_cast<double>(NANOGetInt64(*message, APMPBEvent::kPreviousTimestampMillis)) / 1000.0;
  // The creator runs again: what was stored under older rules is sanitised by today's.
  std::optional<APMEvent> event =
      APMEvent::create(*origin, false, textColumn(record, "name"),
                       doubleColumn(record, "timestamp"), previous, parameters);
  if (!APMCheckNonNil(event, error, 2, "Failed to initialize raw event data from dictionary"))
    return std::nullopt;
  return RawEventRow{*rowID, *fingerprint, std::move(*event)};
}

std::optional<std::vector<APMRawEventData>> APMDatabase::rawEventsFromRecords(
    const std::vector<APMSqliteRecord>& records, bool noneWhenNoneDecodes, APMErrorSlot* error,
    APMUnreadableRows* unreadableRows) {
  std::vector<APMRawEventData> events;
  APMErrorSlot lastRowError;
  for (const APMSqliteRecord& record : records) {
    APMErrorSlot rowError;
    std::optional<APMRawEventData> event = rawEventDataFromDictionary(record, &rowError);
    if (!event) {
      APMError reason = rowError.value_or(apm_errorWithCode(2, "Unreadable raw event"));
      int64_t rowID = int64Column(record, "rowid").value_or(0);
      if (unreadableRows != nullptr) {
        unreadableRows->push_back({rowID, textColumn(record, "name"), reason});
      }
      lastRowError = std::move(reason);
      continue;
    }
    events.push_back(std::move(*event));
  }
  if (noneWhenNoneDecodes && !records.empty() && events.empty()) {
    if (error != nullptr) *error = lastRowError;
    return std::nullopt;
  }
  return events;
}

bool APMDatabase::rawEventRecordsWithMetadataFingerprint(int64_t fingerprint, APMErrorSlot* error,
                                                         const RawEventFilter& visitor) {
  checkSequence("rawEventRecordsWithMetadataFingerprint");
  if (!requireStore(error)) return false;
  return sqliteStore_->enumerateRecordsForQuery(
      "SELECT rowid, * FROM raw_events WHERE metadata_fingerprint = ? ORDER BY rowid ASC LIMIT ?",
      {Value(static_cast<long long>(fingerprint)),
       Value(static_cast<long long>(kRawEventsPerFingerprintRead))},
      error, visitor);
}

std::optional<std::vector<APMRawEventData>> APMDatabase::rawEventsWithMetadataFingerprint(
    int64_t fingerprint, APMErrorSlot* error, const RawEventFilter& eventFilter,
    APMUnreadableRows* unreadableRows) {
  checkSequence("rawEventsWithMetadataFingerprint");
  std::vector<APMSqliteRecord> records;
  // No filter goes on to the store as none, which refuses the read.
  RawEventFilter collect;
  if (eventFilter) {
    collect = [&](size_t accepted, const APMSqliteRecord& record) {
      if (!eventFilter(accepted, record)) return false;
      records.push_back(record);
      return true;
    };
  }
  if (!rawEventRecordsWithMetadataFingerprint(fingerprint, error, collect)) return std::nullopt;
  return rawEventsFromRecords(records, true, error, unreadableRows);
}

std::optional<std::vector<APMRawEventData>> APMDatabase::allRawEventsWithError(
    APMErrorSlot* error, APMUnreadableRows* unreadableRows) {
  checkSequence("allRawEventsWithError");
  std::vector<APMSqliteRecord> records;
  if (!allDataTypesFromTableWithName(kRawEventsTable, settings_->maxEventsStored(), error,
                                     [&](const APMSqliteRecord& record) {
                                       records.push_back(record);
                                       return true;
                                     })) {
    return std::nullopt;
  }
  return rawEventsFromRecords(records, false, error, unreadableRows);
}
