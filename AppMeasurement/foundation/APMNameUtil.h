#pragma once

#include <cstdint>
#include <string_view>

#include "AppMeasurement/foundation/APMNameTables.h"
#include "AppMeasurement/foundation/APMValue.h"

// Name tests and small parameter-map helpers. Plain functions; any thread.

// A non-empty name not beginning with "_"; an empty one logs 18003 and is not public.
// (Names here are always strings: maps are keyed by text.)
bool APMIsPublicName(std::string_view name);
// Every name but "_err".
bool APMIsNotErrorEventName(std::string_view name);

// The screen parameters "_sn", "_sc", "_si".
inline constexpr std::string_view kAPMScreenNameParameter = "_sn";
inline constexpr std::string_view kAPMScreenClassParameter = "_sc";
inline constexpr std::string_view kAPMScreenIDParameter = "_si";

// Keys that pass APMIsPublicName; in item scope e-commerce parameter names do not count.
template <typename Map>
int64_t APMPublicParameterCount(const Map& parameters, bool itemScope) {
  int64_t count = 0;
  for (const auto& entry : parameters) {
    if (!APMIsPublicName(std::string_view(entry.first))) continue;
    if (itemScope && APMIsEcommerceParameterName(entry.first)) continue;
    ++count;
  }
  return count;
}

// Whether any of "_si", "_sc", "_sn" is present.
template <typename Map>
bool APMHasScreenParameters(const Map& parameters) {
  return parameters.contains(kAPMScreenIDParameter) ||
         parameters.contains(kAPMScreenClassParameter) ||
         parameters.contains(kAPMScreenNameParameter);
}

// A new map with those of "_si", "_sc", "_sn" that are present.
template <typename Map>
Map APMScreenParameters(const Map& parameters) {
  Map screen;
  for (std::string_view key :
       {kAPMScreenIDParameter, kAPMScreenClassParameter, kAPMScreenNameParameter}) {
    if (auto it = parameters.find(key); it != parameters.end()) screen.insert(*it);
  }
  return screen;
}

// A copy without the keys that begin with "oad_".
template <typename Map>
Map APMParametersWithoutOadPrefix(const Map& parameters) {
  Map kept;
  for (const auto& entry : parameters) {
    if (!std::string_view(entry.first).starts_with("oad_")) kept.insert(kept.end(), entry);
  }
  return kept;
}
