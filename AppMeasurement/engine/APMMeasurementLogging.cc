// Event logging and default event parameters: the engine's front door for events.
#include <algorithm>
#include <cmath>
#include <map>

#include "AppMeasurement/engine/APMAnalytics.h"
#include "AppMeasurement/engine/APMMeasurement.h"
#include "AppMeasurement/engine/APMMeasurementSupport.h"
#include "AppMeasurement/foundation/APMBlockGrouper.h"
#include "AppMeasurement/foundation/APMDataTypeValidator.h"
#include "AppMeasurement/foundation/APMDisplayNames.h"
#include "AppMeasurement/foundation/APMParameterErrors.h"
#include "AppMeasurement/foundation/APMPersistedConfig.h"
#include "AppMeasurement/foundation/APMRemoteConfig.h"
#include "AppMeasurement/foundation/APMSanitizedEventParameters.h"
#include "AppMeasurement/foundation/APMScheduler.h"
#include "AppMeasurement/storage/APMDatabase.h"

using apm_engine::monitor;

namespace {
bool isAdExposureEvent(const std::string& origin, const std::string& name) {
  return origin == "am" || name == "_xa" || name == "_xu";
}
}  // namespace

void APMMeasurement::logEvent(const std::string& origin, bool isPublicEvent,
                              const std::string& name, const APMObjectMap& parameters,
                              double timestamp, bool enabled, bool ignoreEnabled,
                              bool ignoreInterceptor, Interceptor interceptor,
                              const APMObjectMap& addedScreenParameters) {
  // This block holds the engine strongly: an accepted event is handled even if the engine
  // is being released meanwhile.
  std::shared_ptr<APMMeasurement> self = shared_from_this();
  eventGrouper_->submit([self, origin, isPublicEvent, name, parameters, timestamp, enabled,
                         ignoreEnabled, ignoreInterceptor, interceptor = std::move(interceptor),
                         addedScreenParameters] {
    self->logEventOnWorkerQueue(origin, isPublicEvent, name, parameters, timestamp, enabled,
                                ignoreEnabled, ignoreInterceptor, interceptor,
                                addedScreenParameters);
  });
}

void APMMeasurement::logEventOnWorkerQueue(const std::string& origin, bool isPublicEvent,
                                           const std::string& name, const APMObjectMap& parameters,
                                           double timestamp, bool enabled, bool ignoreEnabled,
                                           bool ignoreInterceptor, const Interceptor& interceptor,
                                           const APMObjectMap& addedScreenParameters) {
  APMObjectMap withDefaults = parameters;
  if (!ignoreInterceptor && name != "_err") {
    withDefaults = parametersWithAddedDefaultEventParameters(parameters);
  }
  std::optional<APMEvent> event =
      APMEvent::create(origin, isPublicEvent, name, timestamp, 0, withDefaults);
  if (!event) {
    monitor().logWithLevel(1, 23219, "Attempted to log nil event. Origin, name, parameters", origin,
                           APMEventNameForDisplay(APMObject(platform::Value(name))),
                           APMDescriptionForLog(APMObject(withDefaults)));
    return;
  }
  if (!addedScreenParameters.empty()) event->addScreenParameters(addedScreenParameters);
  if (!enabled && !ignoreEnabled) {
    logEventOnWorkerQueue(std::move(*event), false);
  } else if (isAdExposureEvent(origin, name)) {
    logEventOnWorkerQueue(std::move(*event), false);
  } else if (interceptor && isPublicEvent && !ignoreInterceptor) {
    // The interceptor sees what the engine would have stored: defaults, then screen.
    APMObjectMap merged = withDefaults;
    for (const auto& [key, value] : addedScreenParameters) merged.insert_or_assign(key, value);
    interceptor(origin, name, merged, timestamp);
  } else {
    logEventOnWorkerQueue(std::move(*event), true);
  }
}

void APMMeasurement::logEventOnWorkerQueue(APMEvent event, bool notifyEventListeners) {
  if (!notifyEventListeners) {
    handleEventOnWorkerQueue(std::move(event));
    return;
  }
  // Listeners see the event as it was before handling edited it, and only after handling.
  APMEvent copy = event;
  handleEventOnWorkerQueue(std::move(event));
  APMAnalytics::notifyEventListeners(copy);
}

void APMMeasurement::writeEventGroup(const std::function<void()>& runEvents) {
  // Before start there is no database yet; a wipe may replace it while the events run.
  APMDatabase* database = database_.get();
  if (database == nullptr) return runEvents();
  database->beginCommitGroup();
  runEvents();
  if (database_.get() == database && !database->endCommitGroup()) {
    // The schedule was read inside the group: after its changes were taken back it may let a
    // trigger event skip a property that waits for it again.
    conditionalUserPropertySchedule_.reset();
  }
}

