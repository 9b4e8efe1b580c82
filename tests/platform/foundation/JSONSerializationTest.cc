#include "platform/foundation/JSONSerialization.h"

#include <cmath>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "tests/platform/foundation/FoundationTestSupport.h"

namespace {

using platform::JSONSerialization;
using platform::Value;

Value parse(const std::string& text) {
  auto result = JSONSerialization::JSONObjectWithData(text, {.fragmentsAllowed = true});
  EXPECT_TRUE(result.ok()) << text << ": " << result.status();
  return result.ok() ? *result : Value();
}

TEST(JSONSerialization, ReadingKeepsKindsApart) {
  struct Case {
    const char* text;
    Value expected;
  };
  const Case cases[] = {
      {"true", Value(true)},
      {"false", Value(false)},
      {"1", Value(1)},
      {"1.0", Value(1.0)},
      {"1e0", Value(1.0)},
      {"-0", Value(0)},
      {"-12", Value(-12)},
      {"0.5", Value(0.5)},
      {"9223372036854775807", Value(std::numeric_limits<int64_t>::max())},
      {"-9223372036854775808", Value(std::numeric_limits<int64_t>::min())},
      // Past the int64 range the number becomes a real.
      {"9223372036854775808", Value(9223372036854775808.0)},
      {"18446744073709551616", Value(18446744073709551616.0)},
      {"-9223372036854775809", Value(-9223372036854775809.0)},
      {"null", Value()},
      {"\"h\\u00e9\\ud83d\\ude00\"", Value("h\xc3\xa9\xf0\x9f\x98\x80")},
  };
  for (const auto& c : cases) {
    Value v = parse(c.text);
    EXPECT_EQ(v, c.expected) << c.text << " gave " << v.description();
    EXPECT_EQ(v.type(), c.expected.type()) << c.text;
  }
}

TEST(JSONSerialization, ReadsNestedObjects) {
  Value v = parse(R"({"a": [1, 2.5, {"b": null}], "c": {}, "d": []})");
  Value expected;
  expected["a"].push_back(1);
  expected["a"].push_back(2.5);
  Value inner;
  inner["b"] = Value();
  expected["a"].push_back(inner);
  expected["c"] = Value(Value::Dictionary{});
  expected["d"] = Value(Value::Array{});
  EXPECT_EQ(v, expected);
}

TEST(JSONSerialization, BadInputGivesAnErrorNeverACrash) {
  const std::string cases[] = {
      "",
      "{",
      "[1,]",
      "{\"a\" 1}",
      "nul",
      "01",
      "\"unterminated",
      "{\"a\":1}}",
      "1e400",                             // out of double range
      std::string("\"\xff\"", 3),          // invalid UTF-8 inside a string
      std::string("\"\xc0\xaf\"", 4),      // overlong encoding
      std::string("\"\xed\xa0\x80\"", 5),  // encoded surrogate
      std::string("[\x80]", 3),
      std::string("{\"a\":\0}", 7),
      "\"\\ud800\"",             // lone surrogate escape
      std::string(100000, '['),  // nesting far past the limit
  };
  for (const auto& text : cases) {
    auto result = JSONSerialization::JSONObjectWithData(text, {.fragmentsAllowed = true});
    EXPECT_FALSE(result.ok()) << "accepted: " << text.substr(0, 40);
    if (!result.ok()) {
      EXPECT_EQ(result.status().code(), absl::StatusCode::kInvalidArgument);
      EXPECT_FALSE(result.status().message().empty());
    }
  }
}

TEST(JSONSerialization, NestingUpToTheLimitIsReadAndWritten) {
  int depth = JSONSerialization::kMaxDepth;
  std::string text = std::string(depth, '[') + std::string(depth, ']');
  EXPECT_TRUE(JSONSerialization::JSONObjectWithData(text).ok());
  text = "[" + text + "]";
  EXPECT_FALSE(JSONSerialization::JSONObjectWithData(text).ok());
  // Brackets inside strings do not count.
  EXPECT_TRUE(JSONSerialization::JSONObjectWithData("[\"" + std::string(1000, '[') + "\"]").ok());
  // Writing has the same limit.
  Value nested = Value(Value::Array{});
  for (int i = 1; i < depth; ++i) nested = Value(Value::Array{nested});
  EXPECT_TRUE(JSONSerialization::dataWithJSONObject(nested).ok());
  EXPECT_FALSE(JSONSerialization::dataWithJSONObject(Value(Value::Array{nested})).ok());
}

TEST(JSONSerialization, FragmentsOnlyWhenAllowed) {
  EXPECT_FALSE(JSONSerialization::JSONObjectWithData("1").ok());
  EXPECT_TRUE(JSONSerialization::JSONObjectWithData("1", {.fragmentsAllowed = true}).ok());
  EXPECT_FALSE(JSONSerialization::dataWithJSONObject(Value("x")).ok());
  EXPECT_EQ(*JSONSerialization::dataWithJSONObject(Value("x"), {.fragmentsAllowed = true}),
            "\"x\"");
}

TEST(JSONSerialization, WritingKeepsKindsApart) {
  Value v;
  v["b"] = true;
  v["i"] = 1;
  v["r"] = 1.0;
  v["h"] = 0.1;
  v["n"] = Value();
  v["s"] = "a\"b\n\xc3\xa9";
  v["l"].push_back(-3);
  auto text = JSONSerialization::dataWithJSONObject(v);
  ASSERT_TRUE(text.ok()) << text.status();
  EXPECT_EQ(*text, R"({"b":true,"h":0.1,"i":1,"l":[-3],"n":null,"r":1.0,"s":"a\"b\n)"
                   "\xc3\xa9\"}");
  // And they come back as the same kinds.
  EXPECT_EQ(parse(*text), v);
}

TEST(JSONSerialization, WritingRefusesWhatJSONCannotHold) {
  const Value refused[] = {
      Value::bytes("x"),
      Value::date(1),
      Value(std::nan("")),
      Value(std::numeric_limits<double>::infinity()),
      Value(std::string("\xff", 1)),
  };
  for (const auto& bad : refused) {
    Value holder;
    holder["k"] = bad;
    auto result = JSONSerialization::dataWithJSONObject(holder);
    EXPECT_FALSE(result.ok()) << bad.description();
    EXPECT_FALSE(JSONSerialization::isValidJSONObject(holder));
  }
  // Nested inside an array as well.
  Value list;
  list.push_back(1);
  list.push_back(Value::bytes("x"));
  EXPECT_FALSE(JSONSerialization::dataWithJSONObject(list).ok());
}

TEST(JSONSerialization, PythonReadsWhatWeWriteWithKindsIntact) {
  foundationtest::TempDir dir;
  Value v;
  v["int"] = std::numeric_limits<int64_t>::min();
  v["real"] = 2.0;
  v["tiny"] = 5e-324;
  v["bool"] = false;
  v["text"] = "\xe2\x82\xac \xf0\x9f\x98\x80";
  std::string out = foundationtest::runPython(dir, R"(
import json, sys
d = json.load(sys.stdin)
print(type(d["int"]).__name__, d["int"], type(d["real"]).__name__, d["real"],
      d["tiny"] == 5e-324, type(d["bool"]).__name__, d["text"] == "\u20ac \U0001F600")
)",
                                              *JSONSerialization::dataWithJSONObject(v));
  EXPECT_EQ(out, "int -9223372036854775808 float 2.0 True bool True\n");
}

}  // namespace
