// Bundling: the stored raw events of one metadata fingerprint become one upload bundle.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>
#include <map>
#include <set>

#include "AppMeasurement/engine/APMBundleConsent.h"
#include "AppMeasurement/engine/APMMeasurement.h"
#include "AppMeasurement/engine/APMMeasurementSupport.h"
#include "AppMeasurement/foundation/APMAEU.h"
#include "AppMeasurement/foundation/APMConsentSettingsUtil.h"
#include "AppMeasurement/foundation/APMDisplayNames.h"
#include "AppMeasurement/foundation/APMIdentity.h"
#include "AppMeasurement/foundation/APMMilliseconds.h"
#include "AppMeasurement/foundation/APMNameTables.h"
#include "AppMeasurement/foundation/APMNameUtil.h"
#include "AppMeasurement/foundation/APMPersistedConfig.h"
#include "AppMeasurement/foundation/APMRemoteConfig.h"
#include "AppMeasurement/foundation/APMScheduler.h"
#include "AppMeasurement/foundation/APMUserAttribute.h"
#include "AppMeasurement/records/APMEventEncoder.h"
#include "AppMeasurement/storage/APMDatabase.h"
#include "platform/foundation/Bundle.h"

using apm_engine::monitor;

namespace {

using B = APMPBMeasurementBundle;

APMLogContext errorContext(const APMErrorSlot& error) {
  return error ? APMLogContext(*error) : APMLogContext();
}

std::string displayName(const std::string& name) {
  return APMEventNameForDisplay(APMObject(platform::Value(name)));
}

int64_t hourOf(double timestamp) { return static_cast<int64_t>(std::floor(timestamp)) / 3600; }

// The one pair of the public-to-internal event name table.
std::optional<std::string> internalNameOf(const std::string& name) {
  if (name == "ad_impression") return std::string("_ai");
  return std::nullopt;
}

bool isPurchaseEventName(std::string_view name) {
  static constexpr std::string_view kPurchases[] = {"_iap", "purchase", "ecommerce_purchase"};
  return std::find(std::begin(kPurchases), std::end(kPurchases), name) != std::end(kPurchases);
}

// The events selected for one bundle: decoded events in row order, and the largest row id
// taken (undecodable rows included, so that their deletion goes with the group).
struct Selection {
  std::vector<APMEvent> decoded;
  int64_t lastRowID = -1;
};

// The event as createWithEventProto reads it back from its upload message: times in whole
// milliseconds, the origin from "_o", the other parameters as the message carries them, the
// creator run once more. Scalar parameters come back from the message exactly as they went
// in, and the creator gives back unchanged what it made (the event was read through it), so
// only an event with an array parameter (whose items the message may reshape) takes the road
// through the message itself.
std::optional<APMEvent> eventAsReadFromItsMessage(const APMEvent& event) {
  const APMValue* origin = event.parameter("_o");
  bool scalarsOnly = std::none_of(event.parameters().begin(), event.parameters().end(),
                                  [](const auto& entry) { return entry.second.isArray(); });
  if (!scalarsOnly || origin == nullptr || origin->stringValue() == nullptr) {
    return APMEvent::createWithEventProto(event.protoEvent());
  }
  auto wholeMillis = [](double seconds) {
    return static_cast<double>(APMMillisecondsFromSeconds(seconds)) / 1000;
  };
  double previous =
      event.previousTimestamp() > DBL_EPSILON ? wholeMillis(event.previousTimestamp()) : 0;
  return event.copyWithTimestamps(wholeMillis(event.timestamp()), previous);
}

// Evaluates the property filters for each user property of the bundle; false at the first
// that fails.
bool evaluateUserProperties(APMAudienceEvaluating& audience, const APMPBMeasurementBundle& bundle,
                            bool withBundleCache, std::optional<double> evaluationTime) {
  for (const APMPBUserAttribute& property :
       NANOGetMessageArray<APMPBUserAttribute>(bundle, B::kUserAttributes)
           .value_or(std::vector<APMPBUserAttribute>{})) {
    if (!audience.evaluateFiltersForNanoUserProperty(property, withBundleCache, evaluationTime)) {
      return false;
    }
  }
  return true;
}

// Deletes the raw events of one group (every row up to its last) and, when no event of the
// fingerprint is left, its metadata row; false at the first failure, which it logs.
bool deleteRawEventGroup(APMDatabase& database, int64_t fingerprint, int64_t lastRowID) {
  APMErrorSlot deleteError;
  if (!database.deleteRawEventsWithMaxRowID(lastRowID, &deleteError)) {
    monitor().logWithLevel(1, 23119, "Unable to delete raw events. RowID, error", lastRowID,
                           errorContext(deleteError));
    return false;
  }
  std::optional<bool> left =
      database.containsRawEventWithMetadataFingerprint(fingerprint, &deleteError);
  if (!left) {
    monitor().logWithLevel(1, 23120, "Unable to query existence of raw event. Metadata, error",
                           fingerprint, errorContext(deleteError));
    return false;
  }
  if (!*left &&
      !database.deleteRawEventMetadataWithMetadataFingerprint(fingerprint, &deleteError)) {
    monitor().logWithLevel(1, 23121, "Unable to delete raw event metadata. Metadata, error",
                           fingerprint, errorContext(deleteError));
    return false;
  }
  return true;
}

}  // namespace

