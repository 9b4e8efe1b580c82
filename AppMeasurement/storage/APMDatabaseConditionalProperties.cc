// Conditional user properties and complex-event state of APMDatabase.

#include <algorithm>
#include <limits>

#include "AppMeasurement/storage/APMDatabase.h"
#include "AppMeasurement/storage/APMDatabaseColumns.h"
#include "platform/dispatch/Clock.h"

namespace {

using platform::Value;
using namespace apm_database_columns;

constexpr int64_t kMaxConditionalProperties = 1000;

// An event stored as its encoded Event message.
std::optional<APMEvent> eventFromColumn(const Value& column, APMErrorSlot* error) {
  if (!APMCheckResult(column.isBytes(), error, 2,
                      "Failed to convert data to an event. Data must be a NSData instance"))
    return std::nullopt;
  std::optional<APMPBEvent> message =
      APMPBEvent::initWithBuffer(std::string_view(column.asBytes()->data));
  if (!APMCheckNonNil(message, error, 2, "Failed to parse event from data")) return std::nullopt;
  std::optional<APMEvent> event = APMEvent::createWithEventProto(*message);
  if (!event) APMSetError(error, 2, "Failed to initialize event from proto data");
  return event;
}

std::optional<std::string> encodedEvent(const APMEvent& event) {
  std::optional<std::string> data = event.protoEvent().protoBuffer();
  if (!data || data->empty()) return std::nullopt;
  return data;
}

}  // namespace

std::optional<APMConditionalUserProperty> APMDatabase::conditionalUserPropertyFromRecord(
    const APMSqliteRecord& record, APMErrorSlot* error) {
  APMConditionalUserProperty property;
  property.name = textColumn(record, "name");
  property.origin = textColumn(record, "origin");
  if (auto it = record.find("value"); it != record.end()) {
    property.value = APMValue::valueFromObject(APMObject(it->second));
  }
  property.triggerTimeout = doubleColumn(record, "trigger_timeout");
  property.timeToLive = doubleColumn(record, "time_to_live");
  if (auto it = record.find("trigger_event_name"); it != record.end() && it->second.isString()) {
    property.triggerEventName = *it->second.asString();
  }
  struct EventColumn {
    const char* column;
    std::optional<APMEvent>* field;
  };
  for (const EventColumn& column : {EventColumn{"triggered_event", &property.triggeredEvent},
                                    EventColumn{"timed_out_event", &property.timedOutEvent},
                                    EventColumn{"expired_event", &property.expiredEvent}}) {
    auto it = record.find(column.column);
    if (it == record.end() || it->second.isNull()) continue;
    *column.field = eventFromColumn(it->second, error);
    if (!*column.field) return std::nullopt;
  }
  property.active = int32Column(record, "active") != 0;
  property.creationTimestamp = doubleColumn(record, "creation_timestamp");
  property.triggeredTimestamp = doubleColumn(record, "triggered_timestamp");
  return property;
}

std::optional<APMConditionalUserProperty> APMDatabase::conditionalUserPropertyWithName(
    std::string_view name, APMErrorSlot* error) {
  checkSequence("conditionalUserPropertyWithName");
  std::optional<APMConditionalUserProperty> found;
  Value key(name);
  if (!dataTypesFromTableWithName(kConditionalPropertiesTable, "name", &key, error,
                                  [&](const APMSqliteRecord& record) {
                                    if (!found)
                                      found = conditionalUserPropertyFromRecord(record, error);
                                    return found.has_value();
                                  })) {
    return std::nullopt;
  }
  return found;
}

bool APMDatabase::updateConditionalUserProperty(const APMConditionalUserProperty& property,
                                                APMErrorSlot* error) {
  checkSequence("updateConditionalUserProperty");
  if (property.name.empty()) {
    APMSetError(error, 3,
                "Received conditional user property with empty name for getting dictionary "
                "representation");
    return false;
  }
  if (property.origin.empty()) {
    APMSetError(error, 3,
                "Received conditional user property with empty origin for getting dictionary "
                "representation");
    return false;
  }
  if (!property.value) {
    APMSetError(error, 3,
                "Received conditional user property with nil value for getting dictionary "
                "representation");
    return false;
  }
  APMSqliteRecord record{{"name", Value(property.name)},
                         {"origin", Value(property.origin)},
                         {"value", storedValue(*property.value)},
                         {"creation_timestamp", Value(property.creationTimestamp)},
                         {"active", Value(property.active)},
                         {"trigger_timeout", Value(property.triggerTimeout)},
                         {"triggered_timestamp", Value(property.triggeredTimestamp)},
                         {"time_to_live", Value(property.timeToLive)}};
  if (!property.triggerEventName.empty()) {
    record.emplace("trigger_event_name", Value(property.triggerEventName));
  }
  struct EventColumn {
    const char* column;
    const std::optional<APMEvent>* field;
  };
  for (const EventColumn& column : {EventColumn{"triggered_event", &property.triggeredEvent},
                                    EventColumn{"timed_out_event", &property.timedOutEvent},
                                    EventColumn{"expired_event", &property.expiredEvent}}) {
    if (!*column.field) continue;
    std::optional<std::string> data = encodedEvent(**column.field);
    if (!APMCheckNonNil(data, error, 3, "Failed to encode a conditional user property event"))
      return false;
    record.emplace(column.column, Value::bytes(std::move(*data)));
  }
  return upsertDataType(record, kConditionalPropertiesTable, "name", Value(property.name),
                        kMaxConditionalProperties, error);
}

