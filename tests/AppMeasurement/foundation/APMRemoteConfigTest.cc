// Parse, storage, per-event configuration, URLs and expiry of the remote configuration.
#include <atomic>
#include <thread>

#include "AppMeasurement/foundation/APMRemoteConfig.h"
#include "AppMeasurement/script/APMPEventEditing.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/utilities/OULOSLog.h"
#include "tests/AppMeasurement/foundation/EnvironmentTestSupport.h"
#include "tests/AppMeasurement/foundation/PythonReference.h"
#include "tests/AppMeasurement/foundation/RemoteConfigTestSupport.h"
#include "tests/AppMeasurement/script/ScriptEntities.h"
#include "tests/support/ClosedPort.h"
#include "tests/support/LogCapture.h"

namespace {

using platform::Value;
using remoteconfigtest::makeConfig;
using remoteconfigtest::MemoryConfigStore;

APMPBEventConfig eventConfig(const std::string& name, std::optional<bool> blocklisted,
                             std::optional<int32_t> samplingRate) {
  APMPBEventConfig config;
  NANOSetString(config, APMPBEventConfig::kName, name);
  if (blocklisted) NANOSetBool(config, APMPBEventConfig::kBlocklisted, *blocklisted);
  if (samplingRate) NANOSetInt32(config, APMPBEventConfig::kSamplingRate, *samplingRate);
  return config;
}

APMPBConsentConfig consentConfig(bool dma) {
  APMPBConsentConfig consent;
  APMPBConsentDefaultEntry entry;
  NANOSetInt32(entry, APMPBConsentDefaultEntry::kConsentType, 3);
  NANOSetInt32(entry, APMPBConsentDefaultEntry::kConsentValue, 2);
  APMPBConsentDefaultEntry unknown;
  NANOSetInt32(unknown, APMPBConsentDefaultEntry::kConsentType, 9);
  NANOSetInt32(unknown, APMPBConsentDefaultEntry::kConsentValue, 1);
  NANOSetMessageArray(consent, APMPBConsentConfig::kDefaults, std::vector{entry, unknown});
  NANOSetBool(consent, APMPBConsentConfig::kDmaRegion, dma);
  return consent;
}

class APMRemoteConfigTest : public environmenttest::ContainerTest {
 protected:
  std::shared_ptr<APMRemoteConfig> make() {
    return APMRemoteConfig::create("1:app", store_, nullptr, nullptr);
  }
  void SetUp() override {
    ContainerTest::SetUp();
    OULSetLoggerLevel(OULLoggerLevelDebug);
  }
  void TearDown() override {
    OULSetLoggerLevel(OULLoggerLevelNotice);
    ContainerTest::TearDown();
  }
  // Whether the monitor wrote a line with the code (its console writes are queued).
  bool logged(const std::string& code) {
    platform::DispatchQueue::waitUntilIdle();
    return capture_.contains(code);
  }
  std::shared_ptr<MemoryConfigStore> store_ = std::make_shared<MemoryConfigStore>();
  testsupport::LogCapture capture_;
};

TEST_F(APMRemoteConfigTest, ParseRules) {
  auto config = make();
  auto full = makeConfig("1:app", {{"measurement.upload.max_bundles", "7"},
                                   {"measurement.upload.blacklist_public", "1"}});
  NANOSetMessageArray(full, APMPBMeasurementConfig::kEventConfig,
                      std::vector{eventConfig("purchase", true, 5), eventConfig("", false, 3)});
  NANOSetMessage(full, APMPBMeasurementConfig::kConsentConfig, consentConfig(false));
  APMPBPsmSetting psm;
  NANOSetInt32(psm, APMPBPsmSetting::kPrefixEmail, 30);
  NANOSetMessage(full, APMPBMeasurementConfig::kPsmSetting, psm);
  ASSERT_TRUE(config->updateMeasurementConfig(full));
  EXPECT_EQ(config->uploadMaxBundlesLimit(), 7);
  // Public event names are stored under their internal names.
  EXPECT_TRUE(config->eventConfigWithName("_iap").has_value() ||
              config->eventConfigWithName("purchase").has_value());
  EXPECT_EQ(config->consentDefaults(),
            (std::map<std::string, std::string>{{"", "granted"}, {"ad_user_data", "denied"}}));
  EXPECT_FALSE(config->isDMARegion());
  // PSM fields are cached as numbers and answered without the range check.
  EXPECT_EQ(config->hashPrefixBitLengthEmail(), 30);

  // No settings list at all: logged, tables kept.
  APMPBMeasurementConfig moved = full;
  APMPBMeasurementConfig taken = std::move(moved);
  config->parseRemoteConfigFromMeasurementConfig(moved);
  EXPECT_EQ(config->uploadMaxBundlesLimit(), 7);

  // Another app: nothing changes, and updating is refused.
  config->parseRemoteConfigFromMeasurementConfig(makeConfig("2:other", {}));
  EXPECT_EQ(config->uploadMaxBundlesLimit(), 7);
  EXPECT_FALSE(config->updateMeasurementConfig(makeConfig("2:other", {})));

  // An empty list: every setting its default; no consent configuration keeps the DMA flag.
  config->parseRemoteConfigFromMeasurementConfig(makeConfig("1:app", {}));
  EXPECT_EQ(config->uploadMaxBundlesLimit(), 100);
  EXPECT_FALSE(config->isDMARegion());
  EXPECT_TRUE(config->consentDefaults().empty());
  EXPECT_FALSE(config->eventConfigWithName("purchase").has_value());

  // Reset: defaults, DMA flag back on.
  config->reset();
  EXPECT_TRUE(config->isDMARegion());
  EXPECT_EQ(config->version(), -1);
}

TEST_F(APMRemoteConfigTest, BlocklistAndSampling) {
  auto config = make();
  auto message = makeConfig("1:app", {{"measurement.upload.blacklist_internal", "1"}});
  NANOSetMessageArray(
      message, APMPBMeasurementConfig::kEventConfig,
      std::vector{eventConfig("_a", false, 1), eventConfig("b", true, 2),
                  eventConfig("c", std::nullopt, 65535), eventConfig("_d", std::nullopt, 65536),
                  eventConfig("e", std::nullopt, 0), eventConfig("f", std::nullopt, -3)});
  ASSERT_TRUE(config->updateMeasurementConfig(message));
  struct Case {
    const char* name;
    bool blocklisted;
    int32_t rate;
  };
  const Case cases[] = {{"_a", true, 1}, {"b", true, 2},  {"c", false, 65535}, {"_d", true, 1},
                        {"e", false, 1}, {"f", false, 1}, {"_z", true, 1},     {"z", false, 1}};
  for (const Case& c : cases) {
    EXPECT_EQ(config->isEventBlocklisted(c.name), c.blocklisted) << c.name;
    EXPECT_EQ(config->samplingRateForEvent(c.name), c.rate) << c.name;
  }
}

TEST_F(APMRemoteConfigTest, AStoreThatRefusesWithoutAnErrorIsAFailure) {
  auto config = make();
  ASSERT_TRUE(config->updateMeasurementConfig(
      makeConfig("1:app", {{"measurement.upload.max_bundles", "5"}})));
  for (bool withError : {false, true}) {
    store_->refuse = true;
    store_->refuseWithError = withError;
    capture_.clear();
    EXPECT_FALSE(config->updateMeasurementConfig(
        makeConfig("1:app", {{"measurement.upload.max_bundles", "9"}})));
    EXPECT_TRUE(logged("I-ACS029005"));
    EXPECT_EQ(config->uploadMaxBundlesLimit(), 5);
  }
}

// Storing and reading are meant for background threads: on the main thread each says so with
// the worker queue's check, and carries on.
TEST_F(APMRemoteConfigTest, StoringAndReadingOnTheMainThreadAreFlagged) {
  auto config = make();
  ASSERT_TRUE(platform::DispatchQueue::isMainThread());
  capture_.clear();
  EXPECT_TRUE(config->updateMeasurementConfig(makeConfig("1:app", {})));
  EXPECT_TRUE(config->measurementConfigFromDatabase());
  EXPECT_TRUE(
      logged("[I-ACS030001] ERROR: Method updateMeasurementConfig: should execute on "
             "background thread"));
  EXPECT_TRUE(
      logged("[I-ACS030001] ERROR: Method measurementConfigFromDatabase should execute on "
             "background thread"));
  EXPECT_FALSE(logged("I-ACS023000"));
}

// A state taken before a configuration is applied puts back the configuration, its settings
// and its tables.
TEST_F(APMRemoteConfigTest, ARestoredStateIsTheConfigurationAsItWas) {
  auto config = make();
  auto first = makeConfig("1:app", {{"measurement.upload.max_bundles", "5"}});
  NANOSetInt64(first, APMPBMeasurementConfig::kVersion, 3);
  NANOSetMessage(first, APMPBMeasurementConfig::kConsentConfig, consentConfig(false));
  NANOSetMessageArray(first, APMPBMeasurementConfig::kEventConfig,
                      std::vector{eventConfig("blocked", true, std::nullopt)});
  ASSERT_TRUE(config->updateMeasurementConfig(first));
  EXPECT_EQ(config->uploadMaxBundlesLimit(), 5);  // the setting is cached as a checked number
  auto state = config->appliedState();
  auto second = makeConfig("1:app", {{"measurement.upload.max_bundles", "9"}});
  NANOSetInt64(second, APMPBMeasurementConfig::kVersion, 4);
  ASSERT_TRUE(config->updateMeasurementConfig(second));
  ASSERT_EQ(config->uploadMaxBundlesLimit(), 9);
  config->restoreAppliedState(*state);
  EXPECT_EQ(config->version(), 3);
  EXPECT_EQ(config->uploadMaxBundlesLimit(), 5);
  EXPECT_TRUE(config->isEventBlocklisted("blocked"));
  EXPECT_EQ(config->consentDefaults().count("ad_user_data"), 1u);
  EXPECT_FALSE(config->isDMARegion());
}

TEST_F(APMRemoteConfigTest, AFailedProgramEndsTheParseKeepingOlderConsent) {
  auto config = make();
  auto first = makeConfig("1:app", {});
  NANOSetMessage(first, APMPBMeasurementConfig::kConsentConfig, consentConfig(false));
  NANOSetMessageArray(first, APMPBMeasurementConfig::kDynamicEventEditing,
                      std::vector{script_test::MakeProgram({}, {})});
  ASSERT_TRUE(config->updateMeasurementConfig(first));
  auto host = config->eventEditing();
  ASSERT_NE(host, nullptr);
  // No programs: the host stays.
  config->parseRemoteConfigFromMeasurementConfig(makeConfig("1:app", {}));
  EXPECT_EQ(config->eventEditing(), host);
  // A program that fails to load drops the host and ends the parse.
  ASSERT_TRUE(config->updateMeasurementConfig(first));
  auto failing = makeConfig("1:app", {});
  NANOSetMessageArray(
      failing, APMPBMeasurementConfig::kDynamicEventEditing,
      std::vector{script_test::MakeProgram({script_test::ret(script_test::num(1))}, {})});
  config->parseRemoteConfigFromMeasurementConfig(failing);
  EXPECT_TRUE(logged("I-ACS029026"));
  EXPECT_EQ(config->eventEditing(), nullptr);
  EXPECT_FALSE(config->consentDefaults().empty());
  EXPECT_FALSE(config->isDMARegion());
}

// The program's edit rule copies a setting, as the script sees it, into the event.
APMPBProgram settingReadingProgram() {
  using namespace script_test;
  N registerFunction = func(
      "register", {"rule"},
      {letv("reg", callf("require", {str("internal.registerCallback")})),
       callf("reg", {str(""), get(var("rule"), str("cb")), get(var("rule"), str("options"))})});
  N edit = lambda({"e"},
                  {letv("config", callf("require", {str("internal.remoteConfig")})),
                   method(var("e"), "setParamValue",
                          {str("seen"), method(var("config"), "getValue",
                                               {str("measurement.upload.interval"), str("none")})}),
                   ret(num(0))});
  N rule = obj({{"cb", edit}, {"options", obj({{"type", str("edit")}})}});
  return MakeProgram({registerFunction}, {{"register", {rule}}});
}

TEST_F(APMRemoteConfigTest, TheScriptSeesTheSettingsCacheItWasMadeWith) {
  auto config = make();
  auto message = makeConfig("1:app", {{"measurement.upload.interval", "900000"}});
  NANOSetMessageArray(message, APMPBMeasurementConfig::kDynamicEventEditing,
                      std::vector{settingReadingProgram()});
  ASSERT_TRUE(config->updateMeasurementConfig(message));
  auto host = config->eventEditing();
  ASSERT_NE(host, nullptr);
  auto seen = [&] {
    std::optional<APMPError> error;
    host->handleEvent(APMPEvent("e", 1, {}), &error);
    EXPECT_FALSE(error);
    auto value = host->eventContext().outputEvent().parameterForName("seen");
    return value ? *value : Value();
  };
  // The server's text before the engine's first look-up, the checked seconds afterwards (the
  // runtime hands numeric text back to the event as a number).
  EXPECT_EQ(seen(), Value(900000.0));
  EXPECT_EQ(config->uploadingInterval(), 900);
  EXPECT_EQ(seen(), Value(900.0));
  // A configuration without programs keeps the host; its settings refill the same cache.
  config->parseRemoteConfigFromMeasurementConfig(
      makeConfig("1:app", {{"measurement.upload.interval", "1800000"}}));
  EXPECT_EQ(config->eventEditing(), host);
  EXPECT_EQ(seen(), Value(1800000.0));
  // A reset empties it in place too.
  config->reset();
  EXPECT_EQ(config->eventEditing(), host);
  EXPECT_EQ(seen(), Value("none"));
}

TEST_F(APMRemoteConfigTest, LookupsRacingParsesNeverKeepAStaleValue) {
  auto config = make();
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    while (!stop) config->uploadMaxBundlesLimit();
  });
  for (int i = 1; i <= 300; ++i) {
    config->parseRemoteConfigFromMeasurementConfig(
        makeConfig("1:app", {{"measurement.upload.max_bundles", std::to_string(i)}}));
    ASSERT_EQ(config->uploadMaxBundlesLimit(), i);
  }
  stop = true;
  reader.join();
}

