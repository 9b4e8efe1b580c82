// Event handling and writing: every event that reaches the engine passes these steps on the
// worker queue and ends in one exclusive database transaction.
#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <utility>

#include "AppMeasurement/engine/APMAnalytics.h"
#include "AppMeasurement/engine/APMConditionalUserPropertyController.h"
#include "AppMeasurement/engine/APMMeasurement.h"
#include "AppMeasurement/engine/APMMeasurementSupport.h"
#include "AppMeasurement/foundation/APMConsentSettingsUtil.h"
#include "AppMeasurement/foundation/APMDisplayNames.h"
#include "AppMeasurement/foundation/APMIdentity.h"
#include "AppMeasurement/foundation/APMNameUtil.h"
#include "AppMeasurement/foundation/APMParameterErrors.h"
#include "AppMeasurement/foundation/APMPersistedConfig.h"
#include "AppMeasurement/foundation/APMRemoteConfig.h"
#include "AppMeasurement/foundation/APMScheduler.h"
#include "AppMeasurement/foundation/APMUserAttribute.h"
#include "AppMeasurement/records/APMPackedEvent.h"
#include "AppMeasurement/script/APMPEventContext.h"
#include "AppMeasurement/script/APMPEventEditing.h"
#include "AppMeasurement/storage/APMDatabase.h"
#include "AppMeasurement/storage/APMRecycledBlock.h"

using apm_engine::monitor;

namespace {

bool isConversionEventName(std::string_view name) {
  return name == "ecommerce_purchase" || name == "_f" || name == "_iap" || name == "purchase" ||
         name == "refund";
}

// Counted against the real-time limit: everything but "_iap", "_f", "_dcu" and "_fx", and
// nothing in debug mode.
bool isLimitedRealtimeEvent(std::string_view name, bool debugMode) {
  if (debugMode) return false;
  return name != "_iap" && name != "_f" && name != "_dcu" && name != "_fx";
}

// 1 plus the items of every array parameter.
int32_t effectiveCount(const APMEvent& event) {
  return static_cast<int32_t>(1 + APMEventArrayElementCount(event));
}

APMLogContext errorContext(const APMErrorSlot& error) {
  return error ? APMLogContext(*error) : APMLogContext();
}

// The previous first-open count as stored (decimal text); missing or negative counts as 0.
int64_t firstOpenCountOf(const std::optional<platform::Value>& previous) {
  int64_t count = 0;
  if (previous) {
    if (previous->isString())
      count = std::atoll(previous->asString()->c_str());
    else
      count = previous->numberAsInteger().value_or(0);
  }
  return std::max<int64_t>(count, 0);
}

std::string displayName(const APMEvent& event) {
  return APMEventNameForDisplay(APMObject(platform::Value(event.name())));
}

// The event's parameter as a log context: its value, or nil when the event has none.
APMLogContext parameterContext(const APMEvent& event, std::string_view name) {
  auto found = event.parameters().find(name);
  if (found == event.parameters().end()) return APMLogContext();
  const APMValue& value = found->second;
  if (value.isDouble()) return APMLogContext(platform::Value(value.doubleValue()));
  if (value.isInt64()) return APMLogContext(platform::Value(value.int64Value()));
  if (value.isString()) return APMLogContext(platform::Value(*value.stringValue()));
  return APMLogContext(platform::Value(value.description()));
}

// For lines logged on every event: built only when the line is written.
APMLogContext deferredDisplayName(const APMEvent& event) {
  return APMLogContext::deferredText([&event] { return displayName(event); });
}
APMLogContext deferredParametersDescription(const APMEvent& event) {
  return APMLogContext::deferredText([&event] { return APMDescriptionForLog(event.parameters()); });
}

}  // namespace

void APMMeasurement::handleInternalEventOnWorkerQueue(APMEvent event) {
  if (!APMIsErrorEvent(event)) {
    std::optional<platform::Value::Dictionary> defaults =
        persistedConfig_->defaultEventParameters();
    if (defaults && !defaults->empty()) {
      APMObjectMap map = APMObject::mapFromDictionary(*defaults);
      if (event.name() == "_cmp") map = APMParametersWithoutOadPrefix(map);
      event.applyParameters(map, true);
    }
  }
  APMEvent copy = event;
  handleEventOnWorkerQueue(std::move(event));
  APMAnalytics::notifyEventListeners(copy);
}

