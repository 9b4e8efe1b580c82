// The public consent, user-property, user-identifier, listener, session and reset calls:
// consent values and sources, the persisted layers read back by Python's plistlib and re-applied
// in a second process, the user-property checks, listener tokens, session settings and the app
// instance identifier while storage is denied.
#include <cmath>
#include <cstdlib>
#include <limits>

#include "AppMeasurement/engine/KVLAnalytics.h"
#include "AppMeasurement/foundation/APMConsentSettingsUtil.h"
#include "AppMeasurement/foundation/APMUserAttribute.h"
#include "AppMeasurement/foundation/APMUserDefaults.h"
#include "platform/core/KVLOptions.h"
#include "platform/dispatch/DispatchSemaphore.h"
#include "platform/foundation/PreferenceStore.h"
#include "tests/AppMeasurement/engine/EngineTestSupport.h"
#include "tests/support/ChildProcess.h"

namespace {

using enginetest::countLinesWith;
using enginetest::EngineTest;
using testsupport::runCommand;
using Dictionary = platform::Value::Dictionary;

class UserCallsTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    APMPersistedConfig::sharedInstance()->clearValues();
    APMAnalytics::settings()->clearAllData();
    APMConsentSettingsUtil::clearAllSettings();
    APMConsentSettingsUtil::setDefaultSettings(std::nullopt);
  }
  void TearDown() override {
    APMConsentSettingsUtil::clearAllSettings();
    EngineTest::TearDown();
  }

  void start() {
    APMAnalytics::startWithAppID(kAppID, "app", {});
    env.waitUntilIdle();
    ASSERT_TRUE(APMMeasurement::hasSharedInstance());
  }

  std::shared_ptr<APMMeasurement> shared() { return APMMeasurement::sharedInstance(); }

  // The stored user properties, name -> value text.
  std::map<std::string, std::string> properties() {
    std::map<std::string, std::string> found;
    shared()->scheduler()->dispatchSyncOnWorkerQueueBlockID("test", [&] {
      auto stored = shared()->database()->userAttributesIncludingInternal(true, nullptr);
      for (const APMUserAttribute& attribute : stored.value_or(std::vector<APMUserAttribute>{}))
        found[attribute.name()] = attribute.value().description();
    });
    return found;
  }

  // The "_err" values of the error events stored since the last call.
  std::vector<int64_t> errorCodes() {
    std::vector<int64_t> codes;
    shared()->scheduler()->dispatchSyncOnWorkerQueueBlockID("test", [&] {
      auto events = shared()->database()->allRawEventsWithError(nullptr);
      for (const APMRawEventData& raw : events.value_or(std::vector<APMRawEventData>{})) {
        std::optional<APMEvent> event = APMEvent::createWithEventProto(*raw.rawEvent());
        if (event && event->name() == "_err")
          codes.push_back(event->parameter("_err")->int64Value());
      }
      shared()->database()->sqliteStore()->executeSQL("DELETE FROM raw_events", nullptr);
    });
    return codes;
  }

  // The suite's file as Python's plistlib reads it: key=value lines, sorted.
  std::string suiteAsPlistlib() {
    APMAnalytics::settings()->synchronize();
    std::string path =
        platform::PreferenceStore::preferencesFilePath("APMAnalyticsSuiteName").string();
    return runCommand(
        "python3 -c \"import plistlib,sys; d = plistlib.load(open(sys.argv[1], 'rb')); "
        "[print(k, '=', d[k] if not isinstance(d[k], dict) else sorted(d[k].items())) "
        "for k in sorted(d) if k.startswith('consent')]\" '" +
        path + "'");
  }
};

