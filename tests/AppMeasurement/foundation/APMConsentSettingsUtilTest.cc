#include "AppMeasurement/foundation/APMConsentSettingsUtil.h"

#include <atomic>
#include <thread>

#include "tests/AppMeasurement/foundation/EnvironmentTestSupport.h"
#include "tests/support/QueueHold.h"

namespace {

using platform::Value;
using Dictionary = platform::Value::Dictionary;

class APMConsentSettingsUtilTest : public environmenttest::ContainerTest {
 protected:
  void SetUp() override {
    ContainerTest::SetUp();
    APMConsentSettingsUtil::clearAllSettings();
  }
  void TearDown() override {
    APMConsentSettingsUtil::clearAllSettings();
    ContainerTest::TearDown();
  }
};

struct Layers {
  std::optional<Dictionary> explicitSettings, defaults, delegations, regional;
};

void apply(const Layers& layers) {
  APMConsentSettingsUtil::clearAllSettings();
  APMConsentSettingsUtil::setConsentSettings(layers.explicitSettings);
  APMConsentSettingsUtil::setDefaultSettings(layers.defaults);
  APMConsentSettingsUtil::setDelegatedSettings(layers.delegations);
  APMConsentSettingsUtil::setRegionalDefaults(layers.regional);
}

TEST_F(APMConsentSettingsUtilTest, AdUserDataAndPersonalizationCaseByCase) {
  struct Case {
    const char* what;
    Layers layers;
    bool adUserDataDenied;
    std::optional<int64_t> adPersonalization;
  };
  const Case cases[] = {
      {"nothing set", {}, false, std::nullopt},
      {"explicit upper case",
       {Dictionary{{"ad_user_data", "DENIED"}, {"ad_personalization", "Granted"}}},
       true,
       1},
      {"eu policy without regional defaults",
       {Dictionary{{"ad_user_data", "eu_consent_policy"},
                   {"ad_personalization", "eu_consent_policy"}}},
       true,
       0},
      {"eu policy with regional granted",
       {Dictionary{{"ad_user_data", "eu_consent_policy"},
                   {"ad_personalization", "eu_consent_policy"}},
        std::nullopt, std::nullopt,
        Dictionary{{"ad_user_data", "granted"}, {"ad_personalization", "granted"}}},
       false,
       1},
      {"delegation to explicit ad_storage beats the default",
       {Dictionary{{"ad_storage", "denied"}}, Dictionary{{"ad_user_data", "granted"}},
        Dictionary{{"ad_user_data", "ad_storage"}}},
       true,
       std::nullopt},
      {"delegation without the delegate's explicit value falls to the default",
       {Dictionary{}, Dictionary{{"ad_user_data", "denied"}, {"ad_personalization", "denied"}},
        Dictionary{{"ad_user_data", "ad_storage"}}},
       true,
       0},
      {"a value that is no string matches nothing",
       {Dictionary{{"ad_user_data", Value(2)}, {"ad_personalization", Value(true)}}},
       false,
       std::nullopt},
  };
  for (const Case& c : cases) {
    apply(c.layers);
    EXPECT_EQ(APMConsentSettingsUtil::isAdUserDataDenied(), c.adUserDataDenied) << c.what;
    EXPECT_EQ(APMConsentSettingsUtil::adPersonalization(), c.adPersonalization) << c.what;
  }
}

TEST_F(APMConsentSettingsUtilTest, StorageTestsReadExplicitValuesOnly) {
  apply({std::nullopt, Dictionary{{"ad_storage", "denied"}, {"analytics_storage", "denied"}}});
  EXPECT_FALSE(APMConsentSettingsUtil::isAdStorageDenied());
  EXPECT_FALSE(APMConsentSettingsUtil::isAnalyticsStorageDenied());
  EXPECT_EQ(APMConsentSettingsUtil::consentSignals(), "Q1--");
  apply({Dictionary{{"ad_storage", "Denied"}, {"analytics_storage", "granted"}}});
  EXPECT_TRUE(APMConsentSettingsUtil::isAdStorageDenied());
  EXPECT_EQ(APMConsentSettingsUtil::consentSignals(), "Q101");
  apply({Dictionary{{"analytics_storage", "granted"}}});
  EXPECT_EQ(APMConsentSettingsUtil::consentSignals(), "Q1-1");
}

TEST_F(APMConsentSettingsUtilTest, Diagnostics) {
  APMConsentSettingsUtil::updateSettings({{"ad_storage", "denied"}}, 30);
  EXPECT_EQ(APMConsentSettingsUtil::consentDiagnostics(), "15999");
  APMConsentSettingsUtil::clearAllSettings();
  APMConsentSettingsUtil::updateSettings(
      {{"ad_storage", "granted"}, {"ad_user_data", "eu_consent_policy"}}, 5);
  APMConsentSettingsUtil::setDefaultSettings(
      Dictionary{{"analytics_storage", "granted"}, {"ad_personalization", "denied"}});
  // Explicit from TCF 7; a storage default gives 9, a personalization default 1; eu policy 8.
  EXPECT_EQ(APMConsentSettingsUtil::consentDiagnostics(), "17981");
  APMConsentSettingsUtil::setDelegatedSettings(Dictionary{{"ad_user_data", "ad_storage"}});
  APMConsentSettingsUtil::updateSettings({{"analytics_storage", "granted"}}, 20);
  EXPECT_EQ(APMConsentSettingsUtil::consentDiagnostics(), "17381");
}

TEST_F(APMConsentSettingsUtilTest, SourcePriority) {
  struct Case {
    int64_t current;
    int64_t candidate;
    bool higher;
  };
  const Case cases[] = {{5, 10, true},    {5, 5, true},    {5, 20, false}, {5, 30, false},
                        {5, 40, false},   {10, 5, true},   {40, 30, true}, {10, 30, false},
                        {100, 100, true}, {100, 40, true}, {20, 40, false}};
  for (const Case& c : cases) {
    APMConsentSettingsUtil::setConsentSource(c.current);
    EXPECT_EQ(APMConsentSettingsUtil::isConsentSourceHigherPriority(c.candidate), c.higher)
        << c.current << " <- " << c.candidate;
  }
  APMConsentSettingsUtil::setVersion(3);
  EXPECT_EQ(APMConsentSettingsUtil::version(), 1);
  APMConsentSettingsUtil::setVersion(2);
  EXPECT_EQ(APMConsentSettingsUtil::version(), 2);
  // Clearing the consent layers keeps the version.
  APMConsentSettingsUtil::clearAllSettings();
  EXPECT_EQ(APMConsentSettingsUtil::version(), 2);
  EXPECT_EQ(APMConsentSettingsUtil::consentSource(), 100);
  APMConsentSettingsUtil::setVersion(1);
}

TEST_F(APMConsentSettingsUtilTest, InfoPlistDefaults) {
  writeInfoPlist({{"ORVANE_ANALYTICS_DEFAULT_ALLOW_AD_STORAGE", "eu_consent_policy"},
                  {"ORVANE_ANALYTICS_DEFAULT_ALLOW_ANALYTICS_STORAGE", "  yes"},
                  {"ORVANE_ANALYTICS_DEFAULT_ALLOW_AD_USER_DATA", "EU_CONSENT_POLICY"},
                  {"ORVANE_ANALYTICS_DEFAULT_ALLOW_AD_PERSONALIZATION_SIGNALS", Value(false)}});
  EXPECT_EQ(APMConsentSettingsUtil::consentSettingsFromPlist(),
            (Dictionary{{"ad_user_data", "eu_consent_policy"}, {"analytics_storage", "granted"}}));
  writeInfoPlist({{"ORVANE_ANALYTICS_DEFAULT_ALLOW_AD_STORAGE", Value(false)},
                  {"ORVANE_ANALYTICS_DEFAULT_ALLOW_ANALYTICS_STORAGE", "abc"},
                  {"ORVANE_ANALYTICS_DEFAULT_ALLOW_AD_USER_DATA", Value(1)},
                  {"ORVANE_ANALYTICS_DEFAULT_ALLOW_AD_PERSONALIZATION_SIGNALS", "0"}});
  EXPECT_EQ(APMConsentSettingsUtil::consentSettingsFromPlist(),
            (Dictionary{{"ad_personalization", "denied"},
                        {"ad_storage", "denied"},
                        {"ad_user_data", "granted"},
                        {"analytics_storage", "denied"}}));
}

TEST_F(APMConsentSettingsUtilTest, DescriptionShowsRegionalValues) {
  apply({Dictionary{{"ad_storage", "denied"}, {"ad_user_data", "eu_consent_policy"}}});
  EXPECT_EQ(APMConsentSettingsUtil::description(),
            "ad_storage is denied. analytics_storage is granted. ad_user_data is denied "
            "(eu_consent_policy).");
}

}  // namespace

