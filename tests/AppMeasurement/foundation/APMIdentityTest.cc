#include "AppMeasurement/foundation/APMIdentity.h"

#include <atomic>
#include <thread>

#include "AppMeasurement/foundation/APMConsentSettingsUtil.h"
#include "AppMeasurement/foundation/APMDefaultIdentitySupport.h"
#include "AppMeasurement/foundation/APMMeasurementEngineState.h"
#include "AppMeasurement/foundation/APMMonitor.h"
#include "AppMeasurement/foundation/APMPersistedConfig.h"
#include "AppMeasurement/foundation/APMPlatformIdentitySupport.h"
#include "AppMeasurement/foundation/APMRemoteConfig.h"
#include "AppMeasurement/foundation/APMStringAdditions.h"
#include "platform/adsupport/ASIdentifierManager.h"
#include "platform/dispatch/DispatchSemaphore.h"
#include "platform/runtime/ClassRegistry.h"
#include "platform/tracking/ATTrackingManager.h"
#include "platform/utilities/OULOSLog.h"
#include "tests/AppMeasurement/foundation/EnvironmentTestSupport.h"
#include "tests/AppMeasurement/foundation/RemoteConfigTestSupport.h"
#include "tests/support/LogCapture.h"
#include "tests/support/QueueHold.h"