// Values other than "granted" and "denied" log 25042 each, then 25041 when nothing is left;
// other keys go silently. The key chooses the source, and a lower priority is refused.
TEST_F(UserCallsTest, ConsentValuesAndSources) {
  struct Case {
    Dictionary consent;
    const char* key;
    size_t invalid;  // 25042 lines
    bool empty;      // 25041
    bool refused;    // 25043
    int64_t source;  // after the call
  };
  const Case cases[] = {
      {{{"ad_storage", platform::Value(int64_t{1})}, {"analytics_storage", platform::Value("yes")}},
       "consent_settings_3p",
       2,
       true,
       false,
       100},
      {{{"unknown_type", platform::Value("denied")}}, "consent_settings_3p", 0, true, false, 100},
      {{{"ad_storage", platform::Value("denied")}, {"x", platform::Value("granted")}},
       "consent_settings_tcf",
       0,
       false,
       false,
       5},
      {{{"analytics_storage", platform::Value("granted")}},
       "consent_settings_3p",
       0,
       false,
       false,
       10},
      {{{"ad_user_data", platform::Value("denied")}}, "consent_settings", 0, false, true, 10},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key);
    capture.clear();
    APMAnalytics::setConsent(c.consent, c.key);
    env.waitUntilIdle();
    EXPECT_EQ(countLinesWith(capture.lines(), "I-ACS025042"), c.invalid);
    EXPECT_EQ(capture.contains("I-ACS025041"), c.empty);
    EXPECT_EQ(capture.contains("I-ACS025043"), c.refused);
    EXPECT_EQ(APMConsentSettingsUtil::consentSource(), c.source);
  }
  // The merged whole is stored under the last source's key, as plistlib reads the suite.
  EXPECT_EQ(suiteAsPlistlib(),
            "consent_settings_3p = [('ad_storage', 'denied'), ('analytics_storage', 'granted')]\n"
            "consent_settings_tcf = [('ad_storage', 'denied')]\n"
            "consent_source = 10\n");
}

// "_dcu" goes only when the server sent consent defaults and ad-user-data consent changed.
TEST_F(UserCallsTest, AdUserDataChangeEventNeedsConsentDefaults) {
  start();
  auto dcuCount = [&] {
    size_t count = 0;
    shared()->scheduler()->dispatchSyncOnWorkerQueueBlockID("test", [&] {
      auto events = shared()->database()->allRawEventsWithError(nullptr);
      for (const APMRawEventData& raw : events.value_or(std::vector<APMRawEventData>{})) {
        std::optional<APMEvent> event = APMEvent::createWithEventProto(*raw.rawEvent());
        if (event && event->name() == "_dcu") {
          ++count;
          EXPECT_TRUE(event->isRealtime());
        }
      }
    });
    return count;
  };
  APMAnalytics::setConsent({{"ad_user_data", platform::Value("denied")}});
  env.waitUntilIdle();
  EXPECT_EQ(dcuCount(), 0u);  // no defaults from the server

  std::string encoded = enginetest::protoc(
      "encode", "MeasurementConfig",
      std::string("app_id: \"") + kAppID +
          "\" consent_config { defaults { consent_type: CONSENT_TYPE_AD_USER_DATA "
          "consent_value: CONSENT_VALUE_GRANTED } }");
  std::optional<APMPBMeasurementConfig> config = APMPBMeasurementConfig::initWithBuffer(encoded);
  ASSERT_TRUE(config);
  shared()->scheduler()->dispatchSyncOnWorkerQueueBlockID(
      "test", [&] { ASSERT_TRUE(shared()->currentConfig()->updateMeasurementConfig(*config)); });
  APMAnalytics::setConsent({{"ad_user_data", platform::Value("granted")}});
  APMAnalytics::setConsent({{"ad_user_data", platform::Value("granted")}});  // no change
  env.waitUntilIdle();
  EXPECT_EQ(dcuCount(), 1u);
}

// Hexadecimal text to bytes: each pair read from its leading hexadecimal digits; valid text
// as Python's bytes.fromhex reads it.
TEST(HexStringDataToBytesTest, Pairs) {
  std::string hex = "00ff7A0b" + std::string(56, 'c');
  std::string python = runCommand(
      "python3 -c \"import sys; sys.stdout.buffer.write(bytes.fromhex(sys.stdin.read()))\"", hex);
  EXPECT_EQ(APMHexStringDataToBytes(hex), python);
  struct Case {
    const char* text;
    std::string bytes;
  };
  const Case cases[] = {{"1g", std::string(1, '\x01')},
                        {"g1", std::string(1, '\0')},
                        {"zz", std::string(1, '\0')},
                        {"F", std::string(1, '\x0f')}};
  for (const Case& c : cases) EXPECT_EQ(APMHexStringDataToBytes(c.text), c.bytes) << c.text;
}

