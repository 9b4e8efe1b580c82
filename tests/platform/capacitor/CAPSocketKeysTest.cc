#include "platform/capacitor/CAPSocketKeys.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace {

using Ids = std::vector<uint64_t>;

struct Step {
  enum Action { kOpen, kKept, kClosed } action;
  uint64_t socket;
  std::string key;  // kOpen: "key" (the address's), "nextN" (handed to socket N), "" made up
  bool opens;       // kOpen
  Ids closes;       // kOpen, kKept: the sockets to close now
};

// Runs the steps on a line started with the address's key.
void run(const std::vector<Step>& steps) {
  platform::CAPSocketKeys keys;
  const std::string address = "0123456789abcdef0123456789abcdef";
  keys.add(address);
  std::map<uint64_t, std::string> handed;  // socket -> the key it was handed
  auto lookUp = [&](const std::string& name) -> std::string {
    if (name == "key") return address;
    if (name.rfind("next", 0) == 0) return handed.at(std::stoul(name.substr(4)));
    return std::string(32, 'f');
  };
  for (size_t i = 0; i < steps.size(); ++i) {
    const Step& step = steps[i];
    SCOPED_TRACE("step " + std::to_string(i));
    Ids closes;
    switch (step.action) {
      case Step::kOpen: {
        auto opened = keys.open(lookUp(step.key), step.socket);
        EXPECT_EQ(!opened.next.empty(), step.opens);
        if (!opened.next.empty()) handed[step.socket] = opened.next;
        closes = opened.stale;
        break;
      }
      case Step::kKept:
        closes = keys.kept(step.socket, handed.at(step.socket));
        break;
      case Step::kClosed:
        keys.closed(step.socket);
        continue;
    }
    std::sort(closes.begin(), closes.end());
    EXPECT_EQ(closes, step.closes);
  }
}

// A tab's life as the host sees it: which keys open a socket, when a key dies, and which
// sockets are closed. Socket 1 is the page's first socket unless a row says otherwise.
TEST(CAPSocketKeysTest, TheFirstAcknowledgementSpendsTheLine) {
  using S = Step;
  struct Case {
    const char* name;
    std::vector<Step> steps;
  };
  const Case cases[] = {
      {"the page keeps each next key",
       {{S::kOpen, 1, "key", true, {}},
        {S::kKept, 1, "", false, {}},
        {S::kClosed, 1, "", false, {}},
        {S::kOpen, 2, "key", false, {}},
        {S::kOpen, 2, "next1", true, {}},
        {S::kKept, 2, "", false, {}},
        {S::kOpen, 3, "next1", false, {}},
        {S::kOpen, 3, "next2", true, {}}}},
      // Reloaded before the next key reached it: the tab still holds the key it had.
      {"the page went before the next key came",
       {{S::kOpen, 1, "key", true, {}},
        {S::kClosed, 1, "", false, {}},
        {S::kOpen, 2, "key", true, {}},
        {S::kKept, 2, "", false, {}},
        {S::kOpen, 3, "key", false, {}},
        {S::kOpen, 3, "next1", false, {}}}},
      // Kept the next key, gone before saying so: presenting it spends the line.
      {"the page kept the next key without saying so",
       {{S::kOpen, 1, "key", true, {}},
        {S::kClosed, 1, "", false, {}},
        {S::kOpen, 2, "next1", true, {}},
        {S::kOpen, 3, "key", false, {}}}},
      {"a made-up key", {{S::kOpen, 1, "", false, {}}}},
      // Another opener (socket 2) with the address's key, on either side of the page's socket:
      // the page's acknowledgement spends the line and closes the other socket.
      {"a second opener before the page's socket",
       {{S::kOpen, 2, "key", true, {}},
        {S::kOpen, 1, "key", true, {}},
        {S::kKept, 1, "", false, {2}},
        {S::kOpen, 3, "key", false, {}},
        {S::kOpen, 3, "next2", false, {}},
        {S::kOpen, 3, "next1", true, {}}}},
      {"a second opener between the page's socket and its acknowledgement",
       {{S::kOpen, 1, "key", true, {}},
        {S::kOpen, 2, "key", true, {}},
        {S::kKept, 1, "", false, {2}},
        {S::kOpen, 3, "key", false, {}},
        {S::kOpen, 3, "next2", false, {}},
        {S::kKept, 2, "", false, {2}},  // too late: it goes
        {S::kOpen, 3, "next1", true, {}}}},
      // The other opener acknowledges first: the page's socket goes, its key opens nothing.
      {"a second opener that acknowledges first",
       {{S::kOpen, 1, "key", true, {}},
        {S::kOpen, 2, "key", true, {}},
        {S::kKept, 2, "", false, {1}},
        {S::kKept, 1, "", false, {1}},
        {S::kOpen, 3, "next1", false, {}},
        {S::kOpen, 3, "key", false, {}}}},
      {"a second opener that presents its next key first",
       {{S::kOpen, 1, "key", true, {}},
        {S::kOpen, 2, "key", true, {}},
        {S::kOpen, 3, "next2", true, {1, 2}},
        {S::kKept, 1, "", false, {1}},
        {S::kOpen, 4, "next1", false, {}},
        {S::kOpen, 4, "key", false, {}}}},
      // A client that never acknowledges may open any number of sockets with its key.
      {"no acknowledgement",
       {{S::kOpen, 1, "key", true, {}},
        {S::kOpen, 2, "key", true, {}},
        {S::kOpen, 3, "key", true, {}},
        {S::kClosed, 1, "", false, {}},
        {S::kOpen, 4, "key", true, {}},
        {S::kOpen, 5, "next1", true, {2, 3, 4}}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    run(c.steps);
  }
}

// Openers that come and go cannot push the page's handed key out: keys of open sockets all
// stay, of closed ones the newest.
TEST(CAPSocketKeysTest, AFloodOfOpenersKeepsThePagesKey) {
  using S = Step;
  std::vector<Step> steps = {{S::kOpen, 1, "key", true, {}}};
  const uint64_t flood = 2 + platform::CAPSocketKeys::kMaxKeysOfClosedSockets * 2;
  for (uint64_t socket = 2; socket < flood; ++socket) {
    steps.push_back({S::kOpen, socket, "key", true, {}});
    steps.push_back({S::kClosed, socket, "", false, {}});
  }
  steps.push_back({S::kOpen, flood, "next2", false, {}});  // the oldest closed one's, gone
  steps.push_back({S::kKept, 1, "", false, {}});
  steps.push_back({S::kOpen, flood, "key", false, {}});
  run(steps);

  // The newest key of a closed socket still opens (a page reloaded before it said so).
  steps.resize(steps.size() - 3);
  steps.push_back({S::kOpen, flood, "next" + std::to_string(flood - 1), true, {1}});
  run(steps);
}

}  // namespace
