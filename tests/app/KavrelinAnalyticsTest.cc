#include "app/KavrelinAnalytics/KavrelinAnalytics.h"

#include <gtest/gtest.h>

#include <mutex>

#include "app/KavrelinAnalytics/KVLAnalyticsFacade.h"
#include "platform/capacitor/CAPBridge.h"
#include "platform/foundation/JSONSerialization.h"
#include "tests/platform/capacitor/RecordingPage.h"
#include "tests/support/DispatchTestEnvironment.h"

namespace {

using platform::Value;

// Records each facade operation as one line, with its arguments as JSON.
class RecordingFacade : public KVLAnalyticsFacade {
 public:
  void logEventWithName(const std::string& name,
                        std::optional<Value::Dictionary> parameters) override {
    add("logEvent " + name + " " + (parameters ? json(Value(*parameters)) : "nil"));
  }
  void setUserPropertyString(const std::string& value, const std::string& name) override {
    add("setUserProperty " + name + "=" + value);
  }
  void setUserID(const std::string& id) override { add("setUserID " + id); }
  void setAnalyticsCollectionEnabled(bool enabled) override {
    add(std::string("setCollectionEnabled ") + (enabled ? "true" : "false"));
  }
  void setSessionTimeoutInterval(double seconds) override {
    add("setSessionTimeout " + std::to_string(seconds));
  }
  std::optional<std::string> appInstanceID() override { return instanceId; }
  void resetAnalyticsData() override { add("reset"); }

  static std::string json(const Value& v) {
    return platform::JSONSerialization::dataWithJSONObject(v, {.fragmentsAllowed = true})
        .value_or("?");
  }
  void add(std::string line) {
    std::lock_guard lock(mutex);
    calls.push_back(std::move(line));
    onMain.push_back(platform::DispatchQueue::isMainThread());
  }
  std::mutex mutex;
  std::vector<std::string> calls;
  std::vector<bool> onMain;
  std::optional<std::string> instanceId;
};

class KavrelinAnalyticsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    KVLAnalyticsFacade::install(facade_);
    bridge_ = platform::CAPBridge::create();
    bridge_->registerPlugin(
        std::make_shared<KavrelinAnalytics>(bridge_, "KavrelinAnalytics", "KavrelinAnalytics"));
  }
  void TearDown() override {
    env_.finish();
    KVLAnalyticsFacade::install(nullptr);
  }
  // Calls `method` with `options`; the answer's JSON, and the facade calls it made.
  std::pair<std::string, std::vector<std::string>> call(const std::string& method,
                                                        const std::string& options) {
    auto page = std::make_shared<testsupport::RecordingPage>();
    facade_->calls.clear();
    bridge_->handleFrame(
        page, R"({"callbackId":"1","pluginId":"KavrelinAnalytics","methodName":")" + method +
                  R"(","options":)" + options + "}");
    env_.waitUntilIdle();
    auto frames = page->frames();
    EXPECT_EQ(frames.size(), 1u) << method << " " << options;
    std::string answer;
    if (!frames.empty()) {
      const Value& f = frames[0];
      answer = *f.find("success")->asBool()
                   ? (f.find("data") ? RecordingFacade::json(*f.find("data")) : "resolve")
                   : "reject " + *f.find("error")->find("message")->asString();
    }
    return {answer, facade_->calls};
  }

  testsupport::DispatchTestEnvironment env_;
  std::shared_ptr<RecordingFacade> facade_ = std::make_shared<RecordingFacade>();
  std::shared_ptr<platform::CAPBridge> bridge_;
};

struct Case {
  const char* method;
  const char* options;
  const char* answer;
  std::vector<std::string> calls;
};

