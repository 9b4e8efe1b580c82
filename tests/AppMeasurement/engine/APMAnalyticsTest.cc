// The public-call layer: the start's checks and its once-only block, the order of calls made
// before start, and the facade's start through the platform core.
#include <atomic>
#include <map>
#include <thread>

#include "AppMeasurement/engine/KVLAnalytics.h"
#include "AppMeasurement/foundation/APMIdentifiers.h"
#include "AppMeasurement/foundation/APMMonitor.h"
#include "platform/core/KVLOptions.h"
#include "tests/AppMeasurement/engine/EngineTestSupport.h"

namespace {

using enginetest::EngineTest;

class AnalyticsTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    APMAnalytics::resetForTesting();
    APMPersistedConfig::sharedInstance()->clearValues();
  }

  // The events the listeners heard, in order.
  std::vector<APMEvent> listen() {
    APMAnalytics::addLogEventListener([this](const APMEvent& event) {
      std::lock_guard<std::mutex> lock(mutex_);
      heard_.push_back(event);
    });
    return {};
  }
  std::vector<APMEvent> heard() {
    std::lock_guard<std::mutex> lock(mutex_);
    return heard_;
  }

  std::mutex mutex_;
  std::vector<APMEvent> heard_;
};

// Calls made before start wait, then reach the engine in call order with the timestamps taken
// at the calls.
TEST_F(AnalyticsTest, CallsBeforeStartArriveInCallOrderWithCallTimestamps) {
  listen();
  constexpr int kThreads = 4;
  constexpr int kPerThread = 250;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kPerThread; ++i) {
        APMAnalytics::logEventWithName(
            "call_" + std::to_string(t),
            platform::Value::Dictionary{{"seq", platform::Value(int64_t{i})}});
        // Each call's own time: the clock moves while the calls are made.
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  env.waitUntilIdle();
  EXPECT_TRUE(heard().empty());
  double startTime = env.now();
  env.advance(5);
  APMAnalytics::startWithAppID(kAppID, "app", {});
  env.waitUntilIdle();
  std::vector<APMEvent> events;
  for (const APMEvent& event : heard()) {
    if (event.name().rfind("call_", 0) == 0) events.push_back(event);
  }
  ASSERT_EQ(events.size(), static_cast<size_t>(kThreads * kPerThread));
  std::vector<int64_t> next(kThreads, 0);
  for (const APMEvent& event : events) {
    int thread = event.name().back() - '0';
    EXPECT_EQ(event.parameter("seq")->int64Value(), next[thread]++);
    EXPECT_LE(event.timestamp(), startTime);
  }
}

// A public event keeps what it had at the call: the parameters as they were (the caller may
// change its dictionary afterwards) and the time; a refused name becomes the error event
// instead of the event.
TEST_F(AnalyticsTest, EventsKeepTheParametersAndTimeOfTheCall) {
  listen();
  const double called = env.now();
  platform::Value::Dictionary parameters{{"value", platform::Value(int64_t{1})}};
  APMAnalytics::logEventWithName("first_call", parameters);
  parameters["value"] = platform::Value(int64_t{2});
  env.advance(3);
  APMAnalytics::logEventWithName("_refused", parameters);
  APMAnalytics::logEventWithName("second_call", parameters);
  parameters.clear();
  env.advance(3);
  APMAnalytics::startWithAppID(kAppID, "app", {});
  env.waitUntilIdle();
  std::map<std::string, APMEvent> byName;
  for (const APMEvent& event : heard()) byName.emplace(event.name(), event);
  ASSERT_TRUE(byName.contains("first_call"));
  ASSERT_TRUE(byName.contains("second_call"));
  EXPECT_EQ(byName.at("first_call").parameter("value")->int64Value(), 1);
  EXPECT_EQ(byName.at("second_call").parameter("value")->int64Value(), 2);
  EXPECT_DOUBLE_EQ(byName.at("first_call").timestamp(), called);
  EXPECT_DOUBLE_EQ(byName.at("second_call").timestamp(), called + 3);
  EXPECT_FALSE(byName.contains("_refused"));
  EXPECT_TRUE(byName.contains("_err"));
}

// A refused public name is checked at the call: its error event has the call's time and comes
// before the calls made after it, even when all of them wait for the start.
TEST_F(AnalyticsTest, RefusedNameLogsItsErrorEventAtTheCall) {
  struct Case {
    const char* name;
    int64_t errorCode;
  };
  const Case cases[] = {
      {"oa_refused", 13},  // reserved prefix
      {"_refused", 2},     // no public name
      {"1bad", 2},         // no name at all
  };
  for (const Case& c : cases) {
    APMAnalytics::resetForTesting();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      heard_.clear();
    }
    listen();
    const double called = env.now();
    APMAnalytics::logEventWithName(c.name, {});
    env.advance(3);
    APMAnalytics::logEventWithName("later", {});
    env.advance(5);
    APMAnalytics::startWithAppID(kAppID, "app", {});
    env.waitUntilIdle();
    std::vector<APMEvent> seen;
    for (const APMEvent& event : heard()) {
      if (event.name() == "_err" || event.name() == "later") seen.push_back(event);
    }
    ASSERT_EQ(seen.size(), 2u) << c.name;
    EXPECT_EQ(seen[0].name(), "_err") << c.name;
    EXPECT_DOUBLE_EQ(seen[0].timestamp(), called) << c.name;
    ASSERT_NE(seen[0].parameter("_err"), nullptr) << c.name;
    EXPECT_EQ(seen[0].parameter("_err")->int64Value(), c.errorCode) << c.name;
    EXPECT_EQ(seen[1].name(), "later") << c.name;
    EXPECT_DOUBLE_EQ(seen[1].timestamp(), called + 3) << c.name;
  }
}

