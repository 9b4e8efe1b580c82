// User attributes, event aggregates (with their snapshot) and daily counts of APMDatabase.

#include <algorithm>
#include <cmath>

#include <sqlite3.h>

#include "AppMeasurement/foundation/APMDataTypeValidator.h"
#include "AppMeasurement/foundation/APMMonitor.h"
#include "AppMeasurement/foundation/APMNameTables.h"
#include "AppMeasurement/storage/APMDatabase.h"
#include "AppMeasurement/storage/APMDatabaseColumns.h"
#include "platform/dispatch/Clock.h"

namespace {

using platform::Value;
using namespace apm_database_columns;

constexpr int64_t kMaxUserAttributes = 1000;
constexpr int64_t kMaxEventAggregates = 2000;
constexpr size_t kRememberedEventNames = 4096;

int64_t rowIDOf(const APMSqliteRecord& record) { return int64Column(record, "rowid").value_or(0); }

}  // namespace

// --- User attributes ---

std::optional<APMUserAttribute> APMDatabase::userAttributeFromRecord(const APMSqliteRecord& record,
                                                                     APMErrorSlot* error) {
  if (!APMCheckResult(!record.empty(), error, 3,
                      "Received empty dictionary for getting user property"))
    return std::nullopt;
  auto stored = record.find("value");
  std::optional<APMValue> value;
  if (stored != record.end()) value = APMValue::valueFromObject(APMObject(stored->second));
  if (!APMCheckNonNil(value, error, 3, "Stored user property value cannot be read"))
    return std::nullopt;
  std::optional<APMUserAttribute> attribute =
      APMUserAttribute::create(textColumn(record, "origin"), textColumn(record, "name"),
                               std::move(*value), doubleColumn(record, "set_timestamp"));
  if (!attribute) APMSetError(error, 3, "Stored user property is not valid");
  return attribute;
}

const std::vector<APMCachedUserAttributeRow>* APMDatabase::cachedUserAttributeRows(
    APMErrorSlot* error) {
  refreshCaches();
  if (caches_.userAttributes) return &*caches_.userAttributes;
  std::vector<APMCachedUserAttributeRow> rows;
  bool read = allDataTypesFromTableWithName(
      kUserAttributesTable, kMaxUserAttributes, error, [&](const APMSqliteRecord& record) {
        APMErrorSlot rowError;
        APMCachedUserAttributeRow row{textColumn(record, "name"), rowIDOf(record),
                                      userAttributeFromRecord(record, &rowError), std::nullopt};
        if (!row.attribute) row.error = rowError.value_or(apm_errorWithCode(3, "Unreadable row"));
        rows.push_back(std::move(row));
        return true;
      });
  if (!read) return nullptr;
  caches_.userAttributesComplete = static_cast<int64_t>(rows.size()) < kMaxUserAttributes;
  caches_.userAttributes = std::move(rows);
  return &*caches_.userAttributes;
}

std::optional<APMUserAttribute> APMDatabase::userAttributeWithName(std::string_view name,
                                                                   APMErrorSlot* error) {
  checkSequence("userAttributeWithName");
  APMErrorSlot cacheError;
  const std::vector<APMCachedUserAttributeRow>* rows = cachedUserAttributeRows(&cacheError);
  if (rows != nullptr && caches_.userAttributesComplete) {
    auto row = std::find_if(rows->begin(), rows->end(),
                            [&](const APMCachedUserAttributeRow& r) { return r.name == name; });
    if (row == rows->end()) return std::nullopt;
    if (row->attribute) return row->attribute;
    // An unreadable row answers with the reason the read below gives.
  }
  std::optional<APMUserAttribute> found;
  Value key(name);
  if (!dataTypesFromTableWithName(kUserAttributesTable, "name", &key, error,
                                  [&](const APMSqliteRecord& record) {
                                    if (!found) found = userAttributeFromRecord(record, error);
                                    return found.has_value();
                                  })) {
    return std::nullopt;
  }
  return found;
}

