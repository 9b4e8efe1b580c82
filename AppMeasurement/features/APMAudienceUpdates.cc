// Definition updates: validation of server audiences, name translation and replacement of the
// stored filters.
#include <string>

#include "AppMeasurement/features/APMAudience.h"
#include "AppMeasurement/features/APMFilterMatching.h"
#include "AppMeasurement/foundation/APMMonitor.h"
#include "AppMeasurement/foundation/APMNameTables.h"
#include "AppMeasurement/storage/APMDatabase.h"

namespace {

APMMonitor& monitor() { return *APMMonitor::monitor(); }

std::string errorText(const APMErrorSlot& error) { return error ? error->description() : ""; }

std::string translated(const APMNameTable& table, const std::string& name) {
  auto found = table.find(name);
  return found == table.end() ? name : found->second;
}

bool fail(APMErrorSlot* error, int64_t code, std::string_view description) {
  APMSetError(error, code, description);
  return false;
}

bool presentText(const std::optional<std::string>& text) { return text && !text->empty(); }

// Exactly one of number and string filter, each valid; `code` and the descriptions name the
// filter kind.
bool validInnerFilter(const APMPBFilter& filter, APMErrorSlot* error, int64_t code,
                      std::string_view exactlyOne, std::string_view badNumber,
                      std::string_view badString) {
  const bool hasNumber = NANOHasField(filter, APMPBFilter::kNumberFilter);
  const bool hasString = NANOHasField(filter, APMPBFilter::kStringFilter);
  if (hasNumber == hasString) return fail(error, code, exactlyOne);
  if (hasNumber) {
    auto number = NANOGetMessage<APMPBNumberFilter>(filter, APMPBFilter::kNumberFilter);
    if (!number || !APMIsValidNumberFilter(*number)) return fail(error, code, badNumber);
  } else {
    auto string = NANOGetMessage<APMPBStringFilter>(filter, APMPBFilter::kStringFilter);
    if (!string || !APMIsValidStringFilter(*string)) return fail(error, code, badString);
  }
  return true;
}

}  // namespace

