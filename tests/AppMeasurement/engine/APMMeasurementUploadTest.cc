// Bundling, the upload schedule and the upload itself, against the local measurement service
// run as its own process; its records and the bodies are checked with protoc, Python's
// urllib.parse and the sqlite3 tool.
#include <atomic>
#include <cstdio>
#include <fstream>
#include <regex>

#include "AppMeasurement/foundation/APMConsentSettingsUtil.h"
#include "AppMeasurement/foundation/APMMonitor.h"
#include "AppMeasurement/foundation/APMRemoteConfig.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/JSONSerialization.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/PropertyListSerialization.h"
#include "platform/uikit/UIApplicationNotifications.h"
#include "tests/AppMeasurement/engine/EngineTestSupport.h"
#include "tests/support/ClosedPort.h"
#include "tests/support/ServiceProcess.h"

namespace {

using enginetest::EngineTest;
using enginetest::protoc;
using testsupport::httpRequest;
using testsupport::runCommand;
using testsupport::ServiceProcess;

std::string base64Decode(const std::string& text) { return runCommand("base64 -d", text); }

class UploadTest : public EngineTest {
 protected:
  void startService() {
    data_ = base_ / "service";
    service_ = std::make_unique<ServiceProcess>(
        KVL_TEST_SERVICE, std::vector<std::string>{"--port", "0", "--data", data_.string()});
    std::string host = service_->baseURL().substr(std::string("http://").size());
    APMRemoteConfig::setHosts({host, host, host});
  }
  void TearDown() override {
    EngineTest::TearDown();
    service_.reset();
    APMRemoteConfig::setHosts(testsupport::processClosedHosts<APMRemoteConfig::Hosts>());
    platform::Bundle::setMainBundlePath({});
  }
  void putConfig(const std::string& text) {
    std::string config = protoc("encode", "MeasurementConfig", text);
    ASSERT_EQ(
        httpRequest("PUT", service_->baseURL() + "/_control/config/" + kAppID, {}, config).status,
        204);
  }
  platform::Value::Array requests() {
    auto answer = httpRequest("GET", service_->baseURL() + "/_control/requests");
    auto parsed = platform::JSONSerialization::JSONObjectWithData(answer.body);
    return parsed.ok() && parsed->isArray() ? *parsed->asArray() : platform::Value::Array{};
  }
  bool drained() { return !engine->isNetworkRequestPending() && !engine->hasDataToUpload(); }

