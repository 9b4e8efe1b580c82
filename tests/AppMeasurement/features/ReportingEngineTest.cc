// The reporters installed into a running engine, uploading to the measurement service (its own
// process): a session start, screen views and engagement as the app goes through screens, the
// search-ads campaign from an attributing answer, a new session clearing the session-scoped
// audience bits, and the session's identifier given to the events stored before it. Uploads
// are read with protoc.
#include <gtest/gtest.h>

#include "AppMeasurement/features/APMFeatureInstaller.h"
#include "AppMeasurement/features/APMScreenViewReporter.h"
#include "AppMeasurement/features/APMSearchAdReporter.h"
#include "AppMeasurement/features/APMSessionReporter.h"
#include "AppMeasurement/foundation/APMIdentity.h"
#include "AppMeasurement/foundation/APMMonitor.h"
#include "AppMeasurement/foundation/APMRemoteConfig.h"
#include "platform/adservices/AAAttribution.h"
#include "platform/foundation/JSONSerialization.h"
#include "platform/uikit/UIApplication.h"
#include "platform/uikit/UIViewController.h"
#include "platform/uikit/UIWindow.h"
#include "tests/AppMeasurement/engine/EngineTestSupport.h"
#include "tests/AppMeasurement/features/ServiceUploads.h"
#include "tests/support/ClosedPort.h"
#include "tests/support/ServiceProcess.h"

namespace {

using enginetest::EngineTest;
using enginetest::protoc;
using testsupport::httpRequest;
using testsupport::runCommand;
using testsupport::ServiceProcess;

class ReportingEngine : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    service_ = std::make_unique<ServiceProcess>(
        KVL_TEST_SERVICE,
        std::vector<std::string>{"--port", "0", "--data", (base_ / "service").string()});
    std::string host = service_->baseURL().substr(std::string("http://").size());
    APMRemoteConfig::setHosts({host, host, host});
    APMSearchAdReporter::setAttributionServiceHost(host);
    platform::AAAttribution::registerInRuntime();  // the app links AdServices
    APMInstallMeasurementFeatures();
    APMScreenViewReporter::sharedInstance()->resetForTesting();
    APMPersistedConfig::sharedInstance()->clearValues();
    APMMonitor::monitor()->setDebugModeEnabled(true);  // uploads every 10 s, as in development
    application_ = std::make_shared<UIApplication>();
  }
  void TearDown() override {
    engine.reset();
    if (auto shared = APMMeasurement::sharedInstance()) shared->setEnabled(false);
    env.waitUntilIdle();
    UIWindow::closeAllWindowsForTesting();
    APMScreenViewReporter::sharedInstance()->resetForTesting();
    APMFeatureServices::install(APMFeatureServices::neutral());
    platform::AAAttribution::unregisterFromRuntime();
    APMSearchAdReporter::setAttributionServiceHost(testsupport::processClosedPort().host());
    APMPersistedConfig::sharedInstance()->clearValues();
    APMIdentity::resetAppIDFromRZQForTesting();
    std::thread([] { APMPersistedConfig::sharedInstance()->synchronizeToDisk(); }).join();
    APMMonitor::monitor()->setDebugModeEnabled(false);
    EngineTest::TearDown();
    service_.reset();
    APMRemoteConfig::setHosts(testsupport::processClosedHosts<APMRemoteConfig::Hosts>());
  }

  // Starts measurement as the platform core does (origin "ka", which vouches for the app
  // identifier of the configurations), collection on.
  void startMeasurement() {
    // The platform app identifier, as the service file gives it: only it vouches for the
    // configuration the service answers.
    APMIdentity::resetAppIDFromRZQForTesting();
    APMIdentity::sharedInstance()->setAppIDFromRZQ(kAppID);
    APMAnalytics::startWithAppID(
        kAppID, "ka",
        platform::Value::Dictionary{
            {"KAVRELIN_ANALYTICS_COLLECTION_ENABLED", platform::Value(true)}});
    env.waitUntilIdle();
    engine = APMMeasurement::sharedInstance();
    ASSERT_TRUE(engine);
    ASSERT_TRUE(engine->didInitializeComponents());
  }

  // Every upload so far, decoded by protoc.
  std::string uploads() { return featuretest::decodedUploads(service_->baseURL()); }
  // Lets the upload alarm fire and waits (in real time) until everything stored was sent and
  // the uploads hold `text`.
  bool uploadedWith(const std::string& text) {
    for (int i = 0; i < 30; ++i) {
      // The engine arms its upload alarm after a write only when an editing program runs;
      // arm it here so the test does not depend on that.
      onWorker([&] { engine->updateSchedule(); });
      env.advance(10);
      if (waitFor([&] { return !engine->isNetworkRequestPending() && !engine->hasDataToUpload(); },
                  2) &&
          uploads().find(text) != std::string::npos) {
        return true;
      }
    }
    return false;
  }
  static size_t count(const std::string& text, const std::string& what) {
    size_t found = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
      ++found;
    }
    return found;
  }
  static std::shared_ptr<UIViewController> screen(const std::string& className) {
    return std::make_shared<UIViewController>(
        UIViewController::ClassInfo{className, "UIViewController", true});
  }

  std::unique_ptr<ServiceProcess> service_;
  std::shared_ptr<UIApplication> application_;
};