TEST_F(APMRemoteConfigTest, ExpiryUsesTheDistanceEitherWay) {
  auto config = make();
  struct Case {
    std::optional<double> updated;
    bool expired;
  };
  double now = clock_->now();
  const Case cases[] = {{now - 3599, false},
                        {now - 3600, true},
                        {now + 3599, false},
                        {now + 3600, true},
                        {std::nullopt, true}};
  for (const Case& c : cases) {
    store_->timestamp = c.updated;
    EXPECT_EQ(config->isExpired(), c.expired) << (c.updated ? *c.updated - now : -1);
  }
  EXPECT_FALSE(APMRemoteConfig::defaultInstance()->isExpired());
  EXPECT_EQ(APMRemoteConfig::defaultInstance()->version(), -1);
}

TEST_F(APMRemoteConfigTest, TruncatedAndHostileBytesNeverLeaveTheRanges) {
  auto full = makeConfig("1:app", {{"measurement.upload.interval", "900000"},
                                   {"measurement.account.time_zone_offset_minutes", "-900"}});
  NANOSetMessageArray(full, APMPBMeasurementConfig::kEventConfig,
                      std::vector{eventConfig("b", true, 2)});
  NANOSetMessage(full, APMPBMeasurementConfig::kConsentConfig, consentConfig(true));
  std::string bytes = *full.protoBuffer();
  std::vector<std::string> inputs;
  for (size_t length = 0; length <= bytes.size(); ++length)
    inputs.push_back(bytes.substr(0, length));
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::string flipped = bytes;
    flipped[i] = static_cast<char>(flipped[i] ^ 0xA5);
    inputs.push_back(flipped);
  }
  for (const std::string& input : inputs) {
    auto message = APMPBMeasurementConfig::initWithBuffer(input);
    if (!message) continue;
    auto config = make();
    config->parseRemoteConfigFromMeasurementConfig(*message);
    double interval = config->uploadingInterval();
    EXPECT_TRUE(interval == 3600 || (interval >= 15 && interval <= 86400)) << interval;
    int32_t offset = config->analyticsAccountTimeZoneOffsetMinutes();
    EXPECT_TRUE(offset >= -900 && offset <= 900) << offset;
    config->samplingRateForEvent("b");
  }
}

