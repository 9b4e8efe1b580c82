// The measurement plug-in over the measurement library itself: the user identifier, the session
// timeout, the app instance identifier (null only while analytics storage is denied) and the
// reset reach the library's public calls; an event answered "success" is stored before the app
// exits.
#include <stdlib.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <regex>
#include <thread>

#include "AppMeasurement/engine/APMAnalytics.h"
#include "AppMeasurement/engine/APMFeatureServices.h"
#include "AppMeasurement/engine/KVLAnalytics.h"
#include "AppMeasurement/foundation/APMConsentSettingsUtil.h"
#include "AppMeasurement/foundation/APMFilePaths.h"
#include "AppMeasurement/foundation/APMPersistedConfig.h"
#include "AppMeasurement/foundation/APMRemoteConfig.h"
#include "AppMeasurement/foundation/APMScheduler.h"
#include "AppMeasurement/foundation/APMUserAttribute.h"
#include "AppMeasurement/foundation/APMUserDefaults.h"
#include "AppMeasurement/storage/APMDatabase.h"
#include "app/AppExit.h"
#include "app/KavrelinAnalytics/EngineAnalyticsFacade.h"
#include "app/KavrelinAnalytics/KavrelinAnalytics.h"
#include "platform/capacitor/CAPBridge.h"
#include "platform/core/KVLApp.h"
#include "platform/core/KVLOptions.h"
#include "platform/foundation/AppContainer.h"
#include "platform/foundation/JSONSerialization.h"
#include "platform/runtime/ClassRegistry.h"
#include "tests/platform/capacitor/RecordingPage.h"
#include "tests/support/ClosedPort.h"
#include "tests/support/DispatchTestEnvironment.h"
#include "tests/support/QueueHold.h"
#include "tests/support/ServiceProcess.h"

namespace {

using platform::Value;

// The session reporter seam, recording the timeout the engine hands it.
class TimeoutRecorder : public APMSessionReporting {
 public:
  void setTimeoutSessionInterval(double seconds) override { seconds_.store(seconds); }
  double seconds() const { return seconds_.load(); }

 private:
  std::atomic<double> seconds_{-1};
};

class KavrelinAnalyticsEngineTest : public ::testing::Test {
 protected:
  static constexpr const char* kAppID = "1:1234567890:ios:abcdef";

  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "kvl-plugin-XXXXXX");
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    base_ = pattern;
    ASSERT_TRUE(platform::AppContainer::setRoot(base_ / "container").ok());
    APMAnalytics::resetForTesting();
    APMPersistedConfig::sharedInstance()->clearValues();
    APMAnalytics::settings()->clearAllData();
    APMConsentSettingsUtil::clearAllSettings();
    // No service is needed here: every host is a port held closed, never the local service's.
    APMRemoteConfig::setHosts(testsupport::processClosedHosts<APMRemoteConfig::Hosts>());
    KVLAnalyticsRegisterLibrary();
    APMFeatureServices services = APMFeatureServices::neutral();
    services.sessionReporter = sessions_;
    APMFeatureServices::install(services);
    KVLApp::configureWithOptions(std::make_shared<KVLOptions>(kAppID, true, false));
    env_.waitUntilIdle();
    ASSERT_TRUE(APMMeasurement::hasSharedInstance());
    KVLAnalyticsFacade::install(std::make_shared<EngineAnalyticsFacade>());
    bridge_ = platform::CAPBridge::create();
    bridge_->registerPlugin(
        std::make_shared<KavrelinAnalytics>(bridge_, "KavrelinAnalytics", "KavrelinAnalytics"));
  }
  void TearDown() override {
    env_.waitUntilIdle();
    KVLAnalyticsFacade::install(nullptr);
    APMConsentSettingsUtil::clearAllSettings();
    APMAnalytics::resetForTesting();
    platform::ClassRegistry::shared().clear();
    KVLApp::resetForTesting();
    APMFeatureServices::install(APMFeatureServices::neutral());
    env_.finish();
    std::error_code ignored;
    std::filesystem::remove_all(base_, ignored);
  }

  // The answer's JSON ("resolve" without data).
  std::string call(const std::string& method, const std::string& options) {
    auto page = std::make_shared<testsupport::RecordingPage>();
    bridge_->handleFrame(
        page, R"({"callbackId":"1","pluginId":"KavrelinAnalytics","methodName":")" + method +
                  R"(","options":)" + options + "}");
    env_.waitUntilIdle();
    auto frames = page->frames();
    if (frames.size() != 1) return "no answer";
    const Value& frame = frames[0];
    if (!*frame.find("success")->asBool()) return "reject";
    const Value* data = frame.find("data");
    return data ? platform::JSONSerialization::dataWithJSONObject(*data).value_or("?") : "resolve";
  }

  std::optional<APMUserAttribute> stored(const std::string& name) {
    std::optional<APMUserAttribute> found;
    std::shared_ptr<APMMeasurement> engine = APMMeasurement::sharedInstance();
    engine->scheduler()->dispatchSyncOnWorkerQueueBlockID(
        "test", [&] { found = engine->database()->userAttributeWithName(name, nullptr); });
    return found;
  }

  std::filesystem::path base_;
  std::shared_ptr<TimeoutRecorder> sessions_ = std::make_shared<TimeoutRecorder>();
  testsupport::DispatchTestEnvironment env_;
  std::shared_ptr<platform::CAPBridge> bridge_;
};