namespace {

using platform::ASIdentifierManager;
using platform::ATTrackingManager;
using platform::Value;
using Dictionary = platform::Value::Dictionary;

constexpr const char* kIDFA = "E621E1F8-C36C-495A-93FC-0C247A3E6E5F";
constexpr const char* kOtherIDFA = "11111111-2222-4333-8444-555555555555";

// The engine seam: hands the identity a remote configuration with the given settings.
struct Engine : APMMeasurementEngineState {
  bool isEnabled() override { return true; }
  std::shared_ptr<APMIdentity> identity() override { return nullptr; }
  std::shared_ptr<APMRemoteConfig> remoteConfig() override { return config; }
  std::shared_ptr<APMRemoteConfig> config;
};

class APMIdentityTest : public environmenttest::ContainerTest {
 protected:
  void SetUp() override {
    ContainerTest::SetUp();
    configureDevice("iPhone14,2");
    APMConsentSettingsUtil::clearAllSettings();
    ATTrackingManager::registerInRuntime();
    ASIdentifierManager::registerInRuntime();
    APMPlatformIdentitySupport::registerInRuntime();
    ATTrackingManager::setTrackingAuthorizationStatus(3);
    ASIdentifierManager::sharedManager()->setAdvertisingIdentifier(kIDFA);
    ASIdentifierManager::sharedManager()->setAnswerDelay(0);
    APMIdentity::resetAppIDFromRZQForTesting();
    settings({});
    APMMeasurementEngineState::install(engine_);
  }
  void TearDown() override {
    APMMeasurementEngineState::install({});
    APMConsentSettingsUtil::clearAllSettings();
    ATTrackingManager::unregisterFromRuntime();
    ASIdentifierManager::unregisterFromRuntime();
    platform::ClassRegistry::shared().unregisterClass(APMPlatformIdentitySupport::kClassName);
    ContainerTest::TearDown();
  }
  // The remote settings in force; the advertising data are refreshed at every read.
  void settings(std::vector<std::pair<std::string, std::string>> values) {
    values.emplace_back("measurement.ad_id_cache_time", "0");
    store_->stored = remoteconfigtest::makeConfig("1:app", values);
    engine_->config = APMRemoteConfig::create("1:app", store_, nullptr, nullptr);
  }
  std::shared_ptr<APMIdentity> make(bool withProvider = true) {
    config_ = APMPersistedConfig::create("identity." + std::to_string(++count_));
    auto support = withProvider ? APMDefaultIdentitySupport::create()
                                : std::make_shared<APMDefaultIdentitySupport>(nullptr);
    return APMIdentity::create(config_, support);
  }
  std::shared_ptr<remoteconfigtest::MemoryConfigStore> store_ =
      std::make_shared<remoteconfigtest::MemoryConfigStore>();
  std::shared_ptr<Engine> engine_ = std::make_shared<Engine>();
  std::shared_ptr<APMPersistedConfig> config_;
  int count_ = 0;
};

TEST_F(APMIdentityTest, TrackingStatusAsStored) {
  struct Case {
    const char* what;
    int platformStatus;
    bool trackingLinked;
    bool provider;
    const char* systemVersion;
    int64_t stored;
  };
  const Case cases[] = {
      {"not determined", 0, true, true, "17.2", 4},
      {"restricted", 1, true, true, "17.2", 1},
      {"denied", 2, true, true, "17.2", 2},
      {"authorised", 3, true, true, "17.2", 3},
      {"unknown status", 7, true, true, "17.2", 5},
      {"no tracking framework", 3, false, true, "17.2", 5},
      {"no identity support", 3, true, false, "17.2", 6},
      {"before 14", 3, true, true, "13.7", 6},
      {"version of many digits", 3, true, true, "1234567890123456789012345678901", 3},
  };
  for (const Case& c : cases) {
    OULAppEnvironmentUtil::Configuration device;
    device.deviceModel = "iPhone14,2";
    device.systemVersion = c.systemVersion;
    OULAppEnvironmentUtil::setConfiguration(device);
    ATTrackingManager::setTrackingAuthorizationStatus(c.platformStatus);
    if (!c.trackingLinked) ATTrackingManager::unregisterFromRuntime();
    auto identity = make(c.provider);
    EXPECT_EQ(identity->appleConsentStatus(), c.stored) << c.what;
    ATTrackingManager::registerInRuntime();
  }
}

TEST_F(APMIdentityTest, TheGateKeepsTheCachedIdentifierUnlessAuthorised) {
  settings({{"measurement.attmas_gate", "1"}});
  ATTrackingManager::setTrackingAuthorizationStatus(3);
  auto identity = make();
  EXPECT_EQ(identity->resettableDeviceID(), kIDFA);
  // Denied with the gate on: nothing is read, the cached identifier stays.
  ATTrackingManager::setTrackingAuthorizationStatus(2);
  ASIdentifierManager::sharedManager()->setAdvertisingIdentifier(kOtherIDFA);
  EXPECT_EQ(identity->resettableDeviceID(), kIDFA);
  EXPECT_EQ(identity->appleConsentStatus(), 2);
  // A fresh identity behind the gate reads nothing at all.
  EXPECT_EQ(make()->resettableDeviceID(), std::nullopt);
  // Gate off: read whatever the status.
  settings({{"measurement.attmas_gate", "0"}});
  EXPECT_EQ(make()->resettableDeviceID(), kOtherIDFA);
}

TEST_F(APMIdentityTest, ANewAdvertisingIdentifierResetsTheAppInstanceID) {
  auto identity = make();
  auto first = identity->appInstanceID();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->size(), 32u);
  EXPECT_EQ(identity->hashedResettableDeviceID(), apm_MD5String(kIDFA));
  EXPECT_FALSE(identity->shouldSetLastAdvertisingIDResetUserProperty());
  EXPECT_EQ(identity->appInstanceID(), first);
  // The all-zero identifier never changes the hash.
  ASIdentifierManager::sharedManager()->setAdvertisingIdentifier(std::nullopt);
  EXPECT_EQ(identity->resettableDeviceID(), std::nullopt);
  EXPECT_EQ(identity->hashedResettableDeviceID(), apm_MD5String(kIDFA));
  EXPECT_EQ(identity->appInstanceID(), first);
  // Another identifier: new app instance ID, reset flag set.
  ASIdentifierManager::sharedManager()->setAdvertisingIdentifier(kOtherIDFA);
  EXPECT_EQ(identity->hashedResettableDeviceID(), apm_MD5String(kOtherIDFA));
  EXPECT_NE(identity->appInstanceID(), first);
  EXPECT_TRUE(identity->shouldSetLastAdvertisingIDResetUserProperty());
}

