// The parameter sanitiser, one table per rule, each at its limit and one past it.
#include "AppMeasurement/foundation/APMSanitizedEventParameters.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "AppMeasurement/foundation/APMParameterErrors.h"
#include "tests/AppMeasurement/foundation/ParameterTestSupport.h"

namespace {

using testsupport::D;
using testsupport::I;
using testsupport::repeat;
using testsupport::S;

class Sanitizer : public testsupport::ParameterTest {};

// The error parameters a result carries (absent ones as nullopt).
struct Errors {
  std::optional<int64_t> err;
  std::optional<std::string> ev;
  std::optional<int64_t> el;
};

void expectErrors(const APMValueMap& result, const Errors& expected, const std::string& label) {
  auto err = result.find("_err");
  auto ev = result.find("_ev");
  auto el = result.find("_el");
  EXPECT_EQ(err == result.end() ? std::nullopt : std::optional(err->second.int64Value()),
            expected.err)
      << label;
  EXPECT_EQ(ev == result.end() ? std::nullopt : std::optional(*ev->second.stringValue()),
            expected.ev)
      << label;
  EXPECT_EQ(el == result.end() ? std::nullopt : std::optional(el->second.int64Value()), expected.el)
      << label;
}

APMObjectMap item(int custom, int ecommerce = 0) {
  static const char* kEcommerce[] = {"item_id", "item_name", "price", "quantity", "coupon"};
  APMObjectMap map;
  for (int i = 0; i < custom; ++i) map["c" + std::to_string(100 + i)] = "v";
  for (int i = 0; i < ecommerce; ++i) map[kEcommerce[i]] = "e";
  return map;
}

platform::Value::Array items(size_t count) {
  platform::Value::Array array;
  for (size_t i = 0; i < count; ++i) {
    array.push_back(platform::Value::Dictionary{{"item_id", platform::Value("sku")}});
  }
  return array;
}

TEST_F(Sanitizer, ParameterNames) {
  struct Case {
    std::string label;
    bool isPublic;
    std::string key;
    bool kept;
    Errors errors;
  };
  const std::string name40 = "a" + repeat("b", 39);
  const std::string name41 = "a" + repeat("b", 40);
  const std::string letters40 = repeat("\xC3\xA9", 40);  // é, two bytes each
  const std::vector<Case> cases = {
      {"public letter start", true, "level", true, {}},
      {"public 40", true, name40, true, {}},
      {"public 41: too long, _el is the name's", true, name41, false, {3, name40 + "...", 41}},
      {"public 40 non-ASCII letters", true, letters40, true, {}},
      {"public underscore", true, "_x", false, {3, "_x", std::nullopt}},
      {"public digit start", true, "1abc", false, {3, "1abc", std::nullopt}},
      {"public hyphen", true, "a-b", false, {3, "a-b", std::nullopt}},
      {"public reserved prefix", true, "oa_x", false, {14, "oa_x", std::nullopt}},
      {"public reserved kavrelin_", true, "kavrelin_x", false, {14, "kavrelin_x", std::nullopt}},
      {"internal underscore", false, "_x", true, {}},
      {"internal digit start", false, "1abc", true, {}},
      {"internal 41", false, "_" + repeat("b", 40), false, {3, "_" + repeat("b", 39) + "...", 41}},
      {"empty name", false, "", false, {3, "", std::nullopt}},
      {"not UTF-8: not a string", false, "a\xFF", false, {3, "NSData", std::nullopt}},
  };
  for (const Case& c : cases) {
    APMObjectMap parameters = {{c.key, APMObject(int64_t{7})}, {"zz", APMObject("keep")}};
    auto result = APMSanitizedEventParameters(parameters, "level_up", c.isPublic, false);
    ASSERT_TRUE(result) << c.label;
    EXPECT_EQ(result->contains(c.key), c.kept) << c.label;
    EXPECT_EQ(result->at("zz"), S("keep")) << c.label;
    expectErrors(*result, c.errors, c.label);
  }
}

TEST_F(Sanitizer, ValueTypes) {
  struct Case {
    std::string label;
    APMObject raw;
    std::optional<APMValue> expected;
  };
  const std::vector<Case> cases = {
      {"string", APMObject("x"), S("x")},
      {"integer", APMObject(int64_t{3}), I(3)},
      {"double", APMObject(2.5), D(2.5)},
      {"boolean becomes integer", APMObject(true), I(1)},
      {"NaN passes as a double", APMObject(std::nan("")), D(std::nan(""))},
      {"infinity passes", APMObject(HUGE_VAL), D(HUGE_VAL)},
      {"typed value kept", APMObject(I(9)), I(9)},
      {"nil dropped", APMObject(), std::nullopt},
      {"null dropped", APMObject(platform::Value()), std::nullopt},
      {"dictionary dropped", APMObject(platform::Value::Dictionary{}), std::nullopt},
      {"bytes dropped", APMObject(platform::Value::bytes("ab")), std::nullopt},
      {"invalid UTF-8 dropped", APMObject(std::string("\xC0\x80")), std::nullopt},
  };
  for (const Case& c : cases) {
    clearLog();
    auto result =
        APMSanitizedEventParameters({{"p", c.raw}, {"q", APMObject(1.0)}}, "level_up", true, false);
    ASSERT_TRUE(result) << c.label;
    if (c.expected) {
      ASSERT_TRUE(result->contains("p")) << c.label;
      EXPECT_EQ(result->at("p"), *c.expected) << c.label;
    } else {
      EXPECT_FALSE(result->contains("p")) << c.label;
      EXPECT_FALSE(result->contains("_err")) << c.label;
      EXPECT_TRUE(logged(18015)) << c.label;
    }
  }
}

TEST_F(Sanitizer, StringValueLengths) {
  limits->maxPublicLength = 100;  // internal stays 256
  struct Case {
    std::string label;
    std::string event;
    bool isPublic;
    size_t length;
    bool kept;
  };
  const std::vector<Case> cases = {
      {"public at limit", "level_up", true, 100, true},
      {"public one past", "level_up", true, 101, false},
      {"internal event at 256", "_x", false, 256, true},
      {"internal event one past", "_x", false, 257, false},
      {"table name is internal", "screen_view", false, 257, false},
      {"custom event, not public: no length rule", "level_up", false, 5000, true},
  };
  for (const Case& c : cases) {
    std::string text = repeat("\xF0\x9D\x90\x80", c.length);  // one code point, two UTF-16 units
    auto result = APMSanitizedEventParameters({{"p", APMObject(text)}}, c.event, c.isPublic, false);
    ASSERT_TRUE(result) << c.label;
    EXPECT_EQ(result->contains("p"), c.kept) << c.label;
    if (!c.kept) expectErrors(*result, {4, "p", static_cast<int64_t>(c.length)}, c.label);
  }
  limits->maxPublicLength = 300;  // internal follows the public length above 256
  auto result =
      APMSanitizedEventParameters({{"p", APMObject(repeat("a", 301))}}, "_x", false, false);
  expectErrors(*result, {4, "p", 301}, "internal follows public");
}

TEST_F(Sanitizer, ErrorValueParameterIsTrimmedUnlessAlreadyCut) {
  limits->maxPublicLength = 100;  // the internal maximum is then 256
  const int64_t m = 256;
  struct Case {
    std::string label;
    std::string ev;
    std::string expectedEv;
    std::optional<int64_t> el;
  };
  const std::string cut = repeat("x", m) + "...";
  const std::vector<Case> cases = {
      {"at maximum", repeat("x", m), repeat("x", m), std::nullopt},
      {"already cut (m + 3, ends in ...)", cut, cut, std::nullopt},
      {"m + 3 without dots", repeat("x", m + 3), repeat("x", m) + "...", m + 3},
      {"one past maximum", repeat("y", m + 1), repeat("y", m) + "...", m + 1},
  };
  for (const Case& c : cases) {
    auto result = APMSanitizedEventParameters({{"_ev", APMObject(c.ev)}}, "_x", false, false);
    ASSERT_TRUE(result) << c.label;
    expectErrors(*result, {std::nullopt, c.expectedEv, c.el}, c.label);
  }
}

TEST_F(Sanitizer, TrimmingKeepsPublicKeysThatSortFirst) {
  limits->maxParams = 2;
  auto result = APMSanitizedEventParameters(
      {{"b", APMObject(1)}, {"a", APMObject(2)}, {"c", APMObject(3)}, {"_o", APMObject("app")}},
      "level_up", false, false);
  ASSERT_TRUE(result);
  EXPECT_TRUE(result->contains("a") && result->contains("b") && result->contains("_o"));
  EXPECT_FALSE(result->contains("c"));
  EXPECT_EQ(result->at("_err"), I(5));
  EXPECT_TRUE(logged(18017));

  struct Case {
    std::string label;
    int64_t limit;
    std::vector<std::string> keys;
    std::vector<std::string> kept;
  };
  // U+1D400 sorts before U+FF21 by UTF-16 units, after it by code points.
  const std::string bold = "\xF0\x9D\x90\x80", fullwidth = "\xEF\xBC\xA1";
  const std::vector<Case> cases = {
      {"at limit: nothing trimmed", 3, {"a", "b", "c"}, {"a", "b", "c"}},
      {"one past", 2, {"a", "b", "c"}, {"a", "b"}},
      {"UTF-16 order", 1, {fullwidth, bold}, {bold}},
      {"upper case sorts first", 1, {"a", "B"}, {"B"}},
  };
  for (const Case& c : cases) {
    clearLog();
    limits->maxParams = c.limit;
    APMObjectMap parameters;
    for (const auto& key : c.keys) parameters[key] = APMObject(1);
    auto trimmed = APMSanitizedEventParameters(parameters, "level_up", false, false);
    std::vector<std::string> kept;
    for (const auto& [key, value] : *trimmed) {
      if (key != "_err") kept.push_back(key);
    }
    std::sort(kept.begin(), kept.end());
    auto expected = c.kept;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(kept, expected) << c.label;
    EXPECT_EQ(trimmed->contains("_err"), c.keys.size() > c.kept.size()) << c.label;
  }
}

TEST_F(Sanitizer, ItemScopedCustomParameters) {
  struct Case {
    std::string label;
    int64_t limit;
    int custom;
    std::optional<int64_t> err;
    size_t customKept;
  };
  const std::vector<Case> cases = {
      {"at limit", 27, 27, std::nullopt, 27},
      {"one past", 27, 28, 28, 27},
      {"thirty", 27, 30, 28, 27},
      {"limit 0", 0, 1, 23, 0},
  };
  for (const Case& c : cases) {
    clearLog();
    limits->maxItemCustom = c.limit;
    auto result = APMSanitizedEventParameters(item(c.custom, 5), "purchase", true, true);
    ASSERT_TRUE(result) << c.label;
    size_t custom = 0;
    for (const auto& [key, value] : *result) custom += key[0] == 'c' && key != "coupon";
    EXPECT_EQ(custom, c.customKept) << c.label;
    for (const char* ecommerce : {"item_id", "item_name", "price", "quantity", "coupon"}) {
      EXPECT_TRUE(result->contains(ecommerce)) << c.label << " " << ecommerce;
    }
    // The custom names that sort first stay.
    if (c.customKept) {
      EXPECT_TRUE(result->contains("c100")) << c.label;
    }
    expectErrors(*result, {c.err, std::nullopt, std::nullopt}, c.label);
    EXPECT_EQ(logged(18016), c.err.has_value()) << c.label;
  }
}

TEST_F(Sanitizer, ArrayParameters) {
  struct Case {
    std::string label;
    std::string event;
    std::string key;
    APMObject array;
    bool isPublic;
    std::optional<size_t> keptItems;
    Errors errors;
  };
  platform::Value::Array withNonMap = items(5);
  withNonMap[3] = platform::Value("not a map");
  platform::Value::Array nested = items(2);
  (*nested[1].asDictionary())["list"] = platform::Value(platform::Value::Array{1});
  const std::vector<Case> cases = {
      {"200 items kept", "purchase", "items", APMObject(items(200)), true, 200, {}},
      {"201 items: first 200",
       "purchase",
       "items",
       APMObject(items(201)),
       true,
       200,
       {17, "items", std::nullopt}},
      {"250 items: first 200",
       "purchase",
       "items",
       APMObject(items(250)),
       false,
       200,
       {17, "items", std::nullopt}},
      {"not e-commerce",
       "level_up",
       "items",
       APMObject(items(2)),
       true,
       std::nullopt,
       {21, "level_up", std::nullopt}},
      {"not named items",
       "purchase",
       "products",
       APMObject(items(2)),
       true,
       std::nullopt,
       {20, "products", std::nullopt}},
      {"non-map item",
       "purchase",
       "items",
       APMObject(withNonMap),
       true,
       4,
       {4, "items[3]", std::nullopt}},
      {"not public converts", "view_cart", "items", APMObject(items(3)), false, 3, {}},
  };
  for (const Case& c : cases) {
    auto result = APMSanitizedEventParameters({{c.key, c.array}}, c.event, c.isPublic, false);
    ASSERT_TRUE(result) << c.label;
    auto it = result->find(c.key);
    EXPECT_EQ(it == result->end() ? std::nullopt : std::optional(it->second.arrayValue()->size()),
              c.keptItems)
        << c.label;
    expectErrors(*result, c.errors, c.label);
  }

  // Nested arrays inside items: the item records 22; the other parameters stay.
  auto result =
      APMSanitizedEventParameters({{"items", APMObject(nested)}}, "purchase", true, false);
  const APMValue::Array& kept = *result->at("items").arrayValue();
  ASSERT_EQ(kept.size(), 2u);
  const APMValueMap& second = *kept[1].asValueMap();
  EXPECT_FALSE(second.contains("list"));
  EXPECT_EQ(second.at("_err"), I(22));
  EXPECT_EQ(second.at("_ev"), S("list"));
  EXPECT_EQ(second.at("item_id"), S("sku"));
  // Without an event name no array is allowed: 21 names the absent event.
  auto noEvent = APMSanitizedParameters({{"items", APMObject(items(1))}}, false);
  expectErrors(*noEvent, {21, "(nil)", std::nullopt}, "no event name");
}

TEST_F(Sanitizer, ValueAndCurrency) {
  struct Case {
    std::string label;
    APMValueMap parameters;
    bool valid;
    Errors errors;
  };
  const std::vector<Case> cases = {
      {"no value", {{"currency", S("usd")}}, true, {}},
      {"value with usd", {{"value", D(9.99)}, {"currency", S("usd")}}, true, {}},
      {"integer value, letters outside ASCII",
       {{"value", I(3)}, {"currency", S("\xC3\x84\xC3\x96\xC3\x9C")}},
       true,
       {}},
      {"no currency", {{"value", D(9.99)}}, false, {19, "currency", std::nullopt}},
      {"currency with a digit",
       {{"value", D(1)}, {"currency", S("US1")}},
       false,
       {19, "currency", std::nullopt}},
      {"two letters",
       {{"value", D(1)}, {"currency", S("US")}},
       false,
       {19, "currency", std::nullopt}},
      {"four letters",
       {{"value", D(1)}, {"currency", S("USDX")}},
       false,
       {19, "currency", std::nullopt}},
      {"currency not a string",
       {{"value", D(1)}, {"currency", I(840)}},
       false,
       {19, "currency", std::nullopt}},
      {"value not numeric",
       {{"value", S("abc")}, {"currency", S("usd")}},
       false,
       {18, "value", std::nullopt}},
  };
  for (const Case& c : cases) {
    clearLog();
    APMValueMap parameters = c.parameters;
    EXPECT_EQ(APMValidateValueAndCurrency(parameters), c.valid) << c.label;
    EXPECT_EQ(parameters.contains("value"), c.valid && c.parameters.contains("value")) << c.label;
    expectErrors(parameters, c.errors, c.label);
    EXPECT_EQ(logged(18014), c.errors.err == 19) << c.label;
  }
}

TEST_F(Sanitizer, WholeMapOutcomes) {
  EXPECT_FALSE(APMSanitizedEventParameters({}, "level_up", true, false));
  // Every parameter refused: only the error parameters remain.
  auto refused = APMSanitizedEventParameters({{"_a", APMObject(1)}, {"_b", APMObject(2)}},
                                             "level_up", true, false);
  EXPECT_EQ(*refused, (APMValueMap{{"_err", I(3)}, {"_ev", S("_a")}}));
  // The first error stays: later ones never overwrite it.
  auto first = APMSanitizedEventParameters(
      {{"_a", APMObject(1)}, {"oa_b", APMObject(2)}, {"c", APMObject(repeat("z", 501))}},
      "level_up", true, false);
  expectErrors(*first, {3, "_a", std::nullopt}, "first error wins");
  // a = 1 and a refused _x: a plus the error.
  auto mixed = APMSanitizedEventParameters({{"a", APMObject(1)}, {"_x", APMObject(2)}}, "level_up",
                                           true, false);
  EXPECT_EQ(*mixed, (APMValueMap{{"a", I(1)}, {"_err", I(3)}, {"_ev", S("_x")}}));
}

// On a non-public event the caller's own plain "_err", "_ev" or "_el" is kept and replaces what
// an earlier refused key recorded; a typed one stays beneath the recorded error.
TEST_F(Sanitizer, CallersErrorKeysReplaceRecordedOnes) {
  struct Case {
    const char* label;
    APMObjectMap parameters;
    Errors errors;
  };
  const Case cases[] = {
      {"plain _err", {{"A-b", APMObject("x")}, {"_err", APMObject(7)}}, {7, "A-b", std::nullopt}},
      {"plain _ev",
       {{"A-b", APMObject("x")}, {"_ev", APMObject("mine")}},
       {3, "mine", std::nullopt}},
      {"plain _el", {{"A-b", APMObject("x")}, {"_el", APMObject(5)}}, {3, "A-b", 5}},
      {"typed _err",
       {{"A-b", APMObject("x")}, {"_err", APMObject(I(7))}},
       {3, "A-b", std::nullopt}},
  };
  for (const Case& c : cases) {
    auto result = APMSanitizedEventParameters(c.parameters, "level_up", false, false);
    ASSERT_TRUE(result) << c.label;
    expectErrors(*result, c.errors, c.label);
  }
}

TEST_F(Sanitizer, HostileInputs) {
  // Ten thousand parameters: the first hundred public names by UTF-16 order stay.
  APMObjectMap many;
  for (int i = 0; i < 10000; ++i) many["p" + std::to_string(10000 + i)] = APMObject(i);
  auto trimmed = APMSanitizedEventParameters(many, "level_up", true, false);
  ASSERT_TRUE(trimmed);
  EXPECT_EQ(trimmed->size(), 101u);
  EXPECT_TRUE(trimmed->contains("p10099"));
  EXPECT_FALSE(trimmed->contains("p10100"));
  EXPECT_EQ(trimmed->at("_err"), I(5));

  // A value of a million characters, a name of a million characters.
  const std::string million = repeat("\xE2\x82\xAC", 1000000);
  auto longValue = APMSanitizedEventParameters({{"v", APMObject(million)}, {million, APMObject(1)}},
                                               "level_up", true, false);
  ASSERT_TRUE(longValue);
  // "v" comes first: its value's error stays, the long name only goes.
  expectErrors(*longValue, {4, "v", 1000000}, "million");
  EXPECT_EQ(longValue->size(), 3u);

  // Lists inside lists inside items, maps inside items, a typed array in an item.
  platform::Value deep = platform::Value::Array{platform::Value::Array{platform::Value::Array{1}}};
  platform::Value::Array hostileItems{
      platform::Value::Dictionary{{"list", deep}, {"map", platform::Value::Dictionary{}}},
      deep,
      platform::Value(),
  };
  APMObjectMap typedItem{{"typed", APMObject(APMValue(APMValue::Array{APMObject(1)}))}};
  hostileItems.push_back(platform::Value::Dictionary{});
  auto hostile = APMSanitizedEventParameters(
      {{"items", APMObject(hostileItems)},
       {"other", APMObject(APMValue(APMValue::Array{APMObject(typedItem)}))}},
      "purchase", true, false);
  ASSERT_TRUE(hostile);
  const APMValue::Array& kept = *hostile->at("items").arrayValue();
  // The empty map sanitises to nothing; the first item keeps only its own error (22).
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0].asValueMap()->at("_err"), I(22));
  expectErrors(*hostile, {4, "items[1]", std::nullopt}, "hostile items");
  EXPECT_TRUE(hostile->contains("other"));  // a typed array is taken as it is
}

