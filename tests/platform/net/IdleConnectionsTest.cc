// Which connection gives way when a server is full: the one that has waited longest for a
// request, unless part of one has come.
#include "platform/net/IdleConnections.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(IdleConnectionsTest, TheLongestWaitingOneThatHasNothingGivesWay) {
  platform::IdleConnections idle;
  std::vector<std::string> closed;
  auto connection = [&](std::string name, bool hasBytes) {
    return idle.add([&closed, name, hasBytes] {
      if (hasBytes) return false;
      closed.push_back(name);
      return true;
    });
  };
  const auto first = connection("first", false);
  connection("partway through a request", true);
  connection("third", false);
  connection("fourth", false);
  idle.remove(first);  // its request came
  idle.remove(first);  // twice is harmless

  EXPECT_TRUE(idle.closeOldest());
  EXPECT_TRUE(idle.closeOldest());
  EXPECT_EQ(closed, (std::vector<std::string>{"third", "fourth"}));
  EXPECT_FALSE(idle.closeOldest()) << "the one with part of a request stays";
  EXPECT_EQ(idle.size(), 1u);
}

}  // namespace