  std::filesystem::path data_;
  std::unique_ptr<ServiceProcess> service_;
};

std::string field(const platform::Value& request, const char* name) {
  const platform::Value::Dictionary* dict = request.asDictionary();
  auto found = dict->find(name);
  return found != dict->end() && found->second.isString() ? *found->second.asString() : "";
}

std::string header(const platform::Value& request, const std::string& name) {
  for (const platform::Value& pair : *request.asDictionary()->at("headers").asArray()) {
    const platform::Value::Array& entry = *pair.asArray();
    if (strcasecmp(entry[0].asString()->c_str(), name.c_str()) == 0) return *entry[1].asString();
  }
  return "";
}

// The first upload waits for the configuration: GET first, then the POST of what was logged;
// a second fetch is answered 304; the queue ends empty.
TEST_F(UploadTest, ConfigurationFirstThenUploadEndToEnd) {
  startService();
  putConfig(std::string("app_id: \"") + kAppID + "\" version: 3");
  makeEngine({}, OULNetwork::create(service_->baseURL()));
  logEvent("app", true, "level_up",
           APMObjectMap{{"level", APMObject(platform::Value(int64_t{4}))}});
  env.advance(20);  // past the initial upload delay
  ASSERT_TRUE(waitFor([&] { return drained(); }));

  platform::Value::Array seen = requests();
  ASSERT_GE(seen.size(), 2u);
  EXPECT_EQ(field(seen[0], "method"), "GET");
  EXPECT_EQ(field(seen[0], "path"), std::string("/config/app/") + kAppID);
  std::string query = runCommand(
      "python3 -c \"import sys, urllib.parse; q = urllib.parse.parse_qs(sys.stdin.read()); "
      "print(q['platform'][0], q['rzq_version'][0], q['runtime_version'][0])\"",
      field(seen[0], "query"));
  EXPECT_EQ(query, "ios 111500 0\n") << field(seen[0], "query");
  EXPECT_EQ(field(seen[1], "method"), "POST");
  EXPECT_EQ(field(seen[1], "path"), "/a");
  std::string decoded =
      protoc("decode", "MeasurementBatch", base64Decode(field(seen[1], "body_base64")));
  EXPECT_NE(decoded.find("platform: \"ios\""), std::string::npos) << decoded;
  EXPECT_NE(decoded.find("protocol_version: 1"), std::string::npos);
  EXPECT_NE(decoded.find(std::string("app_id: \"") + kAppID + "\""), std::string::npos);
  EXPECT_NE(decoded.find("name: \"_f\""), std::string::npos);
  EXPECT_NE(decoded.find("name: \"_e\""), std::string::npos);
  EXPECT_NE(decoded.find("name: \"level_up\""), std::string::npos);
  EXPECT_NE(decoded.find("name: \"_o\""), std::string::npos);
  EXPECT_NE(decoded.find("config_version: 3"), std::string::npos);
  // No field our schema does not know.
  EXPECT_FALSE(std::regex_search(decoded, std::regex("(^|\\n)\\s*[0-9]+:"))) << decoded;

  // A second fetch offers the validators and is answered 304; the configuration stays.
  onWorker([&] { engine->fetchRemoteConfig(); });
  ASSERT_TRUE(waitFor([&] { return !engine->isNetworkRequestPending(); }));
  seen = requests();
  EXPECT_FALSE(header(seen.back(), "If-None-Match").empty());
  EXPECT_EQ(engine->currentConfig()->version(), 3);
  std::string queue = runCommand("sqlite3 '" + engine->database()->databasePath() + "'" +
                                 " 'SELECT count(*) FROM queue; SELECT count(*) FROM raw_events;'");
  EXPECT_EQ(queue, "0\n0\n");
}

// Back-off only after 503 or 429; any failed answer raises the retry count of what was sent.
TEST_F(UploadTest, FailedAnswersRaiseRetryCountsAndBackOff) {
  struct Case {
    int status;
    bool backoff;
  };
  const Case cases[] = {{503, true}, {429, true}, {500, false}};
  startService();
  putConfig(std::string("app_id: \"") + kAppID + "\"");
  makeEngine({}, OULNetwork::create(service_->baseURL()));
  onWorker([&] { engine->fetchRemoteConfig(); });
  ASSERT_TRUE(waitFor([&] { return !engine->isNetworkRequestPending(); }));
  int expectedRetries = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.status);
    persistedConfig->setLastBackoffTimestamp(0);
    logEvent("app", true, "try_" + std::to_string(c.status));
    ASSERT_EQ(httpRequest(
                  "POST", service_->baseURL() + "/_control/script", {},
                  "{\"path\": \"/a\", \"status\": " + std::to_string(c.status) + ", \"times\": 1}")
                  .status,
              204);
    onWorker([&] { engine->uploadData(); });
    ASSERT_TRUE(waitFor([&] { return !engine->isNetworkRequestPending(); }));
    ++expectedRetries;
    EXPECT_EQ(persistedConfig->lastFailedUploadTimestamp(), env.now());
    EXPECT_EQ(persistedConfig->lastBackoffTimestamp() > 0, c.backoff);
    std::string retries = runCommand("sqlite3 '" + engine->database()->databasePath() + "'" +
                                     " 'SELECT max(retry_count) FROM queue;'");
    EXPECT_EQ(retries, std::to_string(expectedRetries) + "\n");
    if (c.backoff) {
      // The next upload waits for the back-off period (43200 s by default) after the answer.
      std::optional<double> due;
      onWorker([&] { due = engine->alarm()->scheduledTimestamp(); });
      ASSERT_TRUE(due);
      EXPECT_GE(*due, env.now() + 43200);
    }
  }
}

// A request the network object cannot even start counts as a failed answer: the pending flag
// clears, so later uploads and fetches still go.
TEST_F(UploadTest, RequestThatCannotStartIsAFailedAnswer) {
  APMRemoteConfig::setHosts({"bad host", "bad host", "bad host"});
  makeEngine({}, OULNetwork::create());
  onWorker([&] { engine->fetchRemoteConfig(); });
  env.waitUntilIdle();
  onWorker([&] {
    EXPECT_FALSE(engine->isNetworkRequestPending());
    EXPECT_TRUE(engine->isNetworkReadyForRequest());
  });
  EXPECT_EQ(persistedConfig->lastFailedUploadTimestamp(), env.now());
}

// Resigning active uploads what is stored at once, through the public-call queue, without
// waiting for the upload alarm.
TEST_F(UploadTest, ResignActiveUploadsWithoutWaitingForTheAlarm) {
  startService();
  putConfig(std::string("app_id: \"") + kAppID + "\"");
  makeEngine({}, OULNetwork::create(service_->baseURL()));
  logEvent("app", true, "before_background");
  EXPECT_TRUE(requests().empty());
  platform::NotificationCenter::defaultCenter().postNotificationName(
      UIApplicationWillResignActiveNotification);
  // The upload waits in the public-call queue, which only a start releases.
  env.waitUntilIdle();
  EXPECT_TRUE(requests().empty());
  APMAnalytics::unsuspendOperationQueue();
  ASSERT_TRUE(waitFor([&] { return drained(); }));
  platform::Value::Array seen = requests();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(field(seen[1], "path"), "/a");
}

