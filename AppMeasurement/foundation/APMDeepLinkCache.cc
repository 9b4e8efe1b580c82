#include "AppMeasurement/foundation/APMDeepLinkCache.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "AppMeasurement/foundation/APMUserDefaults.h"
#include "platform/dispatch/Clock.h"

void APMCacheDeepLink(APMUserDefaults& defaults, std::string_view link) {
  defaults.setObject(platform::Value(std::string(link)), kAPMDeepLinkKey);
  defaults.setObject(platform::Value(platform::Clock::current()->now()), kAPMDeepLinkTimestampKey);
}

void APMClearCachedDeepLink(APMUserDefaults& defaults) {
  defaults.removeObjectForKey(kAPMDeepLinkKey);
  defaults.removeObjectForKey(kAPMDeepLinkTimestampKey);
}

bool APMIsCachedDeepLinkExpired(const APMUserDefaults& defaults, double timeToLive) {
  std::optional<platform::Value> stored = defaults.numberForKey(kAPMDeepLinkTimestampKey);
  if (!stored) return false;
  double timestamp = stored->numberAsDouble().value_or(0);
  return std::fabs(platform::Clock::current()->now() - timestamp) > timeToLive;
}

bool APMClearExpiredCachedDeepLinkWithTimeToLive(double timeToLive) {
  std::shared_ptr<APMUserDefaults> defaults = APMUserDefaults::sharedUserDefaults();
  if (!APMIsCachedDeepLinkExpired(*defaults, timeToLive)) return false;
  APMClearCachedDeepLink(*defaults);
  return true;
}

int64_t APMPreviousHourStartMillis(int64_t t) {
  constexpr int64_t kHour = 3600000;
  // C++ division truncates toward zero, as the rule asks; the hour before the minimum
  // representable one cannot be expressed, so it saturates rather than overflowing.
  int64_t hourStart = (t / kHour) * kHour;
  if (hourStart < std::numeric_limits<int64_t>::min() + kHour)
    return std::numeric_limits<int64_t>::min();
  return hourStart - kHour;
}
