#include "AppMeasurement/engine/APMConditionalUserPropertyController.h"

#include <cmath>

#include "AppMeasurement/engine/APMMeasurement.h"
#include "AppMeasurement/engine/APMMeasurementSupport.h"
#include "AppMeasurement/foundation/APMDataTypeValidator.h"
#include "AppMeasurement/foundation/APMDisplayNames.h"
#include "AppMeasurement/foundation/APMNameTables.h"
#include "AppMeasurement/foundation/APMScheduler.h"
#include "AppMeasurement/foundation/APMUserAttribute.h"
#include "AppMeasurement/storage/APMDatabase.h"
#include "platform/dispatch/DispatchSemaphore.h"

using apm_engine::monitor;

namespace {

constexpr double kQueryWaitSeconds = 30;

// The timed-out, expired and waiting conditions of one pass; the waiting one ends with the
// trigger-name test the caller appends.
constexpr const char* kMetCondition =
    "(active=0 AND abs(? - creation_timestamp) > trigger_timeout) OR "
    "(active=1 AND abs(? - triggered_timestamp) > time_to_live) OR "
    "(active=0 AND abs(? - creation_timestamp) <= trigger_timeout AND ";

APMLogContext errorContext(const APMErrorSlot& error) {
  return error ? APMLogContext(*error) : APMLogContext();
}

std::string propertyName(const std::string& name) {
  return APMUserPropertyNameForDisplay(APMObject(platform::Value(name)));
}

std::string displayEventName(const std::string& name) {
  return APMEventNameForDisplay(APMObject(platform::Value(name)));
}

// NaN fails both comparisons, so it is refused with the out-of-range values.
bool isValidInterval(double seconds) {
  return seconds >= APMConditionalUserPropertyController::kMinimumInterval &&
         seconds <= APMConditionalUserPropertyController::kMaximumInterval;
}

// The stored event as a new, non-public event of the property's origin at `timestamp`.
std::optional<APMEvent> stampedEvent(const APMEvent& stored, const std::string& origin,
                                     double timestamp) {
  return APMEvent::create(origin, false, stored.name(), timestamp, 0, stored.parameters());
}

// The internal name an allowed public event name is stored under, else the name itself.
std::string internalEventName(const std::string& name) {
  const APMNameTable& internalNames = APMAllowedPublicEventNameMap();
  auto internal = internalNames.find(name);
  return internal != internalNames.end() ? internal->second : name;
}

// Whether an event of that name at `now` may meet a stored property: outside the quiet span
// (with a millisecond's margin for rounding against the queries' own arithmetic), or named as
// a trigger.
bool mayMeet(const APMConditionalUserPropertySchedule& schedule, const std::string& eventName,
             double now) {
  constexpr double kMargin = 0.001;
  if (!(now > schedule.quietFrom + kMargin && now < schedule.quietUntil - kMargin)) return true;
  return schedule.waitingFor.contains(eventName) ||
         schedule.waitingFor.contains(internalEventName(eventName));
}

// The class name a caller would see for a value that is not a string.
std::string className(const platform::Value& value) {
  if (value.isNumber()) return "NSNumber";
  if (value.isArray()) return "NSArray";
  if (value.isDictionary()) return "NSDictionary";
  if (value.isBytes()) return "NSData";
  if (value.isDate()) return "NSDate";
  return "NSNull";
}

}  // namespace

std::shared_ptr<APMConditionalUserPropertyController>
APMConditionalUserPropertyController::sharedInstance() {
  static std::shared_ptr<APMConditionalUserPropertyController>& instance =
      *new std::shared_ptr<APMConditionalUserPropertyController>(
          std::make_shared<APMConditionalUserPropertyController>(
              [] { return APMMeasurement::sharedInstance(); }));
  return instance;
}

APMConditionalUserPropertyController::APMConditionalUserPropertyController(EngineProvider engine)
    : engine_(std::move(engine)) {}

// --- Any thread ---

