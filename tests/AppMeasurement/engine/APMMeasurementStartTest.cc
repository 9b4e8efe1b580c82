// Start-up of the engine: the order of its steps, the wipe after an app-identifier change, the
// consent that takes effect (stored sets, the server's defaults, IAB TCF), the bound on a
// configuration, the file mode of the database, and one app instance identifier per install
// however early the process is killed. Uploads go to the local measurement service run as its
// own process and are read with protoc; the databases with the sqlite3 tool; property lists
// with Python's plistlib.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <set>

#include "AppMeasurement/engine/APMBackwardCompatibilityUtil.h"
#include "AppMeasurement/engine/APMMeasurement.h"
#include "AppMeasurement/foundation/APMConsentSettingsUtil.h"
#include "AppMeasurement/foundation/APMFilePaths.h"
#include "AppMeasurement/foundation/APMMonitor.h"
#include "AppMeasurement/foundation/APMTCFClient.h"
#include "AppMeasurement/foundation/APMUserAttribute.h"
#include "AppMeasurement/foundation/APMUserDefaults.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/JSONSerialization.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/PlatformLog.h"
#include "platform/foundation/PreferenceStore.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/PropertyListSerialization.h"
#include "platform/uikit/UIApplicationNotifications.h"
#include "platform/utilities/OULAppEnvironmentUtil.h"
#include "tests/AppMeasurement/engine/EngineTestSupport.h"
#include "tests/support/ClosedPort.h"

namespace {

using enginetest::EngineTest;
using enginetest::protoc;
using testsupport::httpRequest;
using testsupport::runCommand;
using testsupport::ServiceProcess;

constexpr const char* kNewAppID = "1:1234567890:ios:fedcba";

// Feature objects that write a marker through the monitor when the engine reaches them, so
// their place among the engine's own log lines shows the order of the start-up steps.
class MarkingAudience : public APMAudienceEvaluating {
 public:
  void setDatabase(APMDatabase* database) override {
    if (database) APMMonitor::monitor()->logWithLevel(6, 0, "marker: audience has the database");
  }
};
class MarkingSearchAds : public APMSearchAdReporting {
 public:
  void start() override { APMMonitor::monitor()->logWithLevel(6, 0, "marker: search ads started"); }
};

class StartTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    APMConsentSettingsUtil::clearAllSettings();
  }
  void TearDown() override {
    EngineTest::TearDown();
    service_.reset();
    APMRemoteConfig::setHosts(testsupport::processClosedHosts<APMRemoteConfig::Hosts>());
    APMFeatureServices::install({});
    APMConsentSettingsUtil::clearAllSettings();
    OULAppEnvironmentUtil::setConfiguration(std::nullopt);
  }

  void startService() {
    service_ = std::make_unique<ServiceProcess>(
        KVL_TEST_SERVICE,
        std::vector<std::string>{"--port", "0", "--data", (base_ / "service").string()});
    std::string host = service_->baseURL().substr(std::string("http://").size());
    APMRemoteConfig::setHosts({host, host, host});
  }
  void putConfig(const std::string& appID, const std::string& text) {
    std::string config = protoc("encode", "MeasurementConfig", text);
    ASSERT_EQ(
        httpRequest("PUT", service_->baseURL() + "/_control/config/" + appID, {}, config).status,
        204);
  }
  // The decoded batches the service received, in order.
  std::vector<std::string> decodedUploads() {
    std::vector<std::string> decoded;
    auto answer = httpRequest("GET", service_->baseURL() + "/_control/requests");
    auto parsed = platform::JSONSerialization::JSONObjectWithData(answer.body);
    if (!parsed.ok() || !parsed->isArray()) return decoded;
    for (const platform::Value& request : *parsed->asArray()) {
      const platform::Value::Dictionary& fields = *request.asDictionary();
      if (*fields.at("method").asString() != "POST") continue;
      std::string body = runCommand("base64 -d", *fields.at("body_base64").asString());
      decoded.push_back(protoc("decode", "MeasurementBatch", body));
    }
    return decoded;
  }
  bool drained() { return !engine->isNetworkRequestPending() && !engine->hasDataToUpload(); }

  // An engine for the app identifier over the test's persisted configuration (kept between
  // engines, as a restarted process finds it), with a network when a service runs.
  void startEngine(const std::string& appID, bool expectStarted = true) {
    if (!persistedConfig) persistedConfig = APMPersistedConfig::create("engine-test");
    APMMeasurement::Collaborators collaborators;
    collaborators.persistedConfig = persistedConfig;
    if (service_) collaborators.network = OULNetwork::create(service_->baseURL());
    APMIdentity::resetAppIDFromRZQForTesting();
    identity = APMIdentity::create(persistedConfig);
    identity->setAppIDFromRZQ(appID);
    collaborators.identity = identity;
    engine = APMMeasurement::create(std::move(collaborators), appID, true, false, {});
    env.waitUntilIdle();
    if (expectStarted) {
      ASSERT_TRUE(engine->didInitializeComponents());
    }
  }
  // The engine goes as at the end of a process; its database closes.
  void stopEngine() {
    engine->setEnabled(false);
    env.waitUntilIdle();
    std::weak_ptr<APMMeasurement> weak = engine;
    engine.reset();
    env.waitUntilIdle();
    ASSERT_TRUE(weak.expired());
  }
  std::string databasePath() { return APMApplicationSupportPath("orvane-app-measurement.sql"); }
  std::string sql(const std::string& query) {
    return runCommand("sqlite3 '" + databasePath() + "' '" + query + "'");
  }

  std::unique_ptr<ServiceProcess> service_;
};

