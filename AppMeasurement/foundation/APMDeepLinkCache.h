#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

class APMUserDefaults;

// The launch deep-link cache: a link that opened the app before measurement started, kept
// in the app's user defaults with the time it was stored, until the campaign report reads
// it or it expires. Times are wall-clock seconds since 1970 from platform::Clock.
// Safe from any thread (the user defaults synchronise themselves).

inline constexpr std::string_view kAPMDeepLinkKey = "/orvane/measurement/deep_link";
inline constexpr std::string_view kAPMDeepLinkTimestampKey =
    "/orvane/measurement/deep_link_timestamp_seconds";

// Stores the link and the current time.
void APMCacheDeepLink(APMUserDefaults& defaults, std::string_view link);
// Removes the link and its time.
void APMClearCachedDeepLink(APMUserDefaults& defaults);
// True when a time is stored and lies further than timeToLive seconds from now, in either
// direction (a clock set back counts too); false when none is stored.
bool APMIsCachedDeepLinkExpired(const APMUserDefaults& defaults, double timeToLive);
// On the app's own user defaults: clears the cached link when it is older than the remote
// setting attributionCacheTTLInterval (seconds); answers whether it was expired. The
// remote configuration is any object with that setting. The engine calls it whenever
// collection is switched off, so that a stale link is never reported later.
template <typename RemoteConfig>
bool APMClearExpiredCachedDeepLink(const RemoteConfig& remoteConfig);
bool APMClearExpiredCachedDeepLinkWithTimeToLive(double timeToLive);

// The start of the hour before the one that holds t (milliseconds since 1970):
// (t / 3600000) * 3600000 - 3600000, dividing toward zero.
int64_t APMPreviousHourStartMillis(int64_t t);

template <typename RemoteConfig>
bool APMClearExpiredCachedDeepLink(const RemoteConfig& remoteConfig) {
  return APMClearExpiredCachedDeepLinkWithTimeToLive(
      static_cast<double>(remoteConfig.attributionCacheTTLInterval()));
}