void APMMeasurement::handleEventOnWorkerQueue(APMEvent event) {
  APMScheduler::checkOnBackgroundThreadWithMethodName("handleEventOnWorkerQueue:");
  if (!isEnabled()) {
    monitor().logWithLevel(7, 23049, "Analytics is disabled. Event not logged");
    return;
  }
  std::optional<APMEvent> safelisted = eventAfterSafelistingEvent(event);
  if (!safelisted) return;
  event = std::move(*safelisted);
  if (!database_) return;
  if (!features_.screenViewReporter->isAppActive()) processSessionFromEvent(event);
  if (!dedupeSubscriptionEvent(event)) return;
  if (event.name() == "_ssr" && shouldDropDuplicatedSessionStartWithRolloutEvent(event)) return;
  if (event.name() == "_ae") {
    if (std::optional<std::string> rollouts = persistedConfig_->kavrelinFeatureRollouts()) {
      event.setParameter("_ffr", APMValue(*rollouts));
      event = event.copy();
    }
  }
  if (event.name() == "_s") {
    APMScheduler::checkOnBackgroundThreadWithMethodName("writeSessionStartEventOnWorkerQueue:");
    // The events stored before the session's own start (its first open, what the app logged
    // before it became active) take the session's identifier and number.
    const APMValue* sessionID = event.parameter("_sid");
    const APMValue* sessionNumber = event.parameter("_sno");
    if (sessionID && sessionNumber) backfillSessionID(*sessionID, *sessionNumber);
    if (std::optional<std::string> rollouts = persistedConfig_->kavrelinFeatureRollouts()) {
      std::optional<APMEvent> rolloutEvent =
          APMEvent::create("auto", false, "_ssr", apm_engine::now(), 0,
                           APMObjectMap{{"_ffr", APMObject(platform::Value(*rollouts))}});
      if (rolloutEvent) writeEventOnWorkerQueue(std::move(*rolloutEvent));
    }
  }
  std::shared_ptr<APMRemoteConfig> config = remoteConfigInstance();
  std::shared_ptr<APMPEventEditing> editing = config ? config->eventEditing() : nullptr;
  // Every written event reschedules the upload, with or without an editing program: new
  // data may bring the next upload forward.
  if (!editing) {
    writeEventOnWorkerQueue(std::move(event));
    updateSchedule();
    return;
  }
  APMPErrorSlot editError;
  APMPEvent editForm = event.editEvent();
  bool changed = editing->handleEvent(editForm, &editError);
  if (editError) {
    monitor().logWithLevel(1, 23223, "Event editing failed. Event name", displayName(event));
    writeEventOnWorkerQueue(std::move(event));
    updateSchedule();
    return;
  }
  (void)changed;
  if (editing->hasEdits()) {
    // An edit that makes no valid event (an invalid new name) writes nothing: the original
    // is not what the program asked for.
    if (std::optional<APMEvent> edited =
            APMEvent::eventFromEditEvent(editing->eventContext().outputEvent())) {
      writeEventOnWorkerQueue(std::move(*edited));
    }
  } else {
    writeEventOnWorkerQueue(std::move(event));
  }
  if (editing->hasCreatedEvents()) {
    // A created event keeps the name the program gave it: only the edited event's name comes
    // back through the public-to-internal table, so a created "first_open" is not a first open.
    for (const APMPEvent& created : editing->eventContext().eventsToLog()) {
      std::string origin = "app";
      if (const platform::Value* given = created.parameterForName("_o")) {
        if (const std::string* text = given->asString()) origin = *text;
      }
      std::optional<APMEvent> made =
          APMEvent::create(origin, false, created.name(), created.timestamp(), 0,
                           APMObject::mapFromDictionary(created.parameters()));
      if (made) writeEventOnWorkerQueue(std::move(*made));
    }
  }
  updateSchedule();
}