// The component block's steps and the start that follows, in their order, seen through the
// log codes they write (and the markers of the feature objects they reach).
TEST_F(StartTest, StepsRunInOrder) {
  APMFeatureServices services;
  services.audience = std::make_shared<MarkingAudience>();
  services.searchAdReporter = std::make_shared<MarkingSearchAds>();
  APMFeatureServices::install(services);
  startEngine(kAppID);  // a first install: first open
  stopEngine();
  capture.clear();
  startEngine(kNewAppID);  // the platform app identifier changed: wipe, then a new first open
  struct Step {
    const char* text;  // a log code or marker
    const char* what;
  };
  const Step steps[] = {
      {"I-ACS023294", "3: the app identifier changed"},
      {"I-ACS023171", "3: the data are wiped"},
      {"marker: audience has the database", "6-8: database, configuration, audience"},
      {"I-ACS023016", "11: ready to receive events"},
      {"I-ACS023072", "16: the first open is written"},
      {"marker: search ads started", "19: search ads"},
      {"I-ACS023012", "after the block: collection enabled"},
  };
  std::vector<std::string> lines = capture.lines();
  size_t previous = 0;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    auto found = std::find_if(lines.begin(), lines.end(), [&](const std::string& line) {
      return line.find(step.text) != std::string::npos;
    });
    ASSERT_NE(found, lines.end());
    size_t index = static_cast<size_t>(found - lines.begin());
    EXPECT_GE(index, previous);
    previous = index;
  }
  // 20: the TCF reader exists.
  onWorker([&] { ASSERT_NE(engine->tcfClient(), nullptr); });
  // 10: the library's folder is excluded from backups (its extended attribute, read by Python).
  std::string folder = std::filesystem::path(databasePath()).parent_path().string();
  EXPECT_NE(
      runCommand("python3 -c \"import os, sys; print(os.listxattr(sys.argv[1]))\" '" + folder + "'")
          .find(platform::FileManager::kExcludedFromBackupAttribute),
      std::string::npos);
}

// An app-identifier change at start: the old app's database file is deleted before the new
// one opens, so nothing of the old app (events, "_id", "_fot") is stored or uploaded.
TEST_F(StartTest, AppIdentifierChangeUploadsNothingOfTheOldApp) {
  startService();
  putConfig(kNewAppID, std::string("app_id: \"") + kNewAppID + "\"");
  startEngine(kAppID);
  logEvent("app", true, "old_app_event");
  onWorker([&] {
    auto id = APMUserAttribute::create("app", "_id", APMValue("old-user"), env.now());
    engine->setUserAttributeOnWorkerQueue(*id);
  });
  ASSERT_EQ(sql("SELECT count(*) FROM user_attributes WHERE name IN (\"_id\", \"_fot\");"), "2\n");
  std::string oldFot = sql("SELECT set_timestamp FROM user_attributes WHERE name = \"_fot\";");
  std::string oldInstance = identity->appInstanceID().value_or("");
  stopEngine();

  env.advance(7200);
  APMAnalytics::setLoadTimestamp(env.now());  // the next launch
  startEngine(kNewAppID);
  EXPECT_EQ(APMAnalytics::resetRetryCount(), 0);
  // sqlite3: no old event, no "_id", a "_fot" of the new first open only.
  EXPECT_EQ(sql("SELECT count(*) FROM raw_events WHERE instr(data, \"old_app_event\") > 0;"),
            "0\n");
  EXPECT_EQ(sql("SELECT count(*) FROM user_attributes WHERE name = \"_id\";"), "0\n");
  EXPECT_NE(sql("SELECT set_timestamp FROM user_attributes WHERE name = \"_fot\";"), oldFot);
  EXPECT_NE(identity->appInstanceID().value_or(""), oldInstance);

  logEvent("app", true, "new_app_event");
  env.advance(20);
  ASSERT_TRUE(waitFor([&] { return drained(); }));
  std::vector<std::string> uploads = decodedUploads();
  ASSERT_FALSE(uploads.empty());
  for (const std::string& decoded : uploads) {
    EXPECT_EQ(decoded.find("old_app_event"), std::string::npos) << decoded;
    EXPECT_EQ(decoded.find("old-user"), std::string::npos) << decoded;
    EXPECT_EQ(decoded.find(oldInstance), std::string::npos) << decoded;
    EXPECT_NE(decoded.find(std::string("rzq_app_id: \"") + kNewAppID + "\""), std::string::npos);
  }
  EXPECT_NE(uploads.back().find("new_app_event"), std::string::npos);
}

