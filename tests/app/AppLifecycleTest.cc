// The app's life-cycle driver: the delegate and the application object move together, and after
// the user leaves, the app runs on while background tasks are open, at most its background time
// (then the tasks expire and get a short grace).
#include "app/AppLifecycle.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/capacitor/CAPBridgeViewController.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/uikit/UIApplicationNotifications.h"
#include "platform/uikit/UIWindow.h"
#include "platform/utilities/OULNetwork.h"
#include "tests/support/DispatchTestEnvironment.h"
#include "tests/support/TestHttpServer.h"

namespace {

class AppLifecycleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The social-login SDK's activation report goes to this test's own server.
    bundle_ =
        std::filesystem::temp_directory_path() / ("lifecycle-test-" + std::to_string(getpid()));
    std::filesystem::create_directories(bundle_);
    std::ofstream(bundle_ / "Info.plist")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
           "<key>FacebookServiceURL</key><string>"
        << sdkService_.baseURL() << "</string></dict></plist>";
    platform::Bundle::setMainBundlePath(bundle_);
    for (const char* name :
         {UIApplicationDidFinishLaunchingNotification, UIApplicationDidBecomeActiveNotification,
          UIApplicationWillResignActiveNotification, UIApplicationDidEnterBackgroundNotification,
          UIApplicationWillEnterForegroundNotification, UIApplicationWillTerminateNotification}) {
      observers_.push_back(platform::NotificationCenter::defaultCenter().addObserverForName(
          name, application_.get(), nullptr,
          [this, name](const platform::Notification&) { posted_.push_back(name); }));
    }
  }
  void TearDown() override {
    for (auto token : observers_)
      platform::NotificationCenter::defaultCenter().removeObserver(token);
    env_.finish();
    std::filesystem::remove_all(bundle_);
  }

  testsupport::TestHttpServer sdkService_;
  std::filesystem::path bundle_;
  testsupport::DispatchTestEnvironment env_;
  std::shared_ptr<UIApplication> application_ = std::make_shared<UIApplication>();
  std::shared_ptr<AppDelegate> delegate_ = std::make_shared<AppDelegate>();
  AppLifecycle lifecycle_{delegate_, application_};
  std::vector<std::string> posted_;
  std::vector<platform::NotificationCenter::ObserverToken> observers_;
};

TEST_F(AppLifecycleTest, StepsPostTheApplicationsNotificationsInOrder) {
  lifecycle_.launch({});
  lifecycle_.becomeActive();
  lifecycle_.resignActiveAndEnterBackground();
  lifecycle_.enterForeground();
  lifecycle_.terminate();
  EXPECT_EQ(
      posted_,
      (std::vector<std::string>{
          UIApplicationDidFinishLaunchingNotification, UIApplicationDidBecomeActiveNotification,
          UIApplicationWillResignActiveNotification, UIApplicationDidEnterBackgroundNotification,
          UIApplicationWillEnterForegroundNotification, UIApplicationWillTerminateNotification}));
  EXPECT_EQ(application_->applicationState(), UIApplicationState::kInactive);
}

TEST_F(AppLifecycleTest, LaunchShowsTheRuntimesViewControllerInTheKeyWindow) {
  // Without a main interface the app makes no window.
  lifecycle_.launch({});
  EXPECT_EQ(delegate_->window(), nullptr);
  EXPECT_EQ(UIWindow::keyWindow(), nullptr);
  application_->resetForTesting();
  posted_.clear();

  auto root = std::make_shared<platform::CAPBridgeViewController>();
  auto appearances = UIViewController::addAppearanceObserver(
      [this](UIViewController& controller, UIViewController::Appearance what) {
        if (what == UIViewController::Appearance::kDidAppear) {
          posted_.push_back("appeared " + controller.className());
        }
      });
  lifecycle_.setRootViewController(root);
  lifecycle_.launch({});
  UIViewController::removeAppearanceObserver(appearances);
  // The controller is on screen (where the screen reporter looks for it) before the library
  // hears that launching finished.
  EXPECT_EQ(posted_, (std::vector<std::string>{"appeared Capacitor.CAPBridgeViewController",
                                               UIApplicationDidFinishLaunchingNotification}));
  std::shared_ptr<UIWindow> window = delegate_->window();
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(window->isKeyWindow());
  EXPECT_EQ(window->rootViewController(), root);
  EXPECT_EQ(root->viewWindow(), window);
  EXPECT_FALSE(root->isFromMainBundle());
  UIWindow::closeAllWindowsForTesting();
}

