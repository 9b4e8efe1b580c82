#include "platform/capacitor/CAPBridge.h"

#include <gtest/gtest.h>

#include "platform/capacitor/CAPBridgeMessage.h"
#include "platform/foundation/JSONSerialization.h"
#include "tests/platform/capacitor/RecordingPage.h"
#include "tests/support/DispatchTestEnvironment.h"
#include "tests/support/LogCapture.h"

namespace {

using platform::CAPBridge;
using platform::CAPPluginCall;
using platform::CAPPluginMethod;
using platform::Value;
using testsupport::RecordingPage;

// A plug-in whose methods answer from their options, so one table covers the answer shapes.
class EchoPlugin : public platform::CAPPlugin, public platform::CAPBridgedPlugin {
 public:
  using CAPPlugin::CAPPlugin;
  std::string identifier() const override { return "EchoPluginClass"; }
  std::string jsName() const override { return "Echo"; }
  std::vector<CAPPluginMethod> pluginMethods() const override {
    return {{"empty", "promise"}, {"data", "promise"},       {"fail", "promise"},
            {"twice", "promise"}, {"listedOnly", "promise"}, {"removeAllListeners", "none"}};
  }
  bool performMethod(const std::string& name, const std::shared_ptr<CAPPluginCall>& call) override {
    if (name == "empty") {
      call->resolve();
    } else if (name == "data") {
      call->resolve(call->options());
    } else if (name == "fail") {
      call->reject("it failed");
    } else if (name == "twice") {
      call->resolve();
      call->reject("late");
    } else {
      return false;
    }
    return true;
  }
  int loads = 0;
  void load() override { ++loads; }
};

class CAPBridgeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bridge_ = CAPBridge::create();
    plugin_ = std::make_shared<EchoPlugin>(bridge_, "EchoPluginClass", "EchoPlugin");
    ASSERT_TRUE(bridge_->registerPlugin(plugin_));
  }
  std::vector<Value> run(const std::string& frame) {
    bridge_->handleFrame(page_, frame);
    env_.waitUntilIdle();
    return page_->frames();
  }
  testsupport::DispatchTestEnvironment env_;
  testsupport::LogCapture log_;
  std::shared_ptr<CAPBridge> bridge_;
  std::shared_ptr<EchoPlugin> plugin_;
  std::shared_ptr<RecordingPage> page_ = std::make_shared<RecordingPage>();
};

Value json(const std::string& text) {
  return *platform::JSONSerialization::JSONObjectWithData(text);
}

// Each frame web code may send, and the one answer it gets ("" when none, then `log` is
// expected in the platform log instead).
struct FrameCase {
  const char* name;
  std::string frame;
  std::string answer;
  std::string log;
};