void APMConditionalUserPropertyController::setConditionalUserProperty(
    const APMConditionalUserProperty* property, const std::string& name) {
  if (property == nullptr) {
    monitor().logWithLevel(2, 11002, "Cannot set nil conditional user property");
    return;
  }
  APMConditionalUserProperty copy = *property;
  copy.name = name;
  if (!APMDataTypeValidator::isValidConditionalUserPropertyOrigin(
          APMObject(platform::Value(copy.origin))) ||
      !APMDataTypeValidator::isValidConditionalUserPropertyName(
          APMObject(platform::Value(copy.name))) ||
      (copy.value &&
       !APMDataTypeValidator::isValidConditionalUserPropertyValue(APMObject(*copy.value)))) {
    return;
  }
  if (!isValidInterval(copy.triggerTimeout)) {
    monitor().logWithLevel(2, 11000, "Invalid conditional user property trigger timeout",
                           copy.triggerTimeout);
    return;
  }
  if (!isValidInterval(copy.timeToLive)) {
    monitor().logWithLevel(2, 11001, "Invalid conditional user property time to live",
                           copy.timeToLive);
    return;
  }
  copy.creationTimestamp = apm_engine::now();
  std::shared_ptr<APMMeasurement> engine = engine_();
  if (!engine) return;
  std::weak_ptr<APMMeasurement> weakEngine = engine;
  EngineProvider provider = engine_;
  engine->scheduler()->scheduleOnWorkerQueueBlockID(
      "APMConditionalUserPropertyController:88", [weakEngine, provider, copy] {
        if (weakEngine.expired()) return;
        APMConditionalUserPropertyController controller(provider);
        if (copy.value)
          controller.setConditionalUserPropertyOnWorkerQueue(&copy);
        else
          controller.removeConditionalUserPropertyOnWorkerQueue(&copy);
      });
}

void APMConditionalUserPropertyController::clearConditionalUserPropertyWithClearEvent(
    std::optional<APMEvent> clearEvent, const std::string& name) {
  if (!APMDataTypeValidator::isValidConditionalUserPropertyName(APMObject(platform::Value(name))))
    return;
  APMConditionalUserProperty request;
  request.name = name;
  request.expiredEvent = std::move(clearEvent);
  std::shared_ptr<APMMeasurement> engine = engine_();
  if (!engine) return;
  std::weak_ptr<APMMeasurement> weakEngine = engine;
  EngineProvider provider = engine_;
  engine->scheduler()->scheduleOnWorkerQueueBlockID(
      "APMConditionalUserPropertyController:113", [weakEngine, provider, request] {
        if (weakEngine.expired()) return;
        APMConditionalUserPropertyController(provider).removeConditionalUserPropertyOnWorkerQueue(
            &request);
      });
}