TEST_F(APMIdentityTest, ConsentGatesIdentifiersButNotTheStatusReads) {
  auto identity = make();
  ASSERT_TRUE(identity->appInstanceID());
  APMConsentSettingsUtil::setConsentSettings(
      Dictionary{{"analytics_storage", "denied"}, {"ad_storage", "denied"}});
  EXPECT_EQ(identity->appInstanceID(), std::nullopt);
  EXPECT_EQ(identity->hashedResettableDeviceID(), std::nullopt);
  EXPECT_EQ(identity->resettableDeviceID(), std::nullopt);
  EXPECT_EQ(identity->identifierForVendor(), std::nullopt);
  EXPECT_EQ(identity->sessionStitchingTokenWithSessionNumber(1, false, false), std::nullopt);
  EXPECT_EQ(identity->appleConsentStatus(), 3);
  EXPECT_FALSE(identity->limitedAdTracking());
  // Ad storage alone: the vendor identifier is answered once no advertising identifier is.
  APMConsentSettingsUtil::setConsentSettings(Dictionary{{"ad_storage", "denied"}});
  EXPECT_TRUE(identity->appInstanceID());
  auto vendor = identity->identifierForVendor();
  ASSERT_TRUE(vendor);
  EXPECT_EQ(identity->identifierForVendor(), vendor);
  // With an advertising identifier available there is no vendor identifier.
  APMConsentSettingsUtil::setConsentSettings(std::nullopt);
  EXPECT_EQ(identity->identifierForVendor(), std::nullopt);
}

TEST_F(APMIdentityTest, TheVendorIdentifierIsReadWhileTheMainThreadWaitsForTheWorker) {
  ASIdentifierManager::sharedManager()->setAdvertisingIdentifier(std::nullopt);
  auto identity = make();
  auto worker = platform::DispatchQueue::createSerial("test.worker");
  platform::DispatchSemaphore done(0);
  std::optional<std::string> vendor;
  worker->async([&] {
    vendor = identity->identifierForVendor();
    done.signal();
  });
  // The main thread blocks on the worker: a hop to the main queue would never return.
  ASSERT_TRUE(platform::DispatchQueue::isMainThread());
  done.wait();
  ASSERT_TRUE(vendor);
  EXPECT_EQ(vendor->size(), 36u);
}

TEST_F(APMIdentityTest, StitchingToken) {
  auto identity = make();
  auto token = [&](int64_t n, bool expired, bool user = false) {
    return identity->sessionStitchingTokenWithSessionNumber(n, expired, user);
  };
  auto first = token(5, false);
  ASSERT_TRUE(first);
  EXPECT_EQ(token(5, false), first);  // same session
  EXPECT_NE(token(5, true), first);   // same number, now expired: reset
  auto second = token(5, true);
  EXPECT_EQ(token(6, false), second);  // first session after an expired one continues
  EXPECT_NE(token(8, false), second);  // a gap resets
  auto third = token(8, false);
  clock_->advance(86399);
  EXPECT_EQ(token(8, false), third);
  clock_->advance(1);
  EXPECT_NE(token(8, false), third);  // 86400 s later without a user ID
  auto withUser = token(8, false, true);
  clock_->advance(200000);
  EXPECT_EQ(token(8, false, true), withUser);
}