std::optional<std::vector<APMUserAttribute>> APMDatabase::userAttributesIncludingInternal(
    bool includeInternal, APMErrorSlot* error, APMUnreadableRows* unreadableRows) {
  checkSequence("userAttributesIncludingInternal");
  const std::vector<APMCachedUserAttributeRow>* rows = cachedUserAttributeRows(error);
  if (rows == nullptr) return std::nullopt;
  std::vector<APMUserAttribute> attributes;
  attributes.reserve(rows->size());
  const auto& publicNames = APMUserPropertyPublicToInternalNames();
  for (const APMCachedUserAttributeRow& row : *rows) {
    if (!row.attribute) {
      if (unreadableRows != nullptr) unreadableRows->push_back({row.rowID, row.name, *row.error});
      continue;
    }
    const std::string& name = row.attribute->name();
    if (!includeInternal &&
        (name.starts_with("_") || APMDataTypeValidator::hasReservedPrefixes(name) ||
         publicNames.contains(name))) {
      continue;
    }
    attributes.push_back(*row.attribute);
  }
  return attributes;
}

std::optional<std::vector<APMUserAttribute>> APMDatabase::allLifetimeValueUserAttributes(
    APMErrorSlot* error) {
  checkSequence("allLifetimeValueUserAttributes");
  if (!requireStore(error)) return std::nullopt;
  auto records = sqliteStore_->recordsForQuery(
      "SELECT * FROM user_attributes WHERE name LIKE '!_ltv!_%' ESCAPE '!' ORDER BY set_timestamp "
      "DESC",
      {}, error);
  if (!records) return std::nullopt;
  std::vector<APMUserAttribute> attributes;
  for (const APMSqliteRecord& record : *records) {
    std::optional<APMUserAttribute> attribute = userAttributeFromRecord(record, error);
    if (!attribute) return std::nullopt;
    attributes.push_back(std::move(*attribute));
  }
  return attributes;
}

bool APMDatabase::updateUserAttribute(const APMUserAttribute& attribute, APMErrorSlot* error) {
  checkSequence("updateUserAttribute");
  if (attribute.origin().empty()) {
    APMSetError(error, 3,
                "Received user property with empty origin for getting dictionary representation");
    return false;
  }
  if (attribute.name().empty()) {
    APMSetError(error, 1,
                "Received user property with empty name for getting dictionary representation");
    return false;
  }
  const std::string* text = attribute.value().stringValue();
  if (!APMCheckResult(text == nullptr || !text->empty(), error, 1,
                      "Received empty string value for user property"))
    return false;
  APMSqliteRecord record{{"origin", Value(attribute.origin())},
                         {"name", Value(attribute.name())},
                         {"value", storedValue(attribute.value())},
                         {"set_timestamp", Value(attribute.lastSetTimestamp())}};
  refreshCaches();
  if (!upsertDataType(record, kUserAttributesTable, "name", Value(attribute.name()),
                      kMaxUserAttributes, error)) {
    acceptOwnChanges(APMDatabaseCaches::kUserAttributes);
    return false;
  }
  if (caches_.userAttributes) {
    // A replaced row is deleted and inserted anew: it moves to the end of the rowid order.
    std::vector<APMCachedUserAttributeRow>& rows = *caches_.userAttributes;
    std::erase_if(rows,
                  [&](const APMCachedUserAttributeRow& r) { return r.name == attribute.name(); });
    std::optional<APMUserAttribute> stored = userAttributeFromRecord(record, nullptr);
    if (stored) {
      rows.push_back({attribute.name(), 0, std::move(stored), std::nullopt});
      caches_.userAttributesComplete = static_cast<int64_t>(rows.size()) < kMaxUserAttributes;
    } else {
      caches_.invalidate(APMDatabaseCaches::kUserAttributes);
    }
  }
  acceptOwnChanges(APMDatabaseCaches::kUserAttributes);
  return true;
}