TEST_F(KavrelinAnalyticsTest, EachMethodChecksItsOptionsCallsTheFacadeAndAnswers) {
  const Case cases[] = {
      {"setUserId", R"({"userId":"u1"})", "resolve", {"setUserID u1"}},
      {"setUserId", R"({"userId":5})", "reject userId property is missing", {}},
      {"setUserProperty", R"({"name":"n","value":"v"})", "resolve", {"setUserProperty n=v"}},
      {"setUserProperty", R"({})", "reject name property is missing", {}},
      {"setUserProperty", R"({"value":"v"})", "reject name property is missing", {}},
      {"setUserProperty", R"({"name":"n","value":3})", "reject value property is missing", {}},
      {"getAppInstanceId", R"({})", R"({"instanceId":null})", {}},
      {"reset", R"({})", "resolve", {"reset"}},
      {"setCollectionEnabled", R"({"enabled":true})", "resolve", {"setCollectionEnabled true"}},
      {"setCollectionEnabled", R"({})", "resolve", {"setCollectionEnabled false"}},
      {"setCollectionEnabled", R"({"enabled":1})", "resolve", {"setCollectionEnabled false"}},
      {"setSessionTimeoutDuration",
       R"({"duration":60})",
       "resolve",
       {"setSessionTimeout 60.000000"}},
      {"setSessionTimeoutDuration", R"({})", "resolve", {"setSessionTimeout 1800.000000"}},
      {"setSessionTimeoutDuration",
       R"({"duration":"60"})",
       "resolve",
       {"setSessionTimeout 1800.000000"}},
      {"setSessionTimeoutDuration",
       R"({"duration":2.5})",
       "resolve",
       {"setSessionTimeout 1800.000000"}},
      {"enable", R"({})", "resolve", {"setCollectionEnabled true"}},
      {"disable", R"({})", "resolve", {"setCollectionEnabled false"}},
      {"setScreenName", R"({})", "reject screenName property is missing", {}},
      {"logEvent", R"({})", "reject Event name is required and can't be empty", {}},
      {"logEvent", R"({"name":""})", "reject Event name is required and can't be empty", {}},
      {"logEvent", R"({"name":"e"})", "resolve", {"logEvent e nil"}},
      {"logEvent", R"({"name":"e","params":{}})", "resolve", {"logEvent e nil"}},
      {"logEvent", R"({"name":"e","params":[1]})", "resolve", {"logEvent e nil"}},
      {"logEvent",
       R"({"name":"e","params":{"a":null,"b":true}})",
       "resolve",
       {R"(logEvent e {"a":null,"b":true})"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.options);
    auto [answer, calls] = call(c.method, c.options);
    EXPECT_EQ(answer, c.answer);
    EXPECT_EQ(calls, c.calls);
  }
  facade_->instanceId = "abc";
  EXPECT_EQ(call("getAppInstanceId", "{}").first, R"({"instanceId":"abc"})");
}

TEST_F(KavrelinAnalyticsTest, ItemQuantitiesMustBeWholeNumbersAndAreStoredAsIntegers) {
  const Case cases[] = {
      {"logEvent",
       R"({"name":"p","params":{"items":[{"quantity":2},{"quantity":"3"}]}})",
       "reject Item quantity must be specified as an integer value",
       {}},
      {"logEvent",
       R"({"name":"p","params":{"items":[{"quantity":2.0}]}})",
       "resolve",
       {R"(logEvent p {"items":[{"quantity":2}]})"}},
      {"logEvent",
       R"({"name":"p","params":{"items":[{"quantity":3e0},{},{"id":"x"}]}})",
       "resolve",
       {R"(logEvent p {"items":[{"quantity":3},{},{"id":"x"}]})"}},
      {"logEvent",
       R"({"name":"p","params":{"items":[1,{"quantity":"x"}]}})",
       "resolve",
       {R"(logEvent p {"items":[1,{"quantity":"x"}]})"}},
      {"logEvent",
       R"({"name":"p","params":{"items":"none"}})",
       "resolve",
       {R"(logEvent p {"items":"none"})"}},
      {"logEvent",
       R"({"name":"p","params":{"items":[{"quantity":true},{"quantity":false}]}})",
       "resolve",
       {R"(logEvent p {"items":[{"quantity":1},{"quantity":0}]})"}},
      {"logEvent",
       R"({"name":"p","params":{"items":[{"quantity":2.5}]}})",
       "reject Item quantity must be specified as an integer value",
       {}},
      {"logEvent",
       R"({"name":"p","params":{"items":[{"quantity":1e19}]}})",
       "reject Item quantity must be specified as an integer value",
       {}},
      {"logEvent",
       R"({"name":"p","params":{"items":[{"quantity":null}]}})",
       "reject Item quantity must be specified as an integer value",
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options);
    auto [answer, calls] = call(c.method, c.options);
    EXPECT_EQ(answer, c.answer);
    EXPECT_EQ(calls, c.calls);
  }
}

TEST_F(KavrelinAnalyticsTest, ScreenViewsAreLoggedOnTheMainQueueAfterTheAnswer) {
  struct ScreenCase {
    const char* options;
    std::string logged;
  };
  const ScreenCase cases[] = {
      {R"({"screenName":"home","nameOverride":"Home"})",
       R"(logEvent screen_view {"screen_class":"Home","screen_name":"home"})"},
      {R"({"screenName":"home"})",
       R"(logEvent screen_view {"screen_class":null,"screen_name":"home"})"},
      {R"({"screenName":"home","nameOverride":7})",
       R"(logEvent screen_view {"screen_class":null,"screen_name":"home"})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options);
    auto [answer, calls] = call("setScreenName", c.options);
    EXPECT_EQ(answer, "resolve");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0], c.logged);
    EXPECT_TRUE(facade_->onMain.back());
  }
}

}  // namespace
