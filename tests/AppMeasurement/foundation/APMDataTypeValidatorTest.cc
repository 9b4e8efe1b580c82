// The data-type rules, one table per rule: each limit, one past it, and the failure and
// message codes.
#include "AppMeasurement/foundation/APMDataTypeValidator.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/AppMeasurement/foundation/ParameterTestSupport.h"

namespace {

using testsupport::I;
using testsupport::repeat;
using testsupport::S;
using V = APMDataTypeValidator;

class Validator : public testsupport::ParameterTest {};

struct Case {
  std::string label;
  std::function<bool(int64_t*)> rule;
  bool valid;
  int64_t failure;
  int64_t message;  // 0: no message expected
};

class ValidatorTable : public Validator {
 protected:
  void check(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
      clearLog();
      int64_t failure = -1;
      EXPECT_EQ(c.rule(&failure), c.valid) << c.label;
      EXPECT_EQ(failure, c.failure) << c.label;
      settle();
      if (c.message) {
        EXPECT_TRUE(logged(c.message)) << c.label;
      } else {
        EXPECT_EQ(testsupport::countLinesWith(capture.lines(), "I-ACS0130"), 0u) << c.label;
      }
      // The failure code is optional.
      EXPECT_EQ(c.rule(nullptr), c.valid) << c.label;
    }
  }
};

const std::string kBoldA = "\xF0\x9D\x90\x80";  // a letter beyond the basic plane

TEST_F(ValidatorTable, PublicEventNames) {
  auto rule = [](APMObject name) {
    return [name](int64_t* f) { return V::isValidPublicEventName(name, f); };
  };
  check({
      {"40", rule("a" + repeat("b", 39)), true, 0, 0},
      {"41", rule("a" + repeat("b", 40)), false, 2, 13000},
      {"40 with a letter beyond the basic plane", rule(kBoldA + repeat("b", 39)), true, 0, 0},
      {"digit first", rule("1abc"), false, 3, 13003},
      {"hyphen", rule("a-b"), false, 3, 13002},
      {"non-Latin letters and digits", rule("\xD0\xB6\xD9\xA1_x"), true, 0, 0},
      {"combining mark: not a name character",
       rule("\xCC\x81"
            "a"),
       false, 3, 13002},
      {"empty", rule(""), false, 1, 13001},
      {"nil", rule(APMObject()), false, 1, 13001},
      {"not a string", rule(APMObject(1)), false, 5, 13000},
      {"invalid UTF-8", rule(std::string("a\xFF")), false, 5, 13000},
      {"screen_view", rule("screen_view"), true, 0, 0},
      {"ad_impression", rule("ad_impression"), true, 0, 0},
      {"table name", rule("app_update"), false, 4, 13006},
      {"reserved prefix", rule("orvane_x"), false, 4, 13007},
  });
}

TEST_F(ValidatorTable, InternalNamesAndOrigins) {
  auto eventName = [](APMObject n) {
    return [n](int64_t* f) { return V::isValidInternalEventName(n, f); };
  };
  auto forwarded = [](APMObject n) {
    return [n](int64_t* f) { return V::isValidForwardedEventOrigin(n, f); };
  };
  auto origin = [](APMObject n) {
    return [n](int64_t* f) { return V::isValidInternalEventOrigin(n, f); };
  };
  check({
      {"underscore first", eventName("_vs"), true, 0, 0},
      {"41", eventName(repeat("_", 41)), false, 2, 13000},
      {"origin 32", origin(repeat("o", 32)), true, 0, 0},
      {"origin 33", origin(repeat("o", 33)), false, 2, 13000},
      {"forwarded", forwarded("gtm+otm"), true, 0, 0},
      {"forwarded 32 + suffix", forwarded(repeat("o", 32) + "+otm"), true, 0, 0},
      {"forwarded 33 + suffix", forwarded(repeat("o", 33) + "+otm"), false, 2, 13000},
      {"not forwarded", forwarded("app"), false, 6, 0},
      {"suffix alone", forwarded("+otm"), false, 1, 13001},
      {"empty", forwarded(""), false, 1, 0},
      {"nil", forwarded(APMObject()), false, 6, 0},
  });
}

TEST_F(ValidatorTable, ParameterNamesAndValues) {
  limits->maxPublicLength = 100;
  auto name = [](APMObject n) {
    return [n](int64_t* f) { return V::isValidPublicEventParameterName(n, f); };
  };
  auto publicValue = [](APMObject v) {
    return [v](int64_t* f) { return V::isValidPublicEventParameterValue(v, f); };
  };
  auto internalValue = [](APMObject v) {
    return [v](int64_t* f) { return V::isValidInternalEventParameterValue(v, f); };
  };
  check({
      {"name 40", name("p" + repeat("q", 39)), true, 0, 0},
      {"name reserved prefix", name("kavrelin_x"), false, 4, 13008},
      {"public value 100", publicValue(S(repeat("v", 100))), true, 0, 0},
      {"public value 101 (warning)", publicValue(S(repeat("v", 101))), false, 2, 13000},
      {"empty value: no minimum", publicValue(S("")), true, 0, 0},
      {"internal value 256", internalValue(S(repeat("v", 256))), true, 0, 0},
      {"internal value 257", internalValue(S(repeat("v", 257))), false, 2, 13000},
      {"numbers pass", publicValue(I(1)), true, 0, 0},
      {"value nil", publicValue(APMObject()), false, 1, 13004},
      {"value of another class", publicValue(APMObject("plain")), false, 5, 13005},
  });
}