bool APMDatabase::deleteUserAttributeWithName(std::string_view name, APMErrorSlot* error) {
  checkSequence("deleteUserAttributeWithName");
  if (!requireStore(error)) return false;
  Value key(name);
  refreshCaches();
  if (caches_.userAttributes && caches_.userAttributesComplete &&
      std::none_of(caches_.userAttributes->begin(), caches_.userAttributes->end(),
                   [&](const APMCachedUserAttributeRow& r) { return r.name == name; })) {
    return true;  // No such row: the delete would change nothing.
  }
  bool deleted =
      sqliteStore_->deleteRecordFromTableWithName(kUserAttributesTable, "name", &key, error);
  if (deleted && caches_.userAttributes) {
    std::erase_if(*caches_.userAttributes,
                  [&](const APMCachedUserAttributeRow& r) { return r.name == name; });
  }
  acceptOwnChanges(APMDatabaseCaches::kUserAttributes);
  return deleted;
}

std::optional<bool> APMDatabase::containsUserAttributeWithName(std::string_view name,
                                                               APMErrorSlot* error) {
  checkSequence("containsUserAttributeWithName");
  if (!APMCheckResult(!name.empty(), error, 1,
                      "Received empty user property name for exists query"))
    return std::nullopt;
  const std::vector<APMCachedUserAttributeRow>* rows = cachedUserAttributeRows(nullptr);
  if (rows != nullptr && caches_.userAttributesComplete) {
    return std::any_of(rows->begin(), rows->end(),
                       [&](const APMCachedUserAttributeRow& r) { return r.name == name; });
  }
  return booleanForQuery("SELECT EXISTS (SELECT 1 FROM user_attributes WHERE name = ? LIMIT 1)",
                         {Value(name)}, error);
}

std::optional<int64_t> APMDatabase::userAttributeCountForOrigin(std::string_view origin,
                                                                APMErrorSlot* error) {
  checkSequence("userAttributeCountForOrigin");
  if (!APMCheckResult(!origin.empty(), error, 1,
                      "Received empty user property origin for count query"))
    return std::nullopt;
  if (!requireStore(error)) return std::nullopt;
  auto count = sqliteStore_->numberForQuery("SELECT count(1) FROM user_attributes WHERE origin = ?",
                                            {Value(origin)}, error);
  if (!count) return std::nullopt;
  return count->numberAsInteger();
}

std::optional<int64_t> APMDatabase::publicUserAttributeCount(APMErrorSlot* error) {
  checkSequence("publicUserAttributeCount");
  if (!requireStore(error)) return std::nullopt;
  auto count = sqliteStore_->numberForQuery(
      "SELECT count(1) FROM user_attributes WHERE name NOT LIKE '!_%' ESCAPE '!'", {}, error);
  if (!count) return std::nullopt;
  return count->numberAsInteger();
}

// --- Event aggregates ---

std::optional<APMEventAggregates> APMDatabase::eventAggregatesFromRecord(
    const APMSqliteRecord& record, APMErrorSlot* error) {
  std::optional<APMEventAggregates> aggregates = APMEventAggregates::create(
      textColumn(record, "name"), int32Column(record, "lifetime_count"),
      int32Column(record, "current_bundle_count"), int32Column(record, "current_session_count"),
      doubleColumn(record, "last_fire_timestamp"));
  if (!APMCheckNonNil(aggregates, error, 2, "Failed to create event aggregates from database"))
    return std::nullopt;
  aggregates->setLastBundledTimestamp(doubleColumn(record, "last_bundled_timestamp"));
  aggregates->setLastSampledComplexEventID(int64Column(record, "last_sampled_complex_event_id"));
  aggregates->setLastSamplingRate(int32Column(record, "last_sampling_rate", 1));
  aggregates->setLastExemptFromSampling(int32Column(record, "last_exempt_from_sampling") != 0);
  aggregates->setLastBundledDay(int32Column(record, "last_bundled_day"));
  return aggregates;
}