bool APMMeasurement::bundleRawEvents() {
  APMScheduler::checkOnBackgroundThreadWithMethodName("bundleRawEvents");
  if (!database_) return false;
  std::shared_ptr<APMRemoteConfig> config = currentConfig();
  // Set inside the transaction; they count only when it commits.
  bool bundleMade = false;
  bool groupConsumed = false;
  bool npaRecomputed = false;
  std::optional<std::string> consentSignalsToStore;
  // A group the queue refuses for its end time: its fingerprint and last row.
  std::optional<std::pair<int64_t, int64_t>> refusedGroup;
  bool committed = database_->performTransaction([&] {
    APMErrorSlot error;
    std::optional<int64_t> fingerprint = database_->nextMetadataFingerprintToProcess(&error);
    if (!fingerprint) {
      if (error) {
        monitor().logWithLevel(1, 23095, "Unable to fetch next event metadata. Error",
                               errorContext(error));
        return false;
      }
      return true;  // nothing stored
    }

    // 2. Select the group.
    Selection selection;
    int64_t firstHour = 0;
    int64_t summedSize = 0;
    int64_t maxEvents = config->uploadMaxEventsPerBundle();
    int64_t maxSize =
        config->int64ValueFromCacheWithKey("measurement.upload.max_batch_size", 65536, 10485760, 0);
    APMErrorSlot readError;
    bool read = database_->rawEventRecordsWithMetadataFingerprint(
        *fingerprint, &readError, [&](size_t position, const APMSqliteRecord& record) {
          if (position >= 1 && static_cast<int64_t>(position) >= maxEvents) return false;
          APMErrorSlot decodeError;
          std::optional<APMDatabase::RawEventRow> row =
              database_->rawEventRowFromDictionary(record, &decodeError);
          // The group is deleted by the largest row id taken: every row after the first must
          // follow the last one taken, or the deletion would take rows of other fingerprints
          // that lie in between.
          auto follows = [&](int64_t rowID) {
            return position == 0 || rowID == selection.lastRowID + 1;
          };
          if (!row) {
            // A row that cannot be decoded never will be: it goes with the group and is
            // deleted with it instead of blocking every later event.
            monitor().logWithLevel(4, 23096, "Failed to filter raw event. Error",
                                   errorContext(decodeError));
            auto rowID = record.find("rowid");
            int64_t row = rowID != record.end() ? rowID->second.numberAsInteger().value_or(-1) : -1;
            if (!follows(row)) return false;
            selection.lastRowID = std::max(selection.lastRowID, row);
            return true;
          }
          if (!follows(row->rowID)) return false;
          std::optional<APMEvent> event = eventAsReadFromItsMessage(row->event);
          if (!event) {
            selection.lastRowID = row->rowID;
            return true;
          }
          // The hour is that of the first row that decodes.
          if (selection.decoded.empty()) {
            firstHour = hourOf(event->timestamp());
          } else if (hourOf(event->timestamp()) != firstHour) {
            return false;
          }
          int64_t size = static_cast<int64_t>(APMEventEncoder::encodedEventSize(row->event));
          if (position >= 1 && summedSize + size >= maxSize) return false;
          summedSize += size;
          selection.lastRowID = row->rowID;
          selection.decoded.push_back(std::move(*event));
          return true;
        });
    if (!read) {
      // A failed read rolls back, whatever the rows before the failure were.
      monitor().logWithLevel(1, 23097, "Inconsistent state, raw event is expected. Error",
                             errorContext(readError));
      return false;
    }
    auto deleteGroup = [&]() {
      return deleteRawEventGroup(*database_, *fingerprint, selection.lastRowID);
    };
    if (selection.decoded.empty()) {
      groupConsumed = deleteGroup();
      return groupConsumed;
    }

    // 3. Metadata.
    APMErrorSlot metadataError;
    std::optional<APMPBMeasurementBundle> metadata =
        database_->queryRawEventsMetadataWithFingerprint(*fingerprint, &metadataError);
    if (!metadata) {
      monitor().logWithLevel(1, 23098,
                             "Unable to fetch event metadata. Metadata fingerprint, error",
                             *fingerprint, errorContext(metadataError));
      // Metadata that cannot be decoded never will be: its events go, then the row itself.
      bool undecodable = metadataError && metadataError->code() == kAPMDatabaseErrorCannotDecode;
      if (!undecodable) return false;
      APMErrorSlot deleteError;
      if (!database_->deleteRawEventsWithMaxRowID(selection.lastRowID, &deleteError)) return false;
      std::optional<bool> left =
          database_->containsRawEventWithMetadataFingerprint(*fingerprint, &deleteError);
      if (left && !*left) {
        database_->deleteRawEventMetadataWithMetadataFingerprint(*fingerprint, &deleteError);
      }
      groupConsumed = true;
      return true;
    }
    APMPBMeasurementBundle bundle = *metadata;

    // 4. Processing: rejection, internal names, daily conversion and real-time limits.
    // Settings read once per bundle: they change only on this queue, never within a bundle.
    const bool keepInternalWithoutTest = config->blocklistInternal() && !config->blocklistPublic();
    const bool removeRedundantEngagement = config->redundantEngagementRemovalEnabled();
    std::vector<APMEvent> kept;
    kept.reserve(selection.decoded.size());
    for (const APMEvent& event : selection.decoded) {
      std::optional<std::string> internal = internalNameOf(event.name());
      if (!internal || !keepInternalWithoutTest) {
        if (config->isEventBlocklisted(event.name()) ||
            (internal && config->isEventBlocklisted(*internal))) {
          monitor().logWithLevel(4, 23099, "Rejected event. Event name", displayName(event.name()));
          continue;
        }
        if (removeRedundantEngagement && event.name() == "_e") {
          const APMValue* fr = event.parameter("_fr");
          if (fr && fr->isInt64() && fr->int64Value() == 1) continue;
        }
      }
      kept.push_back(event);
    }
    if (kept.empty()) {
      if (!deleteGroup()) return false;
      monitor().logWithLevel(4, 23100, "Rejected all events.");
      return true;  // committed, but no bundle: the caller's loop stops here
    }
    APMErrorSlot countsError;
    std::optional<APMDailyCounts> counts = database_->dailyCounts(&countsError);
    if (!counts) {
      monitor().logWithLevel(1, 23101, "Failed to query daily event counts. Error",
                             errorContext(countsError));
      return false;
    }
    int32_t day = currentDayNumber();
    // Until the first event of a new day is written the stored counts are the day before's:
    // the limits count today, as the event writer's do.
    if (counts->day() != day) counts->resetWithNewDay(day);
    bool countsChanged = false;
    std::vector<APMEvent> processed;
    processed.reserve(kept.size());
    for (APMEvent& event : kept) {
      if (std::optional<std::string> internal = internalNameOf(event.name())) {
        std::optional<APMEvent> renamed =
            APMEvent::create(event.origin(), false, *internal, event.timestamp(),
                             event.previousTimestamp(), event.parameters());
        if (renamed) event = std::move(*renamed);
      }
      if (config->isEventCustomConversion(event.name())) event.setConversion(true);
      if (APMIsPublicName(event.name()) && event.isConversion()) {
        if (counts->conversionsCount() >= config->maxConversionsPerDay()) {
          event.setConversion(false);
          monitor().logWithLevel(3, 23102,
                                 "Too many conversion events. Not logging event as conversion. "
                                 "Name, limit",
                                 displayName(event.name()),
                                 int64_t{config->maxConversionsPerDay()});
        } else {
          counts->incrementCountsForCurrentDay(day, false, true);
          counts->decrementAllEventsCount();
          countsChanged = true;
        }
      }
      if (event.isRealtime() || event.isConversion()) {
        bool counted = !monitor().isDebugModeEnabled() && event.name() != "_iap" &&
                       event.name() != "_f" && event.name() != "_dcu" && event.name() != "_fx";
        if (counted) {
          if (counts->realtimeCount() < config->maxRealtimeEventCountPerDay()) {
            counts->incrementRealtimeCountsForCurrentDay(day);
            event.setRealtime(true);
            countsChanged = true;
            monitor().logWithLevel(7, 23103,
                                   "Event is under real-time event count daily limit. Marking the "
                                   "event as real-time. Event name, parameters",
                                   displayName(event.name()),
                                   APMDescriptionForLog(event.parameters()));
          } else {
            event.setRealtime(false);
            monitor().logWithLevel(4, 23104,
                                   "Number of real-time events is over the real-time event count "
                                   "daily limit. Event is no longer real-time. Event name, "
                                   "parameters",
                                   displayName(event.name()),
                                   APMDescriptionForLog(event.parameters()));
          }
        } else if (event.name() == "_dcu" && !monitor().isDebugModeEnabled()) {
          if (counts->dcuRealtimeCount() >= config->maxRealtimeDCUEventCountPerDay()) {
            event.setRealtime(false);
          } else {
            counts->incrementDCURealtimeCountsForCurrentDay(day);
            event.setRealtime(true);
            countsChanged = true;
          }
        } else {
          event.setRealtime(true);
          monitor().logWithLevel(7, 23105,
                                 "Event is not subject to real-time event count daily limit. "
                                 "Marking an event as real-time. Event name, parameters",
                                 displayName(event.name()),
                                 APMDescriptionForLog(event.parameters()));
        }
      }
      event = validatePurchaseEvent(std::move(event));
      processed.push_back(std::move(event));
    }
    if (countsChanged && !database_->updateDailyCounts(*counts, &countsError)) {
      monitor().logWithLevel(2, 23106, "Failed to update daily event counts. Name, error", "",
                             errorContext(countsError));
      return false;
    }

    // 5-6. Denial as the consent state says now (the bundle may hold an older string); the
    // session start and engagement whatever it says, consent transitions, then aggregates and
    // the events' audience evaluation in one pass with the bundle's own timestamp cache.
    bool analyticsDenied = APMConsentSettingsUtil::isAnalyticsStorageDenied();
    // A failed session-start step ends that step only: rolling the bundle back would leave the
    // group the oldest one, so a lasting failure would stop every later bundle.
    evaluationTimeFromRawEvents(selection.decoded, bundle);
    consentSignalsToStore = handleAnalyticsStorageConsentTransitions(bundle);
    features_.audience->beginBundleEvaluation();
    bool realtimeBundle = false;
    // The aggregates of each name are read once per bundle and written back before anything
    // reads the table again (a purchase's customer type) and at the end, so the rows end as
    // event-by-event updates would leave them.
    std::map<std::string, APMEventAggregates, std::less<>> aggregatesByName;
    std::set<std::string, std::less<>> unwritten;
    auto writeAggregates = [&] {
      for (const std::string& name : unwritten) {
        APMErrorSlot aggregateError;
        if (!database_->updateEventAggregates(aggregatesByName.at(name), &aggregateError)) {
          monitor().logWithLevel(1, 23108, "Failed to update event aggregates. Error",
                                 errorContext(aggregateError));
          return false;
        }
      }
      unwritten.clear();
      return true;
    };
    for (APMEvent& event : processed) {
      if (isPurchaseEventName(event.name())) {
        if (!writeAggregates()) return false;
        event = purchaseEventWithCustomerTypeParam(event);
      }
      APMEventAggregates* aggregates = nullptr;
      bool firstOfItsName = false;
      if (auto cached = aggregatesByName.find(event.name()); cached != aggregatesByName.end()) {
        aggregates = &cached->second;
      } else {
        APMErrorSlot aggregateError;
        std::optional<APMEventAggregates> stored =
            database_->eventAggregatesWithName(event.name(), &aggregateError);
        if (!stored && aggregateError) {
          monitor().logWithLevel(1, 23107, "Failed to query event aggregates. Name, error",
                                 displayName(event.name()), errorContext(aggregateError));
          return false;
        }
        if (!stored) {
          stored = APMEventAggregates::create(event.name(), 1, 1, 1, event.timestamp());
          firstOfItsName = true;
        }
        if (!stored) {
          monitor().logWithLevel(1, 23108, "Failed to update event aggregates. Error",
                                 errorContext(aggregateError));
          return false;
        }
        aggregates = &aggregatesByName.emplace(event.name(), std::move(*stored)).first->second;
      }
      if (!firstOfItsName) {
        // Its parameters came from the creator when the row was read.
        event = event.copyWithTimestamps(event.timestamp(), aggregates->lastFireTimestamp());
        aggregates->incrementCurrentBundleCount();
        aggregates->incrementLifetimeCount();
        aggregates->incrementCurrentSessionCount();
        aggregates->setLastFireTimestamp(event.timestamp());
      }
      unwritten.insert(event.name());
      if (!analyticsDenied && !features_.audience->evaluateFiltersForEvent(event, *aggregates)) {
        return false;
      }
      realtimeBundle |= event.isRealtime();
    }
    if (!writeAggregates()) return false;
    // 7-9. The events' messages, sampled (never in debug mode), into the bundle.
    auto messagesOf = [](const std::vector<APMEvent>& events) {
      std::vector<APMPBEvent> messages;
      messages.reserve(events.size());
      for (const APMEvent& event : events) messages.push_back(event.protoEvent());
      return messages;
    };
    size_t eventCount = processed.size();
    if (config->isEventSamplingEnabled() && !monitor().isDebugModeEnabled()) {
      APMErrorSlot samplingError;
      std::optional<std::vector<APMPBEvent>> sampled =
          sampleEvents(messagesOf(processed), &samplingError);
      if (!sampled) return false;
      if (sampled->empty()) {
        monitor().logWithLevel(5, 23159, "No events left after sampling. Dropping bundle");
        groupConsumed = deleteGroup();
        return groupConsumed;
      }
      eventCount = sampled->size();
      NANOSetMessageArray(bundle, B::kEvents, *sampled);
    } else {
      std::vector<std::string> encoded;
      encoded.reserve(processed.size());
      for (const APMEvent& event : processed)
        encoded.push_back(APMEventEncoder::encodedEvent(event));
      if (!APMEventEncoder::setEncodedEvents(bundle, encoded)) {
        NANOSetMessageArray(bundle, B::kEvents, messagesOf(processed));
      }
    }

    // 9-10. Timing and indexes, over every event the group selected (rejected ones too).
    double start = DBL_MAX;
    double end = DBL_MIN;
    for (const APMEvent& event : selection.decoded) {
      start = std::min(start, event.timestamp());
      end = std::max(end, event.timestamp());
    }
    APMErrorSlot metadataRowError;
    std::optional<APMAppMetadata> appMetadata = database_->queryAppMetadata(&metadataRowError);
    if (!appMetadata) {
      monitor().logWithLevel(1, 23111, "Unable to fetch app metadata for bundling events. Error",
                             errorContext(metadataRowError));
      return false;
    }
    if (appMetadata->lastBundleEndTimestamp() > 0) {
      NANOSetInt64(bundle, B::kPreviousBundleEndTimestampMillis,
                   static_cast<int64_t>(appMetadata->lastBundleEndTimestamp() * 1000));
    }
    if (appMetadata->lastBundleStartTimestamp() > 0) {
      NANOSetInt64(bundle, B::kPreviousBundleStartTimestampMillis,
                   static_cast<int64_t>(appMetadata->lastBundleStartTimestamp() * 1000));
    } else if (appMetadata->lastBundleEndTimestamp() > 0) {
      NANOSetInt64(bundle, B::kPreviousBundleStartTimestampMillis,
                   static_cast<int64_t>(appMetadata->lastBundleEndTimestamp() * 1000));
    }
    appMetadata->increaseLastBundleIndex(static_cast<int32_t>(eventCount));
    appMetadata->incrementLastDeliveryIndex();
    appMetadata->setLastBundleStartTimestamp(start);
    appMetadata->setLastBundleEndTimestamp(end);
    NANOSetInt32(bundle, B::kBundleIndex, appMetadata->lastBundleIndex());
    NANOSetInt32(bundle, B::kDeliveryIndex, appMetadata->lastDeliveryIndex());
    if (!database_->updateAppMetadata(*appMetadata, &metadataRowError)) {
      monitor().logWithLevel(1, 23112, "Unable to update the app metadata. Error",
                             errorContext(metadataRowError));
      return false;
    }
    // 11. The "_npa" property, then audience results.
    if (shouldUpdateNPAUserProperty_) {
      setPersonalizedAdsUserPropertyOnWorkerQueue();
      // Cleared now, so that a request made while the bundle is made is not lost; set again
      // when the "_npa" row is rolled back.
      shouldUpdateNPAUserProperty_ = false;
      npaRecomputed = true;
    }
    if (!analyticsDenied) {
      // The bundle's user properties, at the time of its earliest selected event and with the
      // cache its events used.
      if (!evaluateUserProperties(*features_.audience, bundle, true, start)) return false;
      if (!features_.audience->addResultsForBundling(bundle)) {
        monitor().logWithLevel(1, 23113, "Unable to read audience evaluation results");
        return false;
      }
    }
    addBundleMetadataIntoBundle(bundle, start, end);
    // 13.
    if (!config->sessionStitchingTokenFeatureEnabled() || analyticsDenied) {
      NANOClearField(bundle, B::kSessionStitchingToken);
    }
    // 14. Queue it, then drop its raw events.
    APMErrorSlot insertError;
    if (!database_->insertBundle(bundle, realtimeBundle, &insertError)) {
      monitor().logWithLevel(1, 23115, "Unable to insert bundle. Error", errorContext(insertError));
      // A bundle the queue refuses for its end time (events stamped at or before 1970) would be
      // refused for ever: once its writes are rolled back, its events are dropped instead of
      // blocking every later one.
      if (NANOGetInt64(bundle, B::kEndTimestampMillis) < 1) {
        refusedGroup.emplace(*fingerprint, selection.lastRowID);
      }
      return false;
    }
    monitor().logWithLevel(8, 23221, APMConsentSettingsUtil::description());
    monitor().logWithLevel(7, 23116, "Bundle added to the upload queue. BundleID, timestamp (ms)",
                           int64_t{appMetadata->lastBundleIndex()},
                           NANOGetInt64(bundle, B::kEndTimestampMillis));
    if (!deleteGroup()) return false;
    bundleMade = true;
    return true;
  });
  if (!committed) {
    if (npaRecomputed) shouldUpdateNPAUserProperty_ = true;
    if (!refusedGroup) return false;
    // The deletion alone, so that the loop goes on with the next group.
    return database_->performTransaction(
        [&] { return deleteRawEventGroup(*database_, refusedGroup->first, refusedGroup->second); });
  }
  // The string of the last bundle made changes with the snapshot or restore it goes with.
  if (consentSignalsToStore)
    persistedConfig_->setPreviousBundledConsentSignals(*consentSignalsToStore);
  if (bundleMade) suspendedUploadTimestamp_ = 0;
  return bundleMade || groupConsumed;
}