std::optional<APMEvent> APMMeasurement::eventAfterSafelistingEvent(const APMEvent& event) {
  if (safelistedEvents_.empty()) return event;
  for (const std::string& name : safelistedEvents_) {
    if (name == event.name()) {
      APMEvent copy = event;
      copy.setParameter("oa_safelisted", APMValue(int64_t{1}));
      return copy;
    }
  }
  monitor().logWithLevel(3, 23174, "Event dropped. Reason: not in allowlist. Event name, origin",
                         displayName(event), event.origin());
  return std::nullopt;
}

void APMMeasurement::processSessionFromEvent(const APMEvent& event) {
  std::shared_ptr<APMSessionReporting> sessions = features_.sessionReporter;
  if (const APMValue* extend = event.parameter("extend_session")) {
    if (extend->isInt64() && extend->int64Value() == 1) {
      if (sessions->isSessionExpired())
        reportSessionStartOnWorkerQueueWithTimestamp(event.timestamp(), true);
      else
        sessions->extendSession();
    } else {
      monitor().logWithLevel(3, 23179,
                             "extend_session is a reserved parameter. To extend or start a "
                             "session in the background, set an event parameter "
                             "{@'extend_session': @1}");
    }
  }
  if (!sessions->isSessionExpired()) return;
  struct Step {
    const char* name;
    int64_t code;
    const char* message;
  };
  static const Step steps[] = {
      {"_sid", 23177, "Failed to remove session ID user property on session expiration. Error"},
      {"_sno", 23178, "Failed to remove session number user property on session expiration. Error"},
      {"_se", 23192,
       "Failed to remove session user engagement user property on session expiration. Error"}};
  // Every event in the background meets an expired session: when none of the properties is
  // stored (they went with the first such event) there is nothing to delete, and no
  // transaction to open.
  bool anyStored = false;
  database_->performReads([&] {
    for (const Step& step : steps) {
      anyStored |= database_->containsUserAttributeWithName(step.name, nullptr).value_or(true);
    }
  });
  if (!anyStored) return;
  database_->performTransaction([this] {
    for (const Step& step : steps) {
      APMErrorSlot error;
      if (!database_->deleteUserAttributeWithName(step.name, &error)) {
        monitor().logWithLevel(2, step.code, step.message, errorContext(error));
        return false;
      }
    }
    return true;
  });
}

bool APMMeasurement::dedupeSubscriptionEvent(const APMEvent& event) {
  if (!APMIsSubscriptionEvent(event)) return true;
  const APMValue* did = event.parameter("_did");
  if (did == nullptr || !did->isInt64()) return true;
  const APMValue* product = event.parameter("product_id");
  std::string productID = product ? product->description() : "";
  APMErrorSlot error;
  std::optional<bool> inserted =
      database_->insertIfNotDuplicateSubscriptionID(std::to_string(did->int64Value()), &error);
  if (!inserted) {
    monitor().logWithLevel(2, 23181, "Failed to save subscription ID. Product ID, error", productID,
                           errorContext(error));
    return true;
  }
  if (!*inserted) {
    monitor().logWithLevel(
        4, 23182, "Event dropped. Reason: Subscription purchase is a duplicate. Product ID",
        productID);
    return false;
  }
  APMErrorSlot pruneError;
  std::optional<int64_t> deleted = database_->deleteSubscriptionsOverLimit(&pruneError);
  if (!deleted) {
    // A failed prune only leaves old identifiers behind; the new subscription is still written.
    monitor().logWithLevel(5, 23183, "Failed to delete older subscription records. Error",
                           errorContext(pruneError));
  } else if (*deleted > 0) {
    monitor().logWithLevel(5, 23184, "Deleted older subscription records beyond limit", *deleted);
  }
  return true;
}

bool APMMeasurement::shouldDropDuplicatedSessionStartWithRolloutEvent(const APMEvent& event) {
  const APMValue* value = event.parameter("_ffr");
  std::optional<std::string> stored = persistedConfig_->kavrelinFeatureRollouts();
  bool duplicate = stored ? (value && value->isString() && *value->stringValue() == *stored)
                          : (!value || (value->isString() && value->stringValue()->empty()));
  if (duplicate) {
    monitor().logWithLevel(8, 23191, "Feature rollouts value is a duplicate, dropping event");
    return true;
  }
  if (value && value->isString() && !value->stringValue()->empty()) {
    persistedConfig_->setKavrelinFeatureRollouts(*value->stringValue());
  } else {
    persistedConfig_->setKavrelinFeatureRollouts(std::nullopt);
    if (value && !value->isString()) {
      monitor().logWithLevel(2, 23190,
                             "Unable to process kavrelin feature rollouts, value is not a string.");
    }
  }
  return false;
}