std::optional<std::vector<APMConditionalUserProperty>>
APMConditionalUserPropertyController::conditionalUserPropertiesWithNamePrefix(
    const platform::Value& prefix, const platform::Value& origin) {
  if (!prefix.isNull() && !prefix.isString()) {
    monitor().logWithLevel(
        2, 11003,
        "Cannot query for conditional user properties. Name prefix is not a string. Class",
        className(prefix));
    return std::nullopt;
  }
  if (!origin.isNull() && !origin.isString()) {
    monitor().logWithLevel(
        2, 11004, "Cannot query for conditional user properties. Origin is not a string. Class",
        className(origin));
    return std::nullopt;
  }
  std::string prefixText = prefix.isString() ? *prefix.asString() : "";
  std::string originText = origin.isString() ? *origin.asString() : "";
  // The answer is shared with the block: the block may finish after the wait gave up.
  struct Answer {
    std::mutex mutex;
    std::optional<std::vector<APMConditionalUserProperty>> result;  // guarded by mutex
    APMErrorSlot error;                                             // guarded by mutex
    platform::DispatchSemaphore done;
  };
  auto answer = std::make_shared<Answer>();
  std::shared_ptr<APMMeasurement> engine = engine_();
  EngineProvider provider = engine_;
  auto block = [provider, answer, prefixText, originText] {
    std::shared_ptr<APMMeasurement> current = provider();
    if (!current || !current->isEnabled() || current->database() == nullptr) {
      monitor().logWithLevel(3, 11005,
                             "Cannot query for conditional user properties. Analytics is disabled");
    } else {
      APMConditionalUserPropertyController controller(provider);
      APMDatabase& database = *current->database();
      std::optional<std::vector<APMConditionalUserProperty>> result;
      APMErrorSlot error;
      database.performTransaction([&] {
        result = controller.readDeletingUnreadableRows(
            database,
            [&](APMErrorSlot* slot, APMUnreadableRows* unreadable) {
              return database.conditionalUserPropertiesWithPrefix(prefixText, originText, slot,
                                                                  unreadable);
            },
            &error);
        return true;
      });
      current->conditionalUserPropertySchedule().reset();  // unreadable rows may have gone
      std::lock_guard<std::mutex> lock(answer->mutex);
      answer->result = std::move(result);
      answer->error = std::move(error);
    }
    answer->done.signal();
  };
  if (!engine) {
    monitor().logWithLevel(3, 11005,
                           "Cannot query for conditional user properties. Analytics is disabled");
    return std::nullopt;
  }
  std::shared_ptr<platform::DispatchQueue> current = platform::DispatchQueue::current();
  if (current && current == engine->scheduler()->workerQueue()) {
    block();
  } else {
    engine->scheduler()->scheduleOnWorkerQueueBlockID("APMConditionalUserPropertyController:161",
                                                      block);
    if (!answer->done.wait(kQueryWaitSeconds)) return std::nullopt;
  }
  std::lock_guard<std::mutex> lock(answer->mutex);
  if (!answer->result && answer->error) {
    monitor().logWithLevel(
        2, 11006, "Cannot query for conditional user properties. Name prefix, origin, error",
        prefixText, originText, errorContext(answer->error));
  }
  return answer->result;
}

// --- Worker queue ---

std::optional<std::vector<APMConditionalUserProperty>>
APMConditionalUserPropertyController::readDeletingUnreadableRows(APMDatabase& database,
                                                                 const ListQuery& query,
                                                                 APMErrorSlot* error) {
  APMUnreadableRows unreadable;
  std::optional<std::vector<APMConditionalUserProperty>> list = query(error, &unreadable);
  if (list || unreadable.empty()) return list;
  for (const APMUnreadableRow& row : unreadable) {
    monitor().logWithLevel(4, 10012,
                           "Deleted a conditional user property that cannot be read. Name, error",
                           propertyName(row.name), APMLogContext(row.error));
    if (!database.deleteConditionalUserPropertyWithRowID(row.rowID, error)) return std::nullopt;
  }
  if (error != nullptr) error->reset();
  return query(error, nullptr);
}

std::optional<std::vector<APMConditionalUserProperty>>
APMConditionalUserPropertyController::readLoggingFailure(APMDatabase& database,
                                                         const ListQuery& query, int64_t code,
                                                         const char* message) {
  APMErrorSlot error;
  std::optional<std::vector<APMConditionalUserProperty>> list =
      readDeletingUnreadableRows(database, query, &error);
  if (!list) monitor().logWithLevel(1, code, message, errorContext(error));
  return list;
}

bool APMConditionalUserPropertyController::storedProperty(
    APMDatabase& database, const std::string& name,
    std::optional<APMConditionalUserProperty>* stored, APMErrorSlot* error) {
  std::optional<std::vector<APMConditionalUserProperty>> rows = readDeletingUnreadableRows(
      database,
      [&](APMErrorSlot* slot, APMUnreadableRows* unreadable) {
        return database.conditionalUserPropertiesWithCondition("name=?", {platform::Value(name)},
                                                               slot, unreadable);
      },
      error);
  if (!rows) return false;
  if (rows->empty())
    stored->reset();
  else
    *stored = rows->front();
  return true;
}