std::optional<APMEventAggregates> APMDatabase::eventAggregatesWithName(std::string_view name,
                                                                       std::string_view table,
                                                                       APMErrorSlot* error) {
  checkSequence("eventAggregatesWithName");
  bool cached = table == kEventsTable;
  if (cached) {
    refreshCaches();
    auto it = caches_.eventAggregates.find(name);
    if (it != caches_.eventAggregates.end()) return it->second;
  }
  std::optional<APMEventAggregates> found;
  Value key(name);
  if (!dataTypesFromTableWithName(table, "name", &key, error, [&](const APMSqliteRecord& record) {
        if (!found) found = eventAggregatesFromRecord(record, error);
        return found.has_value();
      })) {
    return std::nullopt;
  }
  if (cached) {
    // Names looked up but never stored (refused ones) must not grow it without bound.
    if (caches_.eventAggregates.size() >= kRememberedEventNames) caches_.eventAggregates.clear();
    caches_.eventAggregates.emplace(name, found);
  }
  return found;
}

std::optional<APMEventAggregates> APMDatabase::eventAggregatesWithName(std::string_view name,
                                                                       APMErrorSlot* error) {
  return eventAggregatesWithName(name, kEventsTable, error);
}

std::optional<APMEventAggregates> APMDatabase::eventAggregatesSnapshotWithName(
    std::string_view name, APMErrorSlot* error) {
  if (!requireStore(error)) return std::nullopt;
  std::optional<bool> exists = sqliteStore_->tableExists(kEventsSnapshotTable, error);
  if (!exists || !*exists) return std::nullopt;
  return eventAggregatesWithName(name, kEventsSnapshotTable, error);
}

std::optional<std::vector<APMEventAggregates>> APMDatabase::allEventAggregates(
    APMErrorSlot* error, APMUnreadableRows* unreadableRows) {
  checkSequence("allEventAggregates");
  std::vector<APMEventAggregates> all;
  bool read = allDataTypesFromTableWithName(
      kEventsTable, kMaxEventAggregates, error, [&](const APMSqliteRecord& record) {
        APMErrorSlot rowError;
        std::optional<APMEventAggregates> aggregates = eventAggregatesFromRecord(record, &rowError);
        if (!aggregates) {
          if (unreadableRows != nullptr) {
            unreadableRows->push_back({rowIDOf(record), textColumn(record, "name"),
                                       rowError.value_or(apm_errorWithCode(2, "Unreadable row"))});
          }
          return false;
        }
        all.push_back(std::move(*aggregates));
        return true;
      });
  if (!read) return std::nullopt;
  return all;
}

bool APMDatabase::updateEventAggregates(const APMEventAggregates& aggregates, APMErrorSlot* error) {
  checkSequence("updateEventAggregates");
  if (aggregates.name().empty()) {
    APMSetError(error, 1,
                "Received event aggregates object with empty name for getting dictionary "
                "representation");
    return false;
  }
  APMSqliteRecord record{
      {"name", Value(aggregates.name())},
      {"lifetime_count", Value(aggregates.lifetimeCount())},
      {"current_bundle_count", Value(aggregates.currentBundleCount())},
      {"last_fire_timestamp", Value(aggregates.lastFireTimestamp())},
      {"last_bundled_timestamp", Value(aggregates.lastBundledTimestamp())},
      {"last_sampling_rate", Value(aggregates.lastSamplingRate())},
      {"last_exempt_from_sampling", Value(aggregates.lastExemptFromSampling())},
      {"last_bundled_day", Value(aggregates.lastBundledDay())},
      {"current_session_count", Value(aggregates.currentSessionCount())},
  };
  if (aggregates.lastSampledComplexEventID()) {
    record.emplace("last_sampled_complex_event_id",
                   Value(static_cast<long long>(*aggregates.lastSampledComplexEventID())));
  }
  refreshCaches();
  auto known = caches_.eventAggregates.find(aggregates.name());
  std::optional<bool> existed;
  if (known != caches_.eventAggregates.end()) existed = known->second.has_value();
  if (!upsertDataType(record, kEventsTable, "name", Value(aggregates.name()), kMaxEventAggregates,
                      error)) {
    acceptOwnChanges(APMDatabaseCaches::kEvents);
    return false;
  }
  // The row is read again on next use: what SQLite stores (a NaN as NULL) is what it gives back.
  caches_.eventAggregates.erase(aggregates.name());
  if (caches_.publicEventNameCount && !aggregates.name().starts_with("_")) {
    if (!existed) {
      caches_.publicEventNameCount.reset();
    } else if (!*existed) {
      ++*caches_.publicEventNameCount;
    }
  }
  acceptOwnChanges(APMDatabaseCaches::kEvents);
  return true;
}