bool APMMeasurement::evaluationTimeFromRawEvents(const std::vector<APMEvent>& rawEvents,
                                                 APMPBMeasurementBundle& bundle) {
  bool sessionStart = std::any_of(rawEvents.begin(), rawEvents.end(),
                                  [](const APMEvent& event) { return event.name() == "_s"; });
  if (sessionStart) {
    // A new session: its session-scoped results start from the user properties alone, before
    // any of the bundle's events is evaluated.
    features_.audience->clearEvaluationResultsForSessionScopedFilters();
    if (!evaluateUserProperties(*features_.audience, bundle, false, std::nullopt)) return false;
    APMErrorSlot error;
    if (!database_->clearCurrentSessionCounts(&error)) {
      monitor().logWithLevel(1, 23185, "Failed to clear event session counts. Error",
                             errorContext(error));
      return false;
    }
  }
  int64_t engagement = 0;
  for (const APMEvent& event : rawEvents) {
    const APMValue* et = event.parameter("_et");
    if (!et || event.parameter("_fr")) continue;
    if (!et->isInt64()) {
      monitor().logWithLevel(1, 23165,
                             "User engagement event doesn't contain any user engagement time");
      continue;
    }
    engagement += et->int64Value();
  }
  // A failed lifetime update stops here: at a session start it would otherwise add the new
  // session's engagement to the old session's "_se", which is deleted only after it.
  if (!updateUserEngagement(engagement, bundle, false)) return true;
  if (sessionStart) {
    APMErrorSlot error;
    if (!database_->deleteUserAttributeWithName("_se", &error)) {
      monitor().logWithLevel(1, 23188,
                             "Unable to delete session engagement property on session start. Error",
                             errorContext(error));
      return true;
    }
  }
  // Every bundle of the session adds to "_se", until the next session start or the session's
  // expiry deletes it.
  updateUserEngagement(engagement, bundle, true);
  return true;
}