void APMConditionalUserPropertyController::setConditionalUserPropertyOnWorkerQueue(
    const APMConditionalUserProperty* property) {
  APMScheduler::checkOnBackgroundThreadWithMethodName("setConditionalUserPropertyOnWorkerQueue:");
  std::shared_ptr<APMMeasurement> engine = engine_();
  if (!engine || !engine->isEnabled() || engine->database() == nullptr) {
    monitor().logWithLevel(3, 11007, "Cannot set conditional user property. Analytics is disabled");
    return;
  }
  if (property == nullptr) {
    monitor().logWithLevel(2, 11008, "Cannot set nil conditional user property on worker queue");
    return;
  }
  APMDatabase& database = *engine->database();
  std::optional<APMEvent> triggered;
  bool committed = database.performTransaction([&] {
    APMConditionalUserProperty next = *property;
    triggered.reset();
    std::optional<APMConditionalUserProperty> stored;
    APMErrorSlot error;
    if (!storedProperty(database, next.name, &stored, &error)) {
      monitor().logWithLevel(1, 11009,
                             "Cannot query conditional user property. Name, origin, error",
                             propertyName(next.name), next.origin, errorContext(error));
      return false;
    }
    if (stored && stored->origin != next.origin) {
      monitor().logWithLevel(
          5, 11010,
          "Updating a conditional user property with different origin. Name, origin, "
          "saved origin",
          propertyName(next.name), next.origin, stored->origin);
    }
    bool activatedNow = false;
    if (stored && stored->active) {
      // Re-setting an active property keeps what its activation was made of.
      next.origin = stored->origin;
      next.creationTimestamp = stored->creationTimestamp;
      next.triggerEventName = stored->triggerEventName;
      next.triggeredEvent = stored->triggeredEvent;
      next.triggerTimeout = stored->triggerTimeout;
    } else if (next.triggerEventName.empty()) {
      next.active = true;
      next.triggeredTimestamp = next.creationTimestamp;
      activatedNow = true;
    }
    if (next.active && next.value) {
      std::optional<APMUserAttribute> attribute =
          APMUserAttribute::create(next.origin, next.name, *next.value, next.triggeredTimestamp);
      APMErrorSlot writeError;
      if (attribute && database.updateUserAttribute(*attribute, &writeError)) {
        monitor().logWithLevel(7, 11012, "User property updated. Name, origin",
                               propertyName(next.name), next.origin);
      } else {
        monitor().logWithLevel(
            1, 11011,
            "Cannot update user property from conditional user property. Name, origin, "
            "error",
            propertyName(next.name), next.origin, errorContext(writeError));
      }
      if (activatedNow && next.triggeredEvent) {
        triggered = stampedEvent(*next.triggeredEvent, next.origin, next.triggeredTimestamp);
      }
    }
    if (stored && stored->active) {
      next.active = stored->active;
      next.triggeredTimestamp = stored->triggeredTimestamp;
    }
    APMErrorSlot storeError;
    if (database.updateConditionalUserProperty(next, &storeError)) {
      monitor().logWithLevel(7, 11013, "Conditional user property added. Name, origin",
                             propertyName(next.name), next.origin);
    } else {
      monitor().logWithLevel(
          1, 11014,
          "Cannot insert user property from conditional user property. Name, origin, "
          "error",
          propertyName(next.name), next.origin, errorContext(storeError));
    }
    return true;
  });
  engine->conditionalUserPropertySchedule().reset();
  if (committed && triggered) engine->writeEventOnWorkerQueue(std::move(*triggered));
}