void APMMeasurement::writeEventOnWorkerQueue(APMEvent event) {
  APMScheduler::checkOnBackgroundThreadWithMethodName("writeEventOnWorkerQueue:");
  monitor().logWithLevel(7, 23051, "Logging event: origin, name, params", event.origin(),
                         deferredDisplayName(event), deferredParametersDescription(event));
  std::optional<std::vector<APMEvent>> triggered = processConditionalUserProperties(event);
  if (!triggered) {
    monitor().logWithLevel(4, 23050,
                           "Unable to process conditional user property. Event name, origin",
                           displayName(event), event.origin());
  }
  writeFilteredEventOnWorkerQueue(std::move(event));
  for (APMEvent& made : triggered.value_or(std::vector<APMEvent>{})) {
    writeFilteredEventOnWorkerQueue(std::move(made));
  }
}

// --- Conditional user properties ---

std::optional<std::vector<APMEvent>> APMMeasurement::processConditionalUserProperties(
    const APMEvent& event) {
  std::weak_ptr<APMMeasurement> weakSelf = weak_from_this();
  APMConditionalUserPropertyController controller([weakSelf] { return weakSelf.lock(); });
  return controller.processEventOnWorkerQueue(&event);
}

void APMMeasurement::writeFilteredEventOnWorkerQueue(APMEvent event) {
  std::shared_ptr<APMRemoteConfig> config = currentConfig();
  if (config->isEventBlocklisted(event.name())) {
    monitor().logWithLevel(5, 23052, "Rejected event. Event name", displayName(event));
    if (!config->blocklistInternal() && !config->blocklistPublic() && !APMIsErrorEvent(event)) {
      apm_engine::logErrorEvent(11, event.name(), 40, APMObject(platform::Value(event.name())));
    }
    return;
  }
  identity_->updateIdentifiers();
  if (isConversionEventName(event.name())) event.setConversion(true);
  // Should the commit group it joins be rolled back, the transaction runs again after this
  // call returned: it holds the event, and each run starts from the event as it was before the
  // first (a run takes the real-time mark away, or sets it and the debug mark) and decides with
  // the memory the first run read. The first run takes the event itself and lets it go; the
  // runs again unpack it. A group holds up to 64 events until it commits: packed, and in
  // storage kept for the next group, they cost the allocations of the event path nothing (see
  // APMPackedEvent, APMRecycledBlock).
  struct HeldEvent {
    APMPackedEvent packed;
    std::optional<APMEvent> firstRun;
    bool isPublic;
    std::optional<APMEventMemoryInputs> memory;
  };
  bool isPublic = APMIsPublicName(event.name());
  database_->performRerunnableTransaction(APMRecycledBlock(
      // Packed before it moves: a braced list runs in order.
      [this, held = HeldEvent{APMPackedEvent(event), std::move(event), isPublic,
                              std::nullopt}]() mutable {
        bool firstRun = held.firstRun.has_value();
        if (firstRun) held.memory = eventMemoryInputs();
        APMEvent event = firstRun ? std::move(*held.firstRun) : held.packed.unpack();
        held.firstRun.reset();
        return writeEventTransaction(event, held.isPublic, *held.memory, firstRun);
      }));
}

APMEventMemoryInputs APMMeasurement::eventMemoryInputs() {
  APMEventMemoryInputs memory;
  memory.now = apm_engine::now();
  memory.day = dayNumberAt(memory.now);
  memory.debugMode = monitor().isDebugModeEnabled();
  // The request before the metadata's identifiers: a refresh they make that notices a reset
  // asks for the marker from the next event on.
  memory.lairRequested = identity_->shouldSetLastAdvertisingIDResetUserProperty();
  memory.lairRequestLeft = lairRequestLeft_;
  readRawEventMetadataMemoryInputs(memory);
  return memory;
}

