// Audience filters and results in APMDatabase.

#include <algorithm>

#include "AppMeasurement/storage/APMDatabase.h"
#include "AppMeasurement/storage/APMDatabaseColumns.h"

namespace {

using apm_database_columns::blobColumn;
using apm_database_columns::int32Column;
using apm_database_columns::textColumn;
using platform::Value;

// SQLite limits the depth of an expression tree (1000 by default), and a chain of OR terms
// is as deep as it is long: deletions by key go in chunks well below that.
constexpr size_t kFilterKeysPerDelete = 400;

struct FilterFlags {
  bool sessionScoped = false;
  bool dynamic = false;
  bool sequence = false;
};

template <class Message>
FilterFlags flagsOf(const std::string& data, uint32_t sessionScoped, uint32_t dynamic,
                    uint32_t sequence) {
  std::optional<Message> message = Message::initWithBuffer(std::string_view(data));
  if (!message) return {};
  return {NANOGetBool(*message, sessionScoped), NANOGetBool(*message, dynamic),
          NANOGetBool(*message, sequence)};
}

}  // namespace

std::optional<std::vector<APMEventFilter>> APMDatabase::eventFiltersForEventName(
    std::string_view name, APMErrorSlot* error) {
  checkSequence("eventFiltersForEventName");
  if (!APMCheckResult(!name.empty(), error, 1,
                      "Received empty event name for getting event filters"))
    return std::nullopt;
  if (!requireStore(error)) return std::nullopt;
  refreshCaches();
  if (auto cached = caches_.eventFilters.find(name); cached != caches_.eventFilters.end()) {
    return cached->second;
  }
  std::vector<APMEventFilter> filters;
  Value key(name);
  if (!dataTypesFromTableWithName(
          kEventFiltersTable, "event_name", &key, error, [&](const APMSqliteRecord& record) {
            std::string data = blobColumn(record, "data").value_or("");
            FilterFlags flags =
                flagsOf<APMPBEventFilter>(data, APMPBEventFilter::kSessionScoped,
                                          APMPBEventFilter::kDynamic, APMPBEventFilter::kSequence);
            filters.emplace_back(int32Column(record, "audience_id"),
                                 int32Column(record, "filter_id"), textColumn(record, "event_name"),
                                 std::move(data), flags.sessionScoped, flags.dynamic,
                                 flags.sequence);
            return true;
          })) {
    return std::nullopt;
  }
  caches_.eventFilters.emplace(std::string(name), filters);
  return filters;
}

std::optional<std::vector<APMPropertyFilter>> APMDatabase::propertyFiltersForPropertyName(
    std::string_view name, APMErrorSlot* error) {
  checkSequence("propertyFiltersForPropertyName");
  if (!APMCheckResult(!name.empty(), error, 1,
                      "Received empty property name for getting property filters"))
    return std::nullopt;
  std::vector<APMPropertyFilter> filters;
  Value key(name);
  if (!dataTypesFromTableWithName(
          kPropertyFiltersTable, "property_name", &key, error, [&](const APMSqliteRecord& record) {
            std::string data = blobColumn(record, "data").value_or("");
            FilterFlags flags = flagsOf<APMPBPropertyFilter>(
                data, APMPBPropertyFilter::kSessionScoped, APMPBPropertyFilter::kDynamic,
                APMPBPropertyFilter::kSequence);
            filters.emplace_back(int32Column(record, "audience_id"),
                                 int32Column(record, "filter_id"),
                                 textColumn(record, "property_name"), std::move(data),
                                 flags.sessionScoped, flags.dynamic, flags.sequence);
            return true;
          })) {
    return std::nullopt;
  }
  return filters;
}

bool APMDatabase::updateEventFilters(const std::vector<APMEventFilter>& filters,
                                     APMErrorSlot* error) {
  checkSequence("updateEventFilters");
  if (!APMCheckResult(!filters.empty(), error, 1, "Received empty event filters to update"))
    return false;
  for (const APMEventFilter& filter : filters) {
    if (filter.eventName().empty()) {
      APMSetError(error, 3,
                  "Received event filter with empty event name for getting dictionary "
                  "representation");
      return false;
    }
    if (filter.data().empty()) {
      APMSetError(error, 3,
                  "Received event filter with empty data for getting dictionary representation");
      return false;
    }
    APMSqliteRecord record{{"audience_id", Value(filter.audienceID())},
                           {"filter_id", Value(filter.filterID())},
                           {"event_name", Value(filter.eventName())},
                           {"data", Value::bytes(filter.data())},
                           {"session_scoped", Value(filter.isSessionScoped())}};
    if (!insertDataType(record, kEventFiltersTable, error)) return false;
  }
  return true;
}