// Before the default app is configured the user data is refused (25051-25054); a hashed value
// that is not 32 bytes long is logged (25056) and still passed on.
TEST_F(UserCallsTest, OnDeviceConversionUserDataChecks) {
  KVLAnalytics::initiateOnDeviceConversionMeasurementWithEmailAddress("a@example.com");
  KVLAnalytics::initiateOnDeviceConversionMeasurementWithPhoneNumber(std::nullopt);
  KVLAnalytics::initiateOnDeviceConversionMeasurementWithHashedEmailAddress(std::string(32, 'x'));
  KVLAnalytics::initiateOnDeviceConversionMeasurementWithHashedPhoneNumber(std::string(32, 'x'));
  env.waitUntilIdle();
  for (const char* code : {"I-ACS025051", "I-ACS025052", "I-ACS025053", "I-ACS025054"}) {
    EXPECT_TRUE(capture.contains(code)) << code;
  }
  KVLAnalyticsRegisterLibrary();
  KVLApp::configureWithOptions(std::make_shared<KVLOptions>(kAppID, true, false));
  env.waitUntilIdle();
  capture.clear();
  KVLAnalytics::initiateOnDeviceConversionMeasurementWithHashedEmailAddress(std::string(64, 'a'));
  KVLAnalytics::initiateOnDeviceConversionMeasurementWithHashedPhoneNumber(std::string(32, 'b'));
  env.waitUntilIdle();
  EXPECT_TRUE(capture.contains("I-ACS025056"));
  EXPECT_FALSE(capture.contains("I-ACS025057"));
  EXPECT_FALSE(capture.contains("I-ACS025053"));
}

// Re-applying: one stored layer, the first present of TCF, 3p, 1p, its source capped at 5,
// 20 or 40.
TEST_F(UserCallsTest, PersistedLayersReapplyWithCaps) {
  struct Case {
    int64_t source;
    bool tcf, thirdParty, firstParty;
    int64_t expectedSource;
    const char* expectedAdStorage;
  };
  const Case cases[] = {
      {30, true, true, true, 5, "tcf"},   {30, false, true, true, 20, "3p"},
      {30, false, false, true, 30, "1p"}, {50, false, false, true, 40, "1p"},
      {30, false, false, false, 30, ""},  {100, true, true, true, 100, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expectedSource);
    APMAnalytics::settings()->clearAllData();
    APMConsentSettingsUtil::clearAllSettings();
    // The statuses tell which layer was applied: each layer grants ad storage and names itself
    // through analytics storage being denied only in the TCF one.
    if (c.tcf)
      APMAnalytics::persistConsentSettings({{"ad_storage", platform::Value("granted")}}, 5);
    if (c.thirdParty)
      APMAnalytics::persistConsentSettings({{"analytics_storage", platform::Value("denied")}}, 10);
    if (c.firstParty)
      APMAnalytics::persistConsentSettings({{"ad_user_data", platform::Value("denied")}}, 30);
    if (c.source == 100)
      APMAnalytics::settings()->removeObjectForKey("consent_source");
    else
      APMAnalytics::settings()->setInteger(c.source, "consent_source");
    APMAnalytics::loadPersistedConsentSettings();
    EXPECT_EQ(APMConsentSettingsUtil::consentSource(), c.expectedSource);
    std::optional<Dictionary> applied = APMConsentSettingsUtil::consentSettings();
    std::string which = !applied || applied->empty()             ? ""
                        : applied->contains("ad_storage")        ? "tcf"
                        : applied->contains("analytics_storage") ? "3p"
                                                                 : "1p";
    EXPECT_EQ(which, c.expectedAdStorage);
  }
}

// Consent given through the facade outlives the process: a second process re-applies it at
// start with its source.
TEST_F(UserCallsTest, ConsentSurvivesARestart) {
  KVLAnalytics::setConsent({{"analytics_storage", platform::Value("denied")}});
  APMAnalytics::settings()->synchronize();
  std::string root = platform::AppContainer::root().string();
  EXPECT_EQ(testsupport::runThisBinary("UserCallsRestart.DISABLED_SecondLaunch",
                                       {{"KVL_TEST_CONTAINER", root}}),
            0);
}

TEST(UserCallsRestart, DISABLED_SecondLaunch) {
  testsupport::DispatchTestEnvironment env;
  const char* root = std::getenv("KVL_TEST_CONTAINER");
  ASSERT_NE(root, nullptr);
  ASSERT_TRUE(platform::AppContainer::setRoot(root).ok());
  // A process of its own: its hosts too are on a port held closed, never the local service's.
  APMRemoteConfig::setHosts(testsupport::processClosedHosts<APMRemoteConfig::Hosts>());
  EXPECT_EQ(APMConsentSettingsUtil::consentSource(), 100);
  APMAnalytics::startWithAppID("1:1234567890:ios:abcdef", "app", {});
  env.waitUntilIdle();
  EXPECT_EQ(APMConsentSettingsUtil::consentSource(), 10);
  EXPECT_TRUE(APMConsentSettingsUtil::isAnalyticsStorageDenied());
  EXPECT_EQ(APMAnalytics::appInstanceID(), std::nullopt);
  APMAnalytics::resetForTesting();
  env.finish();
}

