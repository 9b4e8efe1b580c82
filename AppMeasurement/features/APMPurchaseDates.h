#pragma once

#include <optional>
#include <string>
#include <string_view>

// Receipt date texts: ICU pattern "yyyy-MM-dd'T'HH:mm:ssZZZZZ", locale en_US_POSIX, time zone
// GMT. Dates are seconds since 1970. Thread-safe (a formatter per call).

// The text of the date (whole seconds), e.g. "2026-01-02T10:00:00Z".
std::string APMIA5StringFromDate(double date);
// The date of a text in that form; nothing when it does not parse whole.
std::optional<double> APMDateFromIA5String(std::string_view text);