TEST_F(CAPBridgeTest, EveryFrameGetsItsAnswerOrALogLine) {
  const std::string deep = std::string(150, '[') + std::string(150, ']');
  const std::string tooDeepForParser = std::string(600, '[') + std::string(600, ']');
  // Deeper than the JSON reader goes, with brackets and escaped quotes in strings on the way.
  std::string veryDeep;
  for (int i = 0; i < 5000; ++i) veryDeep += i % 2 ? R"([")]\"{",)" : R"({"k":)";
  veryDeep += "0";
  for (int i = 4999; i >= 0; --i) veryDeep += i % 2 ? "]" : "}";
  const std::string refusedTooDeep =
      R"("error":{"errorMessage":"The message's options are nested deeper than 100 levels","message":"The message's options are nested deeper than 100 levels"},"methodName":"data","pluginId":"Echo","save":false,"success":false})";
  const FrameCase cases[] = {
      {"resolve without data",
       R"({"callbackId":"1","pluginId":"Echo","methodName":"empty","options":{}})",
       R"({"callbackId":"1","methodName":"empty","pluginId":"Echo","save":false,"success":true})",
       ""},
      {"resolve keeps nulls",
       R"({"callbackId":"2","pluginId":"Echo","methodName":"data","options":{"a":null,"b":[1,2.5]}})",
       R"({"callbackId":"2","data":{"a":null,"b":[1,2.5]},"methodName":"data","pluginId":"Echo","save":false,"success":true})",
       ""},
      {"reject has message and errorMessage only",
       R"({"callbackId":"3","pluginId":"Echo","methodName":"fail","options":{}})",
       R"({"callbackId":"3","error":{"errorMessage":"it failed","message":"it failed"},"methodName":"fail","pluginId":"Echo","save":false,"success":false})",
       ""},
      {"missing options read as empty",
       R"({"callbackId":"4","pluginId":"Echo","methodName":"data"})",
       R"({"callbackId":"4","data":{},"methodName":"data","pluginId":"Echo","save":false,"success":true})",
       ""},
      {"unknown plug-in", R"({"callbackId":"5","pluginId":"Nope","methodName":"x","options":{}})",
       R"({"callbackId":"5","error":{"code":"UNIMPLEMENTED","errorMessage":"\"Nope.x()\" is not implemented on ios","message":"\"Nope.x()\" is not implemented on ios"},"methodName":"x","pluginId":"Nope","save":false,"success":false})",
       ""},
      {"unlisted method",
       R"({"callbackId":"6","pluginId":"Echo","methodName":"other","options":{}})",
       R"({"callbackId":"6","error":{"code":"UNIMPLEMENTED","errorMessage":"\"Echo.other()\" is not implemented on ios","message":"\"Echo.other()\" is not implemented on ios"},"methodName":"other","pluginId":"Echo","save":false,"success":false})",
       ""},
      {"listed without a body",
       R"({"callbackId":"7","pluginId":"Echo","methodName":"listedOnly","options":{}})",
       R"({"callbackId":"7","error":{"code":"UNIMPLEMENTED","errorMessage":"\"Echo.listedOnly()\" is not implemented on ios","message":"\"Echo.listedOnly()\" is not implemented on ios"},"methodName":"listedOnly","pluginId":"Echo","save":false,"success":false})",
       ""},
      {"calls arrive by jsName, not class name",
       R"({"callbackId":"8","pluginId":"EchoPluginClass","methodName":"empty","options":{}})",
       R"({"callbackId":"8","error":{"code":"UNIMPLEMENTED","errorMessage":"\"EchoPluginClass.empty()\" is not implemented on ios","message":"\"EchoPluginClass.empty()\" is not implemented on ios"},"methodName":"empty","pluginId":"EchoPluginClass","save":false,"success":false})",
       ""},
      {"base checkPermissions resolves",
       R"({"callbackId":"9","pluginId":"Echo","methodName":"checkPermissions","options":{}})",
       R"({"callbackId":"9","methodName":"checkPermissions","pluginId":"Echo","save":false,"success":true})",
       ""},
      {"base requestPermissions resolves",
       R"({"callbackId":"10","pluginId":"Echo","methodName":"requestPermissions"})",
       R"({"callbackId":"10","methodName":"requestPermissions","pluginId":"Echo","save":false,"success":true})",
       ""},
      {"options not an object",
       R"({"callbackId":"11","pluginId":"Echo","methodName":"data","options":[1]})",
       R"({"callbackId":"11","error":{"errorMessage":"\"Echo.data()\" options must be an object","message":"\"Echo.data()\" options must be an object"},"methodName":"data","pluginId":"Echo","save":false,"success":false})",
       ""},
      {"pluginId not a string", R"({"callbackId":"12","pluginId":5,"methodName":"data"})",
       R"({"callbackId":"12","error":{"errorMessage":"The message has no string pluginId","message":"The message has no string pluginId"},"methodName":"data","pluginId":"","save":false,"success":false})",
       ""},
      {"methodName missing", R"({"callbackId":"13","pluginId":"Echo"})",
       R"({"callbackId":"13","error":{"errorMessage":"The message has no string methodName","message":"The message has no string methodName"},"methodName":"","pluginId":"Echo","save":false,"success":false})",
       ""},
      {"options nested past 100",
       R"({"callbackId":"14","pluginId":"Echo","methodName":"data","options":{"a":)" + deep + "}}",
       R"({"callbackId":"14","error":{"errorMessage":"The message's options are nested deeper than 100 levels","message":"The message's options are nested deeper than 100 levels"},"methodName":"data","pluginId":"Echo","save":false,"success":false})",
       ""},
      {"options nested 5,000 deep",
       R"({"callbackId":"21","pluginId":"Echo","methodName":"data","options":{"a":)" + veryDeep +
           "}}",
       R"({"callbackId":"21",)" + refusedTooDeep, ""},
      {"options nested 5,000 deep before the names",
       R"({"options":)" + veryDeep + R"(,"callbackId":"22","pluginId":"Echo","methodName":"data"})",
       R"({"callbackId":"22",)" + refusedTooDeep, ""},
      {"a lone surrogate, as JSON.stringify writes it",
       R"({"callbackId":"16","pluginId":"Echo","methodName":"data","options":{"a":"\ud83d"}})",
       R"({"callbackId":"16","error":{"errorMessage":"The message holds text that is not valid Unicode (a lone UTF-16 surrogate) and cannot be read","message":"The message holds text that is not valid Unicode (a lone UTF-16 surrogate) and cannot be read"},"methodName":"data","pluginId":"Echo","save":false,"success":false})",
       ""},
      {"a lone low surrogate after an escaped backslash",
       R"({"callbackId":"17","pluginId":"Echo","methodName":"data","options":{"a":"\\\udc00x"}})",
       R"({"callbackId":"17","error":{"errorMessage":"The message holds text that is not valid Unicode (a lone UTF-16 surrogate) and cannot be read","message":"The message holds text that is not valid Unicode (a lone UTF-16 surrogate) and cannot be read"},"methodName":"data","pluginId":"Echo","save":false,"success":false})",
       ""},
      {"a surrogate pair is text",
       R"({"callbackId":"18","pluginId":"Echo","methodName":"data","options":{"a":"\ud83d\ude00"}})",
       "{\"callbackId\":\"18\",\"data\":{\"a\":\"\xF0\x9F\x98\x80\"},\"methodName\":\"data\","
       "\"pluginId\":\"Echo\",\"save\":false,\"success\":true}",
       ""},
      {"a name longer than any plug-in's is never echoed",
       R"({"callbackId":"19","pluginId":"Echo","methodName":")" + std::string(257, 'm') + R"("})",
       R"({"callbackId":"19","error":{"errorMessage":"The message's pluginId or methodName is longer than 256 bytes","message":"The message's pluginId or methodName is longer than 256 bytes"},"methodName":"","pluginId":"","save":false,"success":false})",
       ""},
      {"not JSON", "{callbackId: 1", "", "frame is not JSON"},
      {"not JSON, with a lone surrogate", R"({"callbackId":"20","a":"\ud800)", "",
       "frame is not JSON"},
      {"not an object", "[1,2]", "", "not a JSON object"},
      {"callbackId not a string", R"({"callbackId":15,"pluginId":"Echo","methodName":"empty"})", "",
       "without a string callbackId"},
      {"invalid UTF-8", "{\"callbackId\":\"\xff\"}", "", "not valid UTF-8"},
      {"nesting past the parser", tooDeepForParser, "", "nested deeper"},
      {"nesting past the parser, never closed",
       R"({"callbackId":"23","options":)" + std::string(5000, '['), "", "nested deeper"},
      {"console mirror",
       R"({"callbackId":"-1","pluginId":"Console","methodName":"log","options":{"level":"info","message":"hi"}})",
       "", "Capacitor/Console"},
      {"js.error", R"({"type":"js.error","error":{"message":"boom"}})", "", "JavaScript error"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    page_ = std::make_shared<RecordingPage>();
    log_.clear();
    auto frames = run(c.frame);
    if (c.answer.empty()) {
      EXPECT_TRUE(frames.empty());
      EXPECT_TRUE(log_.contains(c.log));
    } else {
      ASSERT_EQ(frames.size(), 1u);
      EXPECT_EQ(frames[0], json(c.answer));
    }
    // The next call is answered whatever came before.
    EXPECT_EQ(run(R"({"callbackId":"n","pluginId":"Echo","methodName":"empty"})").size(),
              c.answer.empty() ? 1u : 2u);
  }
}