APMEvent APMMeasurement::validatePurchaseEvent(APMEvent event) {
  if (event.name() != "_iap") return event;
  // What the event already carries (the purchase reporter's own word) stands.
  if (!event.parameter("sandbox") && APMAEU::isASRS()) {
    event.setParameter("sandbox", APMValue(int64_t{1}));
  }
  if (!event.parameter("validated")) {
    event.setParameter("validated",
                       APMValue(int64_t{features_.purchaseReporter->isReceiptValid() ? 1 : 0}));
  }
  return event;
}

bool APMMeasurement::updateUserEngagement(int64_t engagementMillis, APMPBMeasurementBundle& bundle,
                                          bool sessionScoped) {
  APMScheduler::checkOnBackgroundThreadWithMethodName("updateUserEngagement");
  if (engagementMillis < 0) {
    monitor().logWithLevel(2, 23186, "User engagement time is negative.");
    return false;
  }
  if (engagementMillis == 0) return true;
  const char* name = sessionScoped ? "_se" : "_lte";
  APMErrorSlot error;
  std::optional<APMUserAttribute> stored = database_->userAttributeWithName(name, &error);
  if (!stored && error) {
    monitor().logWithLevel(1, 23187,
                           "Failed to query for user engagement user property. Name, error", name,
                           errorContext(error));
    return false;
  }
  int64_t total = engagementMillis;
  if (stored && stored->value().isInt64()) total += stored->value().int64Value();
  double now = apm_engine::now();
  std::optional<APMUserAttribute> updated =
      APMUserAttribute::create("auto", name, APMValue(total), now);
  if (!updated || !setUserPropertyInDatabaseOnWorkerQueue(*updated)) return false;
  std::vector<APMPBUserAttribute> attributes =
      NANOGetMessageArray<APMPBUserAttribute>(bundle, B::kUserAttributes)
          .value_or(std::vector<APMPBUserAttribute>{});
  auto found = std::find_if(attributes.begin(), attributes.end(), [&](const APMPBUserAttribute& a) {
    return NANOGetString(a, APMPBUserAttribute::kName) == name;
  });
  if (found != attributes.end()) {
    *found = updated->protoUserAttribute();
  } else {
    attributes.push_back(updated->protoUserAttribute());
  }
  NANOSetMessageArray(bundle, B::kUserAttributes, attributes);
  return true;
}

