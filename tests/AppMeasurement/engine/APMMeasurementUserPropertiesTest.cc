// User properties: the engine's operations one by one, and the public call that reaches them
// through the facade (the public name rule and the ad-personalisation switch).
#include <atomic>

#include "AppMeasurement/engine/KVLAnalytics.h"
#include "AppMeasurement/foundation/APMConsentSettingsUtil.h"
#include "platform/core/KVLOptions.h"
#include "tests/AppMeasurement/engine/EngineTestSupport.h"

namespace {

using enginetest::countLinesWith;
using enginetest::EngineTest;

class UserPropertiesTest : public EngineTest {
 protected:
  // The identity's current session stitching token (a reset makes a new one).
  std::optional<std::string> token() {
    return identity->sessionStitchingTokenWithSessionNumber(1, false, true);
  }

  void set(const std::string& origin, const std::string& name, APMValue value) {
    engine->setUserAttribute(APMUserAttribute::create(origin, name, value, env.now()).value());
    env.waitUntilIdle();
  }
  void remove(const std::string& name) {
    engine->removeUserAttribute(
        APMUserAttribute::create("", name, APMValue(0.0), env.now()).value());
    env.waitUntilIdle();
  }
  std::optional<APMUserAttribute> stored(const std::string& name) {
    std::optional<APMUserAttribute> attribute;
    onWorker([&] { attribute = engine->database()->userAttributeWithName(name, nullptr); });
    return attribute;
  }
  void clearProperties() {
    onWorker([&] {
      ASSERT_TRUE(
          engine->database()->sqliteStore()->executeSQL("DELETE FROM user_attributes", nullptr));
    });
    APMConsentSettingsUtil::clearAllSettings();
    persistedConfig->setAllowPersonalizedAds(std::nullopt);
  }
};

// Every operation of the user-property group, one row each, on one engine.
TEST_F(UserPropertiesTest, Operations) {
  struct Case {
    const char* what;
    std::function<void()> run;
  };
  const Case cases[] = {
      {"the 26th property of one non-public origin is refused; replacing one is not",
       [this] {
         for (int i = 0; i < 25; ++i) set("test", "_p" + std::to_string(i), APMValue(int64_t{i}));
         set("test", "_p25", APMValue(int64_t{25}));
         EXPECT_FALSE(stored("_p25"));
         EXPECT_TRUE(capture.contains("I-ACS023084"));
         set("test", "_p3", APMValue(int64_t{333}));
         EXPECT_EQ(stored("_p3")->value(), APMValue(int64_t{333}));
       }},
      {"\"_id\" set again to its value keeps \"_lair\" and the stitching token",
       [this] {
         set("app", "_id", APMValue("user-1"));
         set("auto", "_lair", APMValue(int64_t{1}));
         std::optional<std::string> before = token();
         set("app", "_id", APMValue("user-1"));
         EXPECT_TRUE(stored("_lair"));
         EXPECT_EQ(token(), before);
         set("app", "_id", APMValue("user-2"));
         EXPECT_FALSE(stored("_lair"));
         EXPECT_NE(token(), before);
       }},
      {"removing \"_id\" resets the stitching token",
       [this] {
         set("app", "_id", APMValue("user-1"));
         std::optional<std::string> before = token();
         remove("_id");
         EXPECT_FALSE(stored("_id"));
         EXPECT_TRUE(capture.contains("I-ACS023078"));
         EXPECT_NE(token(), before);
       }},
      {"\"_npa\" = 1 while ad personalisation is granted denies it",
       [this] {
         APMConsentSettingsUtil::setConsentSettings(
             platform::Value::Dictionary{{"ad_personalization", platform::Value("granted")}});
         set("auto", "_npa", APMValue(int64_t{1}));
         EXPECT_EQ(APMConsentSettingsUtil::adPersonalization(), 0);
         set("auto", "_npa", APMValue(int64_t{0}));
         EXPECT_EQ(APMConsentSettingsUtil::adPersonalization(), 1);
       }},
      {"with no source of ad personalisation an existing \"_npa\" is deleted",
       [this] {
         set("auto", "_npa", APMValue(int64_t{1}));
         APMConsentSettingsUtil::clearAllSettings();
         onWorker([&] { engine->setPersonalizedAdsUserPropertyOnWorkerQueue(); });
         env.waitUntilIdle();
         EXPECT_FALSE(stored("_npa"));
         EXPECT_TRUE(capture.contains("I-ACS023180"));
       }},
      {"a server default \"ad_personalization\" denied gives \"_npa\" 1, digit 1",
       [this] {
         APMConsentSettingsUtil::setDefaultSettings(
             platform::Value::Dictionary{{"ad_personalization", platform::Value("DENIED")}});
         onWorker([&] { engine->setPersonalizedAdsUserPropertyOnWorkerQueue(); });
         ASSERT_TRUE(stored("_npa"));
         EXPECT_EQ(stored("_npa")->value(), APMValue(int64_t{1}));
         EXPECT_EQ(APMConsentSettingsUtil::adPersonalization(), 0);
         EXPECT_EQ(APMConsentSettingsUtil::consentDiagnostics().back(), '1');
       }},
      {"the persisted switch wins over consent and defaults",
       [this] {
         APMConsentSettingsUtil::setConsentSettings(
             platform::Value::Dictionary{{"ad_personalization", platform::Value("denied")}});
         persistedConfig->setAllowPersonalizedAds(platform::Value(true));
         std::optional<int64_t> disable;
         onWorker([&] { disable = engine->shouldDisableAdPersonalization(); });
         EXPECT_EQ(disable, 0);
       }},
      {"the limit per origin is 25 whatever the origin; an empty origin is refused",
       [this] {
         std::atomic<int> first{0}, second{0}, empty{-1};
         engine->maxUserPropertiesForOrigin("app", [&](int32_t n) { first = n; });
         engine->maxUserPropertiesForOrigin("fcm", [&](int32_t n) { second = n; });
         engine->maxUserPropertiesForOrigin("", [&](int32_t n) { empty = n; });
         env.waitUntilIdle();
         EXPECT_EQ(first, 25);
         EXPECT_EQ(second, 25);
         EXPECT_EQ(empty, -1);
         EXPECT_TRUE(capture.contains("I-ACS023093"));
       }},
      {"one property by name, nothing when absent, a nil callback refused",
       [this] {
         set("app", "colour", APMValue("green"));
         std::optional<APMUserAttribute> found,
             absent = APMUserAttribute::create("x", "x", APMValue(int64_t{0}), 0);
         engine->userAttributeWithName("colour", [&](auto a) { found = a; });
         engine->userAttributeWithName("shape", [&](auto a) { absent = a; });
         engine->userAttributeWithName("colour", nullptr);
         env.waitUntilIdle();
         ASSERT_TRUE(found);
         EXPECT_EQ(found->value(), APMValue("green"));
         EXPECT_EQ(found->origin(), "app");
         EXPECT_FALSE(absent);
         EXPECT_TRUE(capture.contains("I-ACS023088"));
       }},
      {"all properties, the internal ones only when asked",
       [this] {
         set("app", "colour", APMValue("green"));
         set("app", "_id", APMValue("user-1"));
         set("auto", "_lte", APMValue(int64_t{42}));
         platform::Value::Dictionary all, publicOnly;
         engine->userPropertiesIncludingInternal(true, [&](auto d) { all = d; });
         engine->userPropertiesIncludingInternal(false, [&](auto d) { publicOnly = d; });
         env.waitUntilIdle();
         EXPECT_EQ(all["_id"], platform::Value("user-1"));
         EXPECT_EQ(all["_lte"], platform::Value(int64_t{42}));
         EXPECT_EQ(publicOnly.count("_id"), 0u);
         EXPECT_EQ(publicOnly["colour"], platform::Value("green"));
       }},
      {"the session identifier, or why there is none",
       [this] {
         auto ask = [this] {
           std::pair<int64_t, std::string> answer{-1, ""};
           engine->sessionIDWithCompletion([&](int64_t id, std::optional<APMError> error) {
             answer = {id, error ? error->localizedDescription() : ""};
             if (error) {
               EXPECT_EQ(error->code(), 13);
             }
           });
           env.waitUntilIdle();
           return answer;
         };
         EXPECT_EQ(ask(), std::make_pair(int64_t{0}, std::string("Session ID not found")));
         set("auto", "_sid", APMValue(int64_t{1700000000}));
         EXPECT_EQ(ask(), std::make_pair(int64_t{1700000000}, std::string()));
         engine->setEnabled(false);
         env.waitUntilIdle();
         EXPECT_EQ(ask(), std::make_pair(int64_t{0}, std::string("Analytics disabled")));
         set("app", "ignored", APMValue("x"));
         EXPECT_FALSE(stored("ignored"));
         EXPECT_TRUE(capture.contains("I-ACS023081"));
         engine->setEnabled(true);
         env.waitUntilIdle();
       }},
      {"\"_lair\" is set once a user identifier exists and the flag is cleared",
       [this] {
         identity->setShouldSetLastAdvertisingIDResetUserProperty(true);
         onWorker([&] { engine->setLastAdvertisingIDResetUserPropertyOnWorkerQueue(env.now()); });
         EXPECT_FALSE(stored("_lair"));
         EXPECT_TRUE(identity->shouldSetLastAdvertisingIDResetUserProperty());
         set("app", "_id", APMValue("user-1"));
         onWorker([&] {
           EXPECT_TRUE(engine->hasUserPropertyUserIDOnWorkerQueue());
           engine->setLastAdvertisingIDResetUserPropertyOnWorkerQueue(env.now());
         });
         ASSERT_TRUE(stored("_lair"));
         EXPECT_EQ(stored("_lair")->value(), APMValue(int64_t{1}));
         EXPECT_FALSE(identity->shouldSetLastAdvertisingIDResetUserProperty());
       }},
  };
  makeEngine();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    clearProperties();
    capture.clear();
    c.run();
  }
}