TEST_F(KavrelinAnalyticsEngineTest, UserAndSessionCallsReachTheLibrary) {
  EXPECT_EQ(call("setUserId", R"({"userId":"web-user"})"), "resolve");
  ASSERT_TRUE(stored("_id"));
  EXPECT_EQ(*stored("_id")->value().stringValue(), "web-user");
  EXPECT_EQ(stored("_id")->origin(), "app");

  EXPECT_EQ(call("setSessionTimeoutDuration", "{}"), "resolve");
  // The running engine hands the timeout to its session reporter.
  EXPECT_EQ(sessions_->seconds(), 1800.0);
}

TEST_F(KavrelinAnalyticsEngineTest, AppInstanceIdIsNullOnlyWhileStorageIsDenied) {
  std::string granted = call("getAppInstanceId", "{}");
  std::smatch match;
  ASSERT_TRUE(
      std::regex_match(granted, match, std::regex(R"re(\{"instanceId":"([0-9A-Fa-f]{32})"\})re")))
      << granted;
  std::string identifier = match[1];
  KVLAnalytics::setConsent({{"analytics_storage", Value("denied")}});
  EXPECT_EQ(call("getAppInstanceId", "{}"), R"({"instanceId":null})");
  KVLAnalytics::setConsent({{"analytics_storage", Value("granted")}});
  EXPECT_EQ(call("getAppInstanceId", "{}"), granted);

  // A reset makes a new identifier, answered at once.
  EXPECT_EQ(call("reset", "{}"), "resolve");
  EXPECT_TRUE(APMAnalytics::needFirstOpenAfterReset() || !APMAnalytics::appInstanceIDAfterReset());
  std::string after = call("getAppInstanceId", "{}");
  EXPECT_NE(after, granted);
  EXPECT_TRUE(std::regex_match(after, std::regex(R"re(\{"instanceId":"[0-9A-Fa-f]{32}"\})re")))
      << after;
}

// Ctrl-C while a page logs events. A call the bridge took before the exit began but answers only
// after (held here on the bridge queue until then) is stored by the time the exit goes on; a
// call read once the exit has begun is refused, never answered "success".
TEST_F(KavrelinAnalyticsEngineTest, AnEventAnsweredBeforeTheExitIsStoredBeforeItGoesOn) {
  auto page = std::make_shared<testsupport::RecordingPage>();
  auto logEvent = [&](const std::string& id, const std::string& name) {
    bridge_->handleFrame(page, R"({"callbackId":")" + id +
                                   R"(","pluginId":"KavrelinAnalytics","methodName":"logEvent",)"
                                   R"("options":{"name":")" +
                                   name + R"("}})");
  };
  std::atomic<bool> done{false};
  std::thread leaving;
  {
    testsupport::QueueHold hold(bridge_->queue());
    logEvent("1", "taken_before_exit");
    leaving = std::thread([&] {
      AppExit::storeAnsweredCalls(bridge_);
      done = true;
    });
    while (!bridge_->refusesNewCalls()) std::this_thread::yield();
    logEvent("2", "sent_during_exit");
  }
  // The exit takes a turn of the main queue, which this thread runs.
  while (!done) {
    env_.drainMain();
    std::this_thread::yield();
  }
  leaving.join();
  // Read at once with the sqlite3 tool: nothing here waits for the library's queues.
  const std::string stored = testsupport::runCommand(
      "sqlite3 '" + APMApplicationSupportPath("orvane-app-measurement.sql") +
      "' \"SELECT name FROM events WHERE name LIKE '%_exit' ORDER BY name\"");
  EXPECT_EQ(stored, "taken_before_exit\n");
  logEvent("3", "sent_after_exit");

  std::map<std::string, std::string> answers;  // callbackId -> how it was answered
  for (const Value& frame : page->frames()) {
    const Value* error = frame.find("error");
    answers[*frame.find("callbackId")->asString()] = *frame.find("success")->asBool() ? "success"
                                                     : error && error->find("code")
                                                         ? *error->find("code")->asString()
                                                         : "rejected";
  }
  EXPECT_EQ(answers, (std::map<std::string, std::string>{
                         {"1", "success"}, {"2", "UNAVAILABLE"}, {"3", "UNAVAILABLE"}}));
}

}  // namespace