TEST_F(APMIdentityTest, VersionFields) {
  struct Case {
    const char* version;
    std::vector<int64_t> fields;
  };
  const Case cases[] = {{"1.2b.3", {1, 2, 3}},
                        {"2..1", {2, 1}},
                        {"", {}},
                        {"x", {0}},
                        {"123456789012345678901234567890.1", {INT64_MAX, 1}}};
  for (const Case& c : cases) {
    EXPECT_EQ(APMIdentity::numericFieldsFromAppVersionNumeric(c.version), c.fields) << c.version;
  }
  writeInfoPlist({{"CFBundleIdentifier", "com.example.app"},
                  {"CFBundleShortVersionString", "4.5"},
                  {"CFBundleVersion", "4.5.6.7"}});
  auto identity = make();
  EXPECT_EQ(identity->appID(), "com.example.app");
  EXPECT_EQ(identity->appVersionMajor(), 4);
  EXPECT_EQ(identity->appVersionMinor(), 5);
  EXPECT_EQ(identity->appVersionRelease(), 6);
  EXPECT_EQ(APMIdentity::appMeasurementLibraryVersion(), 111500);
}

// The lines of reading the bundle: one 20002 per version part that lost characters (a level
// that is not printed, only counted in the health sample), and the vendor-identifier switch
// printed as "key = YES/NO".
TEST_F(APMIdentityTest, VersionAndSwitchLines) {
  std::shared_ptr<APMMonitor> monitor = APMMonitor::monitor();
  // The sample as it stands, handed out (and so emptied) whatever its age.
  auto takeSample = [&] {
    env_.waitUntilIdle();
    return monitor->monitoringDataForDispatch(-1, 0);
  };
  struct Case {
    const char* version;
    std::optional<std::string> sample;
  };
  const Case cases[] = {
      {"1.2.3", std::nullopt}, {"1.2b.3", "1:"}, {"1a.2b.3c", "3:"}, {"a..b", "2:"}};
  for (const Case& c : cases) {
    takeSample();
    APMIdentity::numericFieldsFromAppVersionNumeric(c.version);
    std::optional<std::string> sample = takeSample();
    EXPECT_EQ(sample ? std::optional(sample->substr(0, 2)) : std::nullopt, c.sample) << c.version;
    if (sample) {
      EXPECT_NE(sample->find("app version numeric"), std::string::npos) << *sample;
    }
  }
  OULSetLoggerLevel(OULLoggerLevelDebug);
  testsupport::LogCapture capture;
  writeInfoPlist({{"ORVANE_ANALYTICS_IDFV_COLLECTION_ENABLED", false}});
  auto identity = make();
  env_.waitUntilIdle();
  EXPECT_TRUE(capture.contains("ORVANE_ANALYTICS_IDFV_COLLECTION_ENABLED = NO"));
  OULSetLoggerLevel(OULLoggerLevelNotice);
}

TEST_F(APMIdentityTest, TheFirstAppIDWins) {
  auto identity = make();
  identity->setAppIDFromRZQ("");
  identity->setAppIDFromRZQ("1:first");
  identity->setAppIDFromRZQ("1:second");
  EXPECT_EQ(identity->appIDFromRZQ(), "1:first");
  auto key = identity->diversionKey();
  EXPECT_EQ(key.size(), 5u);
  EXPECT_EQ(identity->diversionKey(), key);
}

// A provider that answers only when the test lets it: slow by as much as the test wants,
// whatever the machine's load.
struct GatedProvider : APMIdentitySupport {
  bool hasAppDataConsentStatus() override { return true; }
  int64_t appDataConsentStatus() override { return 3; }
  bool hasLimitedAdTracking() override { return true; }
  bool limitedAdTracking() override { return false; }
  std::optional<std::string> resettableDeviceID() override {
    gate.wait();
    return kIDFA;
  }
  platform::DispatchSemaphore gate{0};
};

