#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "AppMeasurement/foundation/APMValue.h"

// The parameter sanitiser: turns the loose parameter map of a logged event into a map of
// typed values, dropping or trimming what APMDataTypeValidator refuses and recording why in
// "_err", "_ev", "_el" (APMParameterErrors.h).
//
// Untrusted input: the map and everything in it come from the app. Any shape is accepted
// (nil values, other kinds, text that is not valid UTF-8, very long texts, many parameters,
// arrays nested inside items) and gives a result or nothing, never a crash or an exception.
// Arrays are sanitised one level deep (an array inside an item is refused), so recursion is
// bounded. The limits are those of APMParameterLimits::current(), read once per call.
// Plain functions; any thread.

// The sanitised parameters of an event, or nothing for an empty map. The event counts as
// internal when its name is a public name of the event-name table or begins with "_".
// `itemScope`: the map is an item of an array parameter.
std::optional<APMValueMap> APMSanitizedEventParameters(const APMObjectMap& parameters,
                                                       const std::optional<std::string>& eventName,
                                                       bool isPublic, bool itemScope);
// No event name, not in item scope.
std::optional<APMValueMap> APMSanitizedParameters(const APMObjectMap& parameters, bool isPublic);

// The public parameter-name rule (when public) and then the internal one. On refusal with no
// "_err" in `errors` yet: error 14 for a reserved name, else 3, with "_ev" the name (cut to
// 40) and "_el" its length when longer than 40.
bool APMIsValidParameterName(const std::string& name, bool isPublic, APMValueMap& errors);

// An array parameter k of event E: nothing when the validator refuses it (but for more than
// 200 items, which keeps the first 200 and leaves failure code 12 set); otherwise an array of
// the sanitised item maps. Items that are not maps record error 4 "k[i]" into `errors`.
std::optional<APMValue> APMArrayParameterValue(const APMValue& array, const std::string& name,
                                               const std::optional<std::string>& eventName,
                                               APMValueMap& errors, bool itemScope, bool isPublic,
                                               int64_t* failureCode);

// Removes public keys from the end of the UTF-16 order until at most `limit` public keys
// remain ("_" keys, and in item scope e-commerce names, stay).
void APMTrimParametersToLimit(APMValueMap& parameters, int64_t limit);
void APMTrimParametersToLimitWithScope(APMValueMap& parameters, int64_t limit, bool itemScope);

// "value" must be numeric and come with a valid "currency"; otherwise "value" is removed,
// the error recorded (19 naming "currency" with 18014 logged, or 18 naming "value") and the
// answer is NO.
bool APMValidateValueAndCurrency(APMValueMap& parameters);