TEST_F(ValidatorTable, UserProperties) {
  auto publicName = [](APMObject n) {
    return [n](int64_t* f) { return V::isValidPublicUserAttributeName(n, f); };
  };
  auto publicValue = [](APMObject v) {
    return [v](int64_t* f) { return V::isValidPublicUserAttributeValue(v, f); };
  };
  auto internalValue = [](APMObject v, std::string n) {
    return [v, n](int64_t* f) { return V::isValidInternalUserAttributeValue(v, n, f); };
  };
  check({
      {"24", publicName(repeat("u", 24)), true, 0, 0},
      {"25", publicName(repeat("u", 25)), false, 2, 13000},
      // The length is checked before the reserved table.
      {"reserved name of 26", publicName("kavrelin_last_notification"), false, 2, 13000},
      {"reserved name of 24", publicName("lifetime_user_engagement"), false, 4, 13009},
      {"reserved prefix", publicName("oa_level"), false, 4, 13010},
      {"value 36", publicValue(S(repeat("v", 36))), true, 0, 0},
      {"value 37", publicValue(S(repeat("v", 37))), false, 2, 13000},
      {"empty value: silent", publicValue(S("")), false, 1, 0},
      {"_id 256", internalValue(S(repeat("v", 256)), "_id"), true, 0, 0},
      {"_obraid 257", internalValue(S(repeat("v", 257)), "_obraid"), false, 2, 13000},
      {"_psmvalue_oads 512", internalValue(S(repeat("v", 512)), "_psmvalue_oads"), true, 0, 0},
      {"_psmvalue 513", internalValue(S(repeat("v", 513)), "_psmvalue"), false, 2, 13000},
  });
}

TEST_F(ValidatorTable, ConditionalUserProperties) {
  check({
      {"origin 32",
       [](int64_t* f) { return V::isValidConditionalUserPropertyOrigin(repeat("o", 32), f); }, true,
       0, 0},
      {"origin 33",
       [](int64_t* f) { return V::isValidConditionalUserPropertyOrigin(repeat("o", 33), f); },
       false, 2, 13000},
      {"name 25",
       [](int64_t* f) { return V::isValidConditionalUserPropertyName(repeat("n", 25), f); }, false,
       2, 13000},
      {"value empty", [](int64_t* f) { return V::isValidConditionalUserPropertyValue(S(""), f); },
       false, 1, 13001},
  });
}

TEST_F(ValidatorTable, NumbersCurrenciesAndScreens) {
  auto numeric = [](APMObject v) {
    return [v](int64_t* f) { return V::isValidNumericValue(v, f); };
  };
  auto currency = [](APMObject v) {
    return [v](int64_t* f) { return V::isValidCurrencyCode(v, f); };
  };
  auto screen = [](APMObject v) {
    return [v](int64_t* f) { return V::isValidScreenParameterValue(v, f); };
  };
  check({
      {"integer", numeric(I(1)), true, 0, 0},
      {"double", numeric(APMValue(1.5)), true, 0, 0},
      {"string", numeric(S("1")), false, 8, 13011},
      {"plain number is not typed", numeric(APMObject(1)), false, 8, 13011},
      {"usd", currency(S("usd")), true, 0, 0},
      {"letters outside ASCII", currency(S("\xC3\x84\xC3\x96\xC3\x9C")), true, 0, 0},
      {"digit", currency(S("US1")), false, 9, 13012},
      {"two", currency(S("US")), false, 9, 13012},
      {"three code points, four UTF-16 units", currency(S("US" + kBoldA)), false, 9, 13012},
      {"screen 500", screen(repeat("s", 500)), true, 0, 0},
      {"screen 501", screen(repeat("s", 501)), false, 2, 13000},
      {"screen empty", screen(""), false, 1, 13001},
  });
}

TEST_F(ValidatorTable, ArrayParameters) {
  auto array = [](std::optional<std::string> event, std::string name, int64_t count, bool nested) {
    return [=](int64_t* f) {
      std::optional<std::string_view> e;
      if (event) e = *event;
      return V::isValidArrayParamForEvent(e, name, count, nested, f);
    };
  };
  auto itemRule = [](APMObject item) {
    return [item](int64_t* f) { return V::isValidArrayParamItem(item, f); };
  };
  check({
      {"200 items", array("purchase", "items", 200, false), true, 0, 0},
      {"201 items", array("purchase", "items", 201, false), false, 12, 13013},
      {"nested first", array("level_up", "x", 500, true), false, 13, 13013},
      {"not e-commerce", array("level_up", "items", 1, false), false, 10, 13013},
      {"no event", array(std::nullopt, "items", 1, false), false, 10, 13013},
      {"not items", array("view_item", "products", 1, false), false, 11, 13013},
      {"map item", itemRule(APMObject(APMObjectMap{})), true, 0, 0},
      {"plain dictionary item", itemRule(APMObject(platform::Value::Dictionary{})), true, 0, 0},
      {"string item", itemRule("x"), false, 14, 13014},
  });
}

}  // namespace
