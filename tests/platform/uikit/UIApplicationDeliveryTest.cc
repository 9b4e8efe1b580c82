// What the system hands the app (opened URLs, user activities, background-session events)
// reaches the delegate through the application object, and the delegate proxy's interceptors
// beside it once the proxy is installed.
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/uikit/UIApplication.h"
#include "platform/utilities/OULAppDelegateSwizzler.h"
#include "tests/platform/uikit/UIKitTestSupport.h"

namespace {

using platform::Value;
using uikittest::UIKitTest;

// Who saw what, in order.
using Log = std::vector<std::string>;

class Interceptor : public OULAppDelegateInterceptor {
 public:
  Interceptor(Log& log, bool consumes) : log_(log), consumes_(consumes) {}
  bool applicationOpenURLOptions(const std::string& url, const Value&) override {
    log_.push_back("interceptor open " + url);
    return consumes_;
  }
  bool applicationContinueUserActivity(const UserActivity& activity,
                                       RestorationHandler restore) override {
    log_.push_back("interceptor activity " + activity.activityType + " '" + activity.webpageURL +
                   "' " + (activity.userInfo.isNull() ? "-" : "info"));
    if (restore) restore(Value(Value::Array{Value("from interceptor")}));
    return consumes_;
  }
  void applicationHandleEventsForBackgroundURLSession(const std::string& identifier,
                                                      CompletionHandler done) override {
    log_.push_back("interceptor session " + identifier);
    done();
  }

 private:
  Log& log_;
  bool consumes_;
};

// A delegate that answers every delivery with `answer`.
class FullDelegate : public UIApplicationDelegate,
                     public UIApplicationOpenURLDelegate,
                     public UIApplicationContinueUserActivityDelegate,
                     public UIApplicationBackgroundURLSessionDelegate {
 public:
  FullDelegate(Log& log, bool answer) : log_(log), answer_(answer) {}
  bool applicationOpenURL(const std::string& url, const Value::Dictionary&) override {
    log_.push_back("delegate open " + url);
    return answer_;
  }
  bool applicationContinueUserActivity(const platform::NSUserActivity& activity,
                                       const RestorationHandler&) override {
    log_.push_back("delegate activity " + activity.webpageURL.value_or("(none)"));
    return answer_;
  }
  void applicationHandleEventsForBackgroundURLSession(const std::string& identifier,
                                                      std::function<void()> done) override {
    log_.push_back("delegate session " + identifier);
    done();
  }

 private:
  Log& log_;
  bool answer_;
};

class DeliveryTest : public UIKitTest {
 protected:
  void SetUp() override {
    UIKitTest::SetUp();
    OULAppDelegateSwizzler::resetForTesting();
  }
  void TearDown() override {
    OULAppDelegateSwizzler::resetForTesting();
    UIKitTest::TearDown();
  }
  // Installs the proxy with one interceptor, as the measurement library does at start.
  void installProxy(bool consumes) {
    OULAppDelegateSwizzler::proxyOriginalDelegate();
    OULAppDelegateSwizzler::registerAppDelegateInterceptor(
        std::make_shared<Interceptor>(log_, consumes));
  }

