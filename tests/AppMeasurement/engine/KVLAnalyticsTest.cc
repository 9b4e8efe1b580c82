// The public facade started by the platform core: the application's URLs, user activities and
// background sessions, the interop form of internal events, and the warning about parameter
// values typed Swift code could not bridge.
#include <map>

#include "AppMeasurement/engine/KVLAnalytics.h"
#include "AppMeasurement/foundation/APMMonitor.h"
#include "platform/core/KVLOptions.h"
#include "platform/runtime/SwiftValue.h"
#include "platform/utilities/OULAppEnvironmentUtil.h"
#include "tests/AppMeasurement/engine/EngineTestSupport.h"

namespace {

using enginetest::EngineTest;

class FacadeTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    APMPersistedConfig::sharedInstance()->clearValues();
    // A system that has universal links.
    OULAppEnvironmentUtil::Configuration device = OULAppEnvironmentUtil::defaultConfiguration();
    device.systemVersion = "17.2";
    OULAppEnvironmentUtil::setConfiguration(device);
  }
  void TearDown() override {
    EngineTest::TearDown();
    OULAppEnvironmentUtil::setConfiguration(std::nullopt);
  }

  // Measurement started by the platform core, as the app starts it; every event is heard.
  void start() {
    KVLAnalyticsRegisterLibrary();
    KVLApp::configureWithOptions(std::make_shared<KVLOptions>(kAppID, true, false));
    KVLAnalytics::addLogEventListener([this](const APMEvent& event) {
      std::lock_guard<std::mutex> lock(mutex_);
      heard_.push_back(event);
    });
    env.waitUntilIdle();
  }

  std::vector<APMEvent> heard(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<APMEvent> named;
    for (const APMEvent& event : heard_) {
      if (event.name() == name) named.push_back(event);
    }
    return named;
  }

  // The parameter as stored with the raw event of that name (ad events are stored, not heard).
  std::optional<APMPBEventParam> storedParameter(const std::string& event,
                                                 const std::string& parameter) {
    std::optional<APMPBEventParam> found;
    onWorker([&] {
      for (const APMRawEventData& raw : allRawEvents()) {
        if (NANOGetString(*raw.rawEvent(), APMPBEvent::kName).value_or("") != event) continue;
        for (const APMPBEventParam& stored :
             NANOGetMessageArray<APMPBEventParam>(*raw.rawEvent(), APMPBEvent::kParams)
                 .value_or(std::vector<APMPBEventParam>{})) {
          if (NANOGetString(stored, APMPBEventParam::kName).value_or("") == parameter) {
            found = stored;
          }
        }
      }
    });
    return found;
  }

  static std::string text(const APMEvent& event, const std::string& parameter) {
    const APMValue* value = event.parameter(parameter);
    return value && value->stringValue() ? *value->stringValue() : "";
  }

  std::mutex mutex_;
  std::vector<APMEvent> heard_;
};

// An opened URL and a universal link each become one campaign; only the opened URL reaches the
// open-URL listener; a background session's completion runs once.
TEST_F(FacadeTest, ApplicationURLsReachTheEngine) {
  start();
  std::vector<std::string> opened;
  KVLAnalytics::setOpenURLListener([&](const std::string& url) { opened.push_back(url); });
  const std::string url = "com.orvane.kavrelin.app://open?utm_source=news&utm_campaign=spring";
  KVLAnalytics::handleOpenURL(url);
  env.waitUntilIdle();
  KVLAnalytics::handleUserActivity(
      {"NSUserActivityTypeBrowsingWeb", "https://app.example/item?utm_source=web", {}});
  KVLAnalytics::handleUserActivity({"com.example.handoff", "", {}});
  env.waitUntilIdle();
  std::vector<APMEvent> campaigns = heard("_cmp");
  ASSERT_EQ(campaigns.size(), 2u);
  EXPECT_EQ(text(campaigns[0], "source"), "news");
  EXPECT_EQ(text(campaigns[0], "campaign"), "spring");
  EXPECT_EQ(text(campaigns[1], "source"), "web");
  EXPECT_EQ(opened, std::vector<std::string>{url});

  int completions = 0;
  KVLAnalytics::handleEventsForBackgroundURLSession("com.orvane.session", [&] { ++completions; });
  env.waitUntilIdle();
  EXPECT_EQ(completions, 1);
}