TEST_F(Sanitizer, ErrorValueText) {
  struct Case {
    std::string label;
    APMObject name;
    int64_t maximum;
    std::string ev;
  };
  const std::string bold = "\xF0\x9D\x90\x80";
  const std::vector<Case> cases = {
      {"45 cut to 40", APMObject(repeat("n", 45)), 40, repeat("n", 40) + "..."},
      {"40 stays", APMObject(repeat("n", 40)), 40, repeat("n", 40)},
      {"beyond the basic plane counts once", APMObject(repeat(bold, 41)), 40,
       repeat(bold, 40) + "..."},
      {"nil", APMObject(), 40, "(nil)"},
      {"another class", APMObject(int64_t{5}), 40, "NSNumber"},
  };
  for (const Case& c : cases) {
    APMValueMap errors;
    APMSetErrorParameters(errors, 4, c.name, c.maximum, nullptr);
    EXPECT_EQ(*errors.at("_ev").stringValue(), c.ev) << c.label;
  }
}

TEST_F(Sanitizer, ErrorEventsGoToTheSink) {
  APMLogErrorEvent(0);
  APMLogErrorEvent(16);
  APMObject longValue(repeat("v", 37));
  APMObject shortValue("v");
  APMLogErrorEventWithValue(6, APMObject("name"), 36, &longValue);   // longer: "_el"
  APMLogErrorEventWithValue(6, APMObject("name"), 36, &shortValue);  // not longer, not 4/7
  APMLogErrorEventWithValue(7, APMObject("name"), 36, &shortValue);  // code 7: "_el"
  auto logged = sink->logged();
  ASSERT_EQ(logged.size(), 4u);
  EXPECT_EQ(logged[0].origin, "auto");
  EXPECT_EQ(logged[0].name, "_err");
  EXPECT_EQ(logged[0].parameters, (APMValueMap{{"_err", I(16)}}));
  EXPECT_EQ(logged[1].parameters,
            (APMValueMap{{"_err", I(6)}, {"_ev", S("name")}, {"_el", I(37)}}));
  EXPECT_EQ(logged[2].parameters, (APMValueMap{{"_err", I(6)}, {"_ev", S("name")}}));
  EXPECT_EQ(logged[3].parameters, (APMValueMap{{"_err", I(7)}, {"_ev", S("name")}, {"_el", I(1)}}));
}

}  // namespace