std::optional<std::string> APMMeasurement::handleAnalyticsStorageConsentTransitions(
    const APMPBMeasurementBundle& bundle) {
  std::string signals = NANOGetString(bundle, B::kConsentSignals).value_or("");
  std::string previous = persistedConfig_->previousBundledConsentSignals().value_or("");
  if (signals == previous) return std::nullopt;
  bool wasDenied = APMBundleConsent::isAnalyticsStorageDenied(previous);
  bool isDenied = APMBundleConsent::isAnalyticsStorageDenied(signals);
  APMErrorSlot error;
  if (!wasDenied && isDenied && !database_->createEventsSnapshotTable(&error)) {
    monitor().logWithLevel(4, 23266, "Unable to create table snapshot. Error", errorContext(error));
  }
  if (wasDenied && !isDenied && !database_->restoreFromEventsSnapshotTable(&error)) {
    monitor().logWithLevel(4, 23267, "Unable to restore from table snapshot. Error",
                           errorContext(error));
  }
  return signals;
}

APMEvent APMMeasurement::purchaseEventWithCustomerTypeParam(const APMEvent& event) {
  if (!currentConfig()->customerTypeEnabled() || !isPurchaseEventName(event.name())) return event;
  APMErrorSlot error;
  std::optional<std::vector<APMEventAggregates>> all = database_->allEventAggregates(&error);
  if (!all) {
    monitor().logWithLevel(1, 23274, "Failed to query all event aggregates. Error",
                           errorContext(error));
    return event;
  }
  bool returning = std::any_of(all->begin(), all->end(), [&](const APMEventAggregates& a) {
    return isPurchaseEventName(a.name()) && a.lifetimeCount() >= 1;
  });
  APMEvent typed = event;
  typed.setParameter("_ct", APMValue(std::string(returning ? "returning" : "new")));
  return typed;
}