// Without a change queued the per-event reads do not wait for the queue; a read after a change
// from the same thread waits and sees it.
TEST_F(APMConsentSettingsUtilTest, ReadsAnswerWithoutTheQueueAndSeeEveryChangeBeforeThem) {
  APMConsentSettingsUtil::updateSettings({{"ad_storage", "denied"}}, 30);
  EXPECT_EQ(APMConsentSettingsUtil::consentDiagnostics(), "15999");
  {
    testsupport::QueueHold hold(APMConsentSettingsUtil::serialQueue());
    EXPECT_TRUE(APMConsentSettingsUtil::isAdStorageDenied());
    EXPECT_FALSE(APMConsentSettingsUtil::isAnalyticsStorageDenied());
    EXPECT_FALSE(APMConsentSettingsUtil::isAdUserDataDenied());
    EXPECT_EQ(APMConsentSettingsUtil::adPersonalization(), std::nullopt);
    EXPECT_EQ(APMConsentSettingsUtil::consentSignals(), "Q10-");
    EXPECT_EQ(APMConsentSettingsUtil::consentDiagnostics(), "15999");
    EXPECT_EQ(APMConsentSettingsUtil::consentSource(), 30);
  }
  struct Step {
    const char* what;
    std::function<void()> change;
    const char* signals;
    bool adUserDataDenied;
    std::optional<int64_t> adPersonalization;
  };
  const Step steps[] = {
      {"analytics granted",
       [] {
         APMConsentSettingsUtil::updateSettings({{"analytics_storage", "granted"}}, 10);
       },
       "Q101", false, std::nullopt},
      {"default for ad user data",
       [] {
         APMConsentSettingsUtil::setDefaultSettings(Dictionary{{"ad_user_data", "denied"}});
       },
       "Q101", true, std::nullopt},
      {"delegation to ad storage",
       [] {
         APMConsentSettingsUtil::setDelegatedSettings(Dictionary{{"ad_user_data", "ad_storage"}});
       },
       "Q101", true, std::nullopt},
      {"personalization granted",
       [] {
         APMConsentSettingsUtil::updateSettings({{"ad_personalization", "granted"}});
       },
       "Q101", true, 1},
      {"personalization unset", [] { APMConsentSettingsUtil::unsetAdPersonalization(); }, "Q101",
       true, std::nullopt},
      {"cleared", [] { APMConsentSettingsUtil::clearAllSettings(); }, "Q1--", false, std::nullopt},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    step.change();
    EXPECT_EQ(APMConsentSettingsUtil::consentSignals(), step.signals);
    EXPECT_EQ(APMConsentSettingsUtil::isAdUserDataDenied(), step.adUserDataDenied);
    EXPECT_EQ(APMConsentSettingsUtil::adPersonalization(), step.adPersonalization);
  }
}

