// How long a request's body may take: a stall or a trickle is cut within seconds, a real body
// never.
#include "platform/net/BodyArrival.h"

#include <gtest/gtest.h>

#include <chrono>

namespace {

using platform::BodyArrival;
using std::chrono::milliseconds;

TEST(BodyArrivalTest, ABodyMustKeepComingAtTheLeastRate) {
  const BodyArrival::Limits limits{milliseconds(5000), 64 << 10, milliseconds(60000)};
  const BodyArrival::Clock::time_point start{};
  const BodyArrival arrival(limits, start);
  struct Case {
    const char* name;
    uint64_t received;
    milliseconds now;  // since the header section ended
    milliseconds due;  // since the header section ended
  };
  const Case cases[] = {
      {"nothing yet: one stall", 0, milliseconds(0), milliseconds(5000)},
      {"a stall after some bytes", 64 << 10, milliseconds(100), milliseconds(5100)},
      {"a trickle falls behind the rate", 10, milliseconds(4000), milliseconds(5000)},
      {"behind: due already", 10, milliseconds(6000), milliseconds(5000)},
      {"a megabyte buys 16 s", 1 << 20, milliseconds(19000), milliseconds(21000)},
      {"never beyond the whole", 100 << 20, milliseconds(58000), milliseconds(60000)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(arrival.deadline(c.received, start + c.now) - start, c.due);
  }
}

// A body the server did not read while it had no room for it: its peer is not behind for that
// time, but the whole body's limit stays.
TEST(BodyArrivalTest, TimeTheServerDidNotReadIsNotThePeers) {
  const BodyArrival::Limits limits{milliseconds(5000), 64 << 10, milliseconds(60000)};
  const BodyArrival::Clock::time_point start{};
  BodyArrival arrival(limits, start);
  arrival.pause(milliseconds(4000));
  struct Case {
    const char* name;
    uint64_t received;
    milliseconds now;
    milliseconds due;
  };
  const Case cases[] = {
      {"nothing yet, after the wait", 0, milliseconds(4000), milliseconds(9000)},
      {"a megabyte buys 16 s from the wait's end", 1 << 20, milliseconds(23000),
       milliseconds(25000)},
      {"never beyond the whole", 100 << 20, milliseconds(58000), milliseconds(60000)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(arrival.deadline(c.received, start + c.now) - start, c.due);
  }
}

}  // namespace