// The interop instance form: for "am" a decimal "_aeid" string becomes a typed integer (its
// integer part, saturated); another string stays and is logged; other origins and non-string
// values pass unchanged.
TEST_F(FacadeTest, AdEventIdentifierOfTheAdsOriginBecomesAnInteger) {
  struct Case {
    const char* origin;
    platform::Value aeid;
    std::optional<int64_t> integer;  // else the value stays as given
    bool logged;
  };
  const Case cases[] = {
      {"am", platform::Value("12345"), 12345, false},
      {"am", platform::Value("+42."), 42, false},
      {"am", platform::Value("-7.9"), -7, false},
      {"am", platform::Value(".5"), 0, false},
      {"am", platform::Value("99999999999999999999"), std::numeric_limits<int64_t>::max(), false},
      {"am", platform::Value("-99999999999999999999"), std::numeric_limits<int64_t>::min(), false},
      {"am", platform::Value("12a"), std::nullopt, true},
      {"am", platform::Value(""), std::nullopt, true},
      {"am", platform::Value(int64_t{5}), std::nullopt, false},
      {"fcm", platform::Value("12345"), std::nullopt, false},
  };
  // Called before the start: the calls wait in the queue, and the only line the monitor
  // samples meanwhile is the one of the call (level 2 is never printed, only sampled).
  std::shared_ptr<APMMonitor> monitor = APMMonitor::monitor();
  monitor->setSampleRandomForTesting([](uint32_t) { return 0u; });
  for (size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(std::string(c.origin) + " " + c.aeid.description());
    monitor->clearMonitoringData();
    KVLAnalytics::sharedInstance()->logInternalEventWithOriginNameParameters(
        c.origin, "_ad_" + std::to_string(i),
        {{"_aeid", APMObject(c.aeid)}, {"other", APMObject(c.aeid)}});
    env.advance(10);
    std::string sample = monitor->monitoringDataForDispatch(1, 0).value_or("");
    EXPECT_EQ(sample.find("AdEvent ID string is not a number") != std::string::npos, c.logged)
        << sample;
  }
  start();
  engine = APMMeasurement::sharedInstance();
  for (size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(std::string(c.origin) + " " + c.aeid.description());
    std::string name = "_ad_" + std::to_string(i);
    std::optional<APMPBEventParam> aeid = storedParameter(name, "_aeid");
    std::optional<APMPBEventParam> other = storedParameter(name, "other");
    ASSERT_TRUE(aeid && other);
    if (c.integer) {
      EXPECT_EQ(NANOGetInt64(*aeid, APMPBEventParam::kIntValue), *c.integer);
      EXPECT_FALSE(NANOHasField(*aeid, APMPBEventParam::kStringValue));
    } else {
      // As given, as the parameter beside it that is never read.
      EXPECT_EQ(NANOGetString(*aeid, APMPBEventParam::kStringValue),
                NANOGetString(*other, APMPBEventParam::kStringValue));
      EXPECT_EQ(NANOGetInt64(*aeid, APMPBEventParam::kIntValue),
                NANOGetInt64(*other, APMPBEventParam::kIntValue));
    }
  }
}

// A value Swift could not bridge, anywhere in the parameters, is warned about once the Swift
// runtime's class exists; the event is logged all the same.
TEST_F(FacadeTest, UnbridgeableSwiftValuesAreWarnedAboutAndTheEventGoesOn) {
  auto swift = [] { return platform::Value(std::make_shared<platform::SwiftValue>()); };
  auto other = [] { return platform::Value(std::make_shared<platform::RuntimeObject>()); };
  using Dictionary = platform::Value::Dictionary;
  using Array = platform::Value::Array;
  struct Case {
    const char* what;
    bool swiftRuntime;
    Dictionary parameters;
    bool warned;
  };
  const Case cases[] = {
      {"top level", true, {{"box", swift()}}, true},
      {"in an array", true, {{"list", Array{1, "x", swift()}}}, true},
      {"in an array's dictionary", true, {{"items", Array{Dictionary{{"b", swift()}}}}}, true},
      {"in a dictionary's array", true, {{"d", Dictionary{{"e", Array{Array{swift()}}}}}}, true},
      {"another object", true, {{"box", other()}, {"list", Array{other()}}}, false},
      {"plain values", true, {{"n", 1}, {"s", "x"}, {"d", Dictionary{{"a", Array{}}}}}, false},
      {"no Swift runtime", false, {{"box", swift()}}, false},
  };
  start();
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.swiftRuntime) {
      platform::SwiftValue::registerInRuntime();
    } else {
      platform::SwiftValue::unregisterFromRuntime();
    }
    EXPECT_EQ(APMHasUnbridgeableSwiftValue(c.parameters), c.warned);
    capture.clear();
    std::string name = "logged_" + std::to_string(index++);
    KVLAnalytics::logEventWithOrigin("app", name, c.parameters);
    env.waitUntilIdle();
    EXPECT_EQ(capture.contains("I-ACS025040"), c.warned);
    EXPECT_EQ(heard(name).size(), 1u);
  }
}

}  // namespace