// A wipe that cannot delete the old file fails the start (nothing of the half-wiped data is
// uploaded) and keeps the retry count; the next start wipes again and succeeds.
TEST_F(StartTest, FailedWipeIsRetriedAndNeverUploaded) {
  startEngine(kAppID);
  logEvent("app", true, "old_app_event");
  stopEngine();
  std::string quoted = "'" + databasePath() + "'";
  ASSERT_EQ(runCommand("chattr +i " + quoted + " 2>/dev/null && echo locked"), "locked\n");
  capture.clear();
  startEngine(kNewAppID, false);
  EXPECT_FALSE(engine->didInitializeComponents());
  EXPECT_FALSE(engine->isEnabled());
  EXPECT_TRUE(capture.contains("I-ACS023014"));
  EXPECT_TRUE(capture.contains("I-ACS023208"));
  EXPECT_TRUE(capture.contains("I-ACS023011"));
  EXPECT_EQ(APMAnalytics::resetRetryCount(), 1);
  onWorker([&] { EXPECT_EQ(engine->database(), nullptr); });

  runCommand("chattr -i " + quoted);
  engine->setEnabled(true);
  env.waitUntilIdle();
  ASSERT_TRUE(engine->didInitializeComponents());
  EXPECT_EQ(APMAnalytics::resetRetryCount(), 0);
  EXPECT_EQ(sql("SELECT count(*) FROM raw_events WHERE instr(data, \"old_app_event\") > 0;"),
            "0\n");
}

// The server's consent defaults reach the consent state and the upload: ad user data denied
// gives "-" for the core platform services; ad personalisation denied gives "_npa" 1.
TEST_F(StartTest, ServerConsentDefaultsEndToEnd) {
  startService();
  putConfig(kAppID, std::string("app_id: \"") + kAppID +
                        "\" consent_config { defaults { consent_type: CONSENT_TYPE_AD_USER_DATA "
                        "consent_value: CONSENT_VALUE_DENIED } defaults { consent_type: "
                        "CONSENT_TYPE_AD_PERSONALIZATION consent_value: CONSENT_VALUE_DENIED } "
                        "core_platform_services { service: \"svc\" } dma_region: true }");
  startEngine(kAppID);
  logEvent("app", true, "level_up");
  env.advance(20);  // the first upload fetches the configuration first
  ASSERT_TRUE(waitFor([&] { return drained(); }));
  EXPECT_TRUE(APMConsentSettingsUtil::isAdUserDataDenied());
  EXPECT_EQ(APMConsentSettingsUtil::adPersonalization(), std::optional<int64_t>(0));

  // The next launch starts with an empty consent state: the stored configuration's defaults
  // reach it before the automatic start-up work sets "_npa".
  stopEngine();
  APMConsentSettingsUtil::clearAllSettings();
  startEngine(kAppID);
  EXPECT_TRUE(APMConsentSettingsUtil::isAdUserDataDenied());
  logEvent("app", true, "after_config");
  onWorker([&] { engine->uploadData(); });
  ASSERT_TRUE(waitFor([&] { return drained(); }));
  std::vector<std::string> uploads = decodedUploads();
  ASSERT_FALSE(uploads.empty());
  const std::string& last = uploads.back();
  ASSERT_NE(last.find("after_config"), std::string::npos) << last;
  EXPECT_NE(last.find("core_platform_services: \"-\""), std::string::npos) << last;
  EXPECT_EQ(last.find("core_platform_services: \"svc\""), std::string::npos) << last;
  EXPECT_NE(last.find("consent_diagnostics: \"19911\""), std::string::npos) << last;
  // "_npa" 1 from the denied default.
  std::smatch npa;
  ASSERT_TRUE(std::regex_search(last, npa, std::regex("name: \"_npa\"\\s+int_value: (\\d+)")))
      << last;
  EXPECT_EQ(npa[1], "1");
}

