// The engine follows the application's life cycle: the background task it holds from resign-active
// until the app returns, the task expires, or the upload scheduler finds nothing due within 30 s;
// the upload after resign-active; the configuration refresh on becoming active.
#include "AppMeasurement/foundation/APMRemoteConfig.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/uikit/UIApplication.h"
#include "platform/uikit/UIApplicationNotifications.h"
#include "tests/AppMeasurement/engine/EngineTestSupport.h"

namespace {

using enginetest::EngineTest;

class AppLifecycleTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    application()->resetForTesting();
  }
  void TearDown() override {
    EngineTest::TearDown();
    application()->resetForTesting();
  }
  static std::shared_ptr<UIApplication> application() { return UIApplication::sharedApplication(); }

  // The app in the foreground, then the user leaves it.
  void launchAndActivate() {
    application()->didFinishLaunching();
    application()->didBecomeActive();
    env.waitUntilIdle();
  }
  void leave() {
    application()->willResignActive();
    application()->didEnterBackground();
    env.waitUntilIdle();
  }
  std::vector<UIApplication::BackgroundTask> tasks() {
    return application()->openBackgroundTasks();
  }
};

TEST_F(AppLifecycleTest, ResignActiveHoldsOneNamedTaskUntilTheAppReturns) {
  makeEngine();
  launchAndActivate();
  EXPECT_EQ(engine->backgroundUpdateTask(), UIBackgroundTaskInvalid);
  leave();
  ASSERT_EQ(tasks().size(), 1u);
  EXPECT_EQ(tasks()[0].name, "APMAnalyticsMeasurementBackgroundTask");
  EXPECT_EQ(engine->backgroundUpdateTask(), tasks()[0].identifier);

  application()->willEnterForeground();
  env.waitUntilIdle();
  EXPECT_TRUE(tasks().empty());
  EXPECT_EQ(engine->backgroundUpdateTask(), UIBackgroundTaskInvalid);
  EXPECT_TRUE(capture.contains("I-ACS023142"));
}

TEST_F(AppLifecycleTest, ASecondResignActiveEndsTheFirstTask) {
  makeEngine();
  launchAndActivate();
  auto& center = platform::NotificationCenter::defaultCenter();
  center.postNotificationName(UIApplicationWillResignActiveNotification);
  ASSERT_EQ(tasks().size(), 1u);
  UIBackgroundTaskIdentifier first = tasks()[0].identifier;
  center.postNotificationName(UIApplicationWillResignActiveNotification);
  env.waitUntilIdle();
  ASSERT_EQ(tasks().size(), 1u);
  EXPECT_NE(tasks()[0].identifier, first);
  EXPECT_EQ(tasks()[0].identifier, engine->backgroundUpdateTask());
}

TEST_F(AppLifecycleTest, AnExpiredTaskIsEndedByItsHandler) {
  makeEngine();
  launchAndActivate();
  leave();
  ASSERT_EQ(tasks().size(), 1u);
  application()->expireBackgroundTasks();
  env.waitUntilIdle();
  EXPECT_TRUE(tasks().empty());
  EXPECT_EQ(engine->backgroundUpdateTask(), UIBackgroundTaskInvalid);
}

TEST_F(AppLifecycleTest, WithoutBackgroundTimeNoTaskIsHeld) {
  makeEngine();
  launchAndActivate();
  application()->setBackgroundTimeAvailable(false);
  leave();
  EXPECT_TRUE(tasks().empty());
  EXPECT_EQ(engine->backgroundUpdateTask(), UIBackgroundTaskInvalid);
}

