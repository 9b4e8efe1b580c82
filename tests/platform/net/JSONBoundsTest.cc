#include "platform/foundation/JSONBounds.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

namespace {

using platform::exceedsJSONBounds;

// The values nlohmann builds from a text: what the bound stands for.
size_t valuesBuilt(const nlohmann::json& json) {
  size_t count = 1;
  if (json.is_structured()) {
    for (const auto& element : json) count += valuesBuilt(element);
  }
  return count;
}

TEST(JSONBoundsTest, DepthAndElementsAreCountedOutsideStringsOnly) {
  struct Case {
    const char* name;
    std::string text;
    const char* refusal;  // nullptr: within the bounds {4 deep, 8 elements}
  };
  const Case cases[] = {
      {"four deep", "[[[{\"a\":1}]]]", nullptr},
      {"five deep", "[[[[[]]]]]", "JSON nested deeper than 4"},
      {"shallow containers still count as elements", "[[[[]]],[[[]]],[[[]]]]",
       "JSON of more than 8 elements"},
      {"closed ones leave room", "[[[[]]]] [[[[]]]]", nullptr},
      {"eight elements", "[1,2,3,4,5,6,7,8]", nullptr},
      {"nine elements", "[1,2,3,4,5,6,7,8,9]", "JSON of more than 8 elements"},
      {"members count twice", "{\"a\":1,\"b\":2,\"c\":3,\"d\":4}", nullptr},
      {"members count twice, one more", "{\"a\":1,\"b\":2,\"c\":3,\"d\":4,\"e\":5}",
       "JSON of more than 8 elements"},
      {"brackets and commas in strings", "[\"[[[[[,,,,,,,,,,{{{{{:::::\"]", nullptr},
      {"an escaped quote keeps the string open", "[\"\\\"[[[[[[,,,,,,,,,,\"]", nullptr},
      {"an escaped backslash ends it", "[\"\\\\\",[[[[]]]]]", "JSON nested deeper than 4"},
      {"stray closers never go below zero", "]]]]][[[[[", "JSON nested deeper than 4"},
      {"malformed within bounds passes to the parser", "[1,,", nullptr},
      {"empty", "", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<std::string> why = exceedsJSONBounds(c.text, {4, 8});
    if (c.refusal) {
      EXPECT_EQ(why.value_or("(within)"), c.refusal);
    } else {
      EXPECT_FALSE(why) << *why;
    }
  }
}

TEST(JSONBoundsTest, TextWithinTheBoundsNeverBuildsMoreValuesThanAllowed) {
  // Each accepted text is parsed by a parser nobody here wrote: what it builds stays within the
  // element bound (one more for the top-level value).
  const char* texts[] = {"[]", "[1,2,[3,4],{\"a\":[5],\"b\":{}}]",
                         "{\"a\":{\"b\":{\"c\":[null,true,false,\"x\",1.5]}}}",
                         "[[],[],[],[],[],[],[]]", "{\"\":\"\",\"k\":[\"\",\"\",\"\"]}"};
  for (const char* text : texts) {
    SCOPED_TRACE(text);
    for (size_t elements = 1; elements < 32; ++elements) {
      if (exceedsJSONBounds(text, {32, elements})) continue;
      EXPECT_LE(valuesBuilt(nlohmann::json::parse(text)), elements + 1) << elements;
    }
  }
}

}  // namespace
