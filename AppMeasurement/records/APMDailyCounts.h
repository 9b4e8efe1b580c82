#pragma once

#include <cstdint>

// The counters of one day behind the daily limits. A value type, owned by the engine on its
// worker queue; not synchronised.
//
// Every count saturates at 2147483647 (and at the lowest 32-bit value for negative effective
// counts) instead of overflowing: a wrapped count would reopen a daily limit. At the ceiling
// a count stops moving, so "count − limit" stays fixed there: a limit message written for
// every thousandth event over the limit then repeats for every event when that difference is
// a multiple of 1000 and never appears again otherwise.
class APMDailyCounts {
 public:
  APMDailyCounts() = default;
  // initWithDay:conversionsCount:allEventsCount:publicEventsCount:errorEventsCount:
  // realtimeCount:dcuRealtimeCount:.
  APMDailyCounts(int32_t day, int32_t conversionsCount, int32_t allEventsCount,
                 int32_t publicEventsCount, int32_t errorEventsCount, int32_t realtimeCount,
                 int32_t dcuRealtimeCount)
      : day_(day),
        conversionsCount_(conversionsCount),
        allEventsCount_(allEventsCount),
        publicEventsCount_(publicEventsCount),
        errorEventsCount_(errorEventsCount),
        realtimeCount_(realtimeCount),
        dcuRealtimeCount_(dcuRealtimeCount) {}

  // Each increment first moves the counters to the given day (resetWithNewDay:) when it
  // differs from theirs, earlier or later.
  void incrementCountsForCurrentDay(int32_t day, bool isPublicEvent, bool isConversion);
  // Conversions up by one when a conversion; all events up by the effective count; public
  // events up by it too when public.
  void incrementCountsForCurrentDay(int32_t day, bool isPublicEvent, bool isConversion,
                                    int32_t effectiveEventCount);
  // All events and error events up by one.
  void incrementErrorEventsCountForCurrentDay(int32_t day);
  void incrementRealtimeCountsForCurrentDay(int32_t day);
  void incrementDCURealtimeCountsForCurrentDay(int32_t day);
  // All events down by one, never below 0.
  void decrementAllEventsCount();
  // Sets the day and all six counts to 0.
  void resetWithNewDay(int32_t day);

  int32_t day() const { return day_; }
  int32_t conversionsCount() const { return conversionsCount_; }
  int32_t allEventsCount() const { return allEventsCount_; }
  int32_t publicEventsCount() const { return publicEventsCount_; }
  int32_t errorEventsCount() const { return errorEventsCount_; }
  int32_t realtimeCount() const { return realtimeCount_; }
  int32_t dcuRealtimeCount() const { return dcuRealtimeCount_; }

  bool operator==(const APMDailyCounts&) const = default;

 private:
  void moveToDay(int32_t day);

  int32_t day_ = 0;
  int32_t conversionsCount_ = 0;
  int32_t allEventsCount_ = 0;
  int32_t publicEventsCount_ = 0;
  int32_t errorEventsCount_ = 0;
  int32_t realtimeCount_ = 0;
  int32_t dcuRealtimeCount_ = 0;
};