bool APMDatabase::deleteConditionalUserPropertyWithName(std::string_view name,
                                                        APMErrorSlot* error) {
  checkSequence("deleteConditionalUserPropertyWithName");
  if (!requireStore(error)) return false;
  Value key(name);
  return sqliteStore_->deleteRecordFromTableWithName(kConditionalPropertiesTable, "name", &key,
                                                     error);
}

bool APMDatabase::deleteConditionalUserPropertyWithRowID(int64_t rowID, APMErrorSlot* error) {
  checkSequence("deleteConditionalUserPropertyWithRowID");
  if (!requireStore(error)) return false;
  return sqliteStore_
      ->deleteRecordsFromTableWithName(kConditionalPropertiesTable, "rowid=?",
                                       {Value(static_cast<long long>(rowID))}, error)
      .has_value();
}

std::optional<APMConditionalUserPropertySchedule> APMDatabase::conditionalUserPropertySchedule(
    APMErrorSlot* error) {
  checkSequence("conditionalUserPropertySchedule");
  if (!requireStore(error)) return std::nullopt;
  // A property times out or expires when |now - x| > d: (x, d) is (creation, trigger timeout)
  // while inactive and (triggered, time to live) while active.
  auto records = sqliteStore_->recordsForQuery(
      "SELECT active, trigger_event_name, "
      "CASE active WHEN 0 THEN creation_timestamp ELSE triggered_timestamp END AS x, "
      "CASE active WHEN 0 THEN trigger_timeout ELSE time_to_live END AS d "
      "FROM conditional_properties",
      {}, error);
  if (!records) return std::nullopt;
  APMConditionalUserPropertySchedule schedule;
  schedule.quietFrom = -std::numeric_limits<double>::infinity();
  schedule.quietUntil = std::numeric_limits<double>::infinity();
  for (const APMSqliteRecord& record : *records) {
    double x = doubleColumn(record, "x");
    double d = doubleColumn(record, "d");
    schedule.quietFrom = std::max(schedule.quietFrom, x - d);
    schedule.quietUntil = std::min(schedule.quietUntil, x + d);
    if (int32Column(record, "active") == 0) {
      if (auto name = record.find("trigger_event_name");
          name != record.end() && name->second.isString()) {
        schedule.waitingFor.insert(*name->second.asString());
      }
    }
  }
  return schedule;
}

std::optional<std::vector<APMConditionalUserProperty>>
APMDatabase::conditionalUserPropertiesWithCondition(std::string_view condition,
                                                    const APMSqliteValues& values,
                                                    APMErrorSlot* error,
                                                    APMUnreadableRows* unreadableRows) {
  checkSequence("conditionalUserPropertiesWithCondition");
  if (!APMCheckResult(!condition.empty(), error, 1,
                      "Received empty condition for querying a conditional user property"))
    return std::nullopt;
  if (!requireStore(error)) return std::nullopt;
  auto records = sqliteStore_->recordsForQuery(
      "SELECT rowid, * FROM conditional_properties WHERE " + std::string(condition), values, error);
  if (!records) return std::nullopt;
  std::vector<APMConditionalUserProperty> properties;
  bool complete = true;
  for (const APMSqliteRecord& record : *records) {
    APMErrorSlot rowError;
    auto property = conditionalUserPropertyFromRecord(record, &rowError);
    if (!property) {
      APMError reason = rowError.value_or(apm_errorWithCode(2, "Unreadable row"));
      if (unreadableRows != nullptr) {
        unreadableRows->push_back(
            {int64Column(record, "rowid").value_or(0), textColumn(record, "name"), reason});
      }
      if (complete && error != nullptr) *error = reason;
      complete = false;
      continue;
    }
    properties.push_back(std::move(*property));
  }
  if (!complete) return std::nullopt;
  return properties;
}

