#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "AppMeasurement/messages/APMPBMessages.h"

// The times at which the steps of one audience's sequence filters evaluated true, for one
// evaluation pass. Worker queue only; discarded at the end of the pass. Times are seconds since
// 1970 as doubles; in messages they are int64 truncated toward zero.
class APMSequenceTimestampsCache {
 public:
  explicit APMSequenceTimestampsCache(int32_t audienceID) : audienceID_(audienceID) {}

  int32_t audienceID() const { return audienceID_; }

  // A copy of the filter's times; nothing for an unknown filter.
  std::optional<std::vector<double>> sequenceTimestampsForFilterID(int32_t filterID) const;

  // An event step: appends the time unless the last one has the same whole second. A time
  // earlier than the last is still taken (logged, 42000).
  void addEventFilterTimestamp(double timestamp, int32_t filterID);
  // A user-property step: the list becomes the new time alone (an earlier time logs 42001).
  void setUserPropertyTimestamp(double timestamp, int32_t filterID);

  // One entry per filter, ascending filter id; times sorted ascending, the field set only when
  // the list is not empty.
  std::vector<APMPBSequenceFilterResultTimestamp> sequenceFilterResultTimestamps() const;

 private:
  int32_t audienceID_;
  std::map<int32_t, std::vector<double>> allSequenceTimestampsByFilterID_;
};