bool APMValidateAudience(const APMPBAudience& audience, const std::set<int32_t>& acceptedIDs,
                         const APMAudience::Limits& limits, APMErrorSlot* error) {
  if (!NANOHasField(audience, APMPBAudience::kAudienceId)) {
    return fail(error, 9, "Missing audience ID");
  }
  const int32_t audienceID = NANOGetInt32(audience, APMPBAudience::kAudienceId);
  if (audienceID < 0) return fail(error, 9, "Audience ID is negative");
  if (acceptedIDs.contains(audienceID)) return fail(error, 9, "Duplicate audience ID");
  auto events = NANOGetMessageArray<APMPBEventFilter>(audience, APMPBAudience::kEventFilters);
  auto properties =
      NANOGetMessageArray<APMPBPropertyFilter>(audience, APMPBAudience::kPropertyFilters);
  // A repeated field is present when it has elements, as on the wire.
  auto present = [](const auto& list) { return list && !list->empty(); };
  if (!present(events) && !present(properties)) {
    return fail(error, 9, "Audience missing filters arrays");
  }
  if (!events) events.emplace();
  if (!properties) properties.emplace();
  const size_t count = events->size() + properties->size();
  if (count < 1 || count > static_cast<size_t>(std::max(0, limits.maxFiltersPerAudience))) {
    return fail(error, 9, "Audience filter count out of range");
  }
  std::set<int32_t> filterIDs;
  auto idInRange = [&](int32_t id) { return id >= 0 && id < limits.maxFiltersPerAudience; };
  for (const APMPBEventFilter& filter : *events) {
    if (!presentText(NANOGetString(filter, APMPBEventFilter::kEventName))) {
      return fail(error, 10, "Event filter missing event name");
    }
    if (!NANOHasField(filter, APMPBEventFilter::kFilterId)) {
      return fail(error, 10, "Missing event filter ID");
    }
    const int32_t id = NANOGetInt32(filter, APMPBEventFilter::kFilterId);
    if (!idInRange(id)) return fail(error, 10, "Event filter ID is out of range");
    if (!filterIDs.insert(id).second) return fail(error, 10, "Duplicate event filter ID");
    if (NANOHasField(filter, APMPBEventFilter::kEventCountFilter)) {
      auto countFilter =
          NANOGetMessage<APMPBNumberFilter>(filter, APMPBEventFilter::kEventCountFilter);
      if (countFilter && NANOGetBool(*countFilter, APMPBNumberFilter::kMatchAsFloat)) {
        return fail(error, 10, "Event filter has float event count filter");
      }
      if (!countFilter || !APMIsValidNumberFilter(*countFilter)) {
        return fail(error, 10, "Event filter has invalid event count filter");
      }
    }
    auto parameters = NANOGetMessageArray<APMPBFilter>(filter, APMPBEventFilter::kFilters)
                          .value_or(std::vector<APMPBFilter>{});
    if (parameters.size() > static_cast<size_t>(std::max(0, limits.maxParametersPerFilter))) {
      return fail(error, 10, "Event filter parameters filters count out of range");
    }
    for (const APMPBFilter& parameter : parameters) {
      if (!presentText(NANOGetString(parameter, APMPBFilter::kParamName))) {
        return fail(error, 10, "Event filter missing parameter name");
      }
      if (!validInnerFilter(
              parameter, error, 10, "Event filter must have exactly one of number or string filter",
              "Event filter has invalid number filter", "Event filter has invalid string filter")) {
        return false;
      }
    }
  }
  for (const APMPBPropertyFilter& filter : *properties) {
    if (!presentText(NANOGetString(filter, APMPBPropertyFilter::kPropertyName))) {
      return fail(error, 11, "Property filter missing property name");
    }
    if (!NANOHasField(filter, APMPBPropertyFilter::kFilterId)) {
      return fail(error, 11, "Missing property filter ID");
    }
    const int32_t id = NANOGetInt32(filter, APMPBPropertyFilter::kFilterId);
    if (!idInRange(id)) return fail(error, 11, "Property filter ID is out of range");
    if (!filterIDs.insert(id).second) return fail(error, 11, "Duplicate property filter ID");
    if (!NANOHasField(filter, APMPBPropertyFilter::kFilter)) {
      return fail(error, 11, "Property filter has no filter");
    }
    auto inner = NANOGetMessage<APMPBFilter>(filter, APMPBPropertyFilter::kFilter);
    if (!inner || !validInnerFilter(*inner, error, 11,
                                    "Property filter must have exactly one of number or string "
                                    "filter",
                                    "Property filter has invalid number filter",
                                    "Property filter has invalid string filter")) {
      if (!inner) fail(error, 11, "Property filter has no filter");
      return false;
    }
  }
  return true;
}