std::optional<int64_t> APMDatabase::publicEventCount(APMErrorSlot* error) {
  checkSequence("publicEventCount");
  if (!requireStore(error)) return std::nullopt;
  refreshCaches();
  if (caches_.publicEventNameCount) return caches_.publicEventNameCount;
  auto count = sqliteStore_->numberForQuery(
      "SELECT count(1) FROM events WHERE name NOT LIKE '!_%' ESCAPE '!'", {}, error,
      APMStatementCaching::kKeep);
  if (!count) return std::nullopt;
  caches_.publicEventNameCount = count->numberAsInteger();
  return caches_.publicEventNameCount;
}

bool APMDatabase::clearCurrentSessionCounts(APMErrorSlot* error) {
  checkSequence("clearCurrentSessionCounts");
  if (!requireStore(error)) return false;
  Value zero(0);
  refreshCaches();
  bool cleared = sqliteStore_->updateAllRecordsInTableWithName(
      kEventsTable, "current_session_count", &zero, error);
  // The rows change, the names stay.
  caches_.eventAggregates.clear();
  acceptOwnChanges(APMDatabaseCaches::kEvents);
  return cleared;
}

bool APMDatabase::deleteAllEventAggregates(APMErrorSlot* error) {
  checkSequence("deleteAllEventAggregates");
  if (!requireStore(error)) return false;
  return sqliteStore_->deleteAllRecordsFromTableWithName(kEventsTable, error);
}

bool APMDatabase::deleteAllEventAggregatesInSnapshot(APMErrorSlot* error) {
  checkSequence("deleteAllEventAggregatesInSnapshot");
  if (!requireStore(error)) return false;
  return sqliteStore_->deleteAllRecordsFromTableWithName(kEventsSnapshotTable, error);
}

bool APMDatabase::createEventsSnapshotTable(APMErrorSlot* error) {
  checkSequence("createEventsSnapshotTable");
  if (!requireStore(error)) return false;
  std::optional<bool> exists = sqliteStore_->tableExists(kEventsSnapshotTable, error);
  if (!exists) return false;
  if (*exists && !sqliteStore_->dropTableWithName(kEventsSnapshotTable, error)) return false;
  if (!sqliteStore_->createEmptyTable(kEventsSnapshotTable, kEventsTable, error)) {
    APMMonitor::monitor()->logWithLevel(4, 12058, "Failed to ensure event snapshot table");
    return false;
  }
  return sqliteStore_->copyContentsFromTable(kEventsTable, kEventsSnapshotTable, error);
}

bool APMDatabase::restoreFromEventsSnapshotTable(APMErrorSlot* error) {
  checkSequence("restoreFromEventsSnapshotTable");
  if (!requireStore(error)) return false;
  std::optional<bool> exists = sqliteStore_->tableExists(kEventsSnapshotTable, error);
  if (!exists) return false;
  if (!*exists) return true;
  auto rows = sqliteStore_->rowCountForTableWithName(kEventsSnapshotTable, error);
  if (!rows) return false;
  if (*rows == 0) return true;

  APMErrorSlot readError;
  std::optional<APMEventAggregates> currentFirstOpen = eventAggregatesWithName("_f", &readError);
  if (!sqliteStore_->deleteAllRecordsFromTableWithName(kEventsTable, error) ||
      !sqliteStore_->copyContentsFromTable(kEventsSnapshotTable, kEventsTable, error)) {
    return false;
  }
  bool firstOpenKept = true;
  if (currentFirstOpen) {
    std::optional<APMEventAggregates> restored = eventAggregatesWithName("_f", &readError);
    if (!restored || restored->lifetimeCount() == 0) {
      firstOpenKept = updateEventAggregates(*currentFirstOpen, error);
    }
  }
  // The snapshot is emptied even when the first open could not be written back: a snapshot left
  // behind would be restored again at the next grant. The lost first-open count still answers NO,
  // so that the caller logs it, with the write-back's error.
  if (!firstOpenKept) {
    sqliteStore_->deleteAllRecordsFromTableWithName(kEventsSnapshotTable, nullptr);
    return false;
  }
  return sqliteStore_->deleteAllRecordsFromTableWithName(kEventsSnapshotTable, error);
}