// Nested parameters survive the way out: the items of a "select_item" reach the upload, the
// debug line of the request holds the batch itself, and an event written after that upload
// goes one upload interval later without any life-cycle change.
TEST_F(UploadTest, ItemsReachTheUploadAndLaterEventsFollow) {
  startService();
  putConfig(std::string("app_id: \"") + kAppID + "\"");
  makeEngine({}, OULNetwork::create(service_->baseURL()));
  platform::Value::Array items{
      platform::Value(platform::Value::Dictionary{{"item_id", platform::Value("sku-1")},
                                                  {"price", platform::Value(9.5)}}),
      platform::Value(platform::Value::Dictionary{{"item_id", platform::Value("sku-2")},
                                                  {"quantity", platform::Value(int64_t{2})}})};
  logEvent("app", true, "select_item",
           APMObjectMap{{"items", APMObject(platform::Value(items))},
                        {"item_list_id", APMObject(platform::Value("home"))}});
  env.advance(20);
  ASSERT_TRUE(waitFor([&] { return drained(); }));
  platform::Value::Array seen = requests();
  ASSERT_EQ(seen.size(), 2u);
  std::string body = base64Decode(field(seen[1], "body_base64"));
  std::string decoded = protoc("decode", "MeasurementBatch", body);
  std::regex item(
      "name: \"items\"\\s*param_value \\{\\s*param_value \\{\\s*name: \"item_id\"\\s*"
      "string_value: \"sku-1\"");
  EXPECT_TRUE(std::regex_search(decoded, item)) << decoded;
  EXPECT_NE(decoded.find("string_value: \"sku-2\""), std::string::npos);
  EXPECT_NE(decoded.find("double_value: 9.5"), std::string::npos);
  EXPECT_TRUE(std::regex_search(decoded, std::regex("name: \"quantity\"\\s*int_value: 2")));

  // The request's debug line holds the batch, hex in groups, which decodes to the same.
  std::string line;
  for (const std::string& candidate : capture.lines()) {
    if (candidate.find("I-ACS023039") != std::string::npos) line = candidate;
  }
  size_t open = line.rfind('<');
  size_t close = line.rfind('>');
  ASSERT_TRUE(open != std::string::npos && close > open) << line;
  std::string hex = line.substr(open + 1, close - open - 1);
  std::erase(hex, ' ');
  EXPECT_EQ(runCommand("xxd -r -p", hex), body);

  // No alarm, no life-cycle change: the write itself schedules the next upload.
  logEvent("app", true, "after_first_upload");
  env.advance(3600);
  ASSERT_TRUE(waitFor([&] { return drained() && requests().size() > 2; }));
  platform::Value::Array later = requests();
  std::string last =
      protoc("decode", "MeasurementBatch", base64Decode(field(later.back(), "body_base64")));
  EXPECT_EQ(field(later.back(), "path"), "/a");
  EXPECT_NE(last.find("name: \"after_first_upload\""), std::string::npos) << last;
}

// Consent as the upload carries it, from the served configuration alone: core platform
// services "svc" while ad user data is not denied; once the server's defaults deny ad user
// data and ad personalisation, "-" and "_npa" 1.
TEST_F(UploadTest, ConsentDefaultsReachTheUpload) {
  struct Case {
    const char* defaults;  // consent defaults of the served configuration
    const char* services;
    const char* npa;  // the "_npa" user property of the upload, or ""
  };
  const Case cases[] = {
      {"", "core_platform_services: \"svc\"", ""},
      {"defaults { consent_type: CONSENT_TYPE_AD_USER_DATA consent_value: CONSENT_VALUE_DENIED } "
       "defaults { consent_type: CONSENT_TYPE_AD_PERSONALIZATION consent_value: "
       "CONSENT_VALUE_DENIED } ",
       "core_platform_services: \"-\"", "int_value: 1"}};
  startService();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.services);
    putConfig(std::string("app_id: \"") + kAppID + "\" consent_config { " + c.defaults +
              "core_platform_services { service: \"svc\" } dma_region: true }");
    if (!engine) makeEngine({}, OULNetwork::create(service_->baseURL()));
    onWorker([&] { engine->fetchRemoteConfig(); });
    ASSERT_TRUE(waitFor([&] { return drained(); }));
    clearRawEvents();
    logEvent("app", true, "consented");
    size_t before = requests().size();
    onWorker([&] { engine->uploadData(); });
    ASSERT_TRUE(waitFor([&] { return drained(); }));
    platform::Value::Array seen = requests();
    ASSERT_EQ(seen.size(), before + 1);
    std::string decoded =
        protoc("decode", "MeasurementBatch", base64Decode(field(seen.back(), "body_base64")));
    EXPECT_NE(decoded.find(c.services), std::string::npos) << decoded;
    std::smatch npa;
    bool hasNPA = std::regex_search(
        decoded, npa,
        std::regex("name: \"_npa\"\\s*(set_timestamp_millis: \\d+\\s*)?(int_value: \\d+)"));
    EXPECT_EQ(hasNPA ? npa[2].str() : "", c.npa) << decoded;
  }
}

