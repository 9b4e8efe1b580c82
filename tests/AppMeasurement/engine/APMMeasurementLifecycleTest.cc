// The engine's own start-up and life-cycle work: the launch link dropped when collection is
// switched off, the first open's campaign and ad-network registration, the session reporter
// made over at a reset, the configuration refresh on becoming active, app and OS updates, the
// session a configuration request uses, and the lifetime-value failure line. Requests go to
// the measurement service run as its own process; uploads are read with protoc.
#include <sys/xattr.h>

#include <cmath>
#include <fstream>
#include <functional>

#include "AppMeasurement/foundation/APMFilePaths.h"
#include "AppMeasurement/foundation/APMMonitor.h"
#include "AppMeasurement/foundation/APMUserDefaults.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/storekit/SKAdNetwork.h"
#include "platform/uikit/UIApplication.h"
#include "platform/uikit/UIApplicationNotifications.h"
#include "tests/AppMeasurement/engine/AttributionTestSupport.h"

namespace {

using enginetest::AttributionTest;
using enginetest::protoc;

constexpr const char* kLaunchLink = "app://x?utm_source=news&utm_campaign=spring";

// The session reporter as the engine drives it: each start-over, and whether it reports.
class RecordingSessions : public APMSessionReporting {
 public:
  void resetWithPersistedConfig(std::shared_ptr<APMPersistedConfig> persistedConfig) override {
    ++resets;
    reporting = false;
    // Where the start-up reaches this step: the library's folder is not yet kept out of
    // backups on a first start.
    if (!excludedAtFirstReset) {
      std::filesystem::path database = APMApplicationSupportPath("orvane-app-measurement.sql");
      excludedAtFirstReset =
          getxattr(database.parent_path().c_str(),
                   platform::FileManager::kExcludedFromBackupAttribute, nullptr, 0) >= 0;
    }
  }
  void setReportingEnabled(bool enabled) override { reporting = enabled; }
  int resets = 0;
  bool reporting = false;
  std::optional<bool> excludedAtFirstReset;
};

// Purchases whose lifetime value cannot be recorded.
class FailingLifetimeValue : public APMLifetimeValueRecording {
 public:
  bool isPurchaseEvent(const APMEvent& event) override { return event.name() == "purchase"; }
  bool recordLifetimeValueToDatabase(APMDatabase&, const APMEvent&, double) override {
    return false;
  }
};

class LifecycleTest : public AttributionTest {
 protected:
  void SetUp() override {
    AttributionTest::SetUp();
    SKAdNetwork::resetForTesting();
    UIApplication::sharedApplication()->resetForTesting();
  }
  void TearDown() override {
    AttributionTest::TearDown();
    SKAdNetwork::resetForTesting();
    UIApplication::sharedApplication()->resetForTesting();
  }

  // The link that opened the app, cached from the launch options before measurement starts.
  static void launchWithLink(const std::string& link) {
    APMMeasurement::handleStoredURLAfterAppLaunchWithUserInfo(platform::Value(
        platform::Value::Dictionary{{"UIApplicationLaunchOptionsURLKey", platform::Value(link)}}));
  }
  static bool linkCached() {
    return APMUserDefaults::sharedUserDefaults()
        ->objectForKey("/orvane/measurement/deep_link")
        .has_value();
  }

  // An engine whose collection is off at creation: it is switched off on the worker queue
  // and nothing starts until the test enables it.
  void makeEngineWithCollectionOff() {
    persistedConfig = APMPersistedConfig::create("engine-test");
    APMMeasurement::Collaborators collaborators;
    collaborators.persistedConfig = persistedConfig;
    APMIdentity::resetAppIDFromRZQForTesting();
    identity =
        APMIdentity::create(persistedConfig, std::make_shared<APMDefaultIdentitySupport>(support));
    identity->setAppIDFromRZQ(kAppID);
    collaborators.identity = identity;
    engine = APMMeasurement::create(std::move(collaborators), kAppID, false, false, {});
    env.waitUntilIdle();
    ASSERT_FALSE(engine->didInitializeComponents());
  }