// The public user-property checks: error events 6, 7 and 15, the string rule (25003), the
// origin's length (25005), "allow_personalized_ads" kept out of the properties, and nil
// removing.
TEST_F(UserCallsTest, UserPropertyChecks) {
  start();
  struct Case {
    std::optional<platform::Value> value;
    std::string name;
    std::vector<int64_t> errors;
    const char* log;     // "" or a message code
    const char* stored;  // the value text stored under the name, "" for none
  };
  const Case cases[] = {
      {platform::Value("blue"), "colour", {}, "", "blue"},
      {platform::Value("x"), "_reserved", {6}, "", ""},
      {platform::Value("x"), "first_open_time", {15}, "", ""},
      {platform::Value(std::string(37, 'v')), "long_value", {7}, "", ""},
      {platform::Value(int64_t{3}), "number", {}, "I-ACS025003", ""},
      {std::nullopt, "colour", {}, "", ""},
      {platform::Value("NO"), "allow_personalized_ads", {}, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    capture.clear();
    APMAnalytics::setUserPropertyString(c.value, c.name);
    env.waitUntilIdle();
    EXPECT_EQ(errorCodes(), c.errors);
    if (*c.log) {
      EXPECT_TRUE(capture.contains(c.log));
    }
    std::map<std::string, std::string> stored = properties();
    EXPECT_EQ(stored.contains(c.name) ? stored[c.name] : "", c.stored);
  }
  // "NO" switched personalised ads off: "_npa" 1, and the switch is persisted.
  EXPECT_EQ(properties()["_npa"], "1");
  EXPECT_EQ(APMPersistedConfig::sharedInstance()->allowPersonalizedAds(), platform::Value(false));

  // Origins of 1 to 32 characters.
  capture.clear();
  APMAnalytics::setInternalUserProperty(APMObject(platform::Value("a")), "by_long",
                                        std::string(33, 'o'));
  APMAnalytics::setInternalUserProperty(APMObject(platform::Value("b")), "by_fit",
                                        std::string(32, 'o'));
  env.waitUntilIdle();
  EXPECT_FALSE(properties().contains("by_long"));
  EXPECT_EQ(properties()["by_fit"], "b");

  // The user identifier: a string sets "_id", a non-string logs 25004, nil removes "_id" and
  // "_lair".
  APMAnalytics::setUserID(platform::Value("user-7"));
  APMAnalytics::setInternalUserProperty(APMObject(APMValue(int64_t{5})), "_lair", "auto");
  APMAnalytics::setUserID(platform::Value(int64_t{7}));
  env.waitUntilIdle();
  EXPECT_TRUE(capture.contains("I-ACS025004"));
  EXPECT_EQ(properties()["_id"], "user-7");
  EXPECT_TRUE(properties().contains("_lair"));
  APMAnalytics::setUserID(std::nullopt);
  env.waitUntilIdle();
  EXPECT_FALSE(properties().contains("_id"));
  EXPECT_FALSE(properties().contains("_lair"));
}

// Tokens are unique per add: removing a spent token again never removes a later listener.
TEST_F(UserCallsTest, ListenerTokens) {
  start();
  std::atomic<int> first{0}, second{0};
  EXPECT_EQ(APMAnalytics::addLogEventListener(nullptr), "");
  std::string a = APMAnalytics::addLogEventListener([&](const APMEvent&) { ++first; });
  APMAnalytics::removeLogEventListener(a);
  std::string b = APMAnalytics::addLogEventListener([&](const APMEvent&) { ++second; });
  EXPECT_NE(a, b);
  APMAnalytics::removeLogEventListener(a);
  APMAnalytics::removeLogEventListener("");
  APMAnalytics::logEventWithName("heard", {});
  env.waitUntilIdle();
  EXPECT_EQ(first.load(), 0);
  EXPECT_GE(second.load(), 1);
}

// An orderly exit first waits for the calls already made: every logged event is stored when
// the wait returns.
TEST_F(UserCallsTest, WaitForQueuedCallsStoresEveryLoggedEvent) {
  start();
  errorCodes();  // clears what the start stored
  constexpr int kEvents = 300;
  for (int i = 0; i < kEvents; ++i) APMAnalytics::logEventWithName("queued_call", {});
  APMAnalytics::waitForQueuedCalls();
  size_t stored = 0;
  shared()->scheduler()->dispatchSyncOnWorkerQueueBlockID("test", [&] {
    auto events = shared()->database()->allRawEventsWithError(nullptr);
    for (const APMRawEventData& raw : events.value_or(std::vector<APMRawEventData>{})) {
      std::optional<APMEvent> event = APMEvent::createWithEventProto(*raw.rawEvent());
      if (event && event->name() == "queued_call") ++stored;
    }
  });
  EXPECT_EQ(stored, static_cast<size_t>(kEvents));
}

// The session timeout refuses negatives and NaN; before the engine's components exist it is
// persisted for the start. The session identifier before start: 0 and error 13, never on the
// serial queue.
TEST_F(UserCallsTest, SessionCalls) {
  struct Case {
    double seconds;
    bool refused;
  };
  const Case cases[] = {
      {-1, true}, {std::numeric_limits<double>::quiet_NaN(), true}, {0, false}, {600, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.seconds);
    capture.clear();
    APMPersistedConfig::sharedInstance()->setSessionTimeoutValue(std::nullopt);
    APMAnalytics::setSessionTimeoutInterval(c.seconds);
    env.waitUntilIdle();
    EXPECT_EQ(capture.contains("I-ACS025060"), c.refused);
    std::optional<platform::Value> stored =
        APMPersistedConfig::sharedInstance()->sessionTimeoutValue();
    if (c.refused) {
      EXPECT_FALSE(stored);
    } else {
      EXPECT_EQ(stored, platform::Value(c.seconds));
    }
  }
  std::optional<std::pair<int64_t, int64_t>> answer;
  bool onSerial = true;
  APMAnalytics::sessionIDWithCompletion([&](int64_t id, std::optional<APMError> error) {
    onSerial = APMAnalytics::isCurrentQueueSerialQueue();
    answer = std::pair{id, error ? error->code() : 0};
  });
  env.waitUntilIdle();
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->first, 0);
  EXPECT_EQ(answer->second, 13);
  EXPECT_FALSE(onSerial);
}