TEST_F(ReportingEngine, SessionScreensEngagementAndCampaignReachTheService) {
  startMeasurement();
  application_->didBecomeActive();
  env.waitUntilIdle();
  auto navigation = std::make_shared<UINavigationController>();
  navigation->pushViewController(screen("App.HomeController"));
  std::shared_ptr<UIWindow> window = UIWindow::create();
  window->setRootViewController(navigation);
  window->makeKeyAndVisible();
  env.advance(3);
  navigation->pushViewController(screen("App.ShopController"));
  env.advance(4);
  navigation->pushViewController(screen("App.CartController"));
  env.waitUntilIdle();

  ASSERT_TRUE(uploadedWith("\"_cmp\"")) << uploads();
  std::string decoded = uploads();
  EXPECT_EQ(count(decoded, "name: \"_s\""), 1u) << decoded;
  EXPECT_EQ(count(decoded, "name: \"_vs\""), 3u) << decoded;
  EXPECT_GE(count(decoded, "name: \"_e\""), 2u) << decoded;
  for (const char* className : {"HomeController", "ShopController", "CartController"}) {
    EXPECT_NE(decoded.find(std::string("string_value: \"") + className + "\""), std::string::npos)
        << className;
  }
  // The campaign of the attributing answer, with its ids as digits.
  EXPECT_NE(decoded.find("string_value: \"542370539\""), std::string::npos) << decoded;
  EXPECT_NE(decoded.find("string_value: \"Apple\""), std::string::npos) << decoded;
}

TEST_F(ReportingEngine, ANewSessionClearsSessionScopedAudienceBits) {
  std::string config = protoc("encode", "MeasurementConfig",
                              std::string("app_id: \"") + kAppID + "\" version: 4 " +
                                  "audiences { audience_id: 7 event_filters { filter_id: 3 "
                                  "event_name: \"level_up\" session_scoped: true } } "
                                  "audiences { audience_id: 8 event_filters { filter_id: 5 "
                                  "event_name: \"level_up\" } }");
  ASSERT_EQ(
      httpRequest("PUT", service_->baseURL() + "/_control/config/" + kAppID, {}, config).status,
      204);
  platform::AAAttribution::shared()->setToken("not-attributed");
  startMeasurement();
  // The audiences come with the configuration: fetch it before anything is bundled.
  onWorker([&] { engine->fetchRemoteConfig(); });
  ASSERT_TRUE(waitFor([&] { return !engine->isNetworkRequestPending(); }));
  application_->didBecomeActive();
  env.waitUntilIdle();
  ASSERT_TRUE(uploadedWith("name: \"_s\""));
  APMAnalytics::logEventWithName("level_up", {});
  env.waitUntilIdle();
  ASSERT_TRUE(uploadedWith("name: \"level_up\""));
  auto results = [&] {
    std::string rows;
    onWorker([&] {
      rows = runCommand("sqlite3 '" + engine->database()->databasePath() +
                        "' 'SELECT audience_id, hex(current_results) FROM audience_filter_values "
                        "ORDER BY audience_id'");
    });
    return rows;
  };
  std::string before = results();
  // Both audiences hold their bit: 7's session-scoped filter 3 (bit 3), 8's filter 5 (bit 5).
  EXPECT_NE(before.find("7|"), std::string::npos) << before;
  std::string decodedBefore = uploads();

  // Away longer than the session timeout: the next activation starts a new session.
  application_->willResignActive();
  application_->didEnterBackground();
  env.advance(1801);
  application_->willEnterForeground();
  application_->didBecomeActive();
  env.waitUntilIdle();
  ASSERT_TRUE(uploadedWith("_sno"));
  std::string decoded = uploads();
  EXPECT_EQ(count(decoded, "name: \"_s\""), 2u) << decoded;
  std::string after = results();
  EXPECT_NE(before, after);
  // The bundle of the new session: the session-scoped result is gone from it (its row was
  // cleared before the bundle's events were evaluated), the other audience keeps its bit.
  size_t sessionStart = decoded.rfind("name: \"_s\"");
  size_t bundleStart = decoded.rfind("bundles {", sessionStart);
  size_t bundleEnd = decoded.find("\nbundles {", sessionStart);
  ASSERT_NE(bundleStart, std::string::npos);
  std::string bundle = decoded.substr(
      bundleStart, bundleEnd == std::string::npos ? std::string::npos : bundleEnd - bundleStart);
  EXPECT_EQ(bundle.find("audience_id: 7"), std::string::npos) << bundle;
  size_t kept = bundle.find("audience_id: 8");
  ASSERT_NE(kept, std::string::npos) << bundle;
  EXPECT_NE(bundle.find("results: 32", kept), std::string::npos) << bundle;
  // Before it, the session-scoped bit (filter 3) had been uploaded.
  EXPECT_NE(decodedBefore.find("audience_id: 7\n    current_data {\n      status: 8\n      "
                               "results: 8"),
            std::string::npos)
      << decodedBefore;
}

