// Event sampling: one in N events of a sampled name goes into a bundle, carrying "_sr" = N; the
// first of its name on a new day of the analytics account goes even when it loses the draw.
#include <random>

#include "AppMeasurement/engine/APMMeasurement.h"
#include "AppMeasurement/engine/APMMeasurementSupport.h"
#include "AppMeasurement/foundation/APMRemoteConfig.h"
#include "AppMeasurement/storage/APMDatabase.h"

using apm_engine::monitor;

namespace {

APMLogContext errorContext(const APMErrorSlot& error) {
  return error ? APMLogContext(*error) : APMLogContext();
}

std::optional<int64_t> intParameter(const APMPBEvent& event, std::string_view name) {
  for (const APMPBEventParam& param :
       NANOGetMessageArray<APMPBEventParam>(event, APMPBEvent::kParams)
           .value_or(std::vector<APMPBEventParam>{})) {
    if (NANOGetString(param, APMPBEventParam::kName) == name &&
        NANOHasField(param, APMPBEventParam::kIntValue)) {
      return NANOGetInt64(param, APMPBEventParam::kIntValue);
    }
  }
  return std::nullopt;
}

void addIntParameter(APMPBEvent& event, const std::string& name, int64_t value) {
  std::vector<APMPBEventParam> params =
      NANOGetMessageArray<APMPBEventParam>(event, APMPBEvent::kParams)
          .value_or(std::vector<APMPBEventParam>{});
  for (const APMPBEventParam& param : params) {
    if (NANOGetString(param, APMPBEventParam::kName) == name) {
      monitor().logWithLevel(4, 23156, "Event parameter already exists. Parameter name", name);
      return;
    }
  }
  APMPBEventParam param;
  NANOSetString(param, APMPBEventParam::kName, name);
  NANOSetInt64(param, APMPBEventParam::kIntValue, value);
  params.push_back(param);
  NANOSetMessageArray(event, APMPBEvent::kParams, params);
}

}  // namespace

void APMMeasurement::setSamplingRollForTesting(std::function<bool(uint32_t)> roll) {
  samplingRoll_ = std::move(roll);
}

bool APMMeasurement::isEventBundledAfterRoll(uint32_t rate) {
  if (samplingRoll_) return samplingRoll_(rate);
  static thread_local std::mt19937 generator{std::random_device{}()};
  return std::uniform_int_distribution<uint32_t>(0, rate - 1)(generator) == 0;
}

bool APMMeasurement::canEventBeSampled(const APMPBEvent& event) {
  std::shared_ptr<APMRemoteConfig> config = currentConfig();
  std::string name = NANOGetString(event, APMPBEvent::kName).value_or("");
  if (!config->isEventSamplingEnabled() || !config->eventHasSamplingRate(name)) return false;
  if (config->samplingRateForEvent(name) <= 1) {
    monitor().logWithLevel(5, 23154, "Invalid sampling rate provided");
    return false;
  }
  return true;
}

std::optional<std::vector<APMPBEvent>> APMMeasurement::sampleEvents(std::vector<APMPBEvent> events,
                                                                    APMErrorSlot* error) {
  std::shared_ptr<APMRemoteConfig> config = currentConfig();
  std::optional<std::vector<APMEventAggregates>> all = database_->allEventAggregates(error);
  if (!all) {
    monitor().logWithLevel(1, 23157, "Unable to query all event aggregates for cache. error",
                           error ? errorContext(*error) : APMLogContext());
    return std::nullopt;
  }
  std::map<std::string, APMEventAggregates> cache;
  for (APMEventAggregates& aggregates : *all)
    cache.emplace(aggregates.name(), std::move(aggregates));
  int64_t offset = static_cast<int64_t>(config->analyticsAccountTimeZoneOffsetMinutes()) * 60;
  auto dayOf = [offset](int64_t millis) {
    return static_cast<int32_t>((millis / 1000 + offset) / 86400);
  };
  std::vector<APMPBEvent> kept;
  for (APMPBEvent& event : events) {
    std::optional<std::string> name = NANOGetString(event, APMPBEvent::kName);
    if (!name || name->empty()) {
      monitor().logWithLevel(2, 23155, "Dropping event at sampling. Event has no name");
      continue;
    }
    int64_t millis = NANOGetInt64(event, APMPBEvent::kTimestampMillis);
    double seconds = static_cast<double>(millis) / 1000.0;
    int32_t day = dayOf(millis);
    auto entry = cache.find(*name);
    APMEventAggregates* state = entry == cache.end() ? nullptr : &entry->second;
    if (!canEventBeSampled(event)) {
      if (state) {
        state->setLastBundledTimestamp(seconds);
        state->setLastBundledDay(day);
      }
      kept.push_back(std::move(event));
      continue;
    }
    int32_t rate = config->samplingRateForEvent(*name);
    if (isEventBundledAfterRoll(static_cast<uint32_t>(rate))) {
      if (state) {
        state->setLastSamplingRate(rate);
        state->setLastSampledComplexEventID(std::nullopt);
        state->setLastBundledTimestamp(seconds);
        state->setLastBundledDay(day);
      }
      addIntParameter(event, "_sr", rate);
      kept.push_back(std::move(event));
      continue;
    }
    int32_t lastDay = state ? state->lastBundledDay() : 0;
    if (lastDay == 0) lastDay = dayOf(NANOGetInt64(event, APMPBEvent::kPreviousTimestampMillis));
    if (state) state->setLastSamplingRate(rate);
    if (lastDay != day) {
      if (state) {
        state->setLastBundledTimestamp(seconds);
        state->setLastBundledDay(day);
        state->setLastExemptFromSampling(true);
      }
      addIntParameter(event, "_sr", rate);
      addIntParameter(event, "_efs", 1);
      kept.push_back(std::move(event));
    } else if (state) {
      if (std::optional<int64_t> complexID = intParameter(event, "_eid")) {
        state->setLastSampledComplexEventID(complexID);
      }
    }
  }
  for (const auto& [name, entry] : cache) {
    // The lines name the error even when the caller asks for none.
    APMErrorSlot failure;
    std::optional<APMEventAggregates> stored = database_->eventAggregatesWithName(name, &failure);
    if (!stored) {
      monitor().logWithLevel(1, 23151,
                             "Unable to query event aggregates to update database. Name, error",
                             name, errorContext(failure));
      if (error) *error = std::move(failure);
      return std::nullopt;
    }
    if (entry.lastBundledTimestamp() != 0)
      stored->setLastBundledTimestamp(entry.lastBundledTimestamp());
    stored->setLastSamplingRate(entry.lastSamplingRate());
    stored->setLastSampledComplexEventID(entry.lastSampledComplexEventID());
    stored->setLastExemptFromSampling(entry.lastExemptFromSampling());
    stored->setLastBundledDay(entry.lastBundledDay());
    if (!database_->updateEventAggregates(*stored, &failure)) {
      monitor().logWithLevel(1, 23152,
                             "Failed to update event aggregates after removing removing events due "
                             "to sampling. Error",
                             errorContext(failure));
      if (error) *error = std::move(failure);
      return std::nullopt;
    }
  }
  return kept;
}