void APMConditionalUserPropertyController::removeConditionalUserPropertyOnWorkerQueue(
    const APMConditionalUserProperty* property) {
  APMScheduler::checkOnBackgroundThreadWithMethodName(
      "removeConditionalUserPropertyOnWorkerQueue:");
  std::shared_ptr<APMMeasurement> engine = engine_();
  if (!engine || !engine->isEnabled() || engine->database() == nullptr) {
    monitor().logWithLevel(3, 11015,
                           "Cannot remove conditional user property. Analytics is disabled");
    return;
  }
  if (property == nullptr) {
    monitor().logWithLevel(0, 11016, "Cannot remove nil conditional user property on worker queue");
    return;
  }
  APMDatabase& database = *engine->database();
  std::optional<APMEvent> cleared;
  bool committed = database.performTransaction([&] {
    cleared.reset();
    std::optional<APMConditionalUserProperty> stored;
    APMErrorSlot error;
    if (!storedProperty(database, property->name, &stored, &error)) {
      monitor().logWithLevel(
          1, 11017, "Cannot query conditional user property to remove. Name, origin, error",
          propertyName(property->name), property->origin, errorContext(error));
      return false;
    }
    if (!stored) {
      monitor().logWithLevel(4, 11018,
                             "Cannot remove nonexistent conditional user property. Name, origin",
                             propertyName(property->name), property->origin);
      return true;
    }
    if (!database.deleteConditionalUserPropertyWithName(stored->name, &error)) {
      monitor().logWithLevel(1, 11019,
                             "Cannot delete conditional user property. Name, origin, error",
                             propertyName(stored->name), stored->origin, errorContext(error));
      return false;
    }
    if (stored->active && !database.deleteUserAttributeWithName(stored->name, &error)) {
      monitor().logWithLevel(1, 11020,
                             "Cannot remove conditional user property. Failed to delete the user "
                             "property. Name, origin, error",
                             propertyName(stored->name), stored->origin, errorContext(error));
      return false;
    }
    if (property->expiredEvent) {
      cleared = stampedEvent(*property->expiredEvent, stored->origin, apm_engine::now());
    }
    return true;
  });
  engine->conditionalUserPropertySchedule().reset();
  if (committed && cleared) engine->writeEventOnWorkerQueue(std::move(*cleared));
}

std::optional<std::vector<APMEvent>>
APMConditionalUserPropertyController::processEventOnWorkerQueue(const APMEvent* event) {
  APMScheduler::checkOnBackgroundThreadWithMethodName("processEventOnWorkerQueue:");
  if (event == nullptr) {
    monitor().logWithLevel(2, 10000, "Cannot process nil event for conditional user property");
    return std::nullopt;
  }
  std::shared_ptr<APMMeasurement> engine = engine_();
  if (!engine || engine->database() == nullptr) return std::nullopt;
  APMDatabase& database = *engine->database();
  std::shared_ptr<APMConditionalUserPropertySchedule>& schedule =
      engine->conditionalUserPropertySchedule();
  if (schedule && !mayMeet(*schedule, event->name(), apm_engine::now())) {
    return std::vector<APMEvent>{};
  }
  std::vector<APMEvent> timedOut;
  std::vector<APMEvent> expired;
  std::optional<std::vector<APMEvent>> triggered;
  bool committed = database.performTransaction([&] {
    timedOut.clear();
    expired.clear();
    triggered.reset();
    APMErrorSlot error;
    std::optional<MetProperties> met = propertiesMetByEvent(database, event->name(), &error);
    if (!met) {
      // The steps' own reads, in their order, tell which one fails (10001, 10004 or 10008);
      // when none does, the pass goes on through them.
      if (!removeTimedOutCUPWithTimedOutEvents(&timedOut)) return false;
      if (!removeExpiredCUPWithExpiredEvents(&expired)) return false;
      triggered = updateConditionalUserPropertiesWithEventNameOnWorkerQueue(event->name());
      return triggered.has_value();
    }
    if (!removeTimedOut(database, met->timedOut, &timedOut)) return false;
    if (!removeExpired(database, met->expired, &expired)) return false;
    triggered = activate(database, std::move(met->waiting));
    return triggered.has_value();
  });
  std::optional<APMConditionalUserPropertySchedule> next =
      database.conditionalUserPropertySchedule(nullptr);
  schedule =
      next ? std::make_shared<APMConditionalUserPropertySchedule>(std::move(*next)) : nullptr;
  if (!committed) return std::nullopt;
  // They do not pass through conditional user properties again.
  for (APMEvent& made : timedOut) engine->writeFilteredEventOnWorkerQueue(std::move(made));
  for (APMEvent& made : expired) engine->writeFilteredEventOnWorkerQueue(std::move(made));
  return triggered;
}

