#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

// A timestamp in seconds as the audience results store it: truncated toward zero to int64,
// saturated at the limits (NaN reads as 0) so that no time, however odd, is undefined behaviour.
inline int64_t APMAudienceTimestamp(double seconds) {
  if (std::isnan(seconds)) return 0;
  if (seconds >= 9223372036854775807.0) return std::numeric_limits<int64_t>::max();
  if (seconds <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(seconds);
}