TEST_F(AppLifecycleTest, SuspendsWhenTheLastTaskEnds) {
  UIBackgroundTaskIdentifier task = application_->beginBackgroundTaskWithName("upload", {});
  int suspended = 0;
  lifecycle_.suspendWhenIdle(30, 2, [&] { ++suspended; });
  env_.advance(10);
  env_.waitUntilIdle();
  EXPECT_EQ(suspended, 0);
  application_->endBackgroundTask(task);
  // Idle for half a second first: a last answer may still send the next request.
  for (int i = 0; i < 9; ++i) env_.advance(0.05);
  env_.waitUntilIdle();
  EXPECT_EQ(suspended, 0);
  for (int i = 0; i < 3; ++i) env_.advance(0.05);
  env_.waitUntilIdle();
  EXPECT_EQ(suspended, 1);
  env_.advance(60);
  env_.waitUntilIdle();
  EXPECT_EQ(suspended, 1);
}

TEST_F(AppLifecycleTest, ExpiresTasksWhenTheBackgroundTimeRunsOut) {
  struct Case {
    const char* what;
    bool handlerEndsTask;
    double suspendedBy;  // seconds after the start
  };
  const Case cases[] = {
      {"the expiration handler ends its task", true, 30.6},
      {"a task that never ends is given up after the grace", false, 32.1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto task = std::make_shared<UIBackgroundTaskIdentifier>();
    *task = application_->beginBackgroundTaskWithName("upload", [this, task, c] {
      if (c.handlerEndsTask) application_->endBackgroundTask(*task);
    });
    bool suspended = false;
    lifecycle_.suspendWhenIdle(30, 2, [&] { suspended = true; });
    env_.advance(29.9);
    env_.waitUntilIdle();
    EXPECT_FALSE(suspended);
    for (double t = 29.9; t < c.suspendedBy; t += 0.05) env_.advance(0.05);
    env_.waitUntilIdle();
    EXPECT_TRUE(suspended);
    application_->endBackgroundTask(*task);
  }
}

TEST_F(AppLifecycleTest, StaysWhileARequestIsInFlightWithinTheBackgroundTime) {
  // The upload's task has ended (as the engine ends it once nothing is due soon), but its POST
  // is still waiting for the answer: the process must stay until the answer has been handled.
  testsupport::TestHttpServer service;
  service.respondTo("/a", {204, {}, "", std::chrono::milliseconds(1500)});
  service.respondTo("/never", {204, {}, "", std::chrono::milliseconds(60000)});
  auto network = OULNetwork::create();
  auto worker = platform::DispatchQueue::createSerial("lifecycle-test.worker");
  std::atomic<bool> answered{false};
  network->postURL(
      service.baseURL() + "/a", "bundles", worker, false,
      [&](const auto& response, const auto&, const auto&) { answered = response.has_value(); });
  int suspended = 0;
  lifecycle_.suspendWhenIdle(30, 2, [&] { ++suspended; });
  // A second of the app's time passes while the answer is still on its way.
  for (int i = 0; i < 20; ++i) env_.advance(0.05);
  env_.waitUntilIdle();
  EXPECT_EQ(suspended, 0);
  EXPECT_GT(OULNetwork::requestsInFlight(), 0);
  // Real time for the service's answer; the app's own time stands still meanwhile.
  ASSERT_TRUE(service.waitForRequests(1));
  for (int i = 0; i < 1000 && OULNetwork::requestsInFlight() > 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(suspended, 0);
  for (int i = 0; i < 12; ++i) env_.advance(0.05);
  env_.waitUntilIdle();
  EXPECT_EQ(suspended, 1);
  EXPECT_TRUE(answered);

  // A request that is not answered within the background time does not hold the process longer.
  network->postURL(service.baseURL() + "/never", "bundles", worker, false, nullptr);
  lifecycle_.suspendWhenIdle(30, 2, [&] { ++suspended; });
  env_.advance(29.9);
  env_.waitUntilIdle();
  EXPECT_EQ(suspended, 1);
  for (double t = 29.9; t < 32.1; t += 0.05) env_.advance(0.05);
  env_.waitUntilIdle();
  EXPECT_EQ(suspended, 2);
  network.reset();  // cancels the request that never got its answer
  worker->sync([] {});
}

}  // namespace
