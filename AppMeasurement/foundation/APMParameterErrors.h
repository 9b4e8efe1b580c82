#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "AppMeasurement/foundation/APMValue.h"

// Validation never raises: an offending name or value is dropped and the reason travels in
// the internal parameters "_err" (the error code), "_ev" (the offending name or value, cut to
// a maximum of code points and "...") and "_el" (the offending value's length). These
// functions record them into a parameter map; once present they are never overwritten.
// Plain functions; any thread.

inline constexpr std::string_view kAPMErrorCodeParameter = "_err";
inline constexpr std::string_view kAPMErrorValueParameter = "_ev";
inline constexpr std::string_view kAPMErrorLengthParameter = "_el";

// Sets "_err" unless present.
void APMSetErrorCodeParameter(APMValueMap& parameters, int64_t code);

// Unless "_ev" or "_el" is present: "_ev" = the name's text (the name when it is a string,
// its class name otherwise, "(nil)" for nil), cut to `maximum` code points followed by
// "..." when longer; and, when a value is given, "_el" = its length in code points (string),
// its element count (array) or 0.
void APMSetErrorValueParameters(APMValueMap& parameters, const APMObject& name, int64_t maximum,
                                const APMObject* value);

// Only when none of "_ev", "_el", "_err" is present: "_err" = code, then the value
// parameters.
void APMSetErrorParameters(APMValueMap& parameters, int64_t code, const APMObject& name,
                           int64_t maximum, const APMObject* value);

// Records an array-parameter failure code of the validator: 10 → error 21 with the event
// name; 11 → 20, 12 → 17, 13 → 22 with the parameter name; maximum 40, no value. Other
// codes record nothing. An absent event name reads "(nil)".
void APMSetArrayParameterError(APMValueMap& parameters, int64_t failureCode,
                               std::string_view parameterName,
                               const std::optional<std::string>& eventName);

// The text an "_ev" holds for the name: its first `maximum` code points and "..." when
// longer, else the text itself.
std::string APMTrimmedErrorValue(std::string_view text, int64_t maximum);

// When the code is not 0, the internal event "_err" of origin "auto" with the single
// parameter "_err" = code, through the installed APMErrorEventSink.
void APMLogErrorEvent(int64_t code);
// When the code is not 0, the internal event "_err" with "_err" = code and the value
// parameters for the name; the value is passed on (so "_el" appears) only when it is longer
// than the maximum or the code is 4 or 7.
void APMLogErrorEventWithValue(int64_t code, const APMObject& name, int64_t maximum,
                               const APMObject* value);