// "_npa" reaches the ad-personalisation consent as a 64-bit number: a double is truncated
// toward zero, a value of another kind reads as 0. A value that agrees with the consent
// changes nothing (not even the diagnostic source); any other sets it, here with source 5.
TEST_F(UserPropertiesTest, NPAValueReachesConsentAsAnInteger) {
  struct Case {
    const char* what;
    APMValue value;
    const char* consentBefore;
    int64_t adPersonalizationAfter;  // 1 granted, 0 denied
    bool sourceChanged;
  };
  const Case cases[] = {
      {"0.5 truncates to 0: granted", APMValue(0.5), "denied", 1, true},
      {"-0.9 truncates to 0: granted", APMValue(-0.9), "denied", 1, true},
      {"1.5 truncates to 1: denied", APMValue(1.5), "granted", 0, true},
      {"integer 1: denied", APMValue(int64_t{1}), "granted", 0, true},
      {"text reads as 0 and agrees with granted", APMValue("1"), "granted", 1, false},
      {"text reads as 0: granted", APMValue("1"), "denied", 1, true},
  };
  makeEngine();
  for (const Case& c : cases) {
    clearProperties();
    APMConsentSettingsUtil::setConsentSettings(
        platform::Value::Dictionary{{"ad_personalization", platform::Value(c.consentBefore)}});
    persistedConfig->setAllowPersonalizedAds(platform::Value(true));
    std::string diagnostics = APMConsentSettingsUtil::consentDiagnostics();
    set("auto", "_npa", c.value);
    EXPECT_EQ(APMConsentSettingsUtil::adPersonalization(), c.adPersonalizationAfter) << c.what;
    EXPECT_EQ(APMConsentSettingsUtil::consentDiagnostics() != diagnostics, c.sourceChanged)
        << c.what;
    if (c.sourceChanged) {
      EXPECT_EQ(APMConsentSettingsUtil::consentDiagnostics().back(), '5') << c.what;
    }
  }
}