std::optional<APMConditionalUserPropertyController::MetProperties>
APMConditionalUserPropertyController::propertiesMetByEvent(APMDatabase& database,
                                                           const std::string& eventName,
                                                           APMErrorSlot* error) {
  // One pass over the table instead of one per step: the three conditions of the timed-out,
  // expired and triggered queries, told apart below at the same instant.
  double now = apm_engine::now();
  std::string internalName = internalEventName(eventName);
  std::optional<std::vector<APMConditionalUserProperty>> rows = readDeletingUnreadableRows(
      database,
      [&](APMErrorSlot* slot, APMUnreadableRows* unreadable) {
        // Plain equalities: cheaper per row than an IN list, which this scan pays 1,000 times.
        return internalName == eventName
                   ? database.conditionalUserPropertiesWithCondition(
                         kMetCondition + std::string("trigger_event_name=?)"),
                         {platform::Value(now), platform::Value(now), platform::Value(now),
                          platform::Value(eventName)},
                         slot, unreadable)
                   : database.conditionalUserPropertiesWithCondition(
                         kMetCondition +
                             std::string("(trigger_event_name=? OR trigger_event_name=?))"),
                         {platform::Value(now), platform::Value(now), platform::Value(now),
                          platform::Value(eventName), platform::Value(internalName)},
                         slot, unreadable);
      },
      error);
  if (!rows) return std::nullopt;
  MetProperties met;
  std::vector<APMConditionalUserProperty> waitingForInternalName;
  for (APMConditionalUserProperty& property : *rows) {
    if (!property.active && std::fabs(now - property.creationTimestamp) > property.triggerTimeout) {
      met.timedOut.push_back(std::move(property));
    } else if (property.active &&
               std::fabs(now - property.triggeredTimestamp) > property.timeToLive) {
      met.expired.push_back(std::move(property));
    } else if (!property.active && property.triggerEventName == eventName) {
      met.waiting.push_back(std::move(property));
    } else if (!property.active && property.triggerEventName == internalName) {
      waitingForInternalName.push_back(std::move(property));
    }
  }
  // The internal name counts only when nothing waits for the public one.
  if (met.waiting.empty()) met.waiting = std::move(waitingForInternalName);
  return met;
}

bool APMConditionalUserPropertyController::removeTimedOutCUPWithTimedOutEvents(
    std::vector<APMEvent>* timedOutEvents) {
  std::shared_ptr<APMMeasurement> engine = engine_();
  if (!engine || engine->database() == nullptr) return false;
  APMDatabase& database = *engine->database();
  std::optional<std::vector<APMConditionalUserProperty>> properties = readLoggingFailure(
      database,
      [&](APMErrorSlot* slot, APMUnreadableRows* unreadable) {
        return database.timedOutConditionalUserPropertiesWithError(slot, unreadable);
      },
      10001, "Cannot fetch timed out conditional user properties. Error");
  return properties && removeTimedOut(database, *properties, timedOutEvents);
}

bool APMConditionalUserPropertyController::removeTimedOut(
    APMDatabase& database, const std::vector<APMConditionalUserProperty>& properties,
    std::vector<APMEvent>* timedOutEvents) {
  for (const APMConditionalUserProperty& property : properties) {
    monitor().logWithLevel(7, 10002, "Conditional user property has timed out. Name",
                           propertyName(property.name));
    APMErrorSlot error;
    if (!database.deleteConditionalUserPropertyWithName(property.name, &error)) {
      monitor().logWithLevel(1, 10003,
                             "Cannot delete timed out condition user property. Name, error",
                             propertyName(property.name), errorContext(error));
      return false;
    }
    if (property.timedOutEvent) {
      std::optional<APMEvent> made =
          stampedEvent(*property.timedOutEvent, property.origin, apm_engine::now());
      if (made) timedOutEvents->push_back(std::move(*made));
    }
  }
  return true;
}

bool APMConditionalUserPropertyController::removeExpiredCUPWithExpiredEvents(
    std::vector<APMEvent>* expiredEvents) {
  std::shared_ptr<APMMeasurement> engine = engine_();
  if (!engine || engine->database() == nullptr) return false;
  APMDatabase& database = *engine->database();
  std::optional<std::vector<APMConditionalUserProperty>> properties = readLoggingFailure(
      database,
      [&](APMErrorSlot* slot, APMUnreadableRows* unreadable) {
        return database.expiredConditionalUserPropertiesWithError(slot, unreadable);
      },
      10004, "Cannot fetch expired conditional user properties. Error");
  return properties && removeExpired(database, *properties, expiredEvents);
}

