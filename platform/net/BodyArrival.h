#pragma once

#include <chrono>
#include <cstdint>

namespace platform {

// How long a request's body may take to arrive, so that peers which stall or trickle it free
// their places within seconds while any real client (on loopback, megabytes a second) is never
// cut: every read must bring bytes within `progress`; after a first `progress`, the body must
// keep an average of at least `minimumBytesPerSecond` since its header section ended; and it
// must be whole within `whole`. Real time (std::chrono::steady_clock), since it bounds peers.
class BodyArrival {
 public:
  using Clock = std::chrono::steady_clock;
  struct Limits {
    std::chrono::milliseconds progress{5000};
    uint64_t minimumBytesPerSecond = uint64_t{64} << 10;
    std::chrono::milliseconds whole{60000};
  };

  BodyArrival(Limits limits, Clock::time_point start)
      : limits_(limits), start_(start), end_(start + limits.whole) {}

  // When the next bytes must have come, `received` bytes of the body having arrived by `now`.
  // A time at or before `now` means the body fell behind: the connection is to be closed.
  Clock::time_point deadline(uint64_t received, Clock::time_point now) const;

  // The body was not read for `waited` (the server had no room for its next bytes): that time
  // does not count against its peer's average. The whole body's limit stays where it was.
  void pause(Clock::duration waited) { start_ += waited; }

 private:
  Limits limits_;
  Clock::time_point start_;  // the average is reckoned from here
  Clock::time_point end_;
};

}  // namespace platform
