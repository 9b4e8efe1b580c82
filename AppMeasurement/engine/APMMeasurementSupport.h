#pragma once

// Small helpers shared by the engine's source files (not part of any interface).

#include <cmath>
#include <cstdint>
#include <limits>

#include "AppMeasurement/foundation/APMMonitor.h"
#include "AppMeasurement/foundation/APMParameterErrors.h"
#include "platform/dispatch/Clock.h"

namespace apm_engine {

inline APMMonitor& monitor() { return *APMMonitor::monitor(); }
// Wall time, seconds since 1970, by the installed clock.
inline double now() { return platform::Clock::currentNow(); }
// Device uptime, seconds, by the installed clock.
inline double uptime() { return platform::Clock::current()->uptime(); }
// Seconds as whole milliseconds, truncated; saturated outside int64, 0 for NaN (times from
// servers and links may be anything).
inline int64_t saturatedMillis(double seconds) {
  double millis = seconds * 1000;
  if (std::isnan(millis)) return 0;
  if (millis >= 9.2e18) return std::numeric_limits<int64_t>::max();
  if (millis <= -9.2e18) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(millis);
}

// The internal error event "_err" for a name, with the value that caused it.
inline void logErrorEvent(int64_t code, const std::string& name, int64_t maximum,
                          const APMObject& value) {
  APMLogErrorEventWithValue(code, APMObject(platform::Value(name)), maximum, &value);
}

}  // namespace apm_engine