// The public call applies the public name rule: internal names ("_id", "_npa") are refused
// from the app and the page, and "allow_personalized_ads" is the ad-personalisation switch,
// never a stored property.
TEST_F(UserPropertiesTest, PublicCallAppliesThePublicNameRule) {
  struct Case {
    std::optional<std::string> value;
    const char* name;
    const char* storedName;  // what to look for afterwards
    std::optional<APMValue> expected;
  };
  const Case cases[] = {
      {"pizza", "favorite_food", "favorite_food", APMValue("pizza")},
      {std::nullopt, "favorite_food", "favorite_food", std::nullopt},
      {"intruder", "_id", "_id", std::nullopt},
      {"0", "_npa", "_npa", std::nullopt},
      {"x", "first_open_time", "_fot", std::nullopt},
      {"NO", "allow_personalized_ads", "allow_personalized_ads", std::nullopt},
  };
  KVLAnalyticsRegisterLibrary();
  KVLApp::configureWithOptions(std::make_shared<KVLOptions>(kAppID, true, false));
  env.waitUntilIdle();
  std::shared_ptr<APMMeasurement> shared = APMMeasurement::sharedInstance();
  ASSERT_TRUE(shared);
  shared->persistedConfig()->setAllowPersonalizedAds(std::nullopt);
  auto storedIn = [&](const std::string& name) {
    std::optional<APMUserAttribute> attribute;
    shared->scheduler()->dispatchSyncOnWorkerQueueBlockID(
        "test", [&] { attribute = shared->database()->userAttributeWithName(name, nullptr); });
    return attribute;
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    KVLAnalytics::setUserPropertyString(c.value, c.name);
    env.waitUntilIdle();
    std::optional<APMUserAttribute> found = storedIn(c.storedName);
    if (c.expected) {
      ASSERT_TRUE(found);
      EXPECT_EQ(found->value(), *c.expected);
      EXPECT_EQ(found->origin(), "app");
    } else {
      // Refused or removed: nothing the app wrote under that name.
      EXPECT_TRUE(!found || found->origin() != "app");
    }
  }
  // The switch: stored as the persisted flag, and "_npa" follows it.
  EXPECT_EQ(shared->persistedConfig()->allowPersonalizedAds(), platform::Value(false));
  ASSERT_TRUE(storedIn("_npa"));
  EXPECT_EQ(storedIn("_npa")->value(), APMValue(int64_t{1}));
  EXPECT_EQ(storedIn("_npa")->origin(), "auto");
  EXPECT_EQ(APMConsentSettingsUtil::adPersonalization(), 0);
  KVLAnalytics::setUserPropertyString("YES", "allow_personalized_ads");
  env.waitUntilIdle();
  EXPECT_EQ(storedIn("_npa")->value(), APMValue(int64_t{0}));
  EXPECT_EQ(APMConsentSettingsUtil::adPersonalization(), 1);
  // Withdrawn: no source is left, so "_npa" goes.
  APMConsentSettingsUtil::clearAllSettings();
  KVLAnalytics::setUserPropertyString(std::nullopt, "allow_personalized_ads");
  env.waitUntilIdle();
  EXPECT_FALSE(shared->persistedConfig()->allowPersonalizedAds());
  EXPECT_FALSE(storedIn("_npa"));
}

}  // namespace