TEST_F(CAPBridgeTest, FramesOverFourMebibytesAreDroppedWithALogLine) {
  std::string big = R"({"callbackId":"1","pluginId":"Echo","methodName":"data","options":{"a":")";
  big += std::string(platform::CAPBridgeMessage::kMaxFrameBytes, 'x') + "\"}}";
  EXPECT_TRUE(run(big).empty());
  EXPECT_TRUE(log_.contains("larger than 4 MiB"));
}

TEST_F(CAPBridgeTest, ASecondAnswerIsLoggedAndDropped) {
  auto frames = run(R"({"callbackId":"1","pluginId":"Echo","methodName":"twice"})");
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].find("success")->asBool() != nullptr, true);
  EXPECT_TRUE(*frames[0].find("success")->asBool());
  EXPECT_TRUE(log_.contains("answered twice"));
}

TEST_F(CAPBridgeTest, EachPlugInLoadsOnceAndANameIsTakenOnce) {
  EXPECT_EQ(plugin_->loads, 1);
  auto other = std::make_shared<EchoPlugin>(bridge_, "EchoPluginClass", "EchoPlugin");
  EXPECT_FALSE(bridge_->registerPlugin(other));
  EXPECT_EQ(other->loads, 0);
}

TEST_F(CAPBridgeTest, HeadersListTheBaseMethodsFirst) {
  Value expected = json(R"([{"name":"Echo","methods":[
      {"name":"addListener","rtype":"callback"},{"name":"removeListener","rtype":"callback"},
      {"name":"removeAllListeners","rtype":"promise"},{"name":"checkPermissions","rtype":"promise"},
      {"name":"requestPermissions","rtype":"promise"},
      {"name":"empty","rtype":"promise"},{"name":"data","rtype":"promise"},{"name":"fail","rtype":"promise"},
      {"name":"twice","rtype":"promise"},{"name":"listedOnly","rtype":"promise"},
      {"name":"removeAllListeners"}]}])");
  EXPECT_EQ(bridge_->pluginHeaders(), expected);
}