// The start's checks run on every call; the block runs once.
TEST_F(AnalyticsTest, StartChecks) {
  struct Case {
    const char* registered;  // class present in the registry, or ""
    const char* origin;
    platform::Value::Dictionary options;
    const char* code;  // a message of a printed level, or "" (25030 is of a silent level)
    bool starts;
  };
  const Case cases[] = {
      {"KVLADatabase", "ka", {}, "I-ACS025029", false},
      {"KVLAnalytics", "app", {}, "I-ACS025026", false},
      {"", "app", {{"KAVRELIN_ANALYTICS_COLLECTION_ENABLED", platform::Value(true)}}, "", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    APMAnalytics::resetForTesting();
    platform::ClassRegistry::shared().clear();
    if (*c.registered) {
      platform::ClassRegistry::shared().registerClass(
          c.registered, [] { return std::shared_ptr<platform::RuntimeObject>(); });
    }
    capture.clear();
    APMAnalytics::startWithAppID(kAppID, c.origin, c.options);
    env.waitUntilIdle();
    if (*c.code) {
      EXPECT_TRUE(capture.contains(c.code));
    }
    EXPECT_EQ(APMMeasurement::hasSharedInstance(), c.starts);
  }
  // A second start changes nothing but still checks the tag.
  APMAnalytics::startWithAppID("1:other:ios:ffff", "app",
                               {{"app_measurement_log_tag", platform::Value("<Second>")}});
  env.waitUntilIdle();
  EXPECT_EQ(APMMonitor::monitor()->logTag(), "<Second>");
  EXPECT_EQ(APMMeasurement::sharedInstance()->appID(), kAppID);
}

// Asking for the engine before any creation attempt, with the facade present, warns the
// developer on the console, never in the uploaded health data.
TEST_F(AnalyticsTest, SharedInstanceBeforeCreationWarnsOnTheConsole) {
  APMMonitor::monitor()->setSampleRandomForTesting([](uint32_t) { return 0u; });
  const std::string warning =
      "[com.orvane.kavrelin.analytics] <AppMeasurement>[I-ACS023147] WARNING: Orvane Analytics "
      "for Kavrelin has not been created. Please, configure Kavrelin by calling [KVLApp "
      "configure]";
  struct Case {
    const char* what;
    bool facade;     // "KVLAnalytics" registered
    bool attempted;  // a creation was attempted (with an empty app identifier: no engine)
    bool warns;
  };
  const Case cases[] = {
      {"facade, no attempt", true, false, true},
      {"no facade", false, false, false},
      {"facade, after an attempt", true, true, false},
  };
  for (const Case& c : cases) {
    APMMeasurement::resetSharedInstanceForTesting();
    platform::ClassRegistry::shared().clear();
    if (c.facade) {
      platform::ClassRegistry::shared().registerClass(
          "KVLAnalytics", [] { return std::shared_ptr<platform::RuntimeObject>(); });
    }
    if (c.attempted) APMMeasurement::initializeSharedInstance("", true, false, {});
    APMMonitor::monitor()->clearMonitoringData();
    capture.clear();
    EXPECT_EQ(APMMeasurement::sharedInstance(), nullptr) << c.what;
    env.waitUntilIdle();
    EXPECT_EQ(capture.contains(warning), c.warns) << c.what;
    env.advance(10);
    std::string health = APMMonitor::monitor()->monitoringDataForDispatch(1, 0).value_or("");
    EXPECT_EQ(health.find("has not been created"), std::string::npos) << c.what << ": " << health;
  }
}

// An empty app identifier leaves the process without an engine; events drop silently.
TEST_F(AnalyticsTest, EmptyAppIDMeansNoEngineForGood) {
  listen();
  APMAnalytics::startWithAppID("", "app", {});
  APMAnalytics::logEventWithName("lost", {});
  env.waitUntilIdle();
  EXPECT_FALSE(APMMeasurement::hasSharedInstance());
  APMMeasurement::initializeSharedInstance(kAppID, true, false, {});
  EXPECT_FALSE(APMMeasurement::hasSharedInstance());
  EXPECT_TRUE(heard().empty());
}

// "screen_view" goes to the screen reporter and never into the operation queue.
TEST_F(AnalyticsTest, ScreenViewNeverReachesTheEngine) {
  listen();
  APMAnalytics::startWithAppID(kAppID, "app", {});
  env.waitUntilIdle();
  APMAnalytics::logEventWithName("screen_view", {{"screen_name", platform::Value("Home")}});
  APMAnalytics::logEventWithName("_reserved", {});
  env.waitUntilIdle();
  for (const APMEvent& event : heard()) {
    EXPECT_NE(event.name(), "screen_view");
    EXPECT_NE(event.name(), "_reserved");
  }
  // The refused name became the error event "_err".
  bool sawError = false;
  for (const APMEvent& event : heard()) sawError |= event.name() == "_err";
  std::vector<std::string> names;
  for (const APMEvent& event : heard()) names.push_back(event.name());
  EXPECT_TRUE(sawError) << testing::PrintToString(names);
}

// Deactivated collection: enabling persists state 1 when asked but the engine stays off.
TEST_F(AnalyticsTest, DeactivatedCollectionStaysOff) {
  APMAnalytics::startWithAppID(
      kAppID, "app", {{"KAVRELIN_ANALYTICS_COLLECTION_DEACTIVATED", platform::Value(true)}});
  env.waitUntilIdle();
  APMAnalytics::setAnalyticsEnabled(true, true);
  env.waitUntilIdle();
  EXPECT_EQ(APMPersistedConfig::sharedInstance()->measurementEnabledState(), 1);
  EXPECT_FALSE(APMMeasurement::sharedInstance()->isEnabled());
}

// The platform core starts measurement through the facade; before the default app is
// configured the facade refuses events (25018) rather than queueing them.
TEST_F(AnalyticsTest, FacadeStartsThroughThePlatformCore) {
  listen();
  KVLAnalyticsRegisterLibrary();
  KVLAnalytics::logEventWithName("too_early", {});
  env.waitUntilIdle();
  EXPECT_TRUE(capture.contains("I-ACS025018"));
  KVLApp::configureWithOptions(std::make_shared<KVLOptions>(kAppID, true, false));
  KVLAnalytics::logEventWithName("in_time", {});
  env.waitUntilIdle();
  ASSERT_TRUE(APMMeasurement::hasSharedInstance());
  EXPECT_EQ(APMAnalytics::origin(), "ka");
  std::vector<std::string> names;
  for (const APMEvent& event : heard()) names.push_back(event.name());
  EXPECT_EQ(std::count(names.begin(), names.end(), "in_time"), 1) << testing::PrintToString(names);
  EXPECT_EQ(std::count(names.begin(), names.end(), "too_early"), 0);
  // The core's switch reaches the engine through its notification.
  KVLApp::defaultApp()->analyticsConfiguration()->setAnalyticsCollectionEnabled(false);
  env.waitUntilIdle();
  EXPECT_FALSE(APMMeasurement::sharedInstance()->isEnabled());
}

}  // namespace

