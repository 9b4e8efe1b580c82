// The typed layer's screen-view modifier and the public screen-name call: every appearance of the
// view logs "screen_view" with the modifier's screen name and class laid over the extra parameters.
#include <thread>

#include "AppMeasurement/engine/APMFeatureServices.h"
#include "AppMeasurement/engine/KVLAnalytics.h"
#include "AppMeasurement/engine/LoggedAnalyticsModifier.h"
#include "platform/core/KVLOptions.h"
#include "tests/AppMeasurement/engine/EngineTestSupport.h"

namespace {

using enginetest::EngineTest;

// Records the screen views handed to the screen-view reporter.
class RecordingScreens : public APMScreenViewReporting {
 public:
  void trackScreenWithParameters(const APMObjectMap& parameters, double) override {
    std::lock_guard<std::mutex> lock(mutex);
    tracked.push_back(parameters);
  }
  void setScreenName(const std::optional<std::string>& screenName,
                     const std::optional<std::string>& screenClass) override {
    std::lock_guard<std::mutex> lock(mutex);
    named.push_back(screenName.value_or("-") + "/" + screenClass.value_or("-"));
  }
  std::mutex mutex;
  std::vector<APMObjectMap> tracked;
  std::vector<std::string> named;
};

class ModifierTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    APMFeatureServices services;
    services.screenViewReporter = screens;
    APMFeatureServices::install(services);
    KVLAnalyticsRegisterLibrary();
    KVLApp::configureWithOptions(std::make_shared<KVLOptions>(kAppID, true, false));
    env.waitUntilIdle();
  }
  void TearDown() override {
    APMFeatureServices::install({});
    EngineTest::TearDown();
  }
  std::shared_ptr<RecordingScreens> screens = std::make_shared<RecordingScreens>();
};

TEST_F(ModifierTest, EachAppearanceLogsAScreenView) {
  SUIView view("CheckoutView");
  analyticsScreenView(view, "Checkout", "CheckoutView",
                      {{"screen_name", platform::Value("overridden")},
                       {"cart_items", platform::Value(int64_t{3})}});
  EXPECT_TRUE(screens->tracked.empty());
  view.appear();
  view.disappear();
  view.appear();
  env.waitUntilIdle();
  ASSERT_EQ(screens->tracked.size(), 2u);
  for (const APMObjectMap& parameters : screens->tracked) {
    EXPECT_EQ(parameters.at("screen_name"), APMObject(platform::Value("Checkout")));
    EXPECT_EQ(parameters.at("screen_class"), APMObject(platform::Value("CheckoutView")));
    EXPECT_EQ(parameters.at("cart_items"), APMObject(platform::Value(int64_t{3})));
  }
}

// The public setScreenName:screenClass: reaches the reporter from the main thread only.
TEST_F(ModifierTest, SetScreenNameOnTheMainThreadOnly) {
  std::thread([] { APMAnalytics::setScreenName("Elsewhere", std::nullopt); }).join();
  platform::DispatchQueue::main()->async(
      [] { APMAnalytics::setScreenName("Home", std::string("HomeView")); });
  env.waitUntilIdle();
  EXPECT_TRUE(capture.contains("I-ACS025025"));
  EXPECT_EQ(screens->named, std::vector<std::string>{"Home/HomeView"});
}

}  // namespace