// IAB TCF preferences written as a real property list before start are read at start; a
// change the consent platform makes later is read before the next upload pass.
TEST_F(StartTest, TCFPreferencesReachTheUpload) {
  std::string vendors(754, '0');
  vendors += "1";
  std::string plist =
      platform::PreferenceStore::preferencesFilePath(platform::PreferenceStore::kCurrentApplication)
          .string();
  std::filesystem::create_directories(std::filesystem::path(plist).parent_path());
  std::string script =
      "import plistlib, sys\n"
      "plistlib.dump({'IABTCF_gdprApplies': 1, 'IABTCF_EnableAdvertiserConsentMode': 1,"
      " 'IABTCF_PolicyVersion': 4, 'IABTCF_CmpSdkID': 300, 'IABTCF_PurposeConsents': '0000000',"
      " 'IABTCF_VendorConsents': sys.argv[2]}, open(sys.argv[1], 'wb'), fmt=plistlib.FMT_BINARY)\n";
  std::ofstream(base_ / "tcf.py") << script;
  ASSERT_EQ(runCommand("python3 '" + (base_ / "tcf.py").string() + "' '" + plist + "' " + vendors +
                       " && echo ok"),
            "ok\n");
  platform::PreferenceStore::resetForTesting();
  startService();
  putConfig(kAppID, std::string("app_id: \"") + kAppID + "\"");
  startEngine(kAppID);
  EXPECT_TRUE(APMConsentSettingsUtil::isAdStorageDenied());
  EXPECT_TRUE(APMConsentSettingsUtil::isAdUserDataDenied());
  EXPECT_EQ(APMConsentSettingsUtil::consentSource(), 5);
  EXPECT_EQ(APMAnalytics::settings()->dictionaryForKey("consent_settings_tcf")->size(), 3u);
  logEvent("app", true, "level_up");
  env.advance(20);
  ASSERT_TRUE(waitFor([&] { return drained(); }));
  std::vector<std::string> uploads = decodedUploads();
  ASSERT_FALSE(uploads.empty());
  EXPECT_NE(uploads.back().find("consent_signals: \"Q10-\""), std::string::npos) << uploads.back();
  // The state read is remembered for the next launch.
  EXPECT_TRUE(APMUserDefaults(APMTCFClient::kSuiteName).stringForKey("tcf_StringRepresentation"));

  // The consent platform grants purposes 1, 3, 4 and 7: the next pass reads it.
  APMUserDefaults::sharedUserDefaults()->setObject(platform::Value("1111111"),
                                                   "IABTCF_PurposeConsents");
  logEvent("app", true, "after_grant");
  onWorker([&] { engine->uploadData(); });
  ASSERT_TRUE(waitFor([&] { return drained(); }));
  EXPECT_FALSE(APMConsentSettingsUtil::isAdStorageDenied());
  // What is written from now on carries the new consent.
  logEvent("app", true, "granted_now");
  onWorker([&] { engine->uploadData(); });
  ASSERT_TRUE(waitFor([&] { return drained(); }));
  uploads = decodedUploads();
  ASSERT_NE(uploads.back().find("granted_now"), std::string::npos) << uploads.back();
  EXPECT_NE(uploads.back().find("consent_signals: \"Q11-\""), std::string::npos) << uploads.back();
}

// A configuration larger than the bound is refused before it is decoded: the previous one
// stays and the refusal is logged with the size and the bound.
TEST_F(StartTest, OversizedConfigurationIsRefused) {
  startService();
  putConfig(kAppID, std::string("app_id: \"") + kAppID + "\" version: 3");
  startEngine(kAppID);
  env.advance(20);  // the first upload fetches the configuration first
  ASSERT_TRUE(waitFor([&] { return drained(); }));
  ASSERT_EQ(engine->currentConfig()->version(), 3);
  std::string big = std::string("app_id: \"") + kAppID + "\" version: 4";
  std::string padding(200, 'x');
  for (int i = 0; i < 2000; ++i) {
    big += " settings { name: \"pad." + std::to_string(i) + "\" value: \"" + padding + "\" }";
  }
  putConfig(kAppID, big);
  capture.clear();
  persistedConfig->setConfigServerETag(std::nullopt);
  persistedConfig->setConfigServerLastModifiedString(std::nullopt);
  onWorker([&] { engine->fetchRemoteConfig(); });
  ASSERT_TRUE(waitFor([&] { return !engine->isNetworkRequestPending(); }));
  EXPECT_EQ(engine->currentConfig()->version(), 3);
  env.waitUntilIdle();  // the monitor writes on its own queue
  EXPECT_TRUE(capture.contains("I-ACS023135"));
  EXPECT_TRUE(capture.contains(std::to_string(APMMeasurement::kMaxRemoteConfigBytes)));
  // The stored configuration is still the old one: a restart parses nothing larger.
  std::string stored = sql("SELECT length(remote_config_data) FROM app_metadata;");
  EXPECT_LT(std::stoul(stored), 1024u) << stored;

  // One stored by an older version past the bound is not decoded at the next start.
  stopEngine();
  sql("UPDATE app_metadata SET remote_config_data = zeroblob(300000);");
  capture.clear();
  startEngine(kAppID);
  env.waitUntilIdle();
  EXPECT_TRUE(capture.contains("I-ACS023135"));
  EXPECT_NE(engine->currentConfig()->version(), 3);
}