namespace {

// The call that must run before the ones after it: it waits only after start, until the earlier
// calls are handed on, and the calls of the next half second wait in the suspended queue.
TEST_F(AnalyticsTest, QueueThenWaitHoldsLaterCallsForHalfASecond) {
  std::atomic<int> ran{0};
  // Before start: queued, nothing waits, the queue stays suspended.
  APMAnalytics::queueOperationWithBlockThenWait([&] { ++ran; });
  env.waitUntilIdle();
  EXPECT_EQ(ran.load(), 0);
  APMAnalytics::startWithAppID(kAppID, "app", {});
  env.waitUntilIdle();
  EXPECT_EQ(ran.load(), 1);

  APMAnalytics::queueOperationWithBlockThenWait([&] { ++ran; });
  APMAnalytics::queueOperationWithBlock([&] { ran += 10; });
  env.waitUntilIdle();
  EXPECT_EQ(ran.load(), 2);
  env.advance(0.49);
  env.waitUntilIdle();
  EXPECT_EQ(ran.load(), 2);
  env.advance(0.01);
  env.waitUntilIdle();
  EXPECT_EQ(ran.load(), 12);
}

// A tag-manager library registered by name.
struct Velquor : platform::RuntimeObject, APMVelquorInitializing {
  void initializeSharedInstance() override { ++started; }
  static inline std::atomic<int> started{0};
};

// The start hands its origin to the identifiers and starts a registered tag-manager library.
TEST_F(AnalyticsTest, StartSetsTheOriginAndStartsTheTagManager) {
  platform::ClassRegistry::shared().registerClass("Velquor", [] {
    return std::shared_ptr<platform::RuntimeObject>(std::make_shared<Velquor>());
  });
  APMAnalytics::startWithAppID(kAppID, "app", {});
  env.waitUntilIdle();
  EXPECT_EQ(APMIdentifiers::sharedInstance().origin(), "app");
  EXPECT_EQ(Velquor::started.load(), 1);
}

}  // namespace