// The scheduler keeps the task only while an upload is due within 30 seconds.
TEST_F(AppLifecycleTest, TheSchedulerKeepsTheTaskOnlyForAnUploadDueSoon) {
  struct Case {
    const char* what;
    bool data;          // an event waits to be uploaded
    double successAgo;  // last successful upload this many seconds ago (0: never)
    bool taskKept;
  };
  const Case cases[] = {
      {"nothing to upload", false, 0, false},
      {"new data, first upload after the 15 s initial delay", true, 0, true},
      {"new data, a success 10 s ago: next upload in about an hour", true, 10, false},
  };
  makeEngine();
  launchAndActivate();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    clearRawEvents();
    onWorker([&] {
      engine->alarm()->cancel();
      persistedConfig->setLastSuccessfulUploadTimestamp(c.successAgo > 0 ? env.now() - c.successAgo
                                                                         : 0);
    });
    if (c.data) logEvent("app", true, "waiting");
    engine->swapBackgroundTaskWithNewTaskID(
        application()->beginBackgroundTaskWithName("APMAnalyticsMeasurementBackgroundTask", {}));
    onWorker([&] { engine->updateSchedule(); });
    env.waitUntilIdle();
    EXPECT_EQ(engine->backgroundUpdateTask() != UIBackgroundTaskInvalid, c.taskKept);
    EXPECT_EQ(tasks().size(), c.taskKept ? 1u : 0u);
    engine->terminateBackgroundTask();
  }
}

// Without the server's permission the background session is never used; with it, only while a
// background task is held.
TEST_F(AppLifecycleTest, BackgroundSessionOnlyWhileATaskIsHeldAndAllowed) {
  makeEngine();
  launchAndActivate();
  leave();
  EXPECT_FALSE(engine->shouldUseBackgroundSession());
  applySettings({{"measurement.network.background_session_enabled", "1"}});
  EXPECT_TRUE(engine->shouldUseBackgroundSession());
  engine->terminateBackgroundTask();
  EXPECT_FALSE(engine->shouldUseBackgroundSession());
}

// The process ended while an upload was out (no answer came): after the restart the bundle goes
// out on the ordinary schedule. A failure the service answered keeps its retry schedule.
TEST_F(AppLifecycleTest, AnUploadCutByTheProcessEndIsNotAFailureAfterRestart) {
  struct Case {
    const char* what;
    bool answered;    // the service answered 503 before the process ended
    double expected;  // next upload, seconds after the event
  };
  const Case cases[] = {
      {"cut by the end of the process", false, 15},
      {"answered with a failure", true, 15 + 1800},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    makeEngine();
    clearRawEvents();
    double eventTime = env.now();
    logEvent("app", true, "cut_off");
    onWorker([&] {
      // What the upload pass leaves behind at its POST, and what an answer would change.
      persistedConfig->setNumber(platform::Value(0.0), "unansweredUploadPreviousFailureTimestamp");
      persistedConfig->setLastFailedUploadTimestamp(env.now() + 1);
      if (c.answered)
        persistedConfig->setNumber(std::nullopt, "unansweredUploadPreviousFailureTimestamp");
      persistedConfig->store()->synchronize();
    });
    engine->setEnabled(false);
    env.waitUntilIdle();
    engine.reset();
    APMAnalytics::resetForTesting();
    makeEngine();  // the same container: a restart
    double next = 0;
    onWorker([&] { next = engine->nextUploadingTime(); });
    EXPECT_DOUBLE_EQ(next - eventTime, c.expected);
    engine->setEnabled(false);
    env.waitUntilIdle();
    engine.reset();
  }
}

// Launch makes sure the screen-view reporter exists; a launch without options is harmless.
TEST_F(AppLifecycleTest, LaunchNotificationIsObservedOnce) {
  APMMeasurement::subscribeForAppDidFinishLaunchingNotifications();
  APMMeasurement::subscribeForAppDidFinishLaunchingNotifications();
  application()->didFinishLaunching();
  env.waitUntilIdle();
  EXPECT_NE(APMFeatureServices::current().screenViewReporter, nullptr);
}

// An engine that goes away takes its three life-cycle observers with it.
TEST_F(AppLifecycleTest, EngineRemovesItsObserversWhenItGoes) {
  platform::NotificationCenter& center = platform::NotificationCenter::defaultCenter();
  makeEngine();
  size_t withEngine = center.observerCountForTesting();
  engine->setEnabled(false);
  env.waitUntilIdle();
  engine.reset();
  env.waitUntilIdle();
  EXPECT_EQ(center.observerCountForTesting(), withEngine - 3);
}

}  // namespace
