// The application-delegate interceptor: installed once after the engine exists (not with
// collection deactivated), URLs reach the open-URL listener through the public-call layer,
// background-session events reach the network object, and nothing is consumed.
#include "AppMeasurement/engine/APMAppDelegateInterceptor.h"
#include "platform/utilities/OULAppDelegateSwizzler.h"
#include "platform/utilities/OULAppEnvironmentUtil.h"
#include "tests/AppMeasurement/engine/EngineTestSupport.h"

namespace {

using enginetest::EngineTest;

class InterceptorTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    OULAppDelegateSwizzler::resetForTesting();
  }
  void TearDown() override {
    OULAppEnvironmentUtil::setConfiguration(std::nullopt);
    OULAppDelegateSwizzler::resetForTesting();
    EngineTest::TearDown();
  }
  void start(bool deactivated = false) {
    APMAnalytics::startWithAppID(
        kAppID, "app",
        {{"KAVRELIN_ANALYTICS_COLLECTION_DEACTIVATED", platform::Value(deactivated)}});
    env.waitUntilIdle();
  }
  std::vector<std::string> opened() {
    std::lock_guard<std::mutex> lock(mutex_);
    return opened_;
  }
  void listen() {
    APMAnalytics::setOpenURLListener([this](const std::string& url) {
      std::lock_guard<std::mutex> lock(mutex_);
      opened_.push_back(url);
    });
  }

  std::mutex mutex_;
  std::vector<std::string> opened_;
};

// Both URL-opening callbacks hand the URL on and answer NO, even for a campaign link.
TEST_F(InterceptorTest, OpenedURLsReachTheListenerAndAreNotConsumed) {
  start();
  listen();
  EXPECT_TRUE(OULAppDelegateSwizzler::isProxyInstalled());
  const std::string campaign = "https://app.example/landing?utm_source=news&gclid=abc";
  EXPECT_FALSE(OULAppDelegateSwizzler::dispatchOpenURL(campaign, platform::Value()));
  EXPECT_FALSE(OULAppDelegateSwizzler::dispatchOpenURLSourceApplication(
      "myapp://open", "com.example.source", platform::Value()));
  env.waitUntilIdle();
  EXPECT_EQ(opened(), (std::vector<std::string>{campaign, "myapp://open"}));

  // A user activity without a web page link causes no call; the restoration block is never
  // called.
  bool restored = false;
  EXPECT_FALSE(OULAppDelegateSwizzler::dispatchContinueUserActivity(
      {"com.example.handoff", "", platform::Value()},
      [&](const platform::Value&) { restored = true; }));
  env.waitUntilIdle();
  EXPECT_EQ(opened().size(), 2u);
  EXPECT_FALSE(restored);

  // A universal link goes the way of an opened URL, unconsumed (on a system with deep links).
  OULAppEnvironmentUtil::Configuration device = OULAppEnvironmentUtil::defaultConfiguration();
  device.systemVersion = "17.2";
  OULAppEnvironmentUtil::setConfiguration(device);
  const std::string universal = "https://app.example/item/7?gclid=xyz";
  EXPECT_FALSE(OULAppDelegateSwizzler::dispatchContinueUserActivity(
      {"NSUserActivityTypeBrowsingWeb", universal, platform::Value()},
      [&](const platform::Value&) { restored = true; }));
  env.waitUntilIdle();
  EXPECT_EQ(opened(), (std::vector<std::string>{campaign, "myapp://open", universal}));
  EXPECT_FALSE(restored);
}

// Background-session events reach the network object, whose completion runs once.
TEST_F(InterceptorTest, BackgroundSessionEventsReachTheNetwork) {
  start();
  int completions = 0;
  EXPECT_TRUE(OULAppDelegateSwizzler::dispatchHandleEventsForBackgroundURLSession(
      "com.orvane.session", [&] { ++completions; }));
  env.waitUntilIdle();
  EXPECT_EQ(completions, 1);
}

// With collection deactivated at start, the proxy is not installed and nothing is seen.
TEST_F(InterceptorTest, NotInstalledWhileDeactivated) {
  start(true);
  listen();
  EXPECT_FALSE(OULAppDelegateSwizzler::isProxyInstalled());
  OULAppDelegateSwizzler::dispatchOpenURL("myapp://open", platform::Value());
  env.waitUntilIdle();
  EXPECT_TRUE(opened().empty());
}

}  // namespace