// Server-side tag-manager upload: the batch goes to the configured server with its server-info
// header and the configuration's upload subdomain; a debug link's preview key adds its header
// until a link switches debug mode off.
TEST_F(UploadTest, TagManagerServerUpload) {
  std::filesystem::create_directories(base_ / "App.app");
  auto plist = platform::PropertyListSerialization::dataWithPropertyList(
      platform::Value(platform::Value::Dictionary{
          {"ORVANE_ANALYTICS_SOTM_UPLOAD_ENABLED", platform::Value(true)}}),
      platform::PropertyListSerialization::Format::XML);
  ASSERT_TRUE(plist.ok());
  std::ofstream(base_ / "App.app" / "Info.plist", std::ios::binary) << *plist;
  platform::Bundle::setMainBundlePath(base_ / "App.app");
  startService();
  putConfig(std::string("app_id: \"") + kAppID +
            "\" upload_subdomain: \"eu\" settings { name: \"measurement.sotm_upload_enabled\" "
            "value: \"1\" } sotm_setting { upload_url: \"" +
            service_->baseURL() + "/a\" server_info: \"srv-1\" rollout_percent: 100 }");
  makeEngine({}, OULNetwork::create(service_->baseURL()));
  onWorker([&] { engine->fetchRemoteConfig(); });
  ASSERT_TRUE(waitFor([&] { return !engine->isNetworkRequestPending(); }));
  struct Case {
    const char* what;
    const char* debugLink;  // nullptr: none before this upload
    const char* previewHeader;
  };
  const Case cases[] = {
      {"no debug link", nullptr, ""},
      {"preview key", "app://open?sotm_debug_enable=1&sotm_preview_key=K", "K"},
      {"debug mode off again", "app://open?sotm_debug_enable=0", ""},
  };
  APMMeasurement::setSOTMPreviewHeaders(std::nullopt);
  for (const Case& c : cases) {
    if (c.debugLink) APMMeasurement::handleSOTMDebugModeWithURL(c.debugLink);
    logEvent("app", true, "tagged");
    onWorker([&] { engine->uploadData(); });
    ASSERT_TRUE(waitFor([&] { return drained(); })) << c.what;
    platform::Value::Array seen = requests();
    ASSERT_FALSE(seen.empty()) << c.what;
    // The measurement service's own upload URL would carry the subdomain in its host.
    EXPECT_EQ(field(seen.back(), "path"), "/a") << c.what;
    EXPECT_EQ(header(seen.back(), "x-sotm-server-info"), "srv-1") << c.what;
    EXPECT_EQ(header(seen.back(), "X-Otm-Server-Preview"), c.previewHeader) << c.what;
    std::string decoded =
        protoc("decode", "MeasurementBatch", base64Decode(field(seen.back(), "body_base64")));
    EXPECT_NE(decoded.find("upload_subdomain: \"eu\""), std::string::npos) << decoded;
    EXPECT_NE(decoded.find("name: \"tagged\""), std::string::npos) << c.what;
  }
  APMMeasurement::setSOTMPreviewHeaders(std::nullopt);
}

// A tag-manager upload address that makes no URL stops the pass before anything is sent: the
// bundle stays queued and no failure is counted.
TEST_F(UploadTest, AMalformedTagManagerAddressStopsTheUpload) {
  writeInfoPlist({{"ORVANE_ANALYTICS_SOTM_UPLOAD_ENABLED", platform::Value(true)}});
  startService();
  putConfig(std::string("app_id: \"") + kAppID +
            "\" sotm_setting { upload_url: \"http://exa mple.com/a\" rollout_percent: 100 }");
  makeEngine({}, OULNetwork::create(service_->baseURL()));
  onWorker([&] { engine->fetchRemoteConfig(); });
  ASSERT_TRUE(waitFor([&] { return !engine->isNetworkRequestPending(); }));
  logEvent("app", true, "tagged");
  capture.clear();
  onWorker([&] { engine->uploadData(); });
  env.waitUntilIdle();
  EXPECT_TRUE(capture.contains("I-ACS023263"));
  EXPECT_FALSE(capture.contains("I-ACS023039"));
  EXPECT_EQ(persistedConfig->lastFailedUploadTimestamp(), 0.0);
  EXPECT_FALSE(queued().empty());
  for (const platform::Value& request : requests()) EXPECT_NE(field(request, "method"), "POST");
}