std::optional<std::vector<APMConditionalUserProperty>>
APMDatabase::timedOutConditionalUserPropertiesWithError(APMErrorSlot* error,
                                                        APMUnreadableRows* unreadableRows) {
  return conditionalUserPropertiesWithCondition(
      "active=0 and abs(? - creation_timestamp) > trigger_timeout",
      {Value(platform::Clock::current()->now())}, error, unreadableRows);
}

std::optional<std::vector<APMConditionalUserProperty>>
APMDatabase::expiredConditionalUserPropertiesWithError(APMErrorSlot* error,
                                                       APMUnreadableRows* unreadableRows) {
  return conditionalUserPropertiesWithCondition(
      "active=1 and abs(? - triggered_timestamp) > time_to_live",
      {Value(platform::Clock::current()->now())}, error, unreadableRows);
}

std::optional<std::vector<APMConditionalUserProperty>>
APMDatabase::triggeredConditionalUserPropertiesWithEventName(std::string_view eventName,
                                                             APMErrorSlot* error,
                                                             APMUnreadableRows* unreadableRows) {
  if (eventName.empty()) {
    APMSetError(error, 1,
                "Received nil/empty event name for querying triggered conditional user "
                "properties");
    return std::nullopt;
  }
  return conditionalUserPropertiesWithCondition(
      "active=0 and trigger_event_name=? and abs(? - creation_timestamp) <= trigger_timeout",
      {Value(eventName), Value(platform::Clock::current()->now())}, error, unreadableRows);
}

std::optional<std::vector<APMConditionalUserProperty>>
APMDatabase::conditionalUserPropertiesWithPrefix(std::string_view prefix, std::string_view origin,
                                                 APMErrorSlot* error,
                                                 APMUnreadableRows* unreadableRows) {
  std::string condition;
  APMSqliteValues values;
  if (!origin.empty()) {
    condition = "origin LIKE ?";
    values.push_back(Value(origin));
  }
  if (!prefix.empty()) {
    condition += std::string(condition.empty() ? "" : " AND ") + "name LIKE ? || '%'";
    values.push_back(Value(prefix));
  }
  if (condition.empty()) condition = "1 == 1";
  return conditionalUserPropertiesWithCondition(condition, values, error, unreadableRows);
}

// --- Complex events ---

std::optional<std::pair<APMEvent, int64_t>> APMDatabase::mainEventAndChildCountPairWithEventID(
    int64_t eventID, APMErrorSlot* error) {
  checkSequence("mainEventAndChildCountPairWithEventID");
  if (!requireStore(error)) return std::nullopt;
  auto records =
      sqliteStore_->recordsForQuery("SELECT * FROM main_event_params WHERE event_id=? LIMIT 1",
                                    {Value(static_cast<long long>(eventID))}, error);
  if (!records) return std::nullopt;
  if (records->empty()) return std::nullopt;
  const APMSqliteRecord& record = records->front();
  auto blob = record.find("main_event");
  if (!APMCheckResult(blob != record.end(), error, 3, "Main event blob is nil in database"))
    return std::nullopt;
  APMErrorSlot decodeError;
  std::optional<APMEvent> event = eventFromColumn(blob->second, &decodeError);
  if (!APMCheckNonNil(event, error, 3, "Main event blob is nil in database")) return std::nullopt;
  std::optional<int64_t> count = int64Column(record, "children_to_process");
  if (!APMCheckNonNil(count, error, 3, "Complex event does not have children count in database"))
    return std::nullopt;
  return std::pair{std::move(*event), *count};
}

bool APMDatabase::updateComplexEventForAudienceEvaluationWithEventID(int64_t eventID,
                                                                     int64_t childEventCount,
                                                                     const APMEvent& mainEvent,
                                                                     APMErrorSlot* error) {
  checkSequence("updateComplexEventForAudienceEvaluationWithEventID");
  std::optional<std::string> data = encodedEvent(mainEvent);
  if (!APMCheckNonNil(data, error, 1, "Cannot create the main event blob")) return false;
  return insertDataType({{"main_event", Value::bytes(std::move(*data))},
                         {"event_id", Value(static_cast<long long>(eventID))},
                         {"children_to_process", Value(static_cast<long long>(childEventCount))}},
                        kMainEventParamsTable, error);
}

bool APMDatabase::deleteComplexEventForAudienceEvaluationWithEventID(int64_t eventID,
                                                                     APMErrorSlot* error) {
  checkSequence("deleteComplexEventForAudienceEvaluationWithEventID");
  if (!requireStore(error)) return false;
  return sqliteStore_
      ->deleteRecordsFromTableWithName(kMainEventParamsTable, "event_id=?",
                                       {Value(static_cast<long long>(eventID))}, error)
      .has_value();
}