  void writeInfoPlistWith(platform::Value::Dictionary info) {
    info.emplace("ORVANE_ANALYTICS_DEFERRED_DEEP_LINK_ENABLED", platform::Value(true));
    writeInfoPlist(std::move(info));
  }

  size_t configRequests() {
    size_t found = 0;
    auto answer = testsupport::httpRequest("GET", service_->baseURL() + "/_control/requests");
    auto parsed = platform::JSONSerialization::JSONObjectWithData(answer.body);
    if (!parsed.ok() || !parsed->isArray()) return 0;
    for (const platform::Value& request : *parsed->asArray()) {
      found += request.asDictionary()->at("path").asString()->rfind("/config/app/", 0) == 0;
    }
    return found;
  }

  // Every upload the service received, decoded, in order.
  std::string allUploads() {
    std::string decoded;
    for (const platform::Value::Dictionary& upload : requestsTo("/a")) {
      decoded += protoc("decode", "MeasurementBatch",
                        testsupport::runCommand("base64 -d", *upload.at("body_base64").asString()));
    }
    return decoded;
  }

  // The remote configuration as if it had last been fetched `age` seconds ago.
  void configurationFetchedAgo(double age) {
    onWorker([&] {
      ASSERT_TRUE(
          engine->database()->updateRemoteConfigSuccessfulTimestamp(env.now() - age, nullptr));
    });
  }
};

// Collection off at start: the disable drops a launch link older than the attribution window,
// so a later enable reports no campaign of unknown source; a younger link stays and is the
// first open's campaign.
TEST_F(LifecycleTest, DisablingDropsAnExpiredLaunchLink) {
  launchWithLink(kLaunchLink);
  env.advance(604800 + 10);
  makeEngineWithCollectionOff();
  EXPECT_FALSE(linkCached());
  engine->setEnabled(true);
  env.waitUntilIdle();
  ASSERT_TRUE(engine->didInitializeComponents());
  EXPECT_TRUE(storedEvents("_cmpx").empty());
  EXPECT_TRUE(storedEvents("_cmp").empty());
}

TEST_F(LifecycleTest, DisablingKeepsAFreshLaunchLink) {
  launchWithLink(kLaunchLink);
  env.advance(604800 - 10);
  makeEngineWithCollectionOff();
  EXPECT_TRUE(linkCached());
  engine->setEnabled(true);
  env.waitUntilIdle();
  ASSERT_TRUE(engine->didInitializeComponents());
  std::vector<std::map<std::string, std::string>> campaigns = storedEvents("_cmp");
  ASSERT_EQ(campaigns.size(), 1u);
  EXPECT_EQ(campaigns[0]["source"], "news");
  EXPECT_TRUE(storedEvents("_cmpx").empty());
}

// The first open at 10:20:00.500 reports the link that opened the app as clicked one
// millisecond before it; the upload the service receives carries that click time.
TEST_F(LifecycleTest, FirstOpenReportsTheLaunchLinkClickedJustBefore) {
  startService();
  double hour = std::floor(env.now() / 3600) * 3600;
  env.advance(hour + 3600 + 1200.5 - env.now());
  APMAnalytics::setLoadTimestamp(env.now());
  launchWithLink(kLaunchLink);
  makeAttributionEngine();
  int64_t firstOpen = persistedConfig->firstOpenTimestampMilliseconds();
  ASSERT_EQ(firstOpen, static_cast<int64_t>(std::llround((hour + 3600 + 1200.5) * 1000)));
  EXPECT_FALSE(linkCached());
  std::vector<std::map<std::string, std::string>> campaigns = storedEvents("_cmp");
  ASSERT_EQ(campaigns.size(), 1u);
  EXPECT_EQ(campaigns[0]["click_timestamp"], std::to_string(firstOpen - 1));

  std::string decoded = uploadAfterAnHour();
  ASSERT_FALSE(decoded.empty());
  size_t campaign = decoded.find("\n    name: \"_cmp\"");
  ASSERT_NE(campaign, std::string::npos) << decoded;
  size_t start = decoded.rfind("\n  events {", campaign);
  size_t end = decoded.find("\n  }", campaign);
  ASSERT_NE(start, std::string::npos);
  std::string event = decoded.substr(start, end == std::string::npos ? end : end - start);
  EXPECT_NE(
      event.find("name: \"click_timestamp\"\n      int_value: " + std::to_string(firstOpen - 1)),
      std::string::npos)
      << event;
  EXPECT_NE(event.find("string_value: \"news\""), std::string::npos) << event;
  // "_cc": the hour before the hour the link was stored in.
  EXPECT_NE(event.find("name: \"_cc\"\n      int_value: " +
                       std::to_string(static_cast<int64_t>(hour * 1000))),
            std::string::npos)
      << event;
}

// The first open registers the app for ad network attribution unless the Info.plist says a
// number that is false; later starts do not register again.
TEST_F(LifecycleTest, FirstOpenRegistersForAdNetworkAttribution) {
  struct Case {
    const char* what;
    std::optional<platform::Value> setting;
    bool registered;
  };
  const Case cases[] = {
      {"no setting", std::nullopt, true},
      {"true", platform::Value(true), true},
      {"false", platform::Value(false), false},
      {"0", platform::Value(int64_t{0}), false},
      {"text NO: not a number", platform::Value("NO"), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    platform::Value::Dictionary info;
    if (c.setting)
      info.emplace("ORVANE_ANALYTICS_REGISTRATION_WITH_AD_NETWORK_ENABLED", *c.setting);
    writeInfoPlistWith(info);
    SKAdNetwork::resetForTesting();
    capture.clear();
    makeAttributionEngine();
    ASSERT_TRUE(userProperty("_fot"));
    EXPECT_EQ(SKAdNetwork::registrations().size(), c.registered ? 1u : 0u);
    EXPECT_EQ(logged(23217), !c.registered);
    // The next start is no first open.
    engine->setEnabled(false);
    env.waitUntilIdle();
    engine.reset();
    SKAdNetwork::resetForTesting();
    capture.clear();
    makeAttributionEngine();
    EXPECT_TRUE(SKAdNetwork::registrations().empty());
    EXPECT_FALSE(logged(23217));
    // A fresh install for the next case.
    onWorker([&] { engine->wipeoutAnalyticsDataAndResetComponents(); });
    engine->setEnabled(false);
    env.waitUntilIdle();
    engine.reset();
  }
}

// Start-up makes the session reporter before it keeps the library's folder out of backups; a
// reset makes it again over the cleared settings, reporting only while collection is on.
TEST_F(LifecycleTest, SessionReporterAtStartAndAtReset) {
  auto sessions = std::make_shared<RecordingSessions>();
  features = APMFeatureServices::current();
  features->sessionReporter = sessions;
  makeAttributionEngine();
  EXPECT_EQ(sessions->resets, 1);
  EXPECT_EQ(sessions->excludedAtFirstReset, false);
  EXPECT_TRUE(sessions->reporting);

  const std::string newID = "0123456789ABCDEF0123456789ABCDEF";
  ASSERT_TRUE(engine->resetAnalyticsDataWithAppInstanceID(newID));
  env.waitUntilIdle();
  EXPECT_EQ(sessions->resets, 2);
  EXPECT_TRUE(sessions->reporting);

  engine->setEnabled(false);
  env.waitUntilIdle();
  ASSERT_TRUE(engine->resetAnalyticsDataWithAppInstanceID(newID));
  env.waitUntilIdle();
  EXPECT_EQ(sessions->resets, 3);
  EXPECT_FALSE(sessions->reporting);
}

// Becoming active refreshes a configuration 7 days old or older, only while the internal
// blocklist setting is on, and not while another request is out (23143).
TEST_F(LifecycleTest, ConfigurationRefreshOnBecomingActive) {
  startService();
  makeAttributionEngine();
  fetchConfig({{"measurement.upload.blacklist_internal", "1"}});
  ASSERT_TRUE(engine->currentConfig()->blocklistInternal());
  auto becomeActive = [&] {
    platform::NotificationCenter::defaultCenter().postNotificationName(
        UIApplicationDidBecomeActiveNotification);
    env.waitUntilIdle();
    EXPECT_TRUE(waitFor([&] { return !engine->isNetworkRequestPending(); }));
  };
  struct Case {
    const char* what;
    double age;  // seconds since the configuration was fetched
    bool fetched;
  };
  const Case cases[] = {
      {"6 days", 6 * 86400, false},
      {"7 days less a second", 604799, false},
      {"7 days", 604800, true},
      {"a clock set back 8 days", -8 * 86400, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    configurationFetchedAgo(c.age);
    size_t before = configRequests();
    becomeActive();
    EXPECT_EQ(configRequests(), before + (c.fetched ? 1 : 0));
  }

  // Another request out: nothing is fetched, and the line (verbose) says why.
  control("POST", "/_control/script",
          "{\"path\": \"/config/app/" + std::string(kAppID) +
              "\", \"delay_ms\": 2000, "
              "\"times\": 1}");
  configurationFetchedAgo(8 * 86400);
  size_t before = configRequests();
  platform::NotificationCenter::defaultCenter().postNotificationName(
      UIApplicationDidBecomeActiveNotification);
  env.waitUntilIdle();
  onWorker([&] { ASSERT_TRUE(engine->isNetworkRequestPending()); });
  capture.clear();
  APMMonitor::monitor()->setVerboseLoggingEnabled(true);
  platform::NotificationCenter::defaultCenter().postNotificationName(
      UIApplicationDidBecomeActiveNotification);
  EXPECT_TRUE(logged(23143));
  APMMonitor::monitor()->setVerboseLoggingEnabled(false);
  ASSERT_TRUE(waitFor([&] { return !engine->isNetworkRequestPending(); }));
  EXPECT_EQ(configRequests(), before + 1);

  // Without the internal blocklist setting, even an old configuration is not refreshed here.
  applySettings({});
  ASSERT_FALSE(engine->currentConfig()->blocklistInternal());
  configurationFetchedAgo(30 * 86400);
  before = configRequests();
  becomeActive();
  EXPECT_EQ(configRequests(), before);
}

// A new app or OS version at start is logged as "_au" / "_ou" with the one stored before
// ("_pv" / "_po"); a version stored for the first time, or unchanged, logs nothing. The events
// go through the public-call layer to the shared engine and reach the service.
TEST_F(LifecycleTest, AppAndOSUpdatesReachTheService) {
  writeInfoPlistWith({});  // version 2.5
  startService();
  std::shared_ptr<APMPersistedConfig> shared = APMPersistedConfig::sharedInstance();
  shared->clearValues();
  shared->setAppVersion("1.0");  // the OS version was never stored
  APMIdentity::resetAppIDFromRZQForTesting();
  APMIdentity::sharedInstance()->setAppIDFromRZQ(kAppID);
  APMAnalytics::startWithAppID(kAppID, "app", {});
  env.waitUntilIdle();
  engine = APMMeasurement::sharedInstance();
  ASSERT_TRUE(engine && engine->didInitializeComponents());
  std::string appVersion = engine->engineIdentity()->appVersion();
  ASSERT_FALSE(appVersion.empty());
  ASSERT_NE(appVersion, "1.0");
  EXPECT_EQ(shared->appVersion(), appVersion);
  EXPECT_EQ(shared->osVersion(), "17.2");

  // The next launch finds the same app on a newer system.
  setSystemVersion("17.3");
  onWorker([&] {
    engine->reportAppUpdateOnWorkerQueue();
    engine->reportOSUpdateOnWorkerQueue();
  });
  env.waitUntilIdle();
  EXPECT_EQ(shared->osVersion(), "17.3");

  ASSERT_FALSE(uploadAfterAnHour().empty());
  std::string decoded = allUploads();
  auto countOf = [&](const std::string& text) {
    size_t found = 0;
    for (size_t at = decoded.find(text); at != std::string::npos; at = decoded.find(text, at + 1))
      ++found;
    return found;
  };
  EXPECT_EQ(countOf("name: \"_au\""), 1u) << decoded;
  EXPECT_EQ(countOf("name: \"_ou\""), 1u) << decoded;
  EXPECT_NE(decoded.find("name: \"_pv\"\n      string_value: \"1.0\""), std::string::npos)
      << decoded;
  EXPECT_NE(decoded.find("name: \"_po\"\n      string_value: \"17.2\""), std::string::npos)
      << decoded;
  engine->setEnabled(false);
  env.waitUntilIdle();
  shared->clearValues();
}

// The configuration and deferred-deep-link requests use the background session exactly when
// uploads would: the server allows it and a background task is held.
TEST_F(LifecycleTest, RequestsUseTheUploadsSession) {
  startService();
  makeAttributionEngine();
  // The first answered fetch also asks for the deferred deep link: done before counting.
  ASSERT_TRUE(waitFor([&] { return engine->isNetworkReadyForRequest(); }));
  onWorker([&] { engine->fetchRemoteConfig(); });
  ASSERT_TRUE(waitFor([&] { return !engine->isNetworkRequestPending(); }));
  std::shared_ptr<OULNetwork> network = engine->network();
  struct Case {
    const char* what;
    bool allowed;
    bool task;
  };
  const Case cases[] = {
      {"allowed, task held", true, true},
      {"allowed, no task", true, false},
      {"not allowed, task held", false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    applySettings({{"measurement.network.background_session_enabled", c.allowed ? "1" : "0"}});
    // How many of the requests the block sends use the background session.
    auto backgroundRequests = [&](const std::function<void()>& send) {
      if (c.task) {
        engine->swapBackgroundTaskWithNewTaskID(
            UIApplication::sharedApplication()->beginBackgroundTaskWithName(
                "APMAnalyticsMeasurementBackgroundTask", {}));
      }
      EXPECT_TRUE(waitFor([&] { return engine->isNetworkReadyForRequest(); }));
      uint64_t before = network->backgroundSessionRequestCount();
      onWorker([&] {
        EXPECT_EQ(engine->shouldUseBackgroundSession(), c.allowed && c.task);
        send();
      });
      uint64_t used = network->backgroundSessionRequestCount() - before;
      EXPECT_TRUE(waitFor([&] { return !engine->isNetworkRequestPending(); }));
      engine->terminateBackgroundTask();
      return used;
    };
    uint64_t expected = c.allowed && c.task ? 1 : 0;
    EXPECT_EQ(backgroundRequests([&] { engine->fetchRemoteConfig(); }), expected);
    EXPECT_EQ(backgroundRequests([&] { engine->requestDeferredDeepLink(); }), expected);
  }
}

// A purchase whose lifetime value cannot be recorded is dropped with its name, currency and
// value in the line.
TEST_F(LifecycleTest, UnrecordedLifetimeValueNamesCurrencyAndValue) {
  features = APMFeatureServices::current();
  features->lifetimeValueRecorder = std::make_shared<FailingLifetimeValue>();
  makeAttributionEngine();
  capture.clear();
  logEvent("app", true, "purchase",
           {{"currency", APMObject(platform::Value("EUR"))},
            {"value", APMObject(platform::Value(9.75))}});
  ASSERT_TRUE(logged(23053));
  bool found = false;
  for (const std::string& line : capture.lines()) {
    if (line.find("I-ACS023053") == std::string::npos) continue;
    found = true;
    EXPECT_NE(line.find("purchase"), std::string::npos) << line;
    EXPECT_NE(line.find("EUR"), std::string::npos) << line;
    EXPECT_NE(line.find("9.75"), std::string::npos) << line;
  }
  EXPECT_TRUE(found);
  EXPECT_TRUE(storedEvents("purchase").empty());
}

// Each start-up operation that belongs on the worker queue says so, by its own name, when it
// is called from the main thread (the test's thread is the process's main thread). Only those
// that reach no database when nothing is due can be called there at all.
TEST_F(LifecycleTest, WorkerQueueOperationsNameThemselvesOffTheirQueue) {
  makeAttributionEngine();
  struct Case {
    const char* name;
    std::function<void(APMMeasurement&)> call;
  };
  const Case cases[] = {
      {"reportAppUpdateOnWorkerQueue", [](APMMeasurement& e) { e.reportAppUpdateOnWorkerQueue(); }},
      {"reportOSUpdateOnWorkerQueue", [](APMMeasurement& e) { e.reportOSUpdateOnWorkerQueue(); }},
      {"reportStoredCampaignEventOnWorkerQueue:",
       [](APMMeasurement& e) { e.reportStoredCampaignEventOnWorkerQueue(std::nullopt); }},
      {"reportSessionStartWhenSceneWillConnectOnWorkerQueue",
       [](APMMeasurement& e) { e.reportSessionStartWhenSceneWillConnectOnWorkerQueue(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    capture.clear();
    c.call(*engine);
    env.waitUntilIdle();
    EXPECT_TRUE(
        capture.contains(std::string("Method ") + c.name + " should execute on background thread"));
  }
}

// "_fot" is the first-open time given to the hour: rounded up to the next full hour, a time
// exactly on an hour going to the next one.
TEST(FirstOpenTimeTest, RoundedUpToTheNextHour) {
  constexpr int64_t kHour = 3600000;
  constexpr int64_t k10 = 472222LL * kHour;  // some day's 10:00:00.000, in ms since 1970
  struct Case {
    const char* what;
    int64_t millis;
    int64_t expected;
  };
  const Case cases[] = {
      {"10:20:00.500", k10 + 20 * 60000 + 500, k10 + kHour},
      {"10:00:00.000 exactly", k10, k10 + kHour},
      {"10:59:59.999", k10 + kHour - 1, k10 + kHour},
      {"10:00:00.001", k10 + 1, k10 + kHour},
      {"zero", 0, kHour},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(APMMeasurement::timestampMillisRoundedUpToNextHour(c.millis), c.expected);
  }
}

// A path's attributes: nothing for an empty path or one that cannot be read (its line is at
// level 5, never printed); size and type for a file and a folder.
TEST_F(LifecycleTest, FileAttributesForPath) {
  std::filesystem::path folder = base_ / "attributes";
  std::filesystem::create_directories(folder);
  std::ofstream(folder / "five") << "12345";
  EXPECT_FALSE(APMMeasurement::fileAttributesForPath("").has_value());
  EXPECT_FALSE(APMMeasurement::fileAttributesForPath((folder / "missing").string()).has_value());
  std::optional<platform::Value::Dictionary> file =
      APMMeasurement::fileAttributesForPath((folder / "five").string());
  ASSERT_TRUE(file.has_value());
  EXPECT_EQ(file->at("NSFileSize"), platform::Value(int64_t{5}));
  EXPECT_EQ(file->at("NSFileType"), platform::Value("NSFileTypeRegular"));
  EXPECT_TRUE(file->at("NSFileModificationDate").isDate());
  std::optional<platform::Value::Dictionary> directory =
      APMMeasurement::fileAttributesForPath(folder.string());
  ASSERT_TRUE(directory.has_value());
  EXPECT_EQ(directory->at("NSFileType"), platform::Value("NSFileTypeDirectory"));
}

}  // namespace