bool APMAudience::updateAudiences(const std::vector<APMPBAudience>& audiences) {
  const Limits limits = limits_ ? limits_() : Limits();
  if (audiences.size() > static_cast<size_t>(std::max(0, limits.maxAudienceCount))) {
    monitor().logWithLevel(2, 6008,
                           "Configuration contains too many audiences. Audiences will not be "
                           "saved. Audience count",
                           static_cast<int64_t>(audiences.size()));
    return true;
  }
  std::set<int32_t> accepted;
  std::vector<APMEventFilter> eventFilters;
  std::vector<APMPropertyFilter> propertyFilters;
  for (const APMPBAudience& audience : audiences) {
    APMErrorSlot error;
    if (!APMValidateAudience(audience, accepted, limits, &error)) {
      monitor().logWithLevel(2, 6009,
                             "Audience definition is invalid. Audience will not be saved. "
                             "Audience, error",
                             APMLogContext::object(audience.className(), std::nullopt, &audience),
                             errorText(error));
      continue;
    }
    const int32_t audienceID = NANOGetInt32(audience, APMPBAudience::kAudienceId);
    accepted.insert(audienceID);
    auto events = NANOGetMessageArray<APMPBEventFilter>(audience, APMPBAudience::kEventFilters)
                      .value_or(std::vector<APMPBEventFilter>{});
    for (APMPBEventFilter& filter : events) {
      const std::string name =
          translated(APMEventNameMap(), *NANOGetString(filter, APMPBEventFilter::kEventName));
      NANOSetString(filter, APMPBEventFilter::kEventName, name);
      auto parameters = NANOGetMessageArray<APMPBFilter>(filter, APMPBEventFilter::kFilters)
                            .value_or(std::vector<APMPBFilter>{});
      for (APMPBFilter& parameter : parameters) {
        NANOSetString(parameter, APMPBFilter::kParamName,
                      translated(APMEventParameterNameMap(),
                                 *NANOGetString(parameter, APMPBFilter::kParamName)));
      }
      NANOSetMessageArray(filter, APMPBEventFilter::kFilters, parameters);
      eventFilters.emplace_back(audienceID, NANOGetInt32(filter, APMPBEventFilter::kFilterId), name,
                                filter.protoBuffer().value_or(std::string()),
                                NANOGetBool(filter, APMPBEventFilter::kSessionScoped),
                                NANOGetBool(filter, APMPBEventFilter::kDynamic),
                                NANOGetBool(filter, APMPBEventFilter::kSequence));
    }
    auto properties =
        NANOGetMessageArray<APMPBPropertyFilter>(audience, APMPBAudience::kPropertyFilters)
            .value_or(std::vector<APMPBPropertyFilter>{});
    for (APMPBPropertyFilter& filter : properties) {
      const std::string name =
          translated(APMUserPropertyPublicToInternalNames(),
                     *NANOGetString(filter, APMPBPropertyFilter::kPropertyName));
      NANOSetString(filter, APMPBPropertyFilter::kPropertyName, name);
      propertyFilters.emplace_back(audienceID, NANOGetInt32(filter, APMPBPropertyFilter::kFilterId),
                                   name, filter.protoBuffer().value_or(std::string()),
                                   NANOGetBool(filter, APMPBPropertyFilter::kSessionScoped),
                                   NANOGetBool(filter, APMPBPropertyFilter::kDynamic),
                                   NANOGetBool(filter, APMPBPropertyFilter::kSequence));
    }
  }
  if (!maybeDeleteStaleFilterResults(accepted)) return false;
  APMErrorSlot error;
  if (!database_.deleteAllEventFilters(&error)) {
    monitor().logWithLevel(1, 6010,
                           "Unable to delete existing Audience event filters. Audiences will not "
                           "be saved. Error",
                           errorText(error));
    return false;
  }
  if (!database_.deleteAllPropertyFilters(&error)) {
    monitor().logWithLevel(1, 6011,
                           "Unable to delete existing Audience user property filters. Audiences "
                           "will not be saved. Error",
                           errorText(error));
    return false;
  }
  if (!eventFilters.empty() && !database_.updateEventFilters(eventFilters, &error)) {
    monitor().logWithLevel(1, 6012,
                           "Unable to save Audience event filters. Audiences will not be saved. "
                           "Error",
                           errorText(error));
    return false;
  }
  if (!propertyFilters.empty() && !database_.updatePropertyFilters(propertyFilters, &error)) {
    monitor().logWithLevel(1, 6013,
                           "Unable to save Audience user property filters. Audiences will not be "
                           "saved. Error",
                           errorText(error));
    return false;
  }
  return true;
}

bool APMAudience::maybeDeleteStaleFilterResults(const std::set<int32_t>& acceptedAudienceIDs) {
  const Limits limits = limits_ ? limits_() : Limits();
  APMErrorSlot error;
  auto stored = database_.allFilterResults(&error);
  if (!stored) {
    monitor().logWithLevel(1, 6015,
                           "Unable to query Audience filter results. Audiences will not be "
                           "saved. Error",
                           errorText(error));
    return false;
  }
  if (stored->size() <= static_cast<size_t>(std::max(0, limits.maxFilterResultCount))) return true;
  monitor().logWithLevel(3, 6016,
                         "Too many Audience filter results. Deleting filter results for deleted "
                         "Audiences. Filter result count, max filter result count",
                         static_cast<int64_t>(stored->size()),
                         static_cast<int64_t>(limits.maxFilterResultCount));
  auto current = database_.allAudienceIDs(&error);
  if (!current) {
    monitor().logWithLevel(1, 6017,
                           "Unable to query current Audience IDs. Audiences will not be saved. "
                           "Error",
                           errorText(error));
    return false;
  }
  const std::set<int32_t> kept(current->begin(), current->end());
  std::vector<APMFilterResult> stale;
  for (const auto& [audienceID, result] : *stored) {
    if (!kept.contains(audienceID) && !acceptedAudienceIDs.contains(audienceID)) {
      stale.push_back(result);
    }
  }
  // An empty list is refused by the database, as the store defines it; the update then fails.
  if (!database_.deleteFilterResults(stale, &error)) {
    monitor().logWithLevel(1, 6018,
                           "Unable to delete stale Audience filter results. Audiences will not be "
                           "saved. Error",
                           errorText(error));
    return false;
  }
  return true;
}