bool APMMeasurement::lairRequestForRun(const APMEventMemoryInputs& memory, bool firstRun) {
  bool requested = memory.lairRequested;
  if (!firstRun) {
    // The first transaction run again after a group's rollback is the group's first: the
    // request is as the events before the group left it.
    if (database_->groupRollbacks() != lairRequestRollback_) {
      lairRequestRollback_ = database_->groupRollbacks();
      lairRequestLeft_ = memory.lairRequestLeft;
    }
    if (memory.lairRequested == memory.lairRequestLeft) requested = lairRequestLeft_;
  }
  // Only setting "_lair" clears it, with an undo should this run be rolled back.
  lairRequestLeft_ = requested;
  return requested;
}

bool APMMeasurement::writeEventTransaction(APMEvent& event, bool isPublic,
                                           APMEventMemoryInputs& memory, bool firstRun) {
  bool lairRequested = lairRequestForRun(memory, firstRun);
  if (features_.lifetimeValueRecorder->isPurchaseEvent(event) &&
      !features_.lifetimeValueRecorder->recordLifetimeValueToDatabase(*database_, event,
                                                                      memory.now)) {
    monitor().logWithLevel(1, 23053,
                           "Cannot record lifetime value of event. Name, currency code, "
                           "transaction value",
                           displayName(event), parameterContext(event, "currency"),
                           parameterContext(event, "value"));
    return false;
  }
  APMErrorSlot error;
  std::optional<APMDailyCounts> counts = database_->dailyCounts(&error);
  if (!counts) {
    monitor().logWithLevel(1, 23054, "Data loss. Unable to query daily event counts. Error",
                           errorContext(error));
    return false;
  }
  bool process = shouldProcessEvent(event, *counts, isPublic, memory);
  bool realtime = isRealtimeEvent(event, *counts, memory);
  if (!database_->updateDailyCounts(*counts, &error)) {
    monitor().logWithLevel(1, 23061, "Data loss. Unable to update daily event counts. Name, error",
                           displayName(event), errorContext(error));
    return false;
  }
  // A daily-limit drop still commits the raised counters.
  return process ? writeEvent(event, isPublic, realtime, memory, lairRequested) : true;
}

bool APMMeasurement::shouldProcessEvent(const APMEvent& event, APMDailyCounts& counts,
                                        bool isPublicEvent, const APMEventMemoryInputs& memory) {
  std::shared_ptr<APMRemoteConfig> config = currentConfig();
  int32_t day = memory.day;
  if (counts.day() != day) counts.resetWithNewDay(day);
  bool isError = APMIsErrorEvent(event);
  int32_t count = effectiveCount(event);
  int32_t overTotal = counts.allEventsCount() - config->maxEventsPerDay();
  if (overTotal >= 0) {
    if (overTotal % 1000 == 0) {
      monitor().logWithLevel(1, 23055, "Data loss. Too many events logged. Name, limit",
                             displayName(event), int64_t{config->maxEventsPerDay()});
    }
    if (isError)
      counts.incrementErrorEventsCountForCurrentDay(day);
    else
      counts.incrementCountsForCurrentDay(day, false, false, count);
    return false;
  }
  if (isError) {
    bool drop = counts.errorEventsCount() >= config->maxErrorEventsPerDay();
    if (drop) {
      int32_t over = counts.errorEventsCount() - config->maxErrorEventsPerDay();
      if (over % 1000 == 0) {
        const APMValue* code = event.parameter("_err");
        monitor().logWithLevel(1, 23056, "Too many error events logged. Error code, limit",
                               code ? code->description() : std::string(),
                               int64_t{config->maxErrorEventsPerDay()});
      }
    }
    counts.incrementErrorEventsCountForCurrentDay(day);
    if (drop) counts.decrementAllEventsCount();
    return !drop;
  }
  if (isPublicEvent) {
    bool drop = counts.publicEventsCount() >= config->maxPublicEventsPerDay();
    if (drop) {
      int32_t over = counts.publicEventsCount() - config->maxPublicEventsPerDay();
      if (over % 1000 == 0) {
        monitor().logWithLevel(1, 23057, "Data loss. Too many public events logged. Name, limit",
                               displayName(event), int64_t{config->maxPublicEventsPerDay()});
        logErrorEventWhenSettled(16, event.name());
      }
    }
    counts.incrementCountsForCurrentDay(day, true, false, count);
    if (drop) counts.decrementAllEventsCount();
    return !drop;
  }
  counts.incrementCountsForCurrentDay(day, false, false, count);
  return true;
}

