#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>

// The fixed name tables shared by the validator, the event model, audiences and the log
// display. Each is built once (thread-safe) and never changes; the references live for the
// whole process.

using APMNameTable = std::map<std::string, std::string, std::less<>>;
using APMNameSet = std::set<std::string, std::less<>>;

// Reserved public user-property names and the short internal names they are stored under.
const APMNameTable& APMUserPropertyPublicToInternalNames();

// Public event name → internal name.
const APMNameTable& APMEventNameMap();
// Internal event name → public name; "_cmp" keeps "oa_campaign".
const APMNameTable& APMInternalEventNameMap();
// The one reserved public name an app may log, under its internal name.
const APMNameTable& APMAllowedPublicEventNameMap();
// Public event-parameter name → internal name.
const APMNameTable& APMEventParameterNameMap();
// Error code → name, for printing "_err" values.
const std::map<int64_t, std::string>& APMErrorCodeNames();

// The e-commerce events (the only ones that may carry an array parameter).
const APMNameSet& APMEcommerceEventNames();
// The e-commerce parameters (not counted as custom parameters inside an item).
const APMNameSet& APMEcommerceParameterNames();

bool APMIsEcommerceEventName(std::string_view name);
bool APMIsEcommerceParameterName(std::string_view name);
bool APMIsRevenueEventName(std::string_view name);
bool APMIsPurchaseEventName(std::string_view name);