void APMMeasurement::logEvent(APMEvent event) {
  schedule("APMMeasurement:2582", [event = std::move(event)](APMMeasurement& engine) {
    engine.handleEventOnWorkerQueue(event);
  });
}

void APMMeasurement::setDefaultEventParameters(
    std::optional<platform::Value::Dictionary> parameters) {
  schedule("APMMeasurement:2590", [parameters = std::move(parameters)](APMMeasurement& engine) {
    engine.handleSetDefaultEventParametersOnWorkerQueue(parameters, engine.shouldBackfillEvents());
  });
}

void APMMeasurement::handleSetDefaultEventParametersOnWorkerQueue(
    const std::optional<platform::Value::Dictionary>& parameters, bool backfillEvents) {
  APMScheduler::checkOnBackgroundThreadWithMethodName(
      "handleSetDefaultEventParametersOnWorkerQueue:");
  platform::Value::Dictionary result;
  if (parameters) result = persistedConfig_->defaultEventParameters().value_or(result);
  if (parameters) {
    for (const auto& [key, value] : *parameters) {
      if (value.isArray()) APMLogErrorEvent(27);
      if (!value.isNull() && !value.isNumber() && !value.isString()) {
        monitor().logWithLevel(4, 23213,
                               "Invalid key in default event parameters. Parameter ignored.");
        continue;
      }
      APMObject name{platform::Value(key)};
      if (!APMDataTypeValidator::isValidPublicEventParameterName(name)) {
        monitor().logWithLevel(4, 23214, "Invalid default event parameter name. Name", key);
        continue;
      }
      if (value.isNull()) {
        result.erase(key);
        continue;
      }
      std::optional<APMValue> typed = APMValue::valueFromObject(APMObject(value));
      if (typed && APMDataTypeValidator::isValidPublicEventParameterValue(APMObject(*typed))) {
        result.insert_or_assign(key, value);
      }
    }
  }
  int64_t limit = currentConfig()->maxPublicEventParams();
  if (static_cast<int64_t>(result.size()) > limit) {
    // Trimmed as every parameter map is: the public names first in UTF-16 order stay, which
    // is not the order of this map's UTF-8 keys once a name holds a character beyond the basic
    // plane.
    APMValueMap names;
    for (const auto& entry : result) names.emplace(entry.first, APMValue(int64_t{0}));
    APMTrimParametersToLimit(names, limit);
    std::erase_if(result, [&](const auto& entry) { return !names.contains(entry.first); });
    APMLogErrorEvent(26);
    monitor().logWithLevel(4, 23215,
                           "Too many default event parameters set. Discarding beyond event "
                           "parameter limit");
  }
  if (backfillEvents) {
    double since = initTimestamp_;
    backfillEventsWithParameters(APMObject::mapFromDictionary(result), true,
                                 [since](const APMRawEventData&, const APMEvent& event) {
                                   return event.timestamp() >= since;
                                 });
    monitor().logWithLevel(7, 23272, "Updating default event parameters with backfill. Parameters",
                           platform::Value(result));
  } else {
    monitor().logWithLevel(7, 23216, "Updating default event parameters. Parameters",
                           platform::Value(result));
  }
  persistedConfig_->setDefaultEventParameters(result);
}

bool APMMeasurement::shouldBackfillEvents() {
  if (!database_) return false;
  APMErrorSlot error;
  std::optional<std::vector<APMRawEventData>> events = database_->allRawEventsWithError(&error);
  if (!events || events->empty()) return false;
  for (const APMRawEventData& raw : *events) {
    std::optional<APMEvent> event = APMEvent::createWithEventProto(*raw.rawEvent());
    if (event && event->timestamp() >= initTimestamp_ && event->origin().rfind("app", 0) == 0) {
      return false;
    }
  }
  return true;
}

APMObjectMap APMMeasurement::parametersWithAddedDefaultEventParameters(
    const APMObjectMap& parameters) {
  std::optional<platform::Value::Dictionary> defaults = persistedConfig_->defaultEventParameters();
  if (!defaults || defaults->empty()) return parameters;
  APMObjectMap merged = APMObject::mapFromDictionary(*defaults);
  for (const auto& [key, value] : parameters) merged.insert_or_assign(key, value);
  return merged;
}