bool APMMeasurement::isRealtimeEvent(APMEvent& event, APMDailyCounts& counts,
                                     const APMEventMemoryInputs& memory) {
  std::shared_ptr<APMRemoteConfig> config = currentConfig();
  bool limited = isLimitedRealtimeEvent(event.name(), memory.debugMode);
  bool byConversion = false;
  if (isConversionEventName(event.name()) || config->isEventCustomConversion(event.name())) {
    byConversion = counts.realtimeCount() < config->maxRealtimeEventCountPerDay() || !limited;
  }
  if (event.isRealtime() && limited &&
      counts.realtimeCount() >= config->maxRealtimeEventCountPerDay()) {
    event.setRealtime(false);
    monitor().logWithLevel(4, 23060,
                           "Too many real-time events. Event is no longer real-time. Event name, "
                           "parameters",
                           displayName(event), APMDescriptionForLog(event.parameters()));
  }
  if (event.isRealtime() && event.name() == "_dcu" && !memory.debugMode &&
      counts.dcuRealtimeCount() >= config->maxRealtimeDCUEventCountPerDay()) {
    event.setRealtime(false);
  }
  if (memory.debugMode) {
    event.setRealtime(true);
    event.setDebug(true);
    monitor().logWithLevel(7, 23073,
                           "Debug mode is enabled. Marking event as debug and real-time. Event "
                           "name, parameters",
                           displayName(event), APMDescriptionForLog(event.parameters()));
  }
  return byConversion || event.isRealtime();
}

bool APMMeasurement::writeEvent(const APMEvent& event, bool isPublicEvent, bool isRealtime,
                                APMEventMemoryInputs& memory, bool lairRequested) {
  std::shared_ptr<APMRemoteConfig> config = currentConfig();
  APMErrorSlot error;
  std::optional<APMEventAggregates> aggregates =
      database_->eventAggregatesWithName(event.name(), &error);
  if (!aggregates && error) {
    monitor().logWithLevel(1, 23063, "Cannot query event aggregates. Name, error",
                           displayName(event), errorContext(error));
    return false;
  }
  if (!aggregates) {
    if (isPublicEvent) {
      std::optional<int64_t> names = database_->publicEventCount(&error);
      if (!names) {
        monitor().logWithLevel(1, 23064, "Cannot query event count. Error", errorContext(error));
        return false;
      }
      if (*names >= config->maxEventNameCardinality()) {
        monitor().logWithLevel(1, 23065, "Cannot set event. Reached limit on set events. Name",
                               displayName(event));
        logErrorEventWhenSettled(8, event.name());
        // Rolls the transaction back: the counters of a refused name are not kept.
        return false;
      }
    }
    std::optional<APMEventAggregates> fresh = APMEventAggregates::create(event.name(), 0, 0, 0, 0);
    if (!fresh || !database_->updateEventAggregates(*fresh, &error)) {
      monitor().logWithLevel(1, 23066, "Data loss. Cannot record event aggregates. Error",
                             errorContext(error));
      return false;
    }
  }
  if (lairRequested) setLastAdvertisingIDResetUserPropertyOnWorkerQueue(memory.now);
  std::optional<std::vector<APMUserAttribute>> properties =
      database_->userAttributesIncludingInternal(true, &error);
  if (!properties) {
    monitor().logWithLevel(1, 23067, "Data loss. Cannot query user properties. Error",
                           errorContext(error));
    return false;
  }
  const RawEventMetadata& metadata =
      rawEventMetadataWithUserAttributes(std::move(*properties), memory);
  // A first open written without an advertising identifier is matched by "_fx" once one
  // is there.
  std::optional<std::string> idfa =
      NANOGetString(metadata.bundle, APMPBMeasurementBundle::kResettableDeviceId);
  if (idfa && !idfa->empty()) {
    if (persistedConfig_->unmatchedFirstOpenWithoutIDFA()) {
      logFirstOpenConsentedEvent(event.timestamp());
    }
  } else if (event.name() == "_f") {
    setUnmatchedFirstOpenWithoutIDFAUndoable(true);
  }
  if (!database_->insertIfNotExistsRawEventMetadata(metadata.encoded, metadata.fingerprint,
                                                    &error)) {
    monitor().logWithLevel(1, 23068, "Data loss. Cannot record event metadata. Error",
                           errorContext(error));
    return false;
  }
  std::optional<int64_t> deleted = database_->deleteRawEventsOverAbsoluteLimit(&error);
  if (!deleted) {
    monitor().logWithLevel(1, 23069, "Data loss. Unable to check raw event storage limit. Error",
                           errorContext(error));
    return false;
  }
  if (*deleted > 0) {
    monitor().logWithLevel(4, 23070, "Data loss. Too many events stored on disk. Deleted count",
                           *deleted);
  }
  if (!database_->insertRawEvent(event, metadata.fingerprint, isRealtime, &error)) {
    monitor().logWithLevel(1, 23071, "Data loss. Cannot record raw event. Error",
                           errorContext(error));
    return false;
  }
  if (event.name() == "_f") {
    int64_t count = firstOpenCountOf(previousFirstOpenCount());
    if (count != std::numeric_limits<int64_t>::max()) ++count;
    // Raised now, for a later event of the same commit group to read; taken back should this
    // event's write be rolled back.
    database_->undoOnRollback(
        [this, previous = previousFirstOpenCount()] { setPreviousFirstOpenCount(previous); });
    setPreviousFirstOpenCount(platform::Value(std::to_string(count)));
  }
  // Logged once the event is in the file: a commit that fails, or a group written again
  // without it, must not leave the line behind. Built only when it will be written.
  if (monitor().isLoggedLevel(7)) {
    database_->runAfterCommit([name = displayName(event),
                               parameters = APMDescriptionForLog(event.parameters())] {
      monitor().logWithLevel(7, 23072, "Event logged. Event name, event params", name, parameters);
    });
  }
  return true;
}

