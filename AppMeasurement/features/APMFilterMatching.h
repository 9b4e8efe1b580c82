#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "AppMeasurement/foundation/APMValue.h"
#include "AppMeasurement/messages/APMPBMessages.h"
#include "platform/foundation/Decimal.h"

class APMEventAggregates;
class APMUserAttribute;
namespace platform {
class RegularExpression;
}

// The rules deciding whether one event or one user property satisfies one audience filter, and
// whether a filter definition is well formed. Plain functions without state, callable from any
// thread (the engine calls them on its worker queue).
//
// Every rule answers true, false or nothing (nil): nothing means the filter or the input is
// unusable, and the caller then keeps the filter's stored result. Each refusal is logged
// through the monitor with its code.
//
// Definitions come from the server and are untrusted: any message, any text, any regular
// expression. Regular expressions run under the platform matcher's time limit; a match that
// exceeds it answers nothing (code 9007) instead of holding the worker queue.

// Whether the event satisfies the event filter: its name, its count (current session when the
// filter is session-scoped, else lifetime) and each parameter filter in order.
std::optional<bool> APMEvaluateEventFilter(const APMPBEventFilter* filter,
                                           std::string_view eventName,
                                           const APMValueMap& parameters,
                                           const APMEventAggregates* aggregates);

// Whether the user property satisfies the property filter.
std::optional<bool> APMEvaluatePropertyFilter(const APMPBPropertyFilter* filter,
                                              const APMUserAttribute* attribute);

// One Filter against one value: the number filter when present, else the string filter;
// "negate" (field 3) swaps true and false and leaves nothing as nothing.
std::optional<bool> APMEvaluateFilter(const APMPBFilter& filter, const APMValue& value);

bool APMIsValidNumberFilter(const APMPBNumberFilter& filter);

// The comparison in binary floating point: the comparison texts are read as correctly rounded
// doubles, independent of the process locale. "Equal" means strictly within two representable
// steps on either side of the comparison value.
std::optional<bool> APMEvaluateNumberFilterWithDouble(const APMPBNumberFilter& filter,
                                                      double value);
// Exact: the integer is compared as a decimal number, never through a double.
std::optional<bool> APMEvaluateNumberFilterWithInt64(const APMPBNumberFilter& filter,
                                                     int64_t value);
std::optional<bool> APMEvaluateNumberFilterWithDecimal(const APMPBNumberFilter& filter,
                                                       const platform::Decimal& value);

// Whether the string filter is well formed. For a regular expression, the compiled expression
// (case-insensitive unless the filter is case sensitive) is handed back through `compiled`.
// An empty expression counts as no expression.
bool APMIsValidStringFilter(const APMPBStringFilter& filter,
                            std::shared_ptr<const platform::RegularExpression>* compiled = nullptr);

// The string filter against a text. Lengths and positions count UTF-16 units, as the phone's
// strings do; case-insensitive comparisons use full Unicode case folding.
std::optional<bool> APMEvaluateStringFilter(const APMPBStringFilter& filter,
                                            const std::string* value);
