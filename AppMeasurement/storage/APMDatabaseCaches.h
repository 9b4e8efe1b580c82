#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "AppMeasurement/foundation/APMError.h"
#include "AppMeasurement/foundation/APMUserAttribute.h"
#include "AppMeasurement/records/APMDailyCounts.h"
#include "AppMeasurement/records/APMEventAggregates.h"
#include "AppMeasurement/storage/APMEventFilter.h"
#include "AppMeasurement/storage/APMSqliteStore.h"

// What is known without a query of a table whose rows carry a time and a real-time flag
// (raw_events, queue). Each part is either known exactly or absent (read again on next use).
struct APMTimedTableSummary {
  std::optional<int64_t> rowCount;
  std::optional<int64_t> realtimeRowCount;
  // The largest timestamp; known to be none for an empty table.
  std::optional<std::optional<double>> latestTimestamp;

  void noteInserted(double timestamp, bool isRealtime) {
    if (rowCount) ++*rowCount;
    if (realtimeRowCount && isRealtime) ++*realtimeRowCount;
    if (latestTimestamp) {
      *latestTimestamp = *latestTimestamp ? std::max(**latestTimestamp, timestamp) : timestamp;
    }
  }
  // Rows went whose flags and times are not known.
  void noteDeleted(int64_t rows) {
    if (rowCount) *rowCount = std::max<int64_t>(*rowCount - rows, 0);
    realtimeRowCount.reset();
    latestTimestamp.reset();
    noteIfEmpty();
  }
  // Known rows went: `rows` of them, `realtimeRows` flagged, the latest time among them (none
  // when unknown). The latest time of the table is read again only if it may have gone.
  void noteDeleted(int64_t rows, int64_t realtimeRows, std::optional<double> latestDeleted) {
    if (rowCount) *rowCount = std::max<int64_t>(*rowCount - rows, 0);
    if (realtimeRowCount)
      *realtimeRowCount = std::max<int64_t>(*realtimeRowCount - realtimeRows, 0);
    if (latestTimestamp && *latestTimestamp && latestDeleted &&
        *latestDeleted >= **latestTimestamp) {
      latestTimestamp.reset();
    }
    noteIfEmpty();
  }
  // Rows changed in place: their number stays, their flags and times may not.
  void noteRewritten() {
    realtimeRowCount.reset();
    latestTimestamp.reset();
  }
  void noteIfEmpty() {
    if (rowCount && *rowCount == 0) {
      realtimeRowCount = 0;
      latestTimestamp = std::optional<double>();
    }
  }
};

// One user_attributes row as the list read gives it: the attribute, or why it cannot be read.
struct APMCachedUserAttributeRow {
  std::string name;
  int64_t rowID = 0;
  std::optional<APMUserAttribute> attribute;
  std::optional<APMError> error;
};

// What APMDatabase keeps in memory of its tables so that writing an event needs no SELECT. Every
// writer of APMDatabase keeps its part current; a write it did not make (seen by the store's
// change tracker) or a rolled-back transaction drops the parts of the tables concerned, which are
// then read again on next use. Worker queue only, like the database.
struct APMDatabaseCaches {
  // The tables watched, in bit order.
  static std::vector<std::string_view> watchedTables() {
    return {"raw_events",          "queue",      "user_attributes", "events", "app_metadata",
            "raw_events_metadata", "odm_values", "event_filters"};
  }
  enum Table : uint32_t {
    kRawEvents = 1 << 0,
    kQueue = 1 << 1,
    kUserAttributes = 1 << 2,
    kEvents = 1 << 3,
    kAppMetadata = 1 << 4,
    kRawEventsMetadata = 1 << 5,
    kODMValues = 1 << 6,
    kEventFilters = 1 << 7,
    kAll = (1 << 8) - 1,
  };

  APMTimedTableSummary rawEvents;
  APMTimedTableSummary queue;
  // Every user_attributes row in rowid order; absent when not read. Only a table of fewer
  // rows than the read's limit is held: a name beyond the limit would look absent.
  std::optional<std::vector<APMCachedUserAttributeRow>> userAttributes;
  // The read found fewer rows than its limit: a name not among them has no row.
  bool userAttributesComplete = false;
  // events rows by name; a nullopt value: no such row.
  std::map<std::string, std::optional<APMEventAggregates>, std::less<>> eventAggregates;
  std::optional<int64_t> publicEventNameCount;
  // The daily counts of the app_metadata row, once it has stored a day.
  std::optional<APMDailyCounts> dailyCounts;
  // Fingerprints known to have a raw_events_metadata row (bounded; cleared when full).
  std::set<int64_t> storedMetadataFingerprints;
  // The number of raw_events_metadata rows; absent when not counted.
  std::optional<int64_t> metadataRowCount;
  // odm_values rows by name; a nullopt value: no such row.
  std::map<std::string, std::optional<APMSqliteRecord>, std::less<>> odmValues;
  // event_filters rows by event name, as read (bundling evaluates every event against them).
  std::map<std::string, std::vector<APMEventFilter>, std::less<>> eventFilters;

  void invalidate(uint32_t tables) {
    if (tables & kRawEvents) rawEvents = {};
    if (tables & kQueue) queue = {};
    if (tables & kUserAttributes) {
      userAttributes.reset();
      userAttributesComplete = false;
    }
    if (tables & kEvents) {
      eventAggregates.clear();
      publicEventNameCount.reset();
    }
    if (tables & kAppMetadata) dailyCounts.reset();
    if (tables & kRawEventsMetadata) {
      storedMetadataFingerprints.clear();
      metadataRowCount.reset();
    }
    if (tables & kODMValues) odmValues.clear();
    if (tables & kEventFilters) eventFilters.clear();
  }
};