void APMMeasurement::setUnmatchedFirstOpenWithoutIDFAUndoable(bool unmatched) {
  bool before = persistedConfig_->unmatchedFirstOpenWithoutIDFA();
  if (before == unmatched) return;
  database_->undoOnRollback(
      [this, before] { persistedConfig_->setUnmatchedFirstOpenWithoutIDFA(before); });
  persistedConfig_->setUnmatchedFirstOpenWithoutIDFA(unmatched);
}

void APMMeasurement::logErrorEventWhenSettled(int64_t code, const std::string& name) {
  // A transaction of a commit group may run again and decide otherwise: the error event
  // reports the decision that holds.
  database_->runWhenSettled([code, name] {
    apm_engine::logErrorEvent(code, name, 40, APMObject(platform::Value(name)));
  });
}

void APMMeasurement::logFirstOpenConsentedEvent(double timestamp) {
  setUnmatchedFirstOpenWithoutIDFAUndoable(false);
  int64_t previous = std::max<int64_t>(firstOpenCountOf(previousFirstOpenCount()) - 1, 0);
  std::optional<APMUserAttribute> fi = database_->userAttributeWithName("_fi", nullptr);
  bool withoutAppStore = fi && ((fi->value().isInt64() && fi->value().int64Value() < 1) ||
                                (fi->value().isDouble() && fi->value().doubleValue() < 1));
  APMObjectMap parameters{{"_pfo", APMObject(platform::Value(previous))},
                          {"_uwa", APMObject(platform::Value(int64_t{withoutAppStore ? 1 : 0}))}};
  // Only once the write that matched the first open is committed: a rolled-back one leaves
  // the first open unmatched, for the next event to match.
  database_->runAfterCommit([this, timestamp, parameters] {
    schedule("APMMeasurement:1056", [timestamp, parameters](APMMeasurement& engine) {
      std::optional<APMEvent> consented =
          APMEvent::create("auto", false, "_fx", timestamp, 0, parameters);
      if (!consented) return;
      consented->setRealtime(true);
      engine.writeEventOnWorkerQueue(std::move(*consented));
    });
  });
}
