#include "platform/uikit/UIApplication.h"

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/uikit/UIApplicationNotifications.h"
#include "platform/utilities/OULAppEnvironmentUtil.h"
#include "tests/platform/uikit/UIKitTestSupport.h"

namespace {

using uikittest::Heard;
using uikittest::NotificationRecorder;
using uikittest::UIKitTest;

using Step = std::function<void(UIApplication&)>;

const Step kLaunch = [](UIApplication& app) { app.didFinishLaunching(); };
const Step kBecomeActive = [](UIApplication& app) { app.didBecomeActive(); };
const Step kResignActive = [](UIApplication& app) { app.willResignActive(); };
const Step kEnterBackground = [](UIApplication& app) { app.didEnterBackground(); };
const Step kEnterForeground = [](UIApplication& app) { app.willEnterForeground(); };
const Step kTerminate = [](UIApplication& app) { app.willTerminate(); };

TEST_F(UIKitTest, SharedApplicationIsAbsentInsideAnAppExtension) {
  std::shared_ptr<UIApplication> app = UIApplication::sharedApplication();
  ASSERT_NE(app, nullptr);
  struct Row {
    const char* folder;
    bool extension;
  };
  const Row rows[] = {
      {"Share.appex", true}, {"Share.appex/", true},         {"Plugins/Widget.appex", true},
      {"Demo.app", false},   {"Share.appex.app", false},     {"appex", false},
      {"Demo.app/x", false}, {"Demo.app/Share.appex", true},
  };
  for (const Row& row : rows) {
    platform::Bundle::setMainBundlePath(base_ / row.folder);
    std::shared_ptr<UIApplication> answer = UIApplication::sharedApplication();
    if (row.extension) {
      EXPECT_EQ(answer, nullptr) << row.folder;
    } else {
      EXPECT_EQ(answer, app) << row.folder;
    }
  }

  // The environment can say so too, whatever the bundle's name.
  platform::Bundle::setMainBundlePath(base_ / "Demo.app");
  OULAppEnvironmentUtil::Configuration configuration = OULAppEnvironmentUtil::configuration();
  configuration.isAppExtension = true;
  OULAppEnvironmentUtil::setConfiguration(configuration);
  EXPECT_EQ(UIApplication::sharedApplication(), nullptr);
  OULAppEnvironmentUtil::setConfiguration(std::nullopt);
  EXPECT_EQ(UIApplication::sharedApplication(), app);
}

TEST_F(UIKitTest, LifeCycleSetsTheStateAndPostsEachNotificationOnceOnTheMainThread) {
  auto app = std::make_shared<UIApplication>();
  NotificationRecorder recorder(app);
  struct Row {
    Step step;
    const char* name;
    UIApplicationState seenByObservers;
    UIApplicationState after;
  };
  const Row rows[] = {
      {kLaunch, UIApplicationDidFinishLaunchingNotification, UIApplicationState::kInactive,
       UIApplicationState::kInactive},
      {kBecomeActive, UIApplicationDidBecomeActiveNotification, UIApplicationState::kActive,
       UIApplicationState::kActive},
      {kResignActive, UIApplicationWillResignActiveNotification, UIApplicationState::kActive,
       UIApplicationState::kInactive},
      {kEnterBackground, UIApplicationDidEnterBackgroundNotification,
       UIApplicationState::kBackground, UIApplicationState::kBackground},
      {kEnterForeground, UIApplicationWillEnterForegroundNotification,
       UIApplicationState::kBackground, UIApplicationState::kInactive},
      {kBecomeActive, UIApplicationDidBecomeActiveNotification, UIApplicationState::kActive,
       UIApplicationState::kActive},
      {kResignActive, UIApplicationWillResignActiveNotification, UIApplicationState::kActive,
       UIApplicationState::kInactive},
      {kTerminate, UIApplicationWillTerminateNotification, UIApplicationState::kInactive,
       UIApplicationState::kInactive},
  };
  size_t expected = 0;
  for (const Row& row : rows) {
    row.step(*app);
    env_.waitUntilIdle();
    ++expected;
    std::vector<Heard> heard = recorder.heard();
    ASSERT_EQ(heard.size(), expected) << row.name;
    EXPECT_EQ(heard.back().name, row.name);
    EXPECT_TRUE(heard.back().onMainThread) << row.name;
    EXPECT_EQ(heard.back().state, row.seenByObservers) << row.name;
    EXPECT_EQ(app->applicationState(), row.after) << row.name;
  }
}

TEST_F(UIKitTest, TransitionsThatDoNotApplyAreIgnored) {
  struct Row {
    const char* what;
    std::vector<Step> before;
    Step step;
  };
  const std::vector<Row> rows = {
      {"second launch", {kLaunch}, kLaunch},
      {"active twice", {kBecomeActive}, kBecomeActive},
      {"resign while inactive", {}, kResignActive},
      {"resign in background", {kBecomeActive, kResignActive, kEnterBackground}, kResignActive},
      {"background while active", {kBecomeActive}, kEnterBackground},
      {"background twice", {kBecomeActive, kResignActive, kEnterBackground}, kEnterBackground},
      {"foreground while inactive", {}, kEnterForeground},
      {"foreground while active", {kBecomeActive}, kEnterForeground},
      {"active from background", {kBecomeActive, kResignActive, kEnterBackground}, kBecomeActive},
      {"second termination", {kTerminate}, kTerminate},
      {"active after termination", {kTerminate}, kBecomeActive},
      {"launch after termination", {kTerminate}, kLaunch},
      {"background after termination",
       {kBecomeActive, kResignActive, kTerminate},
       kEnterBackground},
  };
  for (const Row& row : rows) {
    auto app = std::make_shared<UIApplication>();
    for (const Step& step : row.before) step(*app);
    UIApplicationState state = app->applicationState();
    NotificationRecorder recorder(app);
    row.step(*app);
    env_.waitUntilIdle();
    EXPECT_TRUE(recorder.heard().empty()) << row.what;
    EXPECT_EQ(app->applicationState(), state) << row.what;
  }
}

TEST_F(UIKitTest, LaunchOptionsAreTheNotificationsUserInfo) {
  platform::Value::Dictionary options{
      {UIApplicationLaunchOptionsURLKey, platform::Value("kavrelin://open?x=1")}};
  struct Row {
    platform::Value options;
    platform::Value userInfo;
  };
  const Row rows[] = {
      {platform::Value(options), platform::Value(options)},
      {platform::Value(), platform::Value()},
      {platform::Value(platform::Value::Dictionary{}), platform::Value()},
  };
  for (const Row& row : rows) {
    auto app = std::make_shared<UIApplication>();
    NotificationRecorder recorder(app);
    app->didFinishLaunching(row.options);
    std::vector<Heard> heard = recorder.heard();
    ASSERT_EQ(heard.size(), 1u);
    EXPECT_EQ(heard[0].userInfo, row.userInfo);
  }
}

TEST_F(UIKitTest, TransitionFromAnotherThreadHappensOnTheMainQueue) {
  auto app = std::make_shared<UIApplication>();
  NotificationRecorder recorder(app);
  std::thread([app] {
    app->didFinishLaunching();
    app->didBecomeActive();
  }).join();
  // Handed to the main queue: nothing has happened yet.
  EXPECT_TRUE(recorder.heard().empty());
  EXPECT_EQ(app->applicationState(), UIApplicationState::kInactive);

  EXPECT_EQ(env_.drainMain(), 2u);
  std::vector<Heard> heard = recorder.heard();
  ASSERT_EQ(heard.size(), 2u);
  EXPECT_EQ(heard[0].name, UIApplicationDidFinishLaunchingNotification);
  EXPECT_EQ(heard[1].name, UIApplicationDidBecomeActiveNotification);
  EXPECT_TRUE(heard[0].onMainThread);
  EXPECT_TRUE(heard[1].onMainThread);
  EXPECT_EQ(app->applicationState(), UIApplicationState::kActive);
}

TEST_F(UIKitTest, PendingTransitionKeepsTheApplicationAlive) {
  std::weak_ptr<UIApplication> weak;
  {
    auto app = std::make_shared<UIApplication>();
    weak = app;
    std::thread([app] { app->didBecomeActive(); }).join();
  }
  EXPECT_FALSE(weak.expired());
  env_.drainMain();
  EXPECT_TRUE(weak.expired());
}

TEST_F(UIKitTest, NotificationsCarryTheirApplication) {
  auto first = std::make_shared<UIApplication>();
  auto second = std::make_shared<UIApplication>();
  NotificationRecorder firstRecorder(first);
  NotificationRecorder secondRecorder(second);
  second->didBecomeActive();
  EXPECT_TRUE(firstRecorder.heard().empty());
  EXPECT_EQ(secondRecorder.names(),
            std::vector<std::string>{UIApplicationDidBecomeActiveNotification});
  EXPECT_EQ(first->applicationState(), UIApplicationState::kInactive);
}

TEST_F(UIKitTest, SharedApplicationPostsAsTheSharedObject) {
  std::shared_ptr<UIApplication> app = UIApplication::sharedApplication();
  ASSERT_NE(app, nullptr);
  NotificationRecorder recorder(app);
  app->didFinishLaunching();
  app->didBecomeActive();
  EXPECT_EQ(recorder.names(), (std::vector<std::string>{UIApplicationDidFinishLaunchingNotification,
                                                        UIApplicationDidBecomeActiveNotification}));
}

}  // namespace