// Audience definitions that cannot be stored: the configuration's transaction fails at its last
// step.
class RefusingAudiences : public APMAudienceEvaluating {
 public:
  bool updateAudiences(const std::vector<APMPBAudience>&) override { return !refuse; }
  std::atomic<bool> refuse{true};
};

// The lines of the current capture that carry `code`.
std::vector<std::string> linesWith(const testsupport::LogCapture& capture, int code) {
  char text[16];
  std::snprintf(text, sizeof text, "I-ACS%06d", code);
  std::vector<std::string> found;
  for (const std::string& line : capture.lines()) {
    if (line.find(text) != std::string::npos) found.push_back(line);
  }
  return found;
}

class ConfigurationAnswerTest : public UploadTest {
 protected:
  // One fetch once no other request is out, and its answer handled.
  void fetch() {
    ASSERT_TRUE(waitFor([&] { return engine->isNetworkReadyForRequest(); }));
    onWorker([&] { engine->fetchRemoteConfig(); });
    ASSERT_TRUE(waitFor([&] { return !engine->isNetworkRequestPending(); }));
  }
};

// Audiences that cannot be stored roll the whole configuration back: the database keeps the
// previous configuration and validators, and memory keeps the previous configuration with its
// settings, the consent layers it set and the flag that asks the next bundle for "_npa".
TEST_F(ConfigurationAnswerTest, RefusedAudiencesLeaveThePreviousConfigurationInMemory) {
  auto audiences = std::make_shared<RefusingAudiences>();
  audiences->refuse = false;
  features = APMFeatureServices::current();
  features->audience = audiences;
  startService();
  std::string app = std::string("app_id: \"") + kAppID + "\" ";
  putConfig(app +
            "version: 6 settings { name: \"measurement.upload.max_events_per_day\" value: \"9\" }"
            " consent_config { defaults { consent_type: CONSENT_TYPE_AD_USER_DATA"
            " consent_value: CONSENT_VALUE_GRANTED } }");
  makeEngine({}, OULNetwork::create(service_->baseURL()));
  fetch();
  ASSERT_EQ(engine->currentConfig()->version(), 6);
  std::string etag = persistedConfig->configServerETag().value_or("");
  ASSERT_FALSE(etag.empty());
  std::optional<platform::Value::Dictionary> defaults = APMConsentSettingsUtil::defaultSettings();
  std::optional<platform::Value::Dictionary> delegated =
      APMConsentSettingsUtil::delegatedSettings();
  std::optional<platform::Value::Dictionary> regional = APMConsentSettingsUtil::regionalDefaults();
  bool npaUpdate = false;
  onWorker([&] { npaUpdate = engine->shouldUpdateNPAUserProperty(); });

  audiences->refuse = true;
  putConfig(app +
            "version: 7 settings { name: \"measurement.upload.max_events_per_day\" value: \"5\" }"
            " consent_config { defaults { consent_type: CONSENT_TYPE_AD_PERSONALIZATION"
            " consent_value: CONSENT_VALUE_GRANTED } delegations { consent_type:"
            " CONSENT_TYPE_AD_USER_DATA delegate_type: CONSENT_TYPE_AD_STORAGE }"
            " enforced_defaults { consent_type: CONSENT_TYPE_AD_USER_DATA"
            " consent_value: CONSENT_VALUE_GRANTED } }");
  capture.clear();
  fetch();
  env.waitUntilIdle();
  EXPECT_EQ(engine->currentConfig()->version(), 6);
  EXPECT_EQ(engine->currentConfig()->maxEventsPerDay(), 9);
  EXPECT_EQ(APMConsentSettingsUtil::defaultSettings(), defaults);
  EXPECT_EQ(APMConsentSettingsUtil::delegatedSettings(), delegated);
  EXPECT_EQ(APMConsentSettingsUtil::regionalDefaults(), regional);
  onWorker([&] { EXPECT_EQ(engine->shouldUpdateNPAUserProperty(), npaUpdate); });
  EXPECT_EQ(persistedConfig->configServerETag().value_or(""), etag);
}