TEST_F(APMIdentityTest, ASlowProviderAnswersOnALaterCall) {
  auto provider = std::make_shared<GatedProvider>();
  auto support = std::make_shared<APMDefaultIdentitySupport>(provider);
  auto readOnce = [&] {
    std::optional<std::string> answer;
    std::atomic<bool> done{false};
    std::thread reader([&] {
      answer = support->resettableDeviceID();
      done = true;
    });
    // Virtual time moves in small steps until the 10 ms wait has ended.
    while (!done) clock_->advance(0.002);
    reader.join();
    return answer;
  };
  EXPECT_EQ(readOnce(), std::nullopt);
  provider->gate.signal();  // the first answer arrives late
  platform::DispatchQueue::waitUntilIdle();
  EXPECT_EQ(readOnce(), kIDFA);
  provider->gate.signal();
}

TEST_F(APMIdentityTest, TheStandInsDelayIsSpentInVirtualTime) {
  ASIdentifierManager::sharedManager()->setAnswerDelay(0.05);
  std::atomic<bool> done{false};
  std::thread reader([&] {
    EXPECT_EQ(ASIdentifierManager::sharedManager()->advertisingIdentifier(), kIDFA);
    done = true;
  });
  while (!done) clock_->advance(0.01);
  reader.join();
}

TEST_F(APMIdentityTest, WithoutTheFrameworks) {
  ATTrackingManager::unregisterFromRuntime();
  ASIdentifierManager::unregisterFromRuntime();
  auto support = APMDefaultIdentitySupport::create();
  EXPECT_FALSE(support->hasLimitedAdTracking());
  EXPECT_FALSE(support->hasAppDataConsentStatus());
  EXPECT_EQ(support->appDataConsentStatus(), -1);
  EXPECT_EQ(support->resettableDeviceID(), std::nullopt);
  EXPECT_TRUE(support->limitedAdTracking());
}

}  // namespace

