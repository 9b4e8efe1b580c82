#pragma once

#include <cstdint>

#include "platform/foundation/Value.h"

// Seconds (a double, as every time in the engine) to whole milliseconds, truncated toward
// zero. Edited or caller-given times can be NaN, infinite or huge: NaN gives 0 and
// out-of-range values saturate at the int64 limits, as the platform's number reading does.
inline int64_t APMMillisecondsFromSeconds(double seconds) {
  return platform::Value(seconds * 1000).numberAsInteger().value_or(0);
}