// The configuration's app ID is compared with the identity's as it is, an empty one too; the
// remote configuration then refuses it for the engine's app ID (29004), and the refusal that
// follows carries the body. (Level 2 is never printed: the lines are seen in the health sample.)
TEST_F(ConfigurationAnswerTest, WithoutAnAppIDFromTheServiceFileTheRemoteConfigRefuses) {
  startService();
  putConfig("version: 7");
  setsAppIDFromRZQ = false;
  makeEngine({}, OULNetwork::create(service_->baseURL()));
  std::shared_ptr<APMMonitor> monitor = APMMonitor::monitor();
  for (uint32_t kept : {1u, 2u}) {
    SCOPED_TRACE(kept);
    // The sample keeps the kept-th line sampled after the clear.
    monitor->setSampleRandomForTesting(
        [kept](uint32_t population) { return population == kept ? 0u : 1u; });
    monitor->clearMonitoringData();
    fetch();
    env.waitUntilIdle();
    env.advance(10);
    std::string health = monitor->monitoringDataForDispatch(1, 0).value_or("");
    std::string expected = kept == 1
                               ? "Cannot set measurement config when Orvane App ID does not match"
                               : "Failed to update configuration with new server configuration";
    EXPECT_NE(health.find(expected), std::string::npos) << health;
    if (kept == 2) {
      EXPECT_EQ(health.back(), '?') << health;  // a data object, as the body is
    }
  }
  monitor->setSampleRandomForTesting({});
  EXPECT_EQ(engine->currentConfig()->version(), -1);
  EXPECT_TRUE(persistedConfig->configServerETag().value_or("").empty());
}

// A fetch that gets no answer names the network's reason in both of its lines.
TEST_F(ConfigurationAnswerTest, FailedFetchNamesTheReason) {
  makeEngine({}, OULNetwork::create());  // every service host is a port nothing listens on
  capture.clear();
  fetch();
  env.waitUntilIdle();
  for (int code : {23128, 23129}) {
    std::vector<std::string> failed = linesWith(capture, code);
    ASSERT_EQ(failed.size(), 1u) << code;
    EXPECT_NE(failed[0].find("onnect"), std::string::npos) << failed[0];
  }
}

// An upload that gets no answer names the network's reason beside the code (23043).
TEST_F(ConfigurationAnswerTest, FailedUploadNamesTheReason) {
  startService();
  putConfig(std::string("app_id: \"") + kAppID + "\"");
  makeEngine({}, OULNetwork::create(service_->baseURL()));
  fetch();
  logEvent("app", true, "unanswered");
  APMRemoteConfig::Hosts hosts = APMRemoteConfig::hosts();
  hosts.upload = testsupport::processClosedPort().host();
  APMRemoteConfig::setHosts(hosts);
  capture.clear();
  onWorker([&] { engine->uploadData(); });
  ASSERT_TRUE(waitFor([&] { return !engine->isNetworkRequestPending(); }));
  env.waitUntilIdle();
  std::vector<std::string> failed = linesWith(capture, 23043);
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_NE(failed[0].find("onnect"), std::string::npos) << failed[0];
}

// An answer while the network is down re-arms the schedule without an upload pass.
TEST_F(ConfigurationAnswerTest, AnswerWhileOfflineOnlySchedules) {
  startService();
  putConfig(std::string("app_id: \"") + kAppID + "\"");
  testsupport::ClosedPort unreachable;
  std::shared_ptr<OULNetwork> network = OULNetwork::create(unreachable.host());
  makeEngine({}, network);
  ASSERT_TRUE(waitFor([&] { return !network->isNetworkConnected(); }));
  ASSERT_TRUE(waitFor([&] { return engine->hasDataToUpload(); }));
  APMMonitor::monitor()->setVerboseLoggingEnabled(true);
  capture.clear();
  fetch();
  env.waitUntilIdle();
  APMMonitor::monitor()->setVerboseLoggingEnabled(false);
  EXPECT_EQ(linesWith(capture, 23133).size(), 1u);  // the configuration was answered
  EXPECT_TRUE(linesWith(capture, 23033).empty());   // "Starting data upload"
  EXPECT_TRUE(linesWith(capture, 23035).empty());
  EXPECT_FALSE(linesWith(capture, 23026).empty());  // "No network": the schedule waits
}

class ScheduleTest : public EngineTest {};

// The next upload time (defaults: interval 3600 s, initial delay 15 s, retry 1800 s, 6 retries).
TEST_F(ScheduleTest, NextUploadingTime) {
  struct Case {
    const char* what;
    double dataAge;           // newest data is this many seconds old (negative: in the future)
    double successAge;        // last success this many seconds ago (-1: none)
    double failureAfterData;  // a failure this many seconds after the newest data (-1: none)
    double expected;          // relative to now; NAN for "no time"
  };
  const double n = 0;
  const Case cases[] = {
      {"recent success", 30, 600, -1, -600 + 3600},
      {"no success within the hour", 30, 4000, -1, -30 + 15},
      {"future data mirrored", -100, -1, -1, -100 + 15},
      {"one failure", 30, -1, 10, -30 + 15 + 1800},
      {"failure after two steps", 30, -1, 15 + 1800 + 100, -30 + 15 + 1800 + 3600},
      {"retries exhausted", 30, -1, 15 + 1800 * 63 + 1, NAN},
  };
  makeEngine();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    clearRawEvents();
    double now = env.now();
    logEventAt("data", now - c.dataAge);
    persistedConfig->setLastSuccessfulUploadTimestamp(c.successAge < 0 ? 0 : now - c.successAge);
    double dataTime = now - std::fabs(c.dataAge);
    persistedConfig->setLastFailedUploadTimestamp(
        c.failureAfterData < 0 ? 0 : dataTime + c.failureAfterData);
    double next = 0;
    onWorker([&] { next = engine->nextUploadingTime(); });
    if (std::isnan(c.expected)) {
      EXPECT_EQ(next, 0);
    } else {
      EXPECT_NEAR(next - now, c.expected + n, 1e-3);
    }
  }
}