bool APMConditionalUserPropertyController::removeExpired(
    APMDatabase& database, const std::vector<APMConditionalUserProperty>& properties,
    std::vector<APMEvent>* expiredEvents) {
  for (const APMConditionalUserProperty& property : properties) {
    monitor().logWithLevel(
        7, 10005, "Conditional user property has expired. Name, expired event",
        propertyName(property.name),
        property.expiredEvent ? displayEventName(property.expiredEvent->name()) : "");
    APMErrorSlot error;
    if (!database.deleteUserAttributeWithName(property.name, &error)) {
      monitor().logWithLevel(1, 10006,
                             "Cannot remove conditional user property. Failed to delete the user "
                             "property. Name, origin, error",
                             propertyName(property.name), property.origin, errorContext(error));
      return false;
    }
    if (!database.deleteConditionalUserPropertyWithName(property.name, &error)) {
      monitor().logWithLevel(1, 10007, "Cannot delete expired condition user property. Name, error",
                             propertyName(property.name), errorContext(error));
      return false;
    }
    if (property.expiredEvent) {
      std::optional<APMEvent> made =
          stampedEvent(*property.expiredEvent, property.origin, apm_engine::now());
      if (made) expiredEvents->push_back(std::move(*made));
    }
  }
  return true;
}

std::optional<std::vector<APMEvent>>
APMConditionalUserPropertyController::updateConditionalUserPropertiesWithEventNameOnWorkerQueue(
    const std::string& eventName) {
  std::shared_ptr<APMMeasurement> engine = engine_();
  if (!engine || engine->database() == nullptr) return std::nullopt;
  APMDatabase& database = *engine->database();
  auto waitingFor = [&](const std::string& name, APMErrorSlot* error) {
    return readDeletingUnreadableRows(
        database,
        [&](APMErrorSlot* slot, APMUnreadableRows* unreadable) {
          return database.triggeredConditionalUserPropertiesWithEventName(name, slot, unreadable);
        },
        error);
  };
  APMErrorSlot error;
  std::optional<std::vector<APMConditionalUserProperty>> properties = waitingFor(eventName, &error);
  if (properties && properties->empty()) {
    const APMNameTable& internalNames = APMAllowedPublicEventNameMap();
    if (auto internal = internalNames.find(eventName); internal != internalNames.end()) {
      properties = waitingFor(internal->second, &error);
    }
  }
  if (!properties) {
    monitor().logWithLevel(1, 10008,
                           "Cannot fetch triggering conditional user properties. Event name, error",
                           displayEventName(eventName), errorContext(error));
    return std::nullopt;
  }
  return activate(database, std::move(*properties));
}

std::optional<std::vector<APMEvent>> APMConditionalUserPropertyController::activate(
    APMDatabase& database, std::vector<APMConditionalUserProperty> properties) {
  std::vector<APMEvent> triggered;
  for (APMConditionalUserProperty& property : properties) {
    double now = apm_engine::now();
    std::optional<APMUserAttribute> attribute =
        property.value
            ? APMUserAttribute::create(property.origin, property.name, *property.value, now)
            : std::nullopt;
    APMErrorSlot writeError;
    if (attribute && database.updateUserAttribute(*attribute, &writeError)) {
      monitor().logWithLevel(7, 10010, "User property updated. Name, origin, value",
                             propertyName(property.name), property.origin,
                             property.value->description());
    } else {
      monitor().logWithLevel(
          1, 10009,
          "Cannot update user property from conditional user property. Name, origin, error",
          propertyName(property.name), property.origin, errorContext(writeError));
    }
    if (property.triggeredEvent) {
      std::optional<APMEvent> made = stampedEvent(*property.triggeredEvent, property.origin, now);
      if (made) triggered.push_back(std::move(*made));
    }
    property.active = true;
    property.triggeredTimestamp = now;
    APMErrorSlot error;
    if (!database.updateConditionalUserProperty(property, &error)) {
      monitor().logWithLevel(1, 10011,
                             "Cannot update conditional user property. Name, origin, error",
                             propertyName(property.name), property.origin, errorContext(error));
      return std::nullopt;
    }
  }
  return triggered;
}
