#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "AppMeasurement/foundation/APMAEU.h"
#include "AppMeasurement/foundation/APMNotificationNames.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/uikit/UIApplication.h"
#include "platform/uikit/UIApplicationNotifications.h"
#include "tests/AppMeasurement/foundation/EnvironmentTestSupport.h"

namespace {

class APMApplicationTest : public environmenttest::ContainerTest {
 protected:
  void TearDown() override {
    for (auto token : tokens_) platform::NotificationCenter::defaultCenter().removeObserver(token);
    platform::Bundle::setMainBundlePath(bundle_);
    if (auto app = UIApplication::sharedApplication()) app->resetForTesting();
    ContainerTest::TearDown();
  }

  // Registers an observer for `name` (any object), without a queue, recording what it hears.
  void observe(const std::string& name) {
    tokens_.push_back(platform::NotificationCenter::defaultCenter().addObserverForName(
        name, nullptr, nullptr, [this](const platform::Notification& note) {
          heard_.push_back(note.name);
          onMainThread_.push_back(platform::DispatchQueue::isMainThread());
          objects_.push_back(note.object);
        }));
  }

  std::vector<platform::NotificationCenter::ObserverToken> tokens_;
  std::vector<std::string> heard_;
  std::vector<bool> onMainThread_;
  std::vector<const void*> objects_;
};

TEST_F(APMApplicationTest, NotificationNamesAreThePlatformsNames) {
  struct Row {
    std::string name;
    const char* platformName;
    const char* text;
  };
  const Row rows[] = {
      {APMDidBecomeActiveNotificationName(), UIApplicationDidBecomeActiveNotification,
       "UIApplicationDidBecomeActiveNotification"},
      {APMDidFinishLaunchingNotificationName(), UIApplicationDidFinishLaunchingNotification,
       "UIApplicationDidFinishLaunchingNotification"},
      {APMWillResignActiveNotificationName(), UIApplicationWillResignActiveNotification,
       "UIApplicationWillResignActiveNotification"},
      {APMWindowDidResignKeyNotificationName(), UIWindowDidResignKeyNotification,
       "UIWindowDidResignKeyNotification"},
      {APMWillEnterForegroundNotificationName(), UIApplicationWillEnterForegroundNotification,
       "UIApplicationWillEnterForegroundNotification"},
      {APMDidEnterBackgroundNotificationName(), UIApplicationDidEnterBackgroundNotification,
       "UIApplicationDidEnterBackgroundNotification"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(row.name, row.platformName);
    EXPECT_EQ(row.name, row.text);
  }
}

TEST_F(APMApplicationTest, ObserversOfTheLibrarysNamesHearTheApplication) {
  for (const std::string& name :
       {APMDidFinishLaunchingNotificationName(), APMDidBecomeActiveNotificationName(),
        APMWillResignActiveNotificationName(), APMDidEnterBackgroundNotificationName(),
        APMWillEnterForegroundNotificationName()}) {
    observe(name);
  }
  std::shared_ptr<UIApplication> app = APMAEU::sharedApplication();
  ASSERT_NE(app, nullptr);
  app->didFinishLaunching();
  app->didBecomeActive();
  app->willResignActive();
  app->didEnterBackground();
  app->willEnterForeground();
  app->didBecomeActive();
  platform::DispatchQueue::waitUntilIdle();

  const std::vector<std::string> expected = {
      APMDidFinishLaunchingNotificationName(),  APMDidBecomeActiveNotificationName(),
      APMWillResignActiveNotificationName(),    APMDidEnterBackgroundNotificationName(),
      APMWillEnterForegroundNotificationName(), APMDidBecomeActiveNotificationName(),
  };
  EXPECT_EQ(heard_, expected);
  EXPECT_EQ(onMainThread_, std::vector<bool>(expected.size(), true));
  EXPECT_EQ(objects_, std::vector<const void*>(expected.size(), app.get()));
}

TEST_F(APMApplicationTest, SharedApplicationIsThePlatformsOutsideExtensions) {
  std::shared_ptr<UIApplication> app = APMAEU::sharedApplication();
  ASSERT_NE(app, nullptr);
  EXPECT_EQ(app, UIApplication::sharedApplication());
  EXPECT_EQ(APMAEU::sharedApplication(), app);

  const std::vector<std::pair<std::string, bool>> cases = {
      {"Share.appex", true}, {"Share.appex/", true},     {"Demo.app", false},
      {"appex", false},      {"Share.appex.app", false},
  };
  for (const auto& [folder, extension] : cases) {
    platform::Bundle::setMainBundlePath(base_ / folder);
    EXPECT_EQ(APMAEU::isAEX(), extension) << folder;
    if (extension) {
      EXPECT_EQ(APMAEU::sharedApplication(), nullptr) << folder;
    } else {
      EXPECT_EQ(APMAEU::sharedApplication(), app) << folder;
    }
  }
}

TEST_F(APMApplicationTest, BackgroundTaskThroughTheSharedApplication) {
  std::shared_ptr<UIApplication> app = APMAEU::sharedApplication();
  ASSERT_NE(app, nullptr);
  int expirations = 0;
  UIBackgroundTaskIdentifier task = UIBackgroundTaskInvalid;
  task = app->beginBackgroundTaskWithName("APMAnalyticsMeasurementBackgroundTask", [&] {
    ++expirations;
    APMAEU::sharedApplication()->endBackgroundTask(task);
  });
  ASSERT_NE(task, UIBackgroundTaskInvalid);
  ASSERT_EQ(app->openBackgroundTasks().size(), 1u);
  EXPECT_EQ(app->openBackgroundTasks()[0].name, "APMAnalyticsMeasurementBackgroundTask");
  app->expireBackgroundTasks();
  app->expireBackgroundTasks();
  EXPECT_EQ(expirations, 1);
  EXPECT_TRUE(app->openBackgroundTasks().empty());
}

}  // namespace