  Log log_;
  std::shared_ptr<UIApplication> app_ = std::make_shared<UIApplication>();
};

enum class DelegateKind { kNone, kPlain, kAnswersTrue, kAnswersFalse };

struct OpenCase {
  const char* name;
  bool proxy;
  bool interceptorConsumes;
  DelegateKind delegate;
  bool answer;
  Log seen;
};

TEST_F(DeliveryTest, AnOpenedURLReachesTheInterceptorsFirstThenTheDelegate) {
  const std::string url = "app://open?utm_source=news";
  const OpenCase cases[] = {
      {"no proxy", false, false, DelegateKind::kAnswersTrue, true, {"delegate open " + url}},
      {"proxy, delegate handles",
       true,
       false,
       DelegateKind::kAnswersTrue,
       true,
       {"interceptor open " + url, "delegate open " + url}},
      {"proxy, delegate declines",
       true,
       false,
       DelegateKind::kAnswersFalse,
       false,
       {"interceptor open " + url, "delegate open " + url}},
      {"proxy, interceptor consumes",
       true,
       true,
       DelegateKind::kAnswersFalse,
       true,
       {"interceptor open " + url, "delegate open " + url}},
      // The proxy gives the delegate the method it lacks.
      {"proxy, delegate without the method",
       true,
       false,
       DelegateKind::kPlain,
       false,
       {"interceptor open " + url}},
      {"proxy, no delegate", true, true, DelegateKind::kNone, false, {}},
  };
  for (const OpenCase& c : cases) {
    SCOPED_TRACE(c.name);
    OULAppDelegateSwizzler::resetForTesting();
    log_.clear();
    if (c.proxy) installProxy(c.interceptorConsumes);
    std::shared_ptr<UIApplicationDelegate> delegate;
    if (c.delegate == DelegateKind::kPlain) delegate = std::make_shared<UIApplicationDelegate>();
    if (c.delegate == DelegateKind::kAnswersTrue || c.delegate == DelegateKind::kAnswersFalse) {
      delegate = std::make_shared<FullDelegate>(log_, c.delegate == DelegateKind::kAnswersTrue);
    }
    app_->setDelegate(delegate);
    EXPECT_EQ(app_->deliverOpenURL(url, {}), c.answer);
    EXPECT_EQ(log_, c.seen);
  }
}

TEST_F(DeliveryTest, AUserActivityReachesBothInTheirFormsAndRestorationReachesTheSystem) {
  installProxy(false);
  auto delegate = std::make_shared<FullDelegate>(log_, true);
  app_->setDelegate(delegate);
  Log restored;
  auto restore = [&](const Value::Array& objects) {
    for (const Value& object : objects) restored.push_back(*object.asString());
  };
  EXPECT_TRUE(app_->deliverContinueUserActivity(
      {platform::NSUserActivityTypeBrowsingWeb, "https://l.example/a", Value()}, restore));
  EXPECT_TRUE(app_->deliverContinueUserActivity(
      {"com.example.handoff", std::nullopt, Value(Value::Dictionary{{"k", Value(1)}})}, restore));
  EXPECT_EQ(log_,
            (Log{"interceptor activity NSUserActivityTypeBrowsingWeb 'https://l.example/a' -",
                 "delegate activity https://l.example/a",
                 "interceptor activity com.example.handoff '' info", "delegate activity (none)"}));
  EXPECT_EQ(restored, (Log{"from interceptor", "from interceptor"}));
  // The system may hand no restoration handler: the interceptors get none either.
  EXPECT_TRUE(app_->deliverContinueUserActivity(
      {platform::NSUserActivityTypeBrowsingWeb, "https://l.example/b", Value()}, nullptr));
}

TEST_F(DeliveryTest, TheBackgroundSessionCompletionRunsOnceWhoeverCallsIt) {
  int completions = 0;
  auto delegate = std::make_shared<FullDelegate>(log_, true);
  auto plain = std::make_shared<UIApplicationDelegate>();

  // Neither a proxy nor a delegate method: nobody is handed the events.
  app_->setDelegate(plain);
  EXPECT_FALSE(app_->deliverBackgroundURLSessionEvents("s0", [&] { ++completions; }));
  EXPECT_EQ(completions, 0);

  installProxy(false);
  app_->setDelegate(delegate);
  EXPECT_TRUE(app_->deliverBackgroundURLSessionEvents("s1", [&] { ++completions; }));
  EXPECT_EQ(log_, (Log{"interceptor session s1", "delegate session s1"}));
  EXPECT_EQ(completions, 1);

  app_->setDelegate(plain);
  EXPECT_TRUE(app_->deliverBackgroundURLSessionEvents("s2", [&] { ++completions; }));
  EXPECT_EQ(completions, 2);
}

TEST_F(DeliveryTest, ADeliveryFromAnotherThreadHappensOnTheMainQueue) {
  installProxy(false);
  auto delegate = std::make_shared<FullDelegate>(log_, true);
  app_->setDelegate(delegate);
  bool answer = true;
  std::thread([&] { answer = app_->deliverOpenURL("app://late", {}); }).join();
  EXPECT_FALSE(answer);
  EXPECT_TRUE(log_.empty());
  env_.drainMain();
  EXPECT_EQ(log_, (Log{"interceptor open app://late", "delegate open app://late"}));
}

}  // namespace