// The server's consent tables reach the consent state as parsed: an entry whose type or status
// this library does not know replaces the layer like any other, named by the empty string, and
// so counts as present (diagnostics) but never as "denied".
TEST_F(StartTest, ServerConsentTablesAndMalformedOnes) {
  startEngine(kAppID);
  using Entries = std::vector<std::pair<int32_t, int32_t>>;  // type, status or delegate type
  auto consentConfig = [&](const Entries& defaults, const Entries& delegations,
                           const Entries& regional) {
    APMPBMeasurementConfig config = enginetest::makeConfig(kAppID, {{"x", "1"}});
    APMPBConsentConfig consent;
    auto statuses = [](const Entries& entries) {
      std::vector<APMPBConsentDefaultEntry> list;
      for (const auto& [type, value] : entries) {
        APMPBConsentDefaultEntry entry;
        NANOSetInt32(entry, APMPBConsentDefaultEntry::kConsentType, type);
        NANOSetInt32(entry, APMPBConsentDefaultEntry::kConsentValue, value);
        list.push_back(entry);
      }
      return list;
    };
    std::vector<APMPBConsentDelegationEntry> delegated;
    for (const auto& [type, delegate] : delegations) {
      APMPBConsentDelegationEntry entry;
      NANOSetInt32(entry, APMPBConsentDelegationEntry::kConsentType, type);
      NANOSetInt32(entry, APMPBConsentDelegationEntry::kDelegateType, delegate);
      delegated.push_back(entry);
    }
    NANOSetMessageArray(consent, APMPBConsentConfig::kDefaults, statuses(defaults));
    NANOSetMessageArray(consent, APMPBConsentConfig::kDelegations, delegated);
    NANOSetMessageArray(consent, APMPBConsentConfig::kEnforcedDefaults, statuses(regional));
    NANOSetMessage(config, APMPBMeasurementConfig::kConsentConfig, consent);
    return config;
  };
  // Types: 3 ad_user_data, 4 ad_personalization, 9 unknown. Statuses: 1 granted, 2 denied,
  // 7 unknown. An unknown number is the empty name, and the entry stays in its layer.
  struct Case {
    const char* what;
    Entries defaults, delegations, regional;
    bool euConsentPolicy;  // explicit ad_user_data "eu_consent_policy"
    bool adUserDataDenied;
    const char* diagnostics;
  };
  const Case cases[] = {
      {"ad user data denied", {{3, 2}}, {}, {}, false, true, "19919"},
      {"unknown type replaces the old defaults", {{9, 2}}, {}, {}, false, false, "19999"},
      {"unknown status is a default", {{3, 7}}, {}, {}, false, false, "19919"},
      {"unknown status beside a known one", {{4, 1}, {3, 7}}, {}, {}, false, false, "19911"},
      {"delegation to an unknown type", {{4, 1}}, {{3, 9}}, {}, false, false, "19921"},
      {"regional unknown status", {{4, 1}}, {}, {{3, 7}, {4, 1}}, true, false, "19981"},
      {"regional denied", {{4, 1}}, {}, {{3, 2}}, true, true, "19981"},
      {"ad user data granted", {{3, 1}}, {}, {}, false, false, "19919"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    APMConsentSettingsUtil::setConsentSettings(
        c.euConsentPolicy ? std::optional(platform::Value::Dictionary{
                                {"ad_user_data", platform::Value("eu_consent_policy")}})
                          : std::nullopt);
    onWorker([&] {
      ASSERT_TRUE(engine->currentConfig()->updateMeasurementConfig(
          consentConfig(c.defaults, c.delegations, c.regional)));
      engine->updateConsentSettingsUtilWithRemoteConfig();
    });
    EXPECT_EQ(APMConsentSettingsUtil::isAdUserDataDenied(), c.adUserDataDenied);
    EXPECT_EQ(APMConsentSettingsUtil::consentDiagnostics(), c.diagnostics);
  }
}

// The consent that takes effect at start, by source priority.
TEST_F(StartTest, ProspectiveConsentByPriority) {
  startEngine(kAppID);
  platform::Value::Dictionary denied{{"ad_storage", platform::Value("denied")}};
  platform::Value::Dictionary granted{{"ad_storage", platform::Value("granted")}};
  struct Case {
    const char* what;
    bool appSet, tcf, plist, onStart;
    int64_t currentSource;
    int64_t source;  // expected
    bool adDenied;   // expected
  };
  const Case cases[] = {
      {"TCF without app-set settings", false, true, false, false, 100, 5, true},
      {"app-set settings win over TCF", true, true, false, false, 100, 10, false},
      {"TCF kept when in force", true, true, false, false, 5, 5, true},
      {"Info.plist defaults", false, false, true, false, 100, 20, false},
      {"start options", false, false, false, true, 100, 40, true},
      {"app-set settings alone", true, false, false, false, 100, 10, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    APMConsentSettingsUtil::clearAllSettings();
    if (c.currentSource != 100) APMConsentSettingsUtil::setConsentSource(c.currentSource);
    auto store = [&](bool present, const char* key, const platform::Value::Dictionary& value) {
      if (present) {
        APMAnalytics::settings()->setObject(platform::Value(value), key);
      } else {
        APMAnalytics::settings()->removeObjectForKey(key);
      }
    };
    store(c.appSet, "consent_settings_3p", granted);
    store(c.tcf, "consent_settings_tcf", denied);
    store(c.onStart, "consent_settings_on_start", denied);
    writeInfoPlist(c.plist
                       ? platform::Value::Dictionary{{"ORVANE_ANALYTICS_DEFAULT_ALLOW_AD_STORAGE",
                                                      platform::Value(true)}}
                       : platform::Value::Dictionary{});
    onWorker([&] { engine->setProspectiveConsentSettings(); });
    EXPECT_EQ(APMConsentSettingsUtil::consentSource(), c.source);
    EXPECT_EQ(APMConsentSettingsUtil::isAdStorageDenied(), c.adDenied);
  }
}

// The engine's reset: an empty identifier only while analytics storage is denied; a reset
// wipes the data, takes the new identifier, and reports a new first open at the load time.
TEST_F(StartTest, ResetTakesTheNewAppInstanceID) {
  startEngine(kAppID);
  logEvent("app", true, "before_reset");
  double firstOpen = 0;
  onWorker([&] { firstOpen = engine->firstOpenTimestamp(); });
  EXPECT_EQ(firstOpen, env.now());
  struct Case {
    const char* what;
    bool analyticsDenied;
    std::string appInstanceID;
    bool result;
    const char* code;
  };
  const std::string newID = "0123456789ABCDEF0123456789ABCDEF";
  const Case cases[] = {
      {"empty identifier refused", false, "", false, "I-ACS023167"},
      {"empty identifier with storage denied", true, "", true, "I-ACS023218"},
      {"new identifier", false, newID, true, "I-ACS023168"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    APMConsentSettingsUtil::clearAllSettings();
    // Ad personalisation from the app and a server default: a wipe clears both.
    APMConsentSettingsUtil::updateSettings({{"ad_personalization", platform::Value("granted")}},
                                           10);
    APMConsentSettingsUtil::setDefaultSettings(
        platform::Value::Dictionary{{"ad_personalization", platform::Value("denied")}});
    if (c.analyticsDenied) {
      APMConsentSettingsUtil::updateSettings({{"analytics_storage", platform::Value("denied")}},
                                             10);
    }
    env.advance(3600);
    APMAnalytics::setLoadTimestamp(env.now());
    capture.clear();
    EXPECT_EQ(engine->resetAnalyticsDataWithAppInstanceID(c.appInstanceID), c.result);
    env.waitUntilIdle();
    EXPECT_TRUE(capture.contains(c.code));
    if (!c.result) continue;
    EXPECT_EQ(APMConsentSettingsUtil::adPersonalization(), std::nullopt);
    EXPECT_EQ(APMConsentSettingsUtil::defaultSettings(), std::nullopt);
    EXPECT_EQ(engine->initTimestamp(), env.now());
    onWorker([&] { firstOpen = engine->firstOpenTimestamp(); });
    EXPECT_EQ(firstOpen, env.now());  // the new "_fot"
    EXPECT_EQ(sql("SELECT count(*) FROM raw_events WHERE instr(data, \"before_reset\") > 0;"),
              "0\n");
  }
  APMConsentSettingsUtil::clearAllSettings();
  EXPECT_EQ(identity->appInstanceID(), newID);
}

// Only the identity's platform app identifier vouches for a configuration: without one, a
// configuration naming the engine's own identifier is not applied.
TEST_F(StartTest, ConfigurationNeedsThePlatformAppIdentifier) {
  startService();
  putConfig(kAppID, std::string("app_id: \"") + kAppID + "\" version: 5");
  persistedConfig = APMPersistedConfig::create("engine-test");
  APMMeasurement::Collaborators collaborators;
  collaborators.persistedConfig = persistedConfig;
  collaborators.network = OULNetwork::create(service_->baseURL());
  APMIdentity::resetAppIDFromRZQForTesting();
  identity = APMIdentity::create(persistedConfig);  // no platform app identifier
  collaborators.identity = identity;
  engine = APMMeasurement::create(std::move(collaborators), kAppID, true, false, {});
  env.waitUntilIdle();
  ASSERT_TRUE(engine->didInitializeComponents());
  onWorker([&] { engine->fetchRemoteConfig(); });
  ASSERT_TRUE(waitFor([&] { return !engine->isNetworkRequestPending(); }));
  EXPECT_NE(engine->currentConfig()->version(), 5);
}

// The count of earlier first opens lives in the keychain, outside the app's container: after
// a reinstall (a new, empty container) the first open reports it and counts as fresh.
TEST_F(StartTest, PreviousFirstOpenCountSurvivesAReinstall) {
  auto firstOpenParameter = [&](const char* name) {
    std::optional<int64_t> found;
    onWorker([&] {
      for (const APMRawEventData& raw : allRawEvents()) {
        auto event = APMEvent::createWithEventProto(*raw.rawEvent());
        if (!event || event->name() != "_f") continue;
        auto parameter = event->parameters().find(name);
        if (parameter != event->parameters().end() && parameter->second.isInt64()) {
          found = parameter->second.int64Value();
        }
      }
    });
    return found;
  };
  startEngine(kAppID);
  EXPECT_EQ(firstOpenParameter("_pfo"), std::optional<int64_t>(0));
  stopEngine();
  EXPECT_EQ(runCommand("ls '" + (base_ / "keychain").string() + "' > /dev/null && echo kept"),
            "kept\n");

  ASSERT_TRUE(platform::AppContainer::setRoot(base_ / "reinstalled").ok());
  persistedConfig.reset();
  startEngine(kAppID);
  EXPECT_EQ(firstOpenParameter("_pfo"), std::optional<int64_t>(1));
  EXPECT_EQ(firstOpenParameter("_uwa"), std::optional<int64_t>(0));
}

// Until the purchase receipt answers it, an App Store install counts as the version first
// installed: "_fi" 1 and "_uwa" 0; any other install "_fi" 0, "_uwa" 1 and "manual_install".
TEST_F(StartTest, FirstOpenOfAnAppStoreInstall) {
  struct Case {
    bool fromAppStore;
    int64_t fi;
    int64_t uwa;
    const char* installSource;
  };
  const Case cases[] = {{true, 1, 0, "<none>"}, {false, 0, 1, "manual_install"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fromAppStore);
    OULAppEnvironmentUtil::setConfiguration(
        OULAppEnvironmentUtil::Configuration{"iPhone14,2", "17.2", c.fromAppStore, false});
    ASSERT_TRUE(
        platform::AppContainer::setRoot(base_ / (c.fromAppStore ? "store" : "manual")).ok());
    platform::SecKeychainSetPathForTesting(base_ / (c.fromAppStore ? "kc-store" : "kc-manual"));
    persistedConfig.reset();
    startEngine(kAppID);
    onWorker([&] {
      auto fi = engine->database()->userAttributeWithName("_fi", nullptr);
      ASSERT_TRUE(fi);
      EXPECT_EQ(fi->value().int64Value(), c.fi);
      for (const APMRawEventData& raw : allRawEvents()) {
        auto event = APMEvent::createWithEventProto(*raw.rawEvent());
        if (event->name() != "_f") continue;
        EXPECT_EQ(event->parameters().at("_uwa").int64Value(), c.uwa);
        auto metadata = engine->database()->queryRawEventsMetadataWithFingerprint(
            raw.metadataFingerprint(), nullptr);
        ASSERT_TRUE(metadata);
        EXPECT_EQ(
            NANOGetString(*metadata, APMPBMeasurementBundle::kInstallSource).value_or("<none>"),
            c.installSource);
      }
    });
    stopEngine();
  }
}

// The measurement database and its WAL are readable by the user only.
TEST_F(StartTest, DatabaseFilesAreUserOnly) {
  ::umask(022);
  startEngine(kAppID);
  for (const char* suffix : {"", "-wal"}) {
    struct stat info {};
    ASSERT_EQ(::stat((databasePath() + suffix).c_str(), &info), 0) << suffix;
    EXPECT_EQ(info.st_mode & 0777, 0600u) << suffix;
  }
}

// The child of the test below: makes the identity over the container named in the environment,
// prints the app instance identifier it uses, then waits to be killed.
TEST(IdentityChild, DISABLED_PrintAppInstanceID) {
  const char* root = std::getenv("KVL_TEST_CONTAINER");
  ASSERT_NE(root, nullptr);
  ASSERT_TRUE(platform::AppContainer::setRoot(root).ok());
  std::shared_ptr<APMIdentity> identity =
      APMIdentity::create(APMPersistedConfig::create("engine-test"));
  std::string id = identity->appInstanceID().value_or("");
  std::printf("id=%s\n", id.c_str());
  std::fflush(stdout);
  ::pause();
}

// Killed right after it first used its identifier, again and again: every run of one install
// uses the same app instance identifier, the one the property list holds.
TEST(IdentityKillTest, OneAppInstanceIDAcrossEarlyKills) {
  std::string pattern = (std::filesystem::temp_directory_path() / "kvl-identity-XXXXXX");
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  std::set<std::string> seen;
  for (int run = 0; run < 8; ++run) {
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    char executable[PATH_MAX];
    ssize_t length = ::readlink("/proc/self/exe", executable, sizeof executable - 1);
    ASSERT_GT(length, 0);
    executable[length] = '\0';
    std::string filter = "--gtest_filter=IdentityChild.DISABLED_PrintAppInstanceID";
    std::string also = "--gtest_also_run_disabled_tests";
    std::string variable = "KVL_TEST_CONTAINER=" + pattern;
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::dup2(out[1], STDOUT_FILENO);
      ::close(out[0]);
      ::putenv(variable.data());
      char* argv[] = {executable, also.data(), filter.data(), nullptr};
      ::execv(executable, argv);
      ::_exit(127);
    }
    ::close(out[1]);
    std::string output;
    char buffer[256];
    ssize_t n;
    while (output.find("id=") == std::string::npos ||
           output.find('\n', output.find("id=")) == std::string::npos) {
      n = ::read(out[0], buffer, sizeof buffer);
      if (n <= 0) break;
      output.append(buffer, static_cast<size_t>(n));
    }
    ::kill(child, SIGKILL);  // at once: no delayed write can have run
    int status = 0;
    ::waitpid(child, &status, 0);
    ::close(out[0]);
    std::smatch match;
    ASSERT_TRUE(std::regex_search(output, match, std::regex("id=([0-9A-F]{32})\n"))) << output;
    seen.insert(match[1]);
  }
  EXPECT_EQ(seen.size(), 1u);
  std::string stored = runCommand(
      "python3 -c \"import plistlib, sys, glob; "
      "p = glob.glob(sys.argv[1] + '/**/engine-test.plist', recursive=True)[0]; "
      "d = plistlib.load(open(p, 'rb')); "
      "print([v for k, v in d.items() if 'app_instance_id' in k][0])\" '" +
      pattern + "'");
  EXPECT_EQ(stored, *seen.begin() + "\n");
  std::error_code ignored;
  std::filesystem::remove_all(pattern, ignored);
}

}  // namespace

// An older measurement library linked into the same app is switched off at every start, when
// its class answers the operations that do it.
namespace omr {
struct State {
  int switchedOff = 0;
};
State& state() {
  static State shared;
  return shared;
}
class Instance : public platform::RuntimeObject, public APMOMRMeasurementSwitch {
 public:
  void setIsEnabled(bool enabled) override {
    if (!enabled) ++state().switchedOff;
  }
};
class Mute : public platform::RuntimeObject {};
template <class Made>
class Class : public platform::RuntimeObject, public APMOMRMeasurementClass {
 public:
  std::shared_ptr<platform::RuntimeObject> sharedInstance() override {
    if constexpr (std::is_void_v<Made>) {
      return nullptr;
    } else {
      return std::make_shared<Made>();
    }
  }
};
}  // namespace omr

TEST_F(StartTest, OlderMeasurementLibraryIsSwitchedOff) {
  struct Case {
    const char* what;
    std::function<void()> registerClass;
    bool switchedOff;
  };
  auto& registry = platform::ClassRegistry::shared();
  const Case cases[] = {
      {"no such class", [] {}, false},
      {"no class operation", [&] { registry.registerClass<omr::Mute>("OMRMeasurement"); }, false},
      {"no shared instance", [&] { registry.registerClass<omr::Class<void>>("OMRMeasurement"); },
       false},
      {"an instance that cannot be switched",
       [&] { registry.registerClass<omr::Class<omr::Mute>>("OMRMeasurement"); }, false},
      {"switched off", [&] { registry.registerClass<omr::Class<omr::Instance>>("OMRMeasurement"); },
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    omr::state() = {};
    c.registerClass();
    capture.clear();
    startEngine(kAppID);
    registry.unregisterClass("OMRMeasurement");
    EXPECT_EQ(omr::state().switchedOff, c.switchedOff ? 1 : 0);
    EXPECT_EQ(capture.contains("I-ACS023210"), c.switchedOff);
    stopEngine();
  }
}

// A launch that is not the first open starts a session when the app is active; a prewarmed
// scene-based app on iOS 15 or later waits for its scene to connect, and starts one session.
namespace launch {
class CountingSessions : public APMSessionReporting {
 public:
  bool isSessionExpired() override { return true; }
  std::optional<APMEvent> sessionStartEvent(double, bool) override {
    ++starts;
    return std::nullopt;
  }
  std::atomic<int> starts{0};
};
class Screen : public APMScreenViewReporting {
 public:
  explicit Screen(bool active) : active_(active) {}
  bool isAppActive() override { return active_; }

 private:
  bool active_;
};
}  // namespace launch

TEST_F(StartTest, SessionStartAtLaunch) {
  struct Case {
    const char* what;
    const char* system;
    bool sceneManifest;
    const char* prewarm;  // the environment's "ActivePrewarm", or none
    bool active;
    int atLaunch;
    int afterScene;
    const char* systemName = "iOS";
  };
  const Case cases[] = {
      {"active", "17.2", false, nullptr, true, 1, 1},
      {"inactive", "17.2", false, nullptr, false, 0, 0},
      {"prewarmed scene app waits for its scene", "17.2", true, "1", true, 0, 1},
      {"prewarm reads as a boolean", "15.0", true, "YES", false, 0, 1},
      {"prewarm false", "17.2", true, "0", true, 1, 1},
      {"prewarm without scenes", "17.2", false, "1", true, 1, 1},
      {"prewarm before iOS 15", "14.8", true, "1", true, 1, 1},
      // Another system is at no iOS release: no prewarming, no scenes.
      {"prewarm on another system", "17.2", true, "1", true, 1, 1, "Linux"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    OULAppEnvironmentUtil::Configuration device = OULAppEnvironmentUtil::defaultConfiguration();
    device.deviceModel = "iPhone14,2";
    device.systemVersion = c.system;
    device.systemName = c.systemName;
    OULAppEnvironmentUtil::setConfiguration(device);
    std::filesystem::create_directories(base_ / "App.app");
    platform::Value::Dictionary info{{"CFBundleIdentifier", platform::Value("com.example.app")}};
    if (c.sceneManifest) {
      info.emplace("UIApplicationSceneManifest", platform::Value(platform::Value::Dictionary{}));
    }
    auto plist = platform::PropertyListSerialization::dataWithPropertyList(
        platform::Value(info), platform::PropertyListSerialization::Format::XML);
    ASSERT_TRUE(plist.ok());
    std::ofstream(base_ / "App.app" / "Info.plist", std::ios::binary) << *plist;
    platform::Bundle::setMainBundlePath(base_ / "App.app");
    std::map<std::string, std::string> environment;
    if (c.prewarm) environment["ActivePrewarm"] = c.prewarm;
    platform::ProcessInfo::processInfo().setEnvironment(environment);
    APMFeatureServices services;
    services.screenViewReporter = std::make_shared<launch::Screen>(c.active);
    APMFeatureServices::install(services);
    startEngine(kAppID);  // the first open
    stopEngine();

    auto sessions = std::make_shared<launch::CountingSessions>();
    services.sessionReporter = sessions;
    APMFeatureServices::install(services);
    startEngine(kAppID);
    EXPECT_EQ(sessions->starts.load(), c.atLaunch);
    for (int i = 0; i < 2; ++i) {
      platform::NotificationCenter::defaultCenter().postNotificationName(
          UISceneWillConnectNotification);
    }
    env.waitUntilIdle();
    EXPECT_EQ(sessions->starts.load(), c.afterScene);
    stopEngine();
    std::filesystem::remove_all(base_ / "container");
    persistedConfig.reset();
    platform::ProcessInfo::processInfo().resetForTesting();
    platform::Bundle::setMainBundlePath({});
  }
}