TEST_F(ReportingEngine, AppSessionTimeoutReachesTheSessionReporter) {
  APMAnalytics::setSessionTimeoutInterval(90);  // before start: kept for the first reporter
  env.waitUntilIdle();
  startMeasurement();
  std::shared_ptr<APMSessionReporter> sessions = APMSessionReporter::installed();
  ASSERT_TRUE(sessions);
  EXPECT_EQ(sessions->timeoutSessionInterval(), 90);
  EXPECT_FALSE(APMPersistedConfig::sharedInstance()->sessionTimeoutValue());  // applied once
  APMAnalytics::setSessionTimeoutInterval(120);  // after start: straight to the reporter
  env.waitUntilIdle();
  EXPECT_EQ(sessions->timeoutSessionInterval(), 120);
}

// A public reset starts the session reporter over: the app's timeout and the engagement of the
// wiped data are gone, and it goes on reporting while collection is on.
TEST_F(ReportingEngine, APublicResetStartsTheSessionReporterOver) {
  startMeasurement();
  application_->didBecomeActive();
  env.waitUntilIdle();
  std::shared_ptr<APMSessionReporter> sessions = APMSessionReporter::installed();
  ASSERT_TRUE(sessions);
  APMAnalytics::setSessionTimeoutInterval(120);
  env.waitUntilIdle();
  ASSERT_EQ(sessions->timeoutSessionInterval(), 120);
  env.advance(40);
  env.waitUntilIdle();
  ASSERT_GE(sessions->incurredEngagementTime(), 40);

  APMAnalytics::resetAnalyticsData();
  env.waitUntilIdle();
  EXPECT_EQ(sessions->timeoutSessionInterval(),
            APMMeasurement::remoteConfig()->sessionDefaultTimeoutInterval());
  EXPECT_LT(sessions->incurredEngagementTime(), 1);
  EXPECT_TRUE(sessions->isReportingEnabled());
}

// The events stored before the first session's start (the first open, what the app logged
// before it became active) reach the upload with the session's "_sid" and "_sno"; an event
// logged in the session carries them in its user properties only, and one stamped before the
// first open stays without them.
TEST_F(ReportingEngine, EventsBeforeTheSessionStartCarryItsIdentifier) {
  startMeasurement();
  APMAnalytics::logEventWithName("before_session", {});
  env.waitUntilIdle();
  engine->logEvent("app", true, "stamped_before_first_open", {}, env.now() - 3600, true, false,
                   false, nullptr, {});
  env.waitUntilIdle();
  application_->didBecomeActive();
  env.waitUntilIdle();
  APMAnalytics::logEventWithName("in_session", {});
  env.waitUntilIdle();
  ASSERT_TRUE(uploadedWith("name: \"in_session\"")) << uploads();

  std::string decoded = uploads();
  auto event = [&](const std::string& name) {
    size_t at = decoded.find("\n    name: \"" + name + "\"");
    if (at == std::string::npos) return std::string();
    size_t begin = decoded.rfind("events {", at);
    return decoded.substr(begin, decoded.find("\n  }", at) - begin);
  };
  std::string start = event("_s");
  size_t sidAt = start.find("name: \"_sid\"\n      int_value: ");
  ASSERT_NE(sidAt, std::string::npos) << decoded;
  std::string sid = start.substr(sidAt, start.find('\n', start.find("int_value", sidAt)) - sidAt);
  for (const char* name : {"_f", "before_session"}) {
    std::string before = event(name);
    EXPECT_NE(before.find(sid), std::string::npos) << name << "\n" << decoded;
    EXPECT_NE(before.find("name: \"_sno\"\n      int_value: 1"), std::string::npos) << name << "\n"
                                                                                    << decoded;
  }
  std::string old = event("stamped_before_first_open");
  ASSERT_FALSE(old.empty()) << decoded;
  EXPECT_EQ(old.find("\"_sid\""), std::string::npos) << old;
  std::string later = event("in_session");
  EXPECT_EQ(later.find("\"_sid\""), std::string::npos) << later;
  // Its bundle's user properties carry the session instead.
  size_t laterAt = decoded.find(later);
  size_t bundleBegin = decoded.rfind("bundles {", laterAt);
  size_t bundleEnd = decoded.find("\nbundles {", laterAt);
  std::string laterBundle = decoded.substr(
      bundleBegin, bundleEnd == std::string::npos ? std::string::npos : bundleEnd - bundleBegin);
  EXPECT_NE(laterBundle.find("name: \"_sid\"\n    int_value: "), std::string::npos) << laterBundle;
}

}  // namespace
