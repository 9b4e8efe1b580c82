// Tag-manager upload settings and the experiment-driven flags of the remote configuration.
#include <cstdio>

#include "AppMeasurement/foundation/APMDefaultIdentitySupport.h"
#include "AppMeasurement/foundation/APMPersistedConfig.h"
#include "AppMeasurement/foundation/APMPlatformIdentitySupport.h"
#include "AppMeasurement/foundation/APMRemoteConfig.h"
#include "AppMeasurement/foundation/APMSOTMPreviewHeadersSource.h"
#include "platform/tracking/ATTrackingManager.h"
#include "tests/AppMeasurement/foundation/EnvironmentTestSupport.h"
#include "tests/AppMeasurement/foundation/RemoteConfigTestSupport.h"

namespace {

using platform::Value;
using remoteconfigtest::makeConfig;
using remoteconfigtest::MemoryConfigStore;

struct Preview : APMSOTMPreviewHeadersSource {
  std::optional<Value::Dictionary> SOTMPreviewHeaders() override { return headers; }
  std::optional<Value::Dictionary> headers;
};

struct Client : APMExperimentClient {
  bool activateLatestSnapshot(APMErrorSlot* error) override {
    ++activations;
    if (failActivation && error) *error = apm_errorWithCode(2, "no snapshot");
    if (!failActivation) live = pending;
    return !failActivation;
  }
  std::optional<bool> flagValue(const std::string& name) override {
    auto it = live.find(name);
    return it == live.end() ? std::nullopt : std::optional<bool>(it->second);
  }
  void setDelegate(std::weak_ptr<APMExperimentClientDelegate> d) override { delegate = d; }
  std::map<std::string, bool> live, pending;
  bool failActivation = false;
  int activations = 0;
  std::weak_ptr<APMExperimentClientDelegate> delegate;
};

struct Manager : APMExperimentManaging {
  std::shared_ptr<APMExperimentClient> registerSDKProperty(const std::string& name,
                                                           int64_t version) override {
    registered = name + "/" + std::to_string(version);
    return client;
  }
  std::vector<int64_t> experimentIDs() override { return {7, 9}; }
  void reset() override { ++resets; }
  std::shared_ptr<Client> client = std::make_shared<Client>();
  std::string registered;
  int resets = 0;
};

class APMRemoteConfigExperimentsTest : public environmenttest::ContainerTest {
 protected:
  std::shared_ptr<MemoryConfigStore> store_ = std::make_shared<MemoryConfigStore>();
};

APMPBMeasurementConfig withSotm(std::optional<std::string> uploadURL, int32_t rollout,
                                std::string serverInfo = "",
                                std::string authorizedURL = "https://auth.example/a") {
  auto config = makeConfig("1:app", {});
  APMPBSotmSetting sotm;
  if (uploadURL) NANOSetString(sotm, APMPBSotmSetting::kUploadUrl, *uploadURL);
  NANOSetString(sotm, APMPBSotmSetting::kAuthorizedUploadUrl, authorizedURL);
  NANOSetString(sotm, APMPBSotmSetting::kServerInfo, serverInfo);
  NANOSetInt32(sotm, APMPBSotmSetting::kRolloutPercent, rollout);
  NANOSetMessage(config, APMPBMeasurementConfig::kSotmSetting, sotm);
  return config;
}

TEST_F(APMRemoteConfigExperimentsTest, SOTMUploadCaseByCase) {
  struct Case {
    const char* what;
    std::optional<Value> infoPlistFlag;
    std::optional<std::string> uploadURL;
    int32_t rollout;
    std::string appInstanceID;
    bool preview;
    bool enabled;
  };
  const Case cases[] = {
      {"everything on, full roll-out", Value(true), "https://s.example/a", 100, "ABC", false, true},
      {"no Info.plist flag", std::nullopt, "https://s.example/a", 100, "ABC", false, false},
      {"Info.plist flag as text", Value("YES"), "https://s.example/a", 100, "ABC", false, false},
      {"no upload URL", Value(true), std::nullopt, 100, "ABC", false, false},
      {"empty upload URL", Value(true), "", 100, "ABC", false, false},
      {"no roll-out", Value(true), "https://s.example/a", 0, "ABC", false, false},
      {"no roll-out, preview headers", Value(true), "https://s.example/a", 0, "ABC", true, true},
      {"empty ID below 100", Value(true), "https://s.example/a", 99, "", false, false},
      {"empty ID at 100", Value(true), "https://s.example/a", 100, "", false, true},
  };
  for (const Case& c : cases) {
    Value::Dictionary info;
    if (c.infoPlistFlag) info["ORVANE_ANALYTICS_SOTM_UPLOAD_ENABLED"] = *c.infoPlistFlag;
    writeInfoPlist(info);
    auto persisted = APMPersistedConfig::create("sotm");
    persisted->setAppInstanceID(c.appInstanceID.empty() ? std::nullopt
                                                        : std::optional(c.appInstanceID));
    auto preview = std::make_shared<Preview>();
    if (c.preview) preview->headers = Value::Dictionary{{"x-preview", "1"}};
    store_->stored = withSotm(c.uploadURL, c.rollout);
    auto config = APMRemoteConfig::create("1:app", store_, persisted, nullptr);
    config->setSOTMPreviewHeadersSource(preview);
    EXPECT_EQ(config->SOTMUploadEnabled(), c.enabled) << c.what;
  }
  // The roll-out splits instance IDs by their hash: about half at 50 percent.
  writeInfoPlist({{"ORVANE_ANALYTICS_SOTM_UPLOAD_ENABLED", Value(true)}});
  auto persisted = APMPersistedConfig::create("sotm-rollout");
  store_->stored = withSotm("https://s.example/a", 50);
  auto config = APMRemoteConfig::create("1:app", store_, persisted, nullptr);
  int enabled = 0;
  for (int i = 0; i < 400; ++i) {
    persisted->setAppInstanceID("ID" + std::to_string(i));
    enabled += config->SOTMUploadEnabled();
  }
  EXPECT_GT(enabled, 140);
  EXPECT_LT(enabled, 260);
}

TEST_F(APMRemoteConfigExperimentsTest, SOTMURLAndHeaders) {
  store_->stored = withSotm("https://s.example/a", 100, "srv-1");
  auto config = APMRemoteConfig::create("1:app", store_, nullptr, nullptr);
  EXPECT_EQ(config->SOTMUploadURL(), "https://s.example/a");
  EXPECT_EQ(config->SOTMUploadHTTPHeaders(),
            (Value::Dictionary{{"x-sotm-server-info", Value("srv-1")}}));
  store_->stored = withSotm("https://s.example/a", 100, "");
  EXPECT_EQ(APMRemoteConfig::create("1:app", store_, nullptr, nullptr)->SOTMUploadHTTPHeaders(),
            std::nullopt);
  store_->stored = makeConfig("1:app", {});
  config = APMRemoteConfig::create("1:app", store_, nullptr, nullptr);
  EXPECT_EQ(config->SOTMUploadURL(), std::nullopt);
  EXPECT_EQ(config->SOTMUploadHTTPHeaders(), std::nullopt);
}

// Without tracking authorization the plain URL is the one, and only when it parses as a URL.
TEST_F(APMRemoteConfigExperimentsTest, PlainSOTMURLMustBeValid) {
  struct Case {
    const char* uploadURL;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {"https://s.example/a", "https://s.example/a"},
      {"http://exa mple.com/a", std::nullopt},
      {"https://s.example/%zz", std::nullopt},
  };
  for (const Case& c : cases) {
    store_->stored = withSotm(c.uploadURL, 100);
    EXPECT_EQ(APMRemoteConfig::create("1:app", store_, nullptr, nullptr)->SOTMUploadURL(),
              c.expected)
        << c.uploadURL;
  }
}

// With tracking authorized, the authorized URL is used only when it parses as a URL. The shared
// identity support finds its provider once per process, so the table runs in a fresh child
// that registers the tracking stand-in first.
TEST_F(APMRemoteConfigExperimentsTest, AuthorizedSOTMURLMustBeValid) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  struct Case {
    const char* what;
    std::string authorizedURL;
    std::string expected;
  };
  const Case cases[] = {
      {"valid authorized URL", "https://auth.example/a", "https://auth.example/a"},
      {"empty authorized URL", "", "https://s.example/a"},
      {"space in the host", "https://auth example/a", "https://s.example/a"},
      {"bad percent escape", "https://auth.example/%zz", "https://s.example/a"},
  };
  EXPECT_EXIT(
      {
        platform::ATTrackingManager::registerInRuntime();
        APMPlatformIdentitySupport::registerInRuntime();
        platform::ATTrackingManager::setTrackingAuthorizationStatus(3);
        bool ok = APMDefaultIdentitySupport::sharedInstance()->appDataConsentStatus() == 3;
        if (!ok) fprintf(stderr, "tracking status is not authorized\n");
        for (const Case& c : cases) {
          store_->stored = withSotm("https://s.example/a", 100, "", c.authorizedURL);
          auto url = APMRemoteConfig::create("1:app", store_, nullptr, nullptr)->SOTMUploadURL();
          if (url != c.expected) {
            fprintf(stderr, "%s: got %s\n", c.what, url ? url->c_str() : "nil");
            ok = false;
          }
        }
        fflush(stderr);
        _exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(APMRemoteConfigExperimentsTest, ExperimentFlagsComeFirst) {
  auto manager = std::make_shared<Manager>();
  manager->client->pending = {{"customer_type_enabled", false}};
  store_->stored = makeConfig("1:app", {{"measurement.customer_type_enabled", "1"},
                                        {"measurement.session_stitching_token_enabled", "0"}});
  auto config = APMRemoteConfig::create("1:app", store_, nullptr, manager);
  EXPECT_EQ(manager->registered, "app_measurement/111500");
  // The stale snapshot activated at creation filled the flag cache.
  EXPECT_FALSE(config->customerTypeEnabled());
  EXPECT_EQ(config->experimentIDs(), (std::vector<int64_t>{7, 9}));

  // A new snapshot is activated only once announced.
  manager->client->pending = {{"session_stitching_token_feature_enabled", true}};
  EXPECT_FALSE(config->activateNewSnapshot());
  config->clientDidReceiveNewSnapshot(*manager->client);
  EXPECT_TRUE(config->activateNewSnapshot());
  EXPECT_FALSE(config->activateNewSnapshot());
  // The cache lost "customer_type_enabled": the setting answers again; the stitching flag is
  // read live from the client.
  EXPECT_TRUE(config->customerTypeEnabled());
  EXPECT_TRUE(config->sessionStitchingTokenFeatureEnabled());

  // A failed activation keeps the snapshot pending.
  manager->client->failActivation = true;
  config->clientDidReceiveNewSnapshot(*manager->client);
  EXPECT_FALSE(config->activateNewSnapshot());
  manager->client->failActivation = false;
  EXPECT_TRUE(config->activateNewSnapshot());

  // Without an engine no experiments are fetched; a reset reaches the manager.
  EXPECT_FALSE(config->shouldFetchExperimentsForClient(*manager->client));
  config->reset();
  EXPECT_EQ(manager->resets, 1);
}

}  // namespace
