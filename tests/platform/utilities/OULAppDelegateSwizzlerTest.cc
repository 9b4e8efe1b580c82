#include "platform/utilities/OULAppDelegateSwizzler.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/utilities/OULOSLog.h"
#include "tests/support/LogCapture.h"

namespace {

// Records what reaches it; answers as configured.
class RecordingInterceptor : public OULAppDelegateInterceptor {
 public:
  explicit RecordingInterceptor(bool consume = false) : consume_(consume) {}
  bool applicationOpenURLOptions(const std::string& url, const platform::Value& options) override {
    calls.push_back("open " + url + " " + options.description());
    return consume_;
  }
  bool applicationContinueUserActivity(const UserActivity& activity,
                                       RestorationHandler restorationHandler) override {
    calls.push_back("activity " + activity.activityType + " " + activity.webpageURL);
    return consume_;
  }
  void applicationHandleEventsForBackgroundURLSession(const std::string& identifier,
                                                      CompletionHandler completion) override {
    calls.push_back("background " + identifier);
    completion();
  }
  std::vector<std::string> calls;

 private:
  bool consume_;
};

// Overrides nothing: every call must fall to the defaults.
class SilentInterceptor : public OULAppDelegateInterceptor {};

class OULAppDelegateSwizzlerTest : public ::testing::Test {
 protected:
  void SetUp() override { OULAppDelegateSwizzler::resetForTesting(); }
  void TearDown() override { OULAppDelegateSwizzler::resetForTesting(); }
};

TEST_F(OULAppDelegateSwizzlerTest, EveryInterceptorSeesEachCallInRegistrationOrder) {
  auto first = std::make_shared<RecordingInterceptor>();
  auto second = std::make_shared<RecordingInterceptor>();
  OULAppDelegateSwizzler::proxyOriginalDelegate();
  auto id1 = OULAppDelegateSwizzler::registerAppDelegateInterceptor(first);
  auto id2 = OULAppDelegateSwizzler::registerAppDelegateInterceptor(second);
  ASSERT_FALSE(id1.empty());
  ASSERT_NE(id1, id2);
  EXPECT_TRUE(OULAppDelegateSwizzler::registerAppDelegateInterceptor(nullptr).empty());

  EXPECT_FALSE(OULAppDelegateSwizzler::dispatchOpenURL("app://x?y=1", platform::Value()));
  EXPECT_FALSE(OULAppDelegateSwizzler::dispatchContinueUserActivity(
      {"NSUserActivityTypeBrowsingWeb", "https://example.test/p", {}}, nullptr));
  const std::vector<std::string> expected = {
      "open app://x?y=1 <null>", "activity NSUserActivityTypeBrowsingWeb https://example.test/p"};
  EXPECT_EQ(first->calls, expected);
  EXPECT_EQ(second->calls, expected);

  OULAppDelegateSwizzler::unregisterAppDelegateInterceptorWithID(id1);
  OULAppDelegateSwizzler::dispatchOpenURL("app://z", platform::Value());
  EXPECT_EQ(first->calls.size(), 2u);
  EXPECT_EQ(second->calls.size(), 3u);
  OULAppDelegateSwizzler::unregisterAppDelegateInterceptorWithID("unknown");  // ignored
}

TEST_F(OULAppDelegateSwizzlerTest, AnswerIsTrueWhenAnyInterceptorConsumes) {
  OULAppDelegateSwizzler::proxyOriginalDelegate();
  auto declining = std::make_shared<RecordingInterceptor>(false);
  auto consuming = std::make_shared<RecordingInterceptor>(true);
  OULAppDelegateSwizzler::registerAppDelegateInterceptor(consuming);
  OULAppDelegateSwizzler::registerAppDelegateInterceptor(declining);
  EXPECT_TRUE(OULAppDelegateSwizzler::dispatchOpenURL("app://a", platform::Value()));
  EXPECT_EQ(declining->calls.size(), 1u);  // a consumer does not hide the call from the rest
}

TEST_F(OULAppDelegateSwizzlerTest, DefaultMethodsDoNothingAndAnswerNotConsumed) {
  OULAppDelegateSwizzler::proxyOriginalDelegate();
  OULAppDelegateSwizzler::registerAppDelegateInterceptor(std::make_shared<SilentInterceptor>());
  EXPECT_FALSE(OULAppDelegateSwizzler::dispatchOpenURL("app://a", platform::Value()));
  EXPECT_FALSE(OULAppDelegateSwizzler::dispatchOpenURLSourceApplication("app://a", "com.src",
                                                                        platform::Value()));
  EXPECT_FALSE(OULAppDelegateSwizzler::dispatchContinueUserActivity({}, nullptr));
  int completions = 0;
  EXPECT_TRUE(OULAppDelegateSwizzler::dispatchHandleEventsForBackgroundURLSession(
      "session", [&] { ++completions; }));
  EXPECT_EQ(completions, 0);  // the silent interceptor never finishes it: the app's delegate does
}

TEST_F(OULAppDelegateSwizzlerTest, BackgroundCompletionRunsOnceAcrossInterceptors) {
  OULAppDelegateSwizzler::proxyOriginalDelegate();
  auto a = std::make_shared<RecordingInterceptor>();
  auto b = std::make_shared<RecordingInterceptor>();
  OULAppDelegateSwizzler::registerAppDelegateInterceptor(a);
  OULAppDelegateSwizzler::registerAppDelegateInterceptor(b);
  int completions = 0;
  EXPECT_TRUE(OULAppDelegateSwizzler::dispatchHandleEventsForBackgroundURLSession(
      "com.orvane.session", [&] { ++completions; }));
  EXPECT_EQ(a->calls, std::vector<std::string>{"background com.orvane.session"});
  EXPECT_EQ(b->calls, std::vector<std::string>{"background com.orvane.session"});
  EXPECT_EQ(completions, 1);
}

TEST_F(OULAppDelegateSwizzlerTest, NothingIsInterceptedUntilTheProxyIsInstalled) {
  auto interceptor = std::make_shared<RecordingInterceptor>(true);
  OULAppDelegateSwizzler::registerAppDelegateInterceptor(interceptor);
  EXPECT_FALSE(OULAppDelegateSwizzler::dispatchOpenURL("app://a", platform::Value()));
  EXPECT_TRUE(interceptor->calls.empty());
  EXPECT_FALSE(OULAppDelegateSwizzler::isProxyInstalled());

  // A disabled proxy cannot be installed.
  OULAppDelegateSwizzler::setAppDelegateProxyEnabled(false);
  OULAppDelegateSwizzler::proxyOriginalDelegate();
  EXPECT_FALSE(OULAppDelegateSwizzler::isProxyInstalled());
  EXPECT_FALSE(OULAppDelegateSwizzler::dispatchOpenURL("app://a", platform::Value()));

  OULAppDelegateSwizzler::setAppDelegateProxyEnabled(true);
  OULAppDelegateSwizzler::proxyOriginalDelegate();
  EXPECT_TRUE(OULAppDelegateSwizzler::dispatchOpenURL("app://a", platform::Value()));
  EXPECT_EQ(interceptor->calls.size(), 1u);
}

// The install says so in one debug line, which is what a process shows of it: the app's process
// tests wait for it before they deliver what only the interceptors take. A refused install and
// a second one write nothing.
TEST_F(OULAppDelegateSwizzlerTest, TheInstallWritesOneDebugLine) {
  const OULLoggerLevel saved = OULLoggerCurrentLevel();
  OULSetLoggerLevel(OULLoggerLevelDebug);
  testsupport::LogCapture capture;
  OULAppDelegateSwizzler::setAppDelegateProxyEnabled(false);
  OULAppDelegateSwizzler::proxyOriginalDelegate();
  EXPECT_TRUE(capture.lines().empty());
  OULAppDelegateSwizzler::setAppDelegateProxyEnabled(true);
  OULAppDelegateSwizzler::proxyOriginalDelegate();
  OULAppDelegateSwizzler::proxyOriginalDelegate();
  EXPECT_EQ(capture.lines(),
            std::vector<std::string>{"[com.orvane.utilities] [OrvaneUtilities/AppDelegateSwizzler]"
                                     "[I-SWZ001000] DEBUG: App Delegate Proxy installed"});
  OULSetLoggerLevel(saved);
}

TEST_F(OULAppDelegateSwizzlerTest, InterceptorMayUnregisterItselfDuringACall) {
  class SelfRemoving : public OULAppDelegateInterceptor {
   public:
    bool applicationOpenURLOptions(const std::string&, const platform::Value&) override {
      ++calls;
      OULAppDelegateSwizzler::unregisterAppDelegateInterceptorWithID(id);
      return false;
    }
    std::string id;
    int calls = 0;
  };
  OULAppDelegateSwizzler::proxyOriginalDelegate();
  auto interceptor = std::make_shared<SelfRemoving>();
  interceptor->id = OULAppDelegateSwizzler::registerAppDelegateInterceptor(interceptor);
  OULAppDelegateSwizzler::dispatchOpenURL("app://a", platform::Value());
  OULAppDelegateSwizzler::dispatchOpenURL("app://b", platform::Value());
  EXPECT_EQ(interceptor->calls, 1);
}

TEST_F(OULAppDelegateSwizzlerTest, InterceptorReleasedByUnregisteringMayCallTheSwizzler) {
  // The registry may hold the last reference: the interceptor is then destroyed by the
  // unregistering call, and its destructor may use the swizzler (here: to look at it).
  class Inspecting : public OULAppDelegateInterceptor {
   public:
    explicit Inspecting(bool* sawInstalled) : sawInstalled_(sawInstalled) {}
    ~Inspecting() override { *sawInstalled_ = OULAppDelegateSwizzler::isProxyInstalled(); }

   private:
    bool* sawInstalled_;
  };
  OULAppDelegateSwizzler::proxyOriginalDelegate();
  auto sawInstalled = std::make_shared<bool>(false);
  auto id = OULAppDelegateSwizzler::registerAppDelegateInterceptor(
      std::make_shared<Inspecting>(sawInstalled.get()));
  // On a thread of its own, so that a deadlock fails the test instead of hanging it (the
  // limit is only a safety net: the call returns at once when it works).
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> finished = done->get_future();
  std::thread worker([id, done, sawInstalled] {
    OULAppDelegateSwizzler::unregisterAppDelegateInterceptorWithID(id);
    done->set_value();
  });
  if (finished.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
    worker.detach();
    FAIL() << "unregistering deadlocked in the interceptor's destructor";
  }
  worker.join();
  EXPECT_TRUE(*sawInstalled);
}

}  // namespace