// Python's urllib parses the URLs we build.
std::string parseWithPython(const std::string& url) {
  return testsupport::runPython(
      "import urllib.parse as u, binascii\n"
      "url = binascii.unhexlify('" +
      testsupport::hexOf(url) +
      "').decode()\n"
      "p = u.urlsplit(url)\n"
      "print(p.scheme, p.netloc, u.unquote(p.path), sorted(u.parse_qsl(p.query, "
      "strict_parsing=True)))\n");
}

TEST_F(APMRemoteConfigTest, ConfigurationURLParsesBackWithPythonUrllib) {
  APMRemoteConfig::setHosts({"config.example.com", "upload.example.com", "auth.example.com"});
  struct Case {
    std::string appID;
    std::string platformName;
  };
  const Case cases[] = {{"1:1234567890:ios:abcdef", "ios"},
                        {"app id/with?odd&chars#%", "i o&s=1"},
                        {"ünïcode", "ios"}};
  for (const Case& c : cases) {
    auto config = APMRemoteConfig::create(c.appID, store_, nullptr, nullptr);
    auto url = config->remoteConfigURLWithPlatform(c.platformName, 111500, 0);
    ASSERT_TRUE(url);
    EXPECT_EQ(parseWithPython(*url),
              "https config.example.com /config/app/" + c.appID + " [('platform', '" +
                  c.platformName + "'), ('runtime_version', '0'), ('rzq_version', '111500')]\n")
        << *url;
  }
  EXPECT_FALSE(make()->remoteConfigURLWithPlatform(std::nullopt, 1, 0));
  APMRemoteConfig::setHosts(testsupport::processClosedHosts<APMRemoteConfig::Hosts>());
}

TEST_F(APMRemoteConfigTest, UploadURLWithSubdomainParsesBackWithPythonUrllib) {
  APMRemoteConfig::setHosts({"config.example.com", "upload.example.com", "auth.example.com"});
  auto config = make();
  EXPECT_EQ(parseWithPython(config->uploadURL()), "https upload.example.com /a []\n");
  auto message = makeConfig("1:app", {});
  NANOSetString(message, APMPBMeasurementConfig::kUploadSubdomain, "eu");
  ASSERT_TRUE(config->updateMeasurementConfig(message));
  EXPECT_EQ(parseWithPython(config->uploadURL()), "https eu.upload.example.com /a []\n");
  APMRemoteConfig::setHosts({"127.0.0.1:8080", "127.0.0.1:8081", "localhost:8082"});
  store_ = std::make_shared<MemoryConfigStore>();
  EXPECT_EQ(parseWithPython(make()->uploadURL()), "http 127.0.0.1:8081 /a []\n");
  APMRemoteConfig::setHosts(testsupport::processClosedHosts<APMRemoteConfig::Hosts>());
}

}  // namespace