// Reading the diagnostics records the refreshed digits, so a later read depends on whether an
// earlier one happened; answering from published state keeps that.
TEST_F(APMConsentSettingsUtilTest, DiagnosticsReadRecordsTheRefreshedDigits) {
  for (bool readBetween : {true, false}) {
    SCOPED_TRACE(readBetween ? "read between" : "no read between");
    APMConsentSettingsUtil::clearAllSettings();
    APMConsentSettingsUtil::setConsentSettings(Dictionary{{"ad_user_data", "eu_consent_policy"}});
    if (readBetween) {
      EXPECT_EQ(APMConsentSettingsUtil::consentDiagnostics(), "19989");
    }
    APMConsentSettingsUtil::updateSettings({{"ad_user_data", "granted"}});
    EXPECT_EQ(APMConsentSettingsUtil::consentDiagnostics(), readBetween ? "19989" : "19909");
    EXPECT_EQ(APMConsentSettingsUtil::consentDiagnostics(), readBetween ? "19989" : "19909");
  }
}

// Each writer sees its own last change at once, while readers on other threads see only
// states that were really set.
TEST_F(APMConsentSettingsUtilTest, ConcurrentWritersSeeTheirOwnChanges) {
  std::atomic<bool> done{false};
  std::atomic<int> wrong{0};
  std::thread reader([&] {
    while (!done) {
      std::string signals = APMConsentSettingsUtil::consentSignals();
      if (signals != "Q1--" && signals != "Q10-" && signals != "Q11-" && signals != "Q1-0" &&
          signals != "Q1-1" && signals != "Q100" && signals != "Q101" && signals != "Q110" &&
          signals != "Q111") {
        ++wrong;
      }
    }
  });
  auto writer = [&](const char* type, bool (*denied)()) {
    for (int i = 0; i < 300; ++i) {
      bool deny = i % 2 == 0;
      APMConsentSettingsUtil::updateSettings({{type, deny ? "denied" : "granted"}}, 10);
      if (denied() != deny) ++wrong;
    }
  };
  std::thread ads([&] { writer("ad_storage", &APMConsentSettingsUtil::isAdStorageDenied); });
  std::thread analytics(
      [&] { writer("analytics_storage", &APMConsentSettingsUtil::isAnalyticsStorageDenied); });
  ads.join();
  analytics.join();
  done = true;
  reader.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(APMConsentSettingsUtil::consentSignals(), "Q111");
}