void APMMeasurement::backfillEventsWithParameters(const APMObjectMap& parameters, bool isPublic,
                                                  const BackfillEventFilter& eventFilter) {
  if (parameters.empty() || !database_) return;
  APMErrorSlot error;
  std::optional<std::vector<APMRawEventData>> events = database_->allRawEventsWithError(&error);
  if (!events) {
    monitor().logWithLevel(1, 23270,
                           "Unable to backfill events with default event parameters. Fetch "
                           "failed. Error",
                           error ? APMLogContext(*error) : APMLogContext());
    return;
  }
  int64_t failures = 0;
  APMErrorSlot lastError;
  for (const APMRawEventData& raw : *events) {
    std::optional<APMEvent> event = APMEvent::createWithEventProto(*raw.rawEvent());
    if (!event || (eventFilter && !eventFilter(raw, *event))) continue;
    event->applyParameters(parameters, isPublic);
    std::optional<APMRawEventData> updated =
        APMRawEventData::create(std::make_shared<const APMPBEvent>(event->protoEvent()),
                                raw.rowID(), raw.metadataFingerprint());
    if (!updated || !database_->updateRawEvent(*updated, &lastError)) ++failures;
  }
  if (failures > 0) {
    monitor().logWithLevel(1, 23271,
                           "Unable to backfill some events with default event parameters. Update "
                           "failed. Count, last error",
                           failures, lastError ? APMLogContext(*lastError) : APMLogContext());
  }
}

void APMMeasurement::backfillSessionID(const APMValue& sessionID, const APMValue& sessionNumber) {
  APMObjectMap parameters{{"_sid", APMObject(sessionID)}, {"_sno", APMObject(sessionNumber)}};
  double startTimestamp = backfillStartTimestampForSessionID(sessionID);
  // One map for this run: the metadata of a fingerprint is read once, whatever the number of
  // events that share it.
  std::map<int64_t, bool> fingerprintToSessionIDExistence;
  backfillEventsWithParameters(
      parameters, false, [&](const APMRawEventData& raw, const APMEvent& event) {
        return shouldBackfillSessionID(sessionID, startTimestamp, fingerprintToSessionIDExistence,
                                       raw, event);
      });
}

double APMMeasurement::backfillStartTimestampForSessionID(const APMValue& sessionID) {
  double seconds = 0;
  if (sessionID.isInt64()) {
    seconds = static_cast<double>(sessionID.int64Value());
  } else if (sessionID.isDouble()) {
    seconds = std::trunc(sessionID.doubleValue());
  }
  double startTimestamp = seconds - 15;
  if (!database_) return startTimestamp;
  std::optional<std::vector<APMRawEventData>> events = database_->allRawEventsWithError(nullptr);
  if (!events) return startTimestamp;
  // Since the first open, when this launch is the first: the events logged before the
  // session's own start belong to it too.
  for (const APMRawEventData& raw : *events) {
    if (NANOGetString(*raw.rawEvent(), APMPBEvent::kName) != "_f") continue;
    return static_cast<double>(NANOGetInt64(*raw.rawEvent(), APMPBEvent::kTimestampMillis)) / 1000;
  }
  return startTimestamp;
}

bool APMMeasurement::shouldBackfillSessionID(
    const APMValue& /*sessionID*/, double startTimestamp,
    std::map<int64_t, bool>& fingerprintToSessionIDExistence, const APMRawEventData& event,
    const APMEvent& decoded) {
  if (decoded.timestamp() < startTimestamp) return false;
  int64_t fingerprint = event.metadataFingerprint();
  if (auto known = fingerprintToSessionIDExistence.find(fingerprint);
      known != fingerprintToSessionIDExistence.end()) {
    return !known->second;
  }
  APMErrorSlot error;
  std::optional<APMPBMeasurementBundle> metadata =
      database_->queryRawEventsMetadataWithFingerprint(fingerprint, &error);
  if (!metadata && error) {
    monitor().logWithLevel(1, 23273, "Unable to backfill session ID. Fetch metadata failed. Error",
                           APMLogContext(*error));
    return false;
  }
  // A fingerprint whose row is gone (read without an error) carried no session identifier.
  std::vector<APMPBUserAttribute> properties =
      metadata ? NANOGetMessageArray<APMPBUserAttribute>(*metadata,
                                                         APMPBMeasurementBundle::kUserAttributes)
                     .value_or(std::vector<APMPBUserAttribute>{})
               : std::vector<APMPBUserAttribute>{};
  bool hasSessionID = std::any_of(properties.begin(), properties.end(), [](const auto& property) {
    return NANOGetString(property, APMPBUserAttribute::kName) == "_sid";
  });
  fingerprintToSessionIDExistence.emplace(fingerprint, hasSessionID);
  return !hasSessionID;
}