void APMMeasurement::addBundleMetadataIntoBundle(APMPBMeasurementBundle& bundle,
                                                 double bundleStartTimestamp,
                                                 double bundleEndTimestamp) {
  std::shared_ptr<APMRemoteConfig> config = currentConfig();
  std::vector<int64_t> experiments = config->experimentIDs();
  if (!experiments.empty()) {
    std::vector<NANOObject> ids;
    for (int64_t id : experiments)
      ids.emplace_back(NANONumber::fromUInt32(static_cast<uint32_t>(id)));
    NANOSetArray(bundle, B::kExperimentIds, ids);
  }
  std::optional<std::string> health = monitor().monitoringDataForDispatch(
      config->monitoringSamplePeriod(), persistedConfig_->lastMonitorDataSampledTimestamp());
  if (health && !health->empty()) {
    NANOSetString(bundle, B::kMonitoringData, *health);
    persistedConfig_->setLastMonitorDataSampledTimestamp(apm_engine::now());
  }
  if (!config->isDefault() && config->version() >= 0) {
    NANOSetInt64(bundle, B::kConfigVersion, config->version());
  }
  if (!NANOHasField(bundle, B::kAppId)) {
    std::optional<std::string> bundleID = platform::Bundle::mainBundle()
                                              ? platform::Bundle::mainBundle()->bundleIdentifier()
                                              : std::nullopt;
    NANOSetString(bundle, B::kAppId, appID_.empty() ? bundleID.value_or("") : appID_);
  }
  NANOSetInt64(bundle, B::kStartTimestampMillis, static_cast<int64_t>(bundleStartTimestamp * 1000));
  NANOSetInt64(bundle, B::kEndTimestampMillis, static_cast<int64_t>(bundleEndTimestamp * 1000));
}