// --- Daily counts ---

int32_t APMDatabase::currentDayNumber() const {
  double now = platform::Clock::current()->now();
  double day = std::floor((now - settings_->midnightOffset()) / 86400.0);
  if (!(day >= std::numeric_limits<int32_t>::min())) return std::numeric_limits<int32_t>::min();
  if (day > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  return static_cast<int32_t>(day);
}

std::optional<APMDailyCounts> APMDatabase::dailyCounts(APMErrorSlot* error) {
  checkSequence("dailyCounts");
  if (unwrittenDailyCounts_) return unwrittenDailyCounts_;
  refreshCaches();
  if (caches_.dailyCounts) return caches_.dailyCounts;
  bool dayStored = false;
  std::optional<APMDailyCounts> counts = storedDailyCounts(error, &dayStored);
  // A row that never stored a day counts for the day it is read on: kept only once it has one.
  if (dayStored) caches_.dailyCounts = counts;
  return counts;
}

std::optional<APMDailyCounts> APMDatabase::storedDailyCounts(APMErrorSlot* error, bool* dayStored) {
  std::optional<APMDailyCounts> counts;
  int32_t today = currentDayNumber();
  Value key(1);
  if (!dataTypesFromTableWithName(
          kAppMetadataTable, "rowid", &key, error, [&](const APMSqliteRecord& record) {
            counts.emplace(int32Column(record, "day", today),
                           int32Column(record, "daily_conversions_count"),
                           int32Column(record, "daily_events_count"),
                           int32Column(record, "daily_public_events_count"),
                           int32Column(record, "daily_error_events_count"),
                           int32Column(record, "daily_real_time_conversion_events_count"),
                           int32Column(record, "daily_real_time_dcu_events_count"));
            if (dayStored != nullptr) *dayStored = numberColumn(record, "day") != nullptr;
            return true;
          })) {
    return std::nullopt;
  }
  if (!counts) APMSetError(error, 3, "Received empty dictionary for getting daily counts");
  return counts;
}

bool APMDatabase::updateDailyCounts(const APMDailyCounts& counts, APMErrorSlot* error) {
  checkSequence("updateDailyCounts");
  if (!requireStore(error)) return false;
  // Every event of a commit group stores its counts: the group writes the last of them once,
  // just before its commit.
  if (sqliteStore_->holdsGroupTransaction()) {
    unwrittenDailyCounts_ = counts;
    return true;
  }
  return writeDailyCounts(counts, error);
}

bool APMDatabase::writeDailyCounts(const APMDailyCounts& counts, APMErrorSlot* error) {
  // One kept statement, the columns in the order of the generic update of these columns.
  // Never destroyed: the worker may still write while the process exits.
  static const std::string& kUpdateDailyCounts = *new std::string(
      "UPDATE app_metadata SET daily_conversions_count=?,daily_error_events_count=?,"
      "daily_events_count=?,daily_public_events_count=?,"
      "daily_real_time_conversion_events_count=?,daily_real_time_dcu_events_count=?,day=? "
      "WHERE rowid=?");
  refreshCaches();
  caches_.dailyCounts.reset();
  bool updated = requireStore(error) &&
                 sqliteStore_->executeKeptStatement(
                     kUpdateDailyCounts,
                     {Value(counts.conversionsCount()), Value(counts.errorEventsCount()),
                      Value(counts.allEventsCount()), Value(counts.publicEventsCount()),
                      Value(counts.realtimeCount()), Value(counts.dcuRealtimeCount()),
                      Value(counts.day()), Value(1)},
                     error) &&
                 APMCheckResult(sqlite3_changes64(sqliteStore_->sqliteHandle()) != 0, error, 2,
                                "Failed to update record. Item doesn't exist");
  acceptOwnChanges(APMDatabaseCaches::kAppMetadata);
  if (updated) caches_.dailyCounts = counts;
  return updated;
}