bool APMDatabase::updatePropertyFilters(const std::vector<APMPropertyFilter>& filters,
                                        APMErrorSlot* error) {
  checkSequence("updatePropertyFilters");
  if (!APMCheckResult(!filters.empty(), error, 1, "Received empty property filters to update"))
    return false;
  for (const APMPropertyFilter& filter : filters) {
    if (filter.propertyName().empty()) {
      APMSetError(error, 3,
                  "Received property filter with empty property name for getting dictionary "
                  "representation");
      return false;
    }
    if (filter.data().empty()) {
      APMSetError(error, 3,
                  "Received property filter with empty data for getting dictionary representation");
      return false;
    }
    APMSqliteRecord record{{"audience_id", Value(filter.audienceID())},
                           {"filter_id", Value(filter.filterID())},
                           {"property_name", Value(filter.propertyName())},
                           {"data", Value::bytes(filter.data())},
                           {"session_scoped", Value(filter.isSessionScoped())}};
    if (!insertDataType(record, kPropertyFiltersTable, error)) return false;
  }
  return true;
}

bool APMDatabase::deleteFiltersByKeys(std::string_view table,
                                      const std::vector<std::pair<int32_t, int32_t>>& keys,
                                      APMErrorSlot* error) {
  if (!requireStore(error)) return false;
  for (size_t start = 0; start < keys.size(); start += kFilterKeysPerDelete) {
    size_t end = std::min(keys.size(), start + kFilterKeysPerDelete);
    std::string condition;
    for (size_t i = start; i < end; ++i) {
      if (i > start) condition += " OR ";
      condition += "(audience_id=" + std::to_string(keys[i].first) +
                   " AND filter_id=" + std::to_string(keys[i].second) + ")";
    }
    if (!sqliteStore_->deleteRecordsFromTableWithName(table, condition, {}, error)) return false;
  }
  return true;
}

bool APMDatabase::deleteEventFilters(const std::vector<APMEventFilter>& filters,
                                     APMErrorSlot* error) {
  checkSequence("deleteEventFilters");
  if (!APMCheckResult(!filters.empty(), error, 1, "Received empty event filters to delete"))
    return false;
  std::vector<std::pair<int32_t, int32_t>> keys;
  for (const auto& filter : filters) keys.emplace_back(filter.audienceID(), filter.filterID());
  return deleteFiltersByKeys(kEventFiltersTable, keys, error);
}

bool APMDatabase::deletePropertyFilters(const std::vector<APMPropertyFilter>& filters,
                                        APMErrorSlot* error) {
  checkSequence("deletePropertyFilters");
  if (!APMCheckResult(!filters.empty(), error, 1, "Received empty property filters to delete"))
    return false;
  std::vector<std::pair<int32_t, int32_t>> keys;
  for (const auto& filter : filters) keys.emplace_back(filter.audienceID(), filter.filterID());
  return deleteFiltersByKeys(kPropertyFiltersTable, keys, error);
}

bool APMDatabase::deleteAllEventFilters(APMErrorSlot* error) {
  checkSequence("deleteAllEventFilters");
  if (!requireStore(error)) return false;
  return sqliteStore_->deleteAllRecordsFromTableWithName(kEventFiltersTable, error);
}

bool APMDatabase::deleteAllPropertyFilters(APMErrorSlot* error) {
  checkSequence("deleteAllPropertyFilters");
  if (!requireStore(error)) return false;
  return sqliteStore_->deleteAllRecordsFromTableWithName(kPropertyFiltersTable, error);
}