// While analytics storage is denied there is no app instance identifier, and a reset keeps
// none for later.
TEST_F(UserCallsTest, AppInstanceIDWhileStorageDenied) {
  start();
  std::optional<std::string> granted = APMAnalytics::appInstanceID();
  ASSERT_TRUE(granted);
  EXPECT_EQ(granted->size(), 32u);
  APMAnalytics::setConsent({{"analytics_storage", platform::Value("denied")}});
  EXPECT_EQ(APMAnalytics::appInstanceID(), std::nullopt);
  APMAnalytics::resetAnalyticsData();
  env.waitUntilIdle();
  EXPECT_EQ(APMAnalytics::appInstanceIDAfterReset(), std::nullopt);
  EXPECT_TRUE(APMAnalytics::needFirstOpenAfterReset());
  APMAnalytics::setConsent({{"analytics_storage", platform::Value("granted")}});
  APMAnalytics::resetAnalyticsData();
  std::optional<std::string> afterReset = APMAnalytics::appInstanceIDAfterReset();
  ASSERT_TRUE(afterReset);
  EXPECT_NE(afterReset, granted);
  EXPECT_EQ(APMAnalytics::appInstanceID(), afterReset);
  env.waitUntilIdle();
}

// setUserData returns once earlier calls reached the serial queue; calls in the next half
// second wait for it.
TEST_F(UserCallsTest, UserDataHoldsLaterCalls) {
  start();
  std::atomic<int> heard{0};
  APMAnalytics::addLogEventListener([&](const APMEvent& event) {
    if (event.name() == "after_user_data") ++heard;
  });
  env.waitUntilIdle();
  APMAnalytics::setUserData({{"email_address", platform::Value("a@example.com")}});
  APMAnalytics::logEventWithName("after_user_data", {});
  env.waitUntilIdle();
  EXPECT_EQ(heard.load(), 0);
  env.advance(0.5);
  env.waitUntilIdle();
  EXPECT_EQ(heard.load(), 1);
}

}  // namespace