namespace {

// While the advertising data are fresh and nothing is queued, readers answer from what the
// identity's queue published last: a block holding that queue does not delay them. A change
// queued before a read is still seen by it, and a new identity over the same store (a restart)
// reads what was stored.
// The cached advertising data stay only while the last refresh lies in the past and within
// the cache time: a refresh stamped now, or later than now (the clock went back), is redone.
TEST_F(APMIdentityTest, CachedIdentifiersNeedARefreshInThePast) {
  store_->stored =
      remoteconfigtest::makeConfig("1:app", {{"measurement.ad_id_cache_time", "3600000"}});
  engine_->config = APMRemoteConfig::create("1:app", store_, nullptr, nullptr);
  struct Case {
    const char* what;
    double sinceRefresh;  // seconds from the last refresh to the second read
    bool refreshed;
  };
  const Case cases[] = {
      {"same instant", 0, true},
      {"one second later", 1, false},
      {"just inside the cache time", 3599, false},
      {"at the cache time", 3600, true},
      {"clock set back", -1, true},
  };
  for (const Case& c : cases) {
    ASIdentifierManager::sharedManager()->setAdvertisingIdentifier(kIDFA);
    auto identity = make();
    double refreshedAt = env_.now();
    EXPECT_EQ(identity->resettableDeviceID(), kIDFA) << c.what;
    ASIdentifierManager::sharedManager()->setAdvertisingIdentifier(kOtherIDFA);
    clock_->setNow(refreshedAt + c.sinceRefresh);
    EXPECT_EQ(identity->resettableDeviceID(), c.refreshed ? kOtherIDFA : kIDFA) << c.what;
    clock_->setNow(refreshedAt);
  }
}

TEST_F(APMIdentityTest, FreshReadsDoNotWaitForTheQueueAndSeeEveryChangeBeforeThem) {
  store_->stored =
      remoteconfigtest::makeConfig("1:app", {{"measurement.ad_id_cache_time", "3600000"}});
  engine_->config = APMRemoteConfig::create("1:app", store_, nullptr, nullptr);
  auto identity = make();
  identity->setAppIDFromRZQ("1:platform");
  std::optional<std::string> instance = identity->appInstanceID();
  ASSERT_TRUE(instance);
  env_.advance(1);  // the refresh above now lies in the past
  std::string token = identity->sessionStitchingTokenWithSessionNumber(4, false, false).value();
  {
    testsupport::QueueHold hold(identity->queue());
    identity->updateIdentifiers();  // fresh: nothing to queue
    EXPECT_EQ(identity->appInstanceID(), instance);
    EXPECT_EQ(identity->resettableDeviceID(), kIDFA);
    EXPECT_EQ(identity->appleConsentStatus(), 3);
    EXPECT_FALSE(identity->limitedAdTracking());
    EXPECT_TRUE(identity->hasLimitedAdTracking());
    EXPECT_EQ(identity->identifierForVendor(), std::nullopt);  // the advertising one is there
    EXPECT_EQ(identity->appIDFromRZQ(), "1:platform");
    EXPECT_EQ(identity->sessionStitchingTokenWithSessionNumber(4, false, false), token);
    EXPECT_FALSE(identity->shouldSetLastAdvertisingIDResetUserProperty());
  }
  struct Step {
    const char* what;
    std::function<void()> change;
    std::function<bool()> seen;
  };
  const std::string chosen = APMIdentity::randomAppInstanceID();
  const Step steps[] = {
      {"app instance identifier set", [&] { identity->setAppInstanceID(chosen); },
       [&] { return identity->appInstanceID() == chosen; }},
      {"reset flag set", [&] { identity->setShouldSetLastAdvertisingIDResetUserProperty(true); },
       [&] { return identity->shouldSetLastAdvertisingIDResetUserProperty(); }},
      {"stitching token reset", [&] { identity->resetSessionStitchingToken(); },
       [&] { return identity->sessionStitchingTokenWithSessionNumber(4, false, false) != token; }},
      {"analytics storage denied",
       [] {
         APMConsentSettingsUtil::updateSettings({{"analytics_storage", "denied"}}, 10);
       },
       [&] { return !identity->appInstanceID(); }},
      {"analytics storage granted",
       [] {
         APMConsentSettingsUtil::updateSettings({{"analytics_storage", "granted"}}, 10);
       },
       [&] { return identity->appInstanceID() == chosen; }},
      {"advertising identifier changed after the cache time",
       [&] {
         ASIdentifierManager::sharedManager()->setAdvertisingIdentifier(kOtherIDFA);
         env_.advance(86401);
       },
       [&] { return identity->resettableDeviceID() == kOtherIDFA; }},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    step.change();
    EXPECT_TRUE(step.seen());
  }
  // The new advertising identifier reset the app instance identifier; a restart keeps it.
  std::optional<std::string> afterReset = identity->appInstanceID();
  ASSERT_TRUE(afterReset);
  EXPECT_NE(afterReset, chosen);
  auto restarted = APMIdentity::create(APMPersistedConfig::create(config_->suiteName()),
                                       std::make_shared<APMDefaultIdentitySupport>(nullptr));
  EXPECT_EQ(restarted->appInstanceID(), afterReset);
}

}  // namespace

namespace {

// With the cache time at 0 every read refreshes, except inside one refresh-check scope: the
// reads made there for one record come from the one check made when the scope began.
TEST_F(APMIdentityTest, OneRefreshCheckServesEveryReadOfItsScope) {
  auto identity = make();
  EXPECT_EQ(identity->resettableDeviceID(), kIDFA);
  {
    APMIdentity::SingleRefreshCheck check(*identity);
    EXPECT_EQ(identity->resettableDeviceID(), kIDFA);  // the scope's one refresh
    ASIdentifierManager::sharedManager()->setAdvertisingIdentifier(kOtherIDFA);
    EXPECT_EQ(identity->resettableDeviceID(), kIDFA);
    {
      APMIdentity::SingleRefreshCheck inner(*identity);
      EXPECT_EQ(identity->resettableDeviceID(), kIDFA);
    }
    EXPECT_EQ(identity->resettableDeviceID(), kIDFA);
  }
  EXPECT_EQ(identity->resettableDeviceID(), kOtherIDFA);
}

}  // namespace