std::optional<std::vector<int32_t>> APMDatabase::allAudienceIDs(APMErrorSlot* error) {
  checkSequence("allAudienceIDs");
  if (!requireStore(error)) return std::nullopt;
  auto records = sqliteStore_->recordsForQuery(
      "SELECT audience_id FROM event_filters UNION SELECT audience_id FROM property_filters", {},
      error);
  if (!records) return std::nullopt;
  std::vector<int32_t> ids;
  for (const APMSqliteRecord& record : *records) {
    auto it = record.find("audience_id");
    if (!APMCheckResult(it != record.end() && it->second.isInteger(), error, 1,
                        "Received nil audience ID for querying all audience IDs"))
      return std::nullopt;
    ids.push_back(static_cast<int32_t>(*it->second.asInteger()));
  }
  return ids;
}

std::optional<std::map<int32_t, std::set<int32_t>>> APMDatabase::allSessionScopedFilters(
    APMErrorSlot* error) {
  checkSequence("allSessionScopedFilters");
  if (!requireStore(error)) return std::nullopt;
  auto records = sqliteStore_->recordsForQuery(
      "SELECT audience_id, filter_id FROM event_filters WHERE session_scoped = 1 UNION SELECT "
      "audience_id, filter_id FROM property_filters WHERE session_scoped = 1",
      {}, error);
  if (!records) return std::nullopt;
  std::map<int32_t, std::set<int32_t>> filters;
  for (const APMSqliteRecord& record : *records) {
    filters[int32Column(record, "audience_id")].insert(int32Column(record, "filter_id"));
  }
  return filters;
}

std::optional<std::map<int32_t, APMFilterResult>> APMDatabase::allFilterResults(
    APMErrorSlot* error) {
  checkSequence("allFilterResults");
  std::map<int32_t, APMFilterResult> results;
  if (!allDataTypesFromTableWithName(
          kAudienceFilterValuesTable, -1, error, [&](const APMSqliteRecord& record) {
            int32_t id = int32Column(record, "audience_id");
            results.insert_or_assign(id, APMFilterResult(id, blobColumn(record, "current_results"),
                                                         blobColumn(record, "previous_results")));
            return true;
          })) {
    return std::nullopt;
  }
  return results;
}

std::optional<APMFilterResult> APMDatabase::filterResultForAudienceID(int32_t audienceID,
                                                                      APMErrorSlot* error) {
  checkSequence("filterResultForAudienceID");
  std::optional<APMFilterResult> result;
  Value key(audienceID);
  if (!dataTypesFromTableWithName(kAudienceFilterValuesTable, "audience_id", &key, error,
                                  [&](const APMSqliteRecord& record) {
                                    if (!result) {
                                      result.emplace(audienceID,
                                                     blobColumn(record, "current_results"),
                                                     blobColumn(record, "previous_results"));
                                    }
                                    return true;
                                  })) {
    return std::nullopt;
  }
  return result;
}

bool APMDatabase::updateFilterResults(const std::vector<APMFilterResult>& results,
                                      APMErrorSlot* error) {
  checkSequence("updateFilterResults");
  if (!APMCheckResult(!results.empty(), error, 1, "Received empty filter results to update"))
    return false;
  for (const APMFilterResult& result : results) {
    if (!result.currentResults() || result.currentResults()->empty()) {
      APMSetError(error, 3,
                  "Received filter result with empty data for getting dictionary representation");
      return false;
    }
    const auto& previous = result.previousResults();
    APMSqliteRecord record{
        {"audience_id", Value(result.audienceID())},
        {"current_results", Value::bytes(*result.currentResults())},
        {"previous_results", previous && !previous->empty() ? Value::bytes(*previous) : Value()}};
    if (!insertDataType(record, kAudienceFilterValuesTable, error)) return false;
  }
  return true;
}

bool APMDatabase::deleteFilterResults(const std::vector<APMFilterResult>& results,
                                      APMErrorSlot* error) {
  checkSequence("deleteFilterResults");
  if (!APMCheckResult(!results.empty(), error, 1, "Received empty filter results to delete"))
    return false;
  if (!requireStore(error)) return false;
  std::set<int32_t> ids;
  for (const APMFilterResult& result : results) ids.insert(result.audienceID());
  std::string list;
  for (int32_t id : ids) list += (list.empty() ? "" : ",") + std::to_string(id);
  return sqliteStore_
      ->deleteRecordsFromTableWithName(kAudienceFilterValuesTable, "audience_id IN (" + list + ")",
                                       {}, error)
      .has_value();
}
