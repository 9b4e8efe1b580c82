#include "platform/net/BodyArrival.h"

#include <algorithm>

namespace platform {

BodyArrival::Clock::time_point BodyArrival::deadline(uint64_t received,
                                                     Clock::time_point now) const {
  Clock::time_point due = std::min(now + limits_.progress, end_);
  if (limits_.minimumBytesPerSecond > 0) {
    // What `received` bytes buy at the slowest rate allowed; capped so that the sum never
    // overflows (a day is beyond any whole-body limit).
    const uint64_t earnedMs =
        std::min<uint64_t>(received * 1000 / limits_.minimumBytesPerSecond, 86400000);
    due = std::min(due, start_ + limits_.progress + std::chrono::milliseconds(earnedMs));
  }
  return due;
}

}  // namespace platform
