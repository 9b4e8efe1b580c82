#include "platform/capacitor/CAPSocketKeys.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// A tab's life as the host sees it, step by step: which keys open a socket, and when the old
// one dies. "key" is the address's; "next1", "next2" are what the sockets opened hand over.
TEST(CAPSocketKeysTest, AKeyIsDeadOnceThePageKeptTheNextOne) {
  struct Step {
    enum { kOpen, kKept } action;
    const char* key;  // a name below; "" for a made-up key
    bool opens;       // for kOpen
  };
  struct Case {
    const char* name;
    std::vector<Step> steps;
  };
  const Case cases[] = {
      {"the page keeps each next key",
       {{Step::kOpen, "key", true},
        {Step::kKept, "next1", false},
        {Step::kOpen, "key", false},
        {Step::kOpen, "next1", true},
        {Step::kKept, "next2", false},
        {Step::kOpen, "next1", false},
        {Step::kOpen, "next2", true}}},
      // Reloaded before the next key reached it: the tab still holds the key it had.
      {"the page went before the next key came",
       {{Step::kOpen, "key", true},
        {Step::kOpen, "key", true},
        {Step::kKept, "next2", false},
        {Step::kOpen, "key", false},
        {Step::kOpen, "next1", false}}},
      // Kept the next key, gone before saying so: presenting it kills the key it replaces.
      {"the page kept the next key without saying so",
       {{Step::kOpen, "key", true}, {Step::kOpen, "next1", true}, {Step::kOpen, "key", false}}},
      {"a made-up key", {{Step::kOpen, "", false}}},
      {"a key said kept that was never handed",
       {{Step::kKept, "key", false}, {Step::kOpen, "key", true}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    platform::CAPSocketKeys keys;
    keys.add("0123456789abcdef0123456789abcdef");
    std::vector<std::string> named = {"0123456789abcdef0123456789abcdef"};  // key, next1, ...
    auto lookUp = [&named](const std::string& name) -> std::string {
      if (name == "key") return named[0];
      const size_t n = name.empty() ? 0 : std::stoul(name.substr(4));
      return n > 0 && n < named.size() ? named[n] : std::string(32, 'f');
    };
    for (size_t i = 0; i < c.steps.size(); ++i) {
      const Step& step = c.steps[i];
      SCOPED_TRACE(i);
      if (step.action == Step::kKept) {
        keys.kept(lookUp(step.key));
        continue;
      }
      const std::string next = keys.open(lookUp(step.key));
      EXPECT_EQ(!next.empty(), step.opens);
      if (!next.empty()) named.push_back(next);
    }
  }
}

}  // namespace