std::string addListener(const std::string& id, const std::string& event) {
  return R"({"callbackId":")" + id +
         R"(","pluginId":"Echo","methodName":"addListener","options":{"eventName":")" + event +
         R"("}})";
}

Value event(const std::string& callbackId, const std::string& url) {
  Value frame = CAPPluginCall::resultFrame(callbackId, "Echo", "addListener", true,
                                           Value::Dictionary{{"url", Value(url)}});
  return frame;
}

TEST_F(CAPBridgeTest, RetainedEventsReachTheFirstListenerInOrderThenLiveOnesFollow) {
  plugin_->notifyListeners("deepLinkOpen", {{"url", Value("a")}}, true);
  plugin_->notifyListeners("deepLinkOpen", {{"url", Value("b")}}, true);
  plugin_->notifyListeners("deepLinkOpen", {{"url", Value("lost")}}, false);
  auto frames = run(addListener("L1", "deepLinkOpen"));
  ASSERT_EQ(frames.size(), 2u);  // addListener itself gets no answer
  EXPECT_EQ(frames[0], event("L1", "a"));
  EXPECT_EQ(frames[1], event("L1", "b"));

  auto second = std::make_shared<RecordingPage>(2);
  bridge_->handleFrame(second, addListener("L2", "deepLinkOpen"));
  env_.waitUntilIdle();
  EXPECT_TRUE(second->frames().empty());  // retained events went to the first listener only
  plugin_->notifyListeners("deepLinkOpen", {{"url", Value("c")}}, true);
  EXPECT_EQ(page_->frames().back(), event("L1", "c"));
  EXPECT_EQ(second->frames().back(), event("L2", "c"));
}

TEST_F(CAPBridgeTest, RetainedEventsAreCappedOldestFirst) {
  for (size_t i = 0; i < platform::CAPPlugin::kMaxRetainedEvents + 2; ++i) {
    plugin_->notifyListeners("e", {{"url", Value(std::to_string(i))}}, true);
  }
  EXPECT_TRUE(log_.contains("the oldest is dropped"));
  auto frames = run(addListener("L", "e"));
  ASSERT_EQ(frames.size(), platform::CAPPlugin::kMaxRetainedEvents);
  EXPECT_EQ(frames.front(), event("L", "2"));
}

TEST_F(CAPBridgeTest, AClosedPageLosesItsListenersAndRemoveListenerIsUnanswered) {
  run(addListener("L1", "e"));
  page_->close();
  bridge_->pageClosed(page_);
  plugin_->notifyListeners("e", {{"url", Value("kept")}}, true);
  EXPECT_FALSE(plugin_->hasListeners("e"));

  auto fresh = std::make_shared<RecordingPage>(3);
  page_ = fresh;
  auto frames = run(addListener("L2", "e"));
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0], event("L2", "kept"));
  frames = run(
      R"({"callbackId":"R","pluginId":"Echo","methodName":"removeListener","options":{"eventName":"e","callbackId":"L2"}})");
  EXPECT_EQ(frames.size(), 1u);
  EXPECT_FALSE(plugin_->hasListeners("e"));
}

// The value readers: a key gives a value only when it holds that kind.
struct ReadCase {
  const char* options;
  std::optional<std::string> string;
  std::optional<bool> boolean;
  std::optional<int64_t> integer;
  bool array;
  bool object;
};

TEST(CAPPluginCallTest, ReadersGiveAValueOnlyForTheirKind) {
  const ReadCase cases[] = {
      {R"({})", {}, {}, {}, false, false},
      {R"({"k":"s"})", "s", {}, {}, false, false},
      {R"({"k":true})", {}, true, {}, false, false},
      {R"({"k":0})", {}, {}, 0, false, false},
      {R"({"k":2.0})", {}, {}, 2, false, false},
      {R"({"k":2.5})", {}, {}, {}, false, false},
      {R"({"k":-9223372036854775808})", {}, {}, INT64_MIN, false, false},
      {R"({"k":9223372036854775808})", {}, {}, {}, false, false},
      {R"({"k":1e300})", {}, {}, {}, false, false},
      {R"({"k":null})", {}, {}, {}, false, false},
      {R"({"k":[1]})", {}, {}, {}, true, false},
      {R"({"k":{}})", {}, {}, {}, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options);
    CAPPluginCall call("1", "P", "m", *json(c.options).asDictionary(), nullptr);
    EXPECT_EQ(call.getString("k"), c.string);
    EXPECT_EQ(call.getBool("k"), c.boolean);
    EXPECT_EQ(call.getInt("k"), c.integer);
    EXPECT_EQ(call.getArray("k").has_value(), c.array);
    EXPECT_EQ(call.getObject("k").has_value(), c.object);
  }
}

}  // namespace