// Within the first SKAdNetwork postback window (two days from the first open) an app that updates
// conversion values uploads on the window's own interval (1800 s by default).
TEST_F(ScheduleTest, FirstPostbackWindowInterval) {
  struct Case {
    const char* what;
    bool conversionValues;
    double firstOpenAge;  // seconds before now
    double interval;
  };
  const Case cases[] = {
      {"in the first window", true, 3600, 1800},
      {"after the first window", true, 3 * 86400, 3600},
      {"without conversion values", false, 3600, 3600},
  };
  makeEngine();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    applySettings(
        {{"measurement.skan.update_conversion_value_enabled", c.conversionValues ? "1" : "0"}});
    clearRawEvents();
    double now = env.now();
    persistedConfig->setFirstOpenTimestampMilliseconds(
        static_cast<int64_t>((now - c.firstOpenAge) * 1000));
    logEventAt("data", now - 30);
    persistedConfig->setLastSuccessfulUploadTimestamp(now - 600);
    persistedConfig->setLastFailedUploadTimestamp(0);
    double next = 0;
    onWorker([&] { next = engine->nextUploadingTime(); });
    EXPECT_NEAR(next - now, c.interval - 600, 1e-3);
  }
}

class BundlingTest : public EngineTest {};

// One bundle holds consecutive rows of one fingerprint within one clock hour, at most
// max_events_per_bundle; bundle_index grows by the event count, delivery_index by one.
TEST_F(BundlingTest, GroupsByHourAndCountWithIndexes) {
  makeEngine({{"measurement.upload.max_events_per_bundle", "2"}});
  clearRawEvents();
  double hour = std::floor(env.now() / 3600) * 3600;
  logEventAt("a", hour + 10);
  logEventAt("b", hour + 20);
  logEventAt("c", hour + 30);
  logEventAt("d", hour + 3600 + 5);
  EXPECT_EQ(bundleAll(), 3);
  std::vector<APMQueuedBundle> bundles = queued();
  ASSERT_EQ(bundles.size(), 3u);
  EXPECT_EQ(names(bundles[0]), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(names(bundles[1]), (std::vector<std::string>{"c"}));
  EXPECT_EQ(names(bundles[2]), (std::vector<std::string>{"d"}));
  using B = APMPBMeasurementBundle;
  EXPECT_EQ(NANOGetInt32(bundles[1].bundle, B::kBundleIndex) -
                NANOGetInt32(bundles[0].bundle, B::kBundleIndex),
            1);
  EXPECT_EQ(NANOGetInt32(bundles[2].bundle, B::kDeliveryIndex) -
                NANOGetInt32(bundles[1].bundle, B::kDeliveryIndex),
            1);
  EXPECT_EQ(NANOGetInt64(bundles[2].bundle, B::kPreviousBundleEndTimestampMillis),
            static_cast<int64_t>((hour + 30) * 1000));
  // Queue blobs are gzip of a bundle protoc reads.
  std::string blob =
      runCommand("sqlite3 '" + engine->database()->databasePath() + "'" +
                 " 'SELECT hex(data) FROM queue ORDER BY rowid LIMIT 1' | xxd -r -p | gzip -d");
  EXPECT_NE(protoc("decode", "MeasurementBundle", blob).find("name: \"a\""), std::string::npos);
}

// Rows that can never be bundled go, instead of blocking every later event: an oldest raw
// event that does not decode, and a group stamped at or before 1970 that the queue refuses.
TEST_F(BundlingTest, RowsThatCanNeverBeBundledAreDropped) {
  makeEngine();
  clearRawEvents();
  double now = env.now();
  logEventAt("broken", now);
  onWorker([&] {
    ASSERT_TRUE(engine->database()->sqliteStore()->executeSQL(
        "UPDATE raw_events SET data = x'ff01' WHERE rowid = (SELECT min(rowid) FROM raw_events)",
        nullptr));
  });
  logEventAt("after_broken", now + 1);
  logEventAt("ancient", 0);
  logEventAt("after_ancient", now + 2);
  bundleAll();
  std::vector<std::string> all;
  for (const APMQueuedBundle& entry : queued()) {
    for (const std::string& name : names(entry)) all.push_back(name);
  }
  EXPECT_EQ(all, (std::vector<std::string>{"after_broken", "after_ancient"}));
  env.waitUntilIdle();
  EXPECT_TRUE(capture.contains("I-ACS023096"));
  EXPECT_TRUE(capture.contains("I-ACS023115"));
  EXPECT_EQ(storedEventNames(), std::vector<std::string>{});
}

// A group the queue refuses for its end time leaves nothing but its deletion: the next bundle
// follows the last queued one (its times as the previous ones, indexes one on), and the loop
// goes on past the refused group.
TEST_F(BundlingTest, ARefusedAncientGroupLeavesOnlyItsDeletion) {
  makeEngine();
  clearRawEvents();
  double now = env.now();
  logEventAt("first", now);
  ASSERT_EQ(bundleAll(), 1);
  logEventAt("ancient", 0);
  logEventAt("next", now + 1);
  EXPECT_EQ(bundleAll(), 2);
  EXPECT_EQ(storedEventNames(), std::vector<std::string>{});
  std::vector<APMQueuedBundle> bundles = queued();
  ASSERT_EQ(bundles.size(), 2u);
  ASSERT_EQ(names(bundles[1]), std::vector<std::string>{"next"});
  using B = APMPBMeasurementBundle;
  const APMPBMeasurementBundle& last = bundles[0].bundle;
  const APMPBMeasurementBundle& next = bundles[1].bundle;
  EXPECT_EQ(NANOGetInt64(next, B::kPreviousBundleStartTimestampMillis),
            NANOGetInt64(last, B::kStartTimestampMillis));
  EXPECT_EQ(NANOGetInt64(next, B::kPreviousBundleEndTimestampMillis),
            NANOGetInt64(last, B::kEndTimestampMillis));
  EXPECT_EQ(NANOGetInt32(next, B::kBundleIndex) - NANOGetInt32(last, B::kBundleIndex), 1);
  EXPECT_EQ(NANOGetInt32(next, B::kDeliveryIndex) - NANOGetInt32(last, B::kDeliveryIndex), 1);
}

// Sampling: one in N kept with "_sr" = N; the first loser of a new account day is kept with
// "_efs" = 1; later losers of that day are dropped.
TEST_F(BundlingTest, SamplingByAccountDay) {
  makeEngine();
  APMPBMeasurementConfig config =
      enginetest::makeConfig(kAppID, {{"measurement.event_sampling_enabled", "1"}});
  APMPBEventConfig sampled;
  NANOSetString(sampled, APMPBEventConfig::kName, "sampled");
  NANOSetInt32(sampled, APMPBEventConfig::kSamplingRate, 3);
  NANOSetMessageArray(config, APMPBMeasurementConfig::kEventConfig,
                      std::vector<APMPBEventConfig>{sampled});
  onWorker([&] { ASSERT_TRUE(engine->currentConfig()->updateMeasurementConfig(config)); });
  int rolls = 0;
  engine->setSamplingRollForTesting([&](uint32_t rate) {
    EXPECT_EQ(rate, 3u);
    return ++rolls == 3;  // the third draw wins
  });
  clearRawEvents();
  double day = std::floor(env.now() / 86400) * 86400;
  for (int i = 1; i <= 5; ++i) {
    logEventAt("sampled", day + 3600 + i, {{"n", APMObject(platform::Value(int64_t{i}))}});
  }
  logEventAt("other", day + 3600 + 6);
  bundleAll();
  logEventAt("sampled", day + 86400 + 3600, {{"n", APMObject(platform::Value(int64_t{6}))}});
  bundleAll();
  std::vector<std::string> kept;
  for (const APMQueuedBundle& entry : queued()) {
    std::vector<APMPBEvent> events =
        *NANOGetMessageArray<APMPBEvent>(entry.bundle, APMPBMeasurementBundle::kEvents);
    for (const APMPBEvent& event : events) {
      std::string text = NANOGetString(event, APMPBEvent::kName).value_or("");
      std::vector<APMPBEventParam> params =
          *NANOGetMessageArray<APMPBEventParam>(event, APMPBEvent::kParams);
      for (const APMPBEventParam& param : params) {
        std::string name = NANOGetString(param, APMPBEventParam::kName).value_or("");
        if (name == "n" || name == "_sr" || name == "_efs") {
          text +=
              " " + name + "=" + std::to_string(NANOGetInt64(param, APMPBEventParam::kIntValue));
        }
      }
      kept.push_back(text);
    }
  }
  EXPECT_EQ(kept, (std::vector<std::string>{"sampled n=1 _sr=3 _efs=1", "sampled n=3 _sr=3",
                                            "other", "sampled n=6 _sr=3 _efs=1"}));
}

}  // namespace
