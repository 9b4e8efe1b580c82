// The event model: creation, flags, screen parameters, the edit form and the upload message
// (checked against protoc), and the counters.
#include "AppMeasurement/records/APMEvent.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>

#include "AppMeasurement/foundation/APMNameUtil.h"
#include "AppMeasurement/records/APMDailyCounts.h"
#include "AppMeasurement/records/APMEventAggregates.h"
#include "tests/AppMeasurement/foundation/ParameterTestSupport.h"

namespace {

using testsupport::D;
using testsupport::I;
using testsupport::S;

class Events : public testsupport::ParameterTest {
 protected:
  static APMEvent make(const std::string& name, const APMObjectMap& parameters = {},
                       const std::string& origin = "app", bool isPublic = false) {
    auto event = APMEvent::create(origin, isPublic, name, 1000, 0, parameters);
    EXPECT_TRUE(event) << name;
    return *event;
  }
};

TEST_F(Events, CreationChecksOriginAndName) {
  struct Case {
    std::string label;
    std::string origin;
    std::string name;
    bool isPublic;
    bool created;
  };
  const std::vector<Case> cases = {
      {"app", "app", "level_up", true, true},
      {"forwarded origin", "gtm+otm", "level_up", true, true},
      {"origin 32", std::string(32, 'o'), "level_up", false, true},
      {"origin 33", std::string(33, 'o'), "level_up", false, false},
      {"forwarded 33", std::string(33, 'o') + "+otm", "level_up", false, false},
      {"empty origin", "", "level_up", false, false},
      {"suffix alone", "+otm", "level_up", false, false},
      {"origin with a hyphen", "a-b", "level_up", false, false},
      {"reserved public name", "app", "app_update", true, false},
      {"reserved name, internal", "app", "app_update", false, true},
      {"internal name, public", "app", "_vs", true, false},
      {"internal name", "auto", "_vs", false, true},
      {"name 41", "app", std::string(41, 'n'), false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(APMEvent::create(c.origin, c.isPublic, c.name, 1, 0, APMObjectMap{}).has_value(),
              c.created)
        << c.label;
  }
  // A previous time after the time is kept; "_o" carries the origin.
  auto event = APMEvent::create("app", true, "level_up", 5, 9, APMObjectMap{{"a", 1}});
  ASSERT_TRUE(event);
  EXPECT_EQ(event->previousTimestamp(), 9);
  EXPECT_EQ(event->parameters(), (APMValueMap{{"a", I(1)}, {"_o", S("app")}}));
}

TEST_F(Events, ValueAndCurrencyOfConversionsAndAdImpressions) {
  struct Case {
    std::string label;
    std::string name;
    APMObjectMap parameters;
    bool conversion;
    std::optional<int64_t> err;
  };
  const std::vector<Case> cases = {
      {"conversion with value and currency",
       "level_up",
       {{"_c", 1}, {"value", 2.5}, {"currency", "usd"}},
       true,
       std::nullopt},
      {"conversion without currency loses _c", "level_up", {{"_c", 1}, {"value", 2.5}}, false, 19},
      {"ad_impression without currency", "ad_impression", {{"value", 2.5}}, false, 19},
      {"_ai with a text value", "_ai", {{"value", "abc"}}, false, 18},
      {"other events are not checked", "level_up", {{"value", "abc"}}, false, std::nullopt},
  };
  for (const Case& c : cases) {
    APMEvent event = make(c.name, c.parameters);
    EXPECT_EQ(event.isConversion(), c.conversion) << c.label;
    const APMValue* err = event.parameter("_err");
    EXPECT_EQ(err ? std::optional(err->int64Value()) : std::nullopt, c.err) << c.label;
  }
}

TEST_F(Events, ConversionFlag) {
  APMEvent event = make("level_up", {{"_c", 1}});
  event.setConversion(false);
  EXPECT_FALSE(event.isConversion());
  EXPECT_EQ(*event.parameter("_err"), I(10));
  event.setConversion(true);
  EXPECT_TRUE(event.isConversion());
  EXPECT_EQ(event.parameter("_err"), nullptr);

  // Another error stays; a failing value check keeps the flag off.
  APMEvent other = make("level_up", {{"_c", 1}, {"_err", 5}});
  other.setConversion(false);
  EXPECT_EQ(*other.parameter("_err"), I(5));
  other.setConversion(true);
  EXPECT_EQ(*other.parameter("_err"), I(5));
  APMEvent bad = make("level_up", {{"value", 1.0}});
  bad.setConversion(true);
  EXPECT_FALSE(bad.isConversion());
  EXPECT_EQ(*bad.parameter("_err"), I(19));
}

TEST_F(Events, RealtimeAndDebugFlagsAreTheIntegerOne) {
  struct Case {
    std::string label;
    APMObject value;
    bool set;
  };
  const std::vector<Case> cases = {
      {"integer 1", 1, true},
      {"integer 2", 2, false},
      {"double 1.0", 1.0, false},
      {"text 1", "1", false},
  };
  for (const Case& c : cases) {
    APMEvent event = make("level_up", {{"_r", c.value}, {"_dbg", c.value}});
    EXPECT_EQ(event.isRealtime(), c.set) << c.label;
    EXPECT_EQ(event.isDebug(), c.set) << c.label;
  }
  APMEvent event = make("level_up");
  event.setRealtime(true);
  event.setDebug(true);
  EXPECT_TRUE(event.isRealtime() && event.isDebug());
  event.setRealtime(false);
  EXPECT_EQ(event.parameter("_r"), nullptr);
}

TEST_F(Events, ScreenParameters) {
  struct Case {
    std::string label;
    APMObjectMap existing;
    APMObjectMap screen;
    bool added;
    int64_t message;
  };
  const std::vector<Case> cases = {
      {"all three", {}, {{"_si", 7}, {"_sc", "Cls"}, {"_sn", "Home"}}, true, 0},
      {"id alone", {}, {{"_si", I(7)}}, true, 0},
      {"typed strings", {}, {{"_si", 7}, {"_sc", S("Cls")}}, true, 0},
      {"empty", {}, {}, false, 0},
      {"no id", {}, {{"_sc", "Cls"}}, false, 0},
      {"id not a number", {}, {{"_si", "7"}}, false, 0},
      {"id typed double", {}, {{"_si", APMValue(7.0)}}, false, 0},
      {"already has one", {{"_sn", "Old"}}, {{"_si", 7}}, false, 0},
      {"class empty", {}, {{"_si", 7}, {"_sc", ""}}, false, 16003},
      {"name not a string", {}, {{"_si", 7}, {"_sn", 3}}, false, 16004},
  };
  for (const Case& c : cases) {
    clearLog();
    APMEvent event = make("_vs", c.existing, "auto");
    APMValueMap before = event.parameters();
    EXPECT_EQ(event.addScreenParameters(c.screen), c.added) << c.label;
    if (c.added) {
      EXPECT_EQ(*event.parameter("_si"), I(7)) << c.label;
    } else {
      EXPECT_EQ(event.parameters(), before) << c.label;
    }
    if (c.message) {
      EXPECT_TRUE(logged(c.message)) << c.label;
    }
  }
}

TEST_F(Events, AppliedParametersLieUnderTheEventsOwn) {
  APMEvent event = make("level_up", {{"a", 1}});
  event.applyParameters({{"a", 2}, {"b", 3}, {"_bad-name", 4}}, true);
  EXPECT_EQ(*event.parameter("a"), I(1));
  EXPECT_EQ(*event.parameter("b"), I(3));
  EXPECT_EQ(*event.parameter("_err"), I(3));
  APMValueMap before = event.parameters();
  event.applyParameters({}, true);
  EXPECT_EQ(event.parameters(), before);
}

TEST_F(Events, CopiesRunTheSanitiserWithTheCurrentLimits) {
  APMEvent event = make("level_up", {{"a", 1}, {"b", 2}, {"c", 3}});
  limits->maxParams = 2;
  APMEvent copy = event.copyWithPreviousTimestamp(4);
  EXPECT_EQ(copy.previousTimestamp(), 4);
  EXPECT_EQ(copy.parameter("c"), nullptr);
  EXPECT_EQ(*copy.parameter("_err"), I(5));
  EXPECT_EQ(event.copy(), copy.copyWithPreviousTimestamp(0));
}

TEST_F(Events, EditForm) {
  platform::Value::Array plainItems{platform::Value::Dictionary{{"item_id", platform::Value("a")}}};
  APMEvent event = make("_cmp", {{"n", 2.5}, {"s", "x"}, {"i", 3}, {"items", plainItems}}, "auto");
  APMPEvent edit = event.editEvent();
  EXPECT_EQ(edit.name(), "oa_campaign");
  EXPECT_EQ(edit.timestamp(), 1000);
  EXPECT_EQ(*edit.parameterForName("n"), platform::Value(2.5));
  EXPECT_EQ(*edit.parameterForName("i"), platform::Value(3));
  EXPECT_EQ(*edit.parameterForName("_o"), platform::Value("auto"));
  // Items were refused ("_cmp" is no e-commerce event); the copy keeps what the event has.
  EXPECT_EQ(edit.parameterForName("items"), nullptr);

  auto back = APMEvent::eventFromEditEvent(edit);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->name(), "_cmp");
  EXPECT_EQ(back->origin(), "auto");
  EXPECT_EQ(back->parameters(), event.parameters());

  APMPEvent withItems = make("purchase", {{"items", plainItems}}).editEvent();
  EXPECT_EQ(*withItems.parameterForName("items"), platform::Value(plainItems));
  auto noOrigin = APMEvent::eventFromEditEvent(APMPEvent("screen_view", 5, {}));
  EXPECT_EQ(noOrigin->origin(), "app");
  EXPECT_EQ(noOrigin->name(), "_vs");
  EXPECT_EQ(noOrigin->previousTimestamp(), 0);
}

TEST_F(Events, MessageForm) {
  struct Case {
    std::string label;
    double timestamp;
    double previous;
    int64_t millis;
    std::optional<int64_t> previousMillis;
  };
  const std::vector<Case> cases = {
      {"truncated", 1.0005, 0, 1000, std::nullopt},
      {"previous above epsilon", 2.5, 1.9999, 2500, 1999},
      {"previous at epsilon", 2.5, DBL_EPSILON, 2500, std::nullopt},
      {"negative previous", 2.5, -3, 2500, std::nullopt},
      {"NaN", std::nan(""), 0, 0, std::nullopt},
      {"infinite", HUGE_VAL, -HUGE_VAL, INT64_MAX, std::nullopt},
      {"huge", 1e300, 1e300, INT64_MAX, INT64_MAX},
  };
  for (const Case& c : cases) {
    auto event = APMEvent::create("app", false, "e", c.timestamp, c.previous, APMObjectMap{});
    APMPBEvent proto = event->protoEvent();
    EXPECT_EQ(NANOGetInt64(proto, APMPBEvent::kTimestampMillis), c.millis) << c.label;
    EXPECT_EQ(NANOHasField(proto, APMPBEvent::kPreviousTimestampMillis),
              c.previousMillis.has_value())
        << c.label;
    if (c.previousMillis) {
      EXPECT_EQ(NANOGetInt64(proto, APMPBEvent::kPreviousTimestampMillis), *c.previousMillis)
          << c.label;
    }
  }

  // Scalars round-trip at whole milliseconds; "_o" returns as the origin.
  auto event = APMEvent::create("gtm+otm", false, "level_up", 12.345, 0,
                                APMObjectMap{{"d", 0.25}, {"i", -7}, {"s", "text"}});
  auto back = APMEvent::createWithEventProto(event->protoEvent());
  ASSERT_TRUE(back);
  EXPECT_EQ(back->origin(), "gtm+otm");
  EXPECT_EQ(back->timestamp(), 12.345);
  EXPECT_EQ(back->previousTimestamp(), 0);
  EXPECT_EQ(back->parameters(), event->parameters());
  EXPECT_EQ(back->protoEvent(), event->protoEvent());
}

TEST_F(Events, ReadingAMessage) {
  auto param = [](std::optional<std::string> name) {
    APMPBEventParam p;
    if (name) NANOSetString(p, APMPBEventParam::kName, *name);
    return p;
  };
  APMPBEventParam origin = param("_o");
  NANOSetString(origin, APMPBEventParam::kStringValue, "app");
  APMPBEventParam all = param("all");  // string wins over int over double
  NANOSetString(all, APMPBEventParam::kStringValue, "s");
  NANOSetInt64(all, APMPBEventParam::kIntValue, 1);
  NANOSetDouble(all, APMPBEventParam::kDoubleValue, 2);
  APMPBEventParam number = param("number");
  NANOSetInt64(number, APMPBEventParam::kIntValue, 1);
  NANOSetDouble(number, APMPBEventParam::kDoubleValue, 2);
  // An array parameter comes back as its item maps (a stored "items" list is not lost).
  APMPBEventParam itemID = param("item_id");
  NANOSetString(itemID, APMPBEventParam::kStringValue, "sku");
  APMPBEventParam item;
  NANOSetMessageArray(item, APMPBEventParam::kParamValue, std::vector<APMPBEventParam>{itemID});
  APMPBEventParam array = param("items");
  NANOSetMessageArray(array, APMPBEventParam::kParamValue, std::vector<APMPBEventParam>{item});
  APMPBEvent proto;
  NANOSetString(proto, APMPBEvent::kName, "purchase");
  NANOSetMessageArray(
      proto, APMPBEvent::kParams,
      std::vector<APMPBEventParam>{origin, all, number, array, param(std::nullopt)});
  auto event = APMEvent::createWithEventProto(proto);
  ASSERT_TRUE(event);
  APMValue items(APMValue::Array{APMObject(APMValueMap{{"item_id", S("sku")}})});
  EXPECT_EQ(event->parameters(),
            (APMValueMap{{"_o", S("app")}, {"all", S("s")}, {"number", I(1)}, {"items", items}}));
  EXPECT_EQ(APMEvent::createWithEventProto(event->protoEvent())->protoEvent(), event->protoEvent());

  APMPBEventParam badOrigin = param("_o");
  NANOSetInt64(badOrigin, APMPBEventParam::kIntValue, 1);
  NANOSetMessageArray(proto, APMPBEvent::kParams, std::vector<APMPBEventParam>{badOrigin});
  EXPECT_FALSE(APMEvent::createWithEventProto(proto));
}

// protoc reads what we write: the upload schema decodes our event with every parameter kind.
TEST_F(Events, EncodedEventsDecodeWithProtoc) {
  limits->maxPublicLength = 100;
  platform::Value::Array plainItems{platform::Value::Dictionary{{"item_id", platform::Value("sku")},
                                                                {"price", platform::Value(9.5)}}};
  auto event =
      APMEvent::create("app", true, "purchase", 1.5, 0.75,
                       APMObjectMap{{"items", plainItems}, {"n", 42}, {"t", "\xC3\xA9t\xC3\xA9"}});
  auto bytes = event->protoEvent().protoBuffer();
  ASSERT_TRUE(bytes);
  std::string input = ::testing::TempDir() + "/event.bin";
  std::ofstream(input, std::ios::binary) << *bytes;
  std::string command = std::string(KVL_TEST_PROTOC) + " -I" + KVL_TEST_PROTO_DIR +
                        " --decode=apm.Event measurement_upload.proto < " + input;
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
  ASSERT_EQ(pclose(pipe), 0) << output;
  // Parameters in key order: "_o", "items", "n", "t".
  const char* expected =
      "params {\n  name: \"_o\"\n  string_value: \"app\"\n}\n"
      "params {\n  name: \"items\"\n  param_value {\n"
      "    param_value {\n      name: \"item_id\"\n      string_value: \"sku\"\n    }\n"
      "    param_value {\n      name: \"price\"\n      double_value: 9.5\n    }\n  }\n}\n"
      "params {\n  name: \"n\"\n  int_value: 42\n}\n"
      "params {\n  name: \"t\"\n  string_value: \"\\303\\251t\\303\\251\"\n}\n"
      "name: \"purchase\"\ntimestamp_millis: 1500\nprevious_timestamp_millis: 750\n";
  EXPECT_EQ(output, expected);
}

TEST_F(Events, NameListsAndEventTests) {
  struct Case {
    std::string name;
    APMObjectMap parameters;
    bool error, subscription, revenue, purchase;
  };
  const std::vector<Case> cases = {
      {"_err", {}, true, false, false, false},
      {"_assc", {}, false, true, false, false},
      {"_iap", {{"subscription", 1}}, false, true, true, true},
      {"_iap", {{"subscription", "1"}}, false, false, true, true},
      {"refund", {}, false, false, true, false},
      {"_f", {}, false, false, true, false},
      {"ecommerce_purchase", {}, false, false, true, true},
  };
  for (const Case& c : cases) {
    APMEvent event = make(c.name, c.parameters, "auto");
    EXPECT_EQ(APMIsErrorEvent(event), c.error) << c.name;
    EXPECT_EQ(APMIsNotErrorEventName(c.name), !c.error) << c.name;
    EXPECT_EQ(APMIsSubscriptionEvent(event), c.subscription) << c.name;
    EXPECT_EQ(APMIsRevenueEventName(c.name), c.revenue) << c.name;
    EXPECT_EQ(APMIsPurchaseEventName(c.name), c.purchase) << c.name;
  }
  platform::Value::Array three{platform::Value::Dictionary{{"a", platform::Value(1)}},
                               platform::Value::Dictionary{{"a", platform::Value(1)}},
                               platform::Value::Dictionary{{"a", platform::Value(1)}}};
  EXPECT_EQ(APMEventArrayElementCount(make("purchase", {{"items", three}, {"n", 1}})), 3);
  EXPECT_EQ(APMEventArrayElementCount(make("purchase")), 0);

  APMValueMap screen{{"_sn", S("Home")}, {"_si", I(1)}, {"oad_x", I(2)}, {"oadx", I(3)}};
  EXPECT_TRUE(APMHasScreenParameters(screen));
  EXPECT_FALSE(APMHasScreenParameters(APMValueMap{{"_s", I(1)}}));
  EXPECT_EQ(APMScreenParameters(screen), (APMValueMap{{"_sn", S("Home")}, {"_si", I(1)}}));
  EXPECT_EQ(APMParametersWithoutOadPrefix(screen),
            (APMValueMap{{"_sn", S("Home")}, {"_si", I(1)}, {"oadx", I(3)}}));
}

TEST_F(Events, AggregatesWrapAndRefuseNegativeCounts) {
  EXPECT_FALSE(APMEventAggregates::create("e", -1, 0, 0, 0));
  EXPECT_FALSE(APMEventAggregates::create("e", 0, 0, -1, 0));
  EXPECT_FALSE(APMEventAggregates::create("bad-name", 0, 0, 0, 0));
  const int32_t max = std::numeric_limits<int32_t>::max();
  auto aggregates = APMEventAggregates::create("e", max - 1, max, max, 3);
  ASSERT_TRUE(aggregates);
  EXPECT_EQ(aggregates->lastSamplingRate(), 1);
  EXPECT_EQ(aggregates->lastBundledTimestamp(), 0);
  EXPECT_FALSE(aggregates->lastSampledComplexEventID());
  aggregates->incrementLifetimeCount();
  EXPECT_EQ(aggregates->lifetimeCount(), max);
  aggregates->incrementLifetimeCount();
  aggregates->incrementCurrentBundleCount();
  aggregates->incrementCurrentSessionCount();
  EXPECT_EQ(aggregates->lifetimeCount(), 0);
  EXPECT_EQ(aggregates->currentBundleCount(), 0);
  EXPECT_EQ(aggregates->currentSessionCount(), 0);
}

TEST_F(Events, DailyCounts) {
  const int32_t max = std::numeric_limits<int32_t>::max();
  struct Case {
    std::string label;
    std::function<void(APMDailyCounts&)> operation;
    APMDailyCounts expected;
  };
  const APMDailyCounts start(10, 1, 5, 2, 1, 1, 1);
  const std::vector<Case> cases = {
      {"same day", [](auto& c) { c.incrementCountsForCurrentDay(10, true, true); },
       APMDailyCounts(10, 2, 6, 3, 1, 1, 1)},
      {"effective count", [](auto& c) { c.incrementCountsForCurrentDay(10, false, false, 4); },
       APMDailyCounts(10, 1, 9, 2, 1, 1, 1)},
      {"later day resets", [](auto& c) { c.incrementCountsForCurrentDay(11, false, false); },
       APMDailyCounts(11, 0, 1, 0, 0, 0, 0)},
      {"earlier day resets", [](auto& c) { c.incrementErrorEventsCountForCurrentDay(9); },
       APMDailyCounts(9, 0, 1, 0, 1, 0, 0)},
      {"error raises all events", [](auto& c) { c.incrementErrorEventsCountForCurrentDay(10); },
       APMDailyCounts(10, 1, 6, 2, 2, 1, 1)},
      {"realtime", [](auto& c) { c.incrementRealtimeCountsForCurrentDay(10); },
       APMDailyCounts(10, 1, 5, 2, 1, 2, 1)},
      {"DCU realtime", [](auto& c) { c.incrementDCURealtimeCountsForCurrentDay(10); },
       APMDailyCounts(10, 1, 5, 2, 1, 1, 2)},
      {"decrement", [](auto& c) { c.decrementAllEventsCount(); },
       APMDailyCounts(10, 1, 4, 2, 1, 1, 1)},
  };
  for (const Case& c : cases) {
    APMDailyCounts counts = start;
    c.operation(counts);
    EXPECT_EQ(counts, c.expected) << c.label;
  }
  APMDailyCounts empty(3, 0, 0, 0, 0, 0, 0);
  empty.decrementAllEventsCount();
  EXPECT_EQ(empty.allEventsCount(), 0);
  // At the ceiling the counts stay there instead of wrapping to negative.
  APMDailyCounts full(3, max, max - 1, max, max, max, max);
  full.incrementCountsForCurrentDay(3, true, true, 5);
  full.incrementErrorEventsCountForCurrentDay(3);
  full.incrementRealtimeCountsForCurrentDay(3);
  full.incrementDCURealtimeCountsForCurrentDay(3);
  EXPECT_EQ(full, APMDailyCounts(3, max, max, max, max, max, max));
}

}  // namespace
