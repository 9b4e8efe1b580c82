// Both on-device conversion flows against the measurement service with psm-server's handler
// mounted (its own process, sample members), the conversion classes registered as the app
// registers them. Stored values are read with the sqlite3 tool, the request query with
// Python's urllib.parse, uploads with protoc.
#include "AppMeasurement/PrivateSetMembership/Sources/APMPrivateSetMembershipClient.h"
#include "AppMeasurement/PrivateSetMembership/Sources/ODCServiceHost.h"
#include "AppMeasurement/engine/APMPSMContext.h"
#include "AppMeasurement/foundation/APMConsentSettingsUtil.h"
#include "OrvaneAdsOnDeviceConversion/Sources/ODCConversionService.h"
#include "OrvaneAdsOnDeviceConversion/Sources/ODCConversionServiceProtocol.h"
#include "OrvaneAdsOnDeviceConversion/Sources/ODCRegistration.h"
#include "platform/uikit/UIApplication.h"
#include "tests/AppMeasurement/engine/AttributionTestSupport.h"
#include "tests/support/ClosedPort.h"

namespace {

using enginetest::AttributionTest;
using enginetest::protoc;
using testsupport::runCommand;

constexpr const char* kMemberEmail = "jane.doe@example.com";
constexpr const char* kPSMPath = "/pagead/conversion/app/psm";

class OnDeviceConversionTest : public AttributionTest {
 protected:
  void SetUp() override {
    AttributionTest::SetUp();
    ODCConversionService::setProcessStartDateForTesting(env.now());
  }
  void TearDown() override {
    AttributionTest::TearDown();
    ODCServiceHost::setBaseURL(testsupport::processClosedPort().baseURL());
  }

  // The service with the sample members, the conversion classes registered, an engine.
  void start(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> arguments{
        "--psm-members",
        std::string(KVL_TEST_SOURCE_DIR) + "/tools/psm-server/sample-members.json"};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    startService(arguments);
    ODCServiceHost::setBaseURL(service_->baseURL());
    ODCRegisterClasses(platform::ClassRegistry::shared());
    makeAttributionEngine();
  }

  void initiate(const std::string& key, const platform::Value& value) {
    engine->setUserData({{key, value}});
    env.waitUntilIdle();
    ASSERT_TRUE(waitFor([&] {
      return !engine->isNetworkRequestPending() &&
             !(engine->ODM1Context() && engine->ODM1Context()->isPSMRequestInProgress);
    }));
  }

  std::string sql(const std::string& query) {
    std::string path;
    onWorker([&] { path = engine->database()->databasePath(); });
    return runCommand("sqlite3 '" + path + "' \"" + query + "\"");
  }

  std::optional<std::string> stringProperty(const std::string& name) {
    std::optional<APMUserAttribute> found = userProperty(name);
    if (!found || !found->value().stringValue()) return std::nullopt;
    return *found->value().stringValue();
  }

  std::optional<int64_t> integerProperty(const std::string& name) {
    std::optional<APMUserAttribute> found = userProperty(name);
    if (!found || !found->value().isInt64()) return std::nullopt;
    return found->value().int64Value();
  }
};

// A member e-mail address: "_psmvalue", the row "odm1_value", a real-time "_fx" and the count;
// the request's query carries the count and the first open rounded up to the next minute.
TEST_F(OnDeviceConversionTest, MemberEmailIsMatched) {
  start();
  int64_t firstOpenMillis = persistedConfig->firstOpenTimestampMilliseconds();
  ASSERT_GT(firstOpenMillis, 0);
  initiate("email_address", platform::Value(kMemberEmail));

  std::string expected = runCommand(
      "python3 -c \"import base64; print(base64.urlsafe_b64encode(b'campaign-7:install')"
      ".decode().rstrip('='))\"");
  expected.pop_back();
  EXPECT_EQ(stringProperty("_psmvalue"), expected);
  EXPECT_EQ(sql("SELECT value FROM odm_values WHERE name = 'odm1_value'"), expected + "\n");
  EXPECT_EQ(integerProperty("_psmcount"), 1);
  std::vector<std::map<std::string, std::string>> fx = storedEvents("_fx");
  ASSERT_EQ(fx.size(), 1u);
  EXPECT_EQ(fx[0]["_fxs"], "psm");
  EXPECT_EQ(fx[0]["_r"], "1");

  auto requests = requestsTo(kPSMPath);
  ASSERT_EQ(requests.size(), 1u);
  std::string query = runCommand(
      "python3 -c \"import sys, urllib.parse; q = dict(urllib.parse.parse_qsl(sys.stdin.read())); "
      "print(q['version'], q['retry_count'], q['psm_count'], q['timestamp_first_open'])\"",
      *requests[0].at("query").asString());
  // The next whole minute after first open (a time on a boundary moves a whole minute).
  std::string rounded =
      runCommand("python3 -c \"import datetime as d; t = d.datetime.fromtimestamp(" +
                 std::to_string(firstOpenMillis / 1000) +
                 ", d.timezone.utc); print(int((t.replace(second=0) + "
                 "d.timedelta(minutes=1)).timestamp()))\"");
  rounded.pop_back();
  EXPECT_EQ(query, "1.1 0 0 " + rounded + "\n");

  // A match blocks later attempts.
  capture.clear();
  initiate("email_address", platform::Value(kMemberEmail));
  EXPECT_TRUE(logged(23237));
  EXPECT_EQ(requestsTo(kPSMPath).size(), 1u);

  // The next upload carries the value.
  std::string decoded = uploadAfterAnHour();
  ASSERT_FALSE(decoded.empty());
  EXPECT_NE(decoded.find("odm1_value {"), std::string::npos) << decoded;
  EXPECT_NE(decoded.find("value: \"" + expected + "\""), std::string::npos);
  EXPECT_NE(decoded.find("linked_components: 9"), std::string::npos) << decoded;
}

// A failing server: retries at 300, 600, 1200 and 2400 s, then 23231; every answer counts.
TEST_F(OnDeviceConversionTest, FailingServerRetriesWithDoublingDelays) {
  start();
  control("POST", "/_control/script",
          std::string("{\"path\": \"") + kPSMPath + "\", \"status\": 503}");
  initiate("email_address", platform::Value(kMemberEmail));
  ASSERT_EQ(requestsTo(kPSMPath).size(), 1u);
  size_t expected = 1;
  for (double delay : {300.0, 600.0, 1200.0, 2400.0}) {
    SCOPED_TRACE(delay);
    env.advance(delay - 1);
    env.waitUntilIdle();
    EXPECT_EQ(requestsTo(kPSMPath).size(), expected);
    env.advance(1);
    ASSERT_TRUE(waitFor([&] { return requestsTo(kPSMPath).size() == expected + 1; }));
    ASSERT_TRUE(waitFor([&] { return !engine->isNetworkRequestPending(); }));
    ++expected;
  }
  EXPECT_TRUE(logged(23231));
  EXPECT_EQ(integerProperty("_psmcount"), 5);
  env.advance(100000);
  env.waitUntilIdle();
  EXPECT_EQ(requestsTo(kPSMPath).size(), 5u);
  // The spent retries refuse a later start in this run.
  capture.clear();
  initiate("email_address", platform::Value(kMemberEmail));
  EXPECT_TRUE(logged(23238));
}

// A request that cannot start (a service URL that is no URL) counts and retries like a failed
// answer, and frees the network.
TEST_F(OnDeviceConversionTest, RequestThatCannotStartIsRetried) {
  start();
  ODCServiceHost::setBaseURL("http://bad host");
  initiate("email_address", platform::Value(kMemberEmail));
  EXPECT_TRUE(logged(23228));
  EXPECT_EQ(integerProperty("_psmcount"), 1);
  onWorker([&] {
    EXPECT_FALSE(engine->isNetworkRequestPending());
    EXPECT_EQ(engine->ODM1Context()->PSMRetryCount, 1);
    EXPECT_TRUE(engine->ODM1Context()->PSMRetryAlarm->hasActiveTimer());
  });
}

// A match expires after 90 days: at the next start the value, its row and the counts go; a
// younger match without its row gets the row back.
TEST_F(OnDeviceConversionTest, MatchExpiresAfterNinetyDays) {
  start();
  initiate("email_address", platform::Value(kMemberEmail));
  ASSERT_TRUE(stringProperty("_psmvalue"));
  auto restart = [&] {
    engine->setEnabled(false);
    env.waitUntilIdle();
    engine.reset();
    makeAttributionEngine();
  };
  // Younger than 90 days, row lost: restored from the property; a restore that fails logs
  // nothing and is tried again at the next start.
  onWorker([&] {
    engine->database()->deleteODMValueWithName("odm1_value", nullptr);
    for (const char* operation : {"INSERT", "UPDATE"}) {
      ASSERT_TRUE(engine->database()->sqliteStore()->executeSQL(
          std::string("CREATE TRIGGER refuse_") + operation + " BEFORE " + operation +
              " ON odm_values BEGIN SELECT RAISE(ABORT, 'refused'); END",
          nullptr));
    }
  });
  env.advance(7776000 - 10);
  capture.clear();
  restart();
  EXPECT_EQ(sql("SELECT count(*) FROM odm_values WHERE name = 'odm1_value'"), "0\n");
  EXPECT_FALSE(logged(23286));
  onWorker([&] {
    for (const char* trigger : {"DROP TRIGGER refuse_INSERT", "DROP TRIGGER refuse_UPDATE"}) {
      ASSERT_TRUE(engine->database()->sqliteStore()->executeSQL(trigger, nullptr));
    }
  });
  restart();
  EXPECT_EQ(sql("SELECT count(*) FROM odm_values WHERE name = 'odm1_value'"), "1\n");
  env.advance(10);
  restart();
  EXPECT_FALSE(userProperty("_psmvalue"));
  EXPECT_FALSE(userProperty("_psmcount"));
  EXPECT_EQ(sql("SELECT count(*) FROM odm_values WHERE name = 'odm1_value'"), "0\n");
}

// Answers of any shape are "no match" (23230), counted, never retried, never a crash.
TEST_F(OnDeviceConversionTest, HostileAnswersAreNoMatch) {
  start();
  applySettings({{"measurement.psm_start_count", "10"}});
  const std::string bodies[] = {"[[[", "{\"psm_response\": 5}", "{\"psm_response\": \"!!!\"}",
                                "{\"psm_response\": \"" + std::string(200000, 'A') + "\"}",
                                std::string("\x00\xff\xfe", 3)};
  int64_t count = 0;
  for (const std::string& body : bodies) {
    SCOPED_TRACE(body.substr(0, 20));
    std::string encoded = runCommand("base64 -w0", body);
    control("POST", "/_control/script",
            std::string("{\"path\": \"") + kPSMPath + "\", \"status\": 200, \"body_base64\": \"" +
                encoded + "\", \"times\": 1}");
    capture.clear();
    initiate("email_address", platform::Value(kMemberEmail));
    EXPECT_TRUE(logged(23230));
    EXPECT_EQ(integerProperty("_psmcount"), ++count);
    EXPECT_FALSE(userProperty("_psmvalue"));
    onWorker([&] { EXPECT_EQ(engine->ODM1Context()->PSMRetryCount, 0); });
  }
}

// Per-run limit, empty identifiers, phone before hashed, a window after first open.
TEST_F(OnDeviceConversionTest, InitiationGates) {
  start();
  control("POST", "/_control/script",
          std::string("{\"path\": \"") + kPSMPath + "\", \"status\": 204}");
  // A first open exactly on a minute boundary is sent as the next boundary.
  persistedConfig->setFirstOpenTimestampMilliseconds(1'699'999'980'000);
  for (int i = 0; i < 3; ++i) initiate("email_address", platform::Value("nobody@example.com"));
  ASSERT_EQ(requestsTo(kPSMPath).size(), 3u);
  EXPECT_NE(requestsTo(kPSMPath)[0].at("query").asString()->find("timestamp_first_open=1700000040"),
            std::string::npos);
  EXPECT_EQ(integerProperty("_psmcount"), 3);
  capture.clear();
  initiate("phone_number", platform::Value("+1 650 555 1234"));
  EXPECT_TRUE(logged(23236));
  EXPECT_EQ(requestsTo(kPSMPath).size(), 3u);

  capture.clear();
  initiate("email_address", platform::Value(""));
  EXPECT_TRUE(logged(23234));
  initiate("hashed_phone_number", platform::Value::bytes(""));
  EXPECT_TRUE(logged(23264));

  persistedConfig->setFirstOpenTimestampMilliseconds(
      static_cast<int64_t>((env.now() - 61 * 86400) * 1000));
  capture.clear();
  initiate("email_address", platform::Value(kMemberEmail));
  EXPECT_TRUE(logged(23261));
}

// A reset starts the flow over: the attempts of this run, a retry waiting for its alarm and an
// answer still on its way all belong to the wiped data.
TEST_F(OnDeviceConversionTest, AResetStartsTheFlowOver) {
  start();
  const std::string newID = "0123456789ABCDEF0123456789ABCDEF";
  auto reset = [&] {
    ASSERT_TRUE(engine->resetAnalyticsDataWithAppInstanceID(newID));
    env.waitUntilIdle();
  };
  // The run's limit of attempts, used up; after the reset a new attempt goes out.
  control("POST", "/_control/script",
          std::string("{\"path\": \"") + kPSMPath + "\", \"status\": 204, \"times\": 3}");
  for (int i = 0; i < 3; ++i) initiate("email_address", platform::Value("nobody@example.com"));
  capture.clear();
  initiate("email_address", platform::Value("nobody@example.com"));
  ASSERT_TRUE(logged(23236));
  ASSERT_EQ(requestsTo(kPSMPath).size(), 3u);
  reset();
  control("POST", "/_control/script",
          std::string("{\"path\": \"") + kPSMPath + "\", \"status\": 503, \"times\": 1}");
  capture.clear();
  initiate("email_address", platform::Value(kMemberEmail));
  EXPECT_FALSE(logged(23236));
  ASSERT_EQ(requestsTo(kPSMPath).size(), 4u);

  // That attempt failed and waits 300 s for its retry; the reset drops it.
  onWorker([&] { ASSERT_TRUE(engine->ODM1Context()->PSMRetryAlarm->hasActiveTimer()); });
  reset();
  env.advance(301);
  ASSERT_TRUE(waitFor([&] { return !engine->isNetworkRequestPending(); }));
  EXPECT_EQ(requestsTo(kPSMPath).size(), 4u);
  EXPECT_FALSE(userProperty("_psmvalue"));
  EXPECT_FALSE(userProperty("_psmcount"));

  // A match answered after the reset is not kept, nor counted.
  control("POST", "/_control/script",
          std::string("{\"path\": \"") + kPSMPath + "\", \"delay_ms\": 3000, \"times\": 1}");
  engine->setUserData({{"email_address", platform::Value(kMemberEmail)}});
  env.waitUntilIdle();
  onWorker([&] { ASSERT_TRUE(engine->ODM1Context()->isPSMRequestInProgress); });
  reset();
  ASSERT_TRUE(waitFor([&] { return !engine->isNetworkRequestPending(); }));
  EXPECT_EQ(requestsTo(kPSMPath).size(), 5u);
  EXPECT_FALSE(userProperty("_psmvalue"));
  EXPECT_FALSE(userProperty("_psmcount"));
  for (auto& fx : storedEvents("_fx")) EXPECT_NE(fx["_fxs"], "psm");
  onWorker([&] { EXPECT_FALSE(engine->ODM1Context()->isPSMRequestInProgress); });
}

// The request uses the background session only while the server allows it and a background
// task is held, as uploads do.
TEST_F(OnDeviceConversionTest, RequestUsesTheUploadsSession) {
  start();
  applySettings({{"measurement.network.background_session_enabled", "1"}});
  control("POST", "/_control/script",
          std::string("{\"path\": \"") + kPSMPath + "\", \"status\": 204}");
  uint64_t before = engine->network()->backgroundSessionRequestCount();
  initiate("email_address", platform::Value("nobody@example.com"));
  ASSERT_EQ(requestsTo(kPSMPath).size(), 1u);
  EXPECT_EQ(engine->network()->backgroundSessionRequestCount(), before);
  engine->swapBackgroundTaskWithNewTaskID(
      UIApplication::sharedApplication()->beginBackgroundTaskWithName(
          "APMAnalyticsMeasurementBackgroundTask", {}));
  initiate("email_address", platform::Value("nobody@example.com"));
  ASSERT_EQ(requestsTo(kPSMPath).size(), 2u);
  EXPECT_EQ(engine->network()->backgroundSessionRequestCount(), before + 1);
  engine->terminateBackgroundTask();
}

// A client class of another generation: initialisers are asked for before use.
class LimitedClientClass : public APMPrivateSetMembershipClientClass {
 public:
  bool instancesRespondToSelector(std::string_view selector) const override {
    return selector.starts_with("initWithEmailAddress");
  }
  Client initWithEmailAddress(std::string_view, std::string_view) const override { return nullptr; }
  Client initWithEmailAddress(std::string_view, std::string_view, int32_t) const override {
    return nullptr;
  }
  Client initWithPhoneNumber(std::string_view, std::string_view) const override {
    ADD_FAILURE() << "not answered";
    return nullptr;
  }
  Client initWithPhoneNumber(std::string_view, std::string_view, int32_t) const override {
    ADD_FAILURE() << "not answered";
    return nullptr;
  }
  Client initWithHashedEmailAddress(std::string_view, std::string_view, int32_t) const override {
    ADD_FAILURE() << "not answered";
    return nullptr;
  }
  Client initWithHashedPhoneNumber(std::string_view, std::string_view, int32_t) const override {
    ADD_FAILURE() << "not answered";
    return nullptr;
  }
};

TEST_F(OnDeviceConversionTest, MissingInitialisersAndMissingClass) {
  platform::ClassRegistry::shared().registerClass<LimitedClientClass>(
      "ODCPrivateSetMembershipClient");
  makeAttributionEngine();
  initiate("phone_number", platform::Value("+1 650 555 1234"));
  EXPECT_TRUE(logged(23262));
  initiate("hashed_email_address", platform::Value::bytes(std::string(32, 'x')));
  EXPECT_TRUE(logged(23265));

  // Without any class, a stored count makes start-up log 23254; initiations log 23233.
  onWorker([&] {
    engine->setUserAttributeOnWorkerQueue(
        *APMUserAttribute::create("auto", "_psmcount", APMValue(int64_t{2}), env.now()));
  });
  engine->setEnabled(false);
  env.waitUntilIdle();
  engine.reset();
  platform::ClassRegistry::shared().clear();
  capture.clear();
  makeAttributionEngine();
  EXPECT_TRUE(logged(23254));
  initiate("email_address", platform::Value(kMemberEmail));
  EXPECT_TRUE(logged(23233));
  EXPECT_EQ(engine->ODM1Context(), nullptr);
}

// Without any client class the front doors that ask the class for an initialiser refuse with
// their own code (a missing class answers no selector); only the e-mail door reaches the gate.
TEST_F(OnDeviceConversionTest, FrontDoorsWithoutAnyClientClass) {
  platform::ClassRegistry::shared().clear();
  makeAttributionEngine();
  struct Row {
    const char* key;
    platform::Value value;
    int64_t code;
  };
  const Row rows[] = {
      {"email_address", platform::Value(kMemberEmail), 23233},
      {"phone_number", platform::Value("+1 650 555 1234"), 23262},
      {"hashed_email_address", platform::Value::bytes(std::string(32, 'x')), 23265},
      {"hashed_phone_number", platform::Value::bytes(std::string(32, 'y')), 23265},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.key);
    capture.clear();
    initiate(row.key, row.value);
    EXPECT_TRUE(logged(row.code));
    if (row.code != 23233) {
      EXPECT_FALSE(logged(23233));
    }
  }
  EXPECT_EQ(engine->ODM1Context(), nullptr);
}

// The current flow: the answered configuration fetch asks the service; the value is kept as
// "_psmvalue_oads", "odm2_value" and "_fx", and reaches the upload.
TEST_F(OnDeviceConversionTest, ConversionServiceValueReachesTheUpload) {
  start();
  fetchConfig({{"measurement.odm2_enabled", "1"}});
  ASSERT_TRUE(waitFor(
      [&] { return engine->database()->ODMValueWithName("odm2_value", nullptr).has_value(); }));
  env.waitUntilIdle();
  EXPECT_EQ(stringProperty("_psmvalue_oads"), "measurement-info-sample");
  EXPECT_EQ(sql("SELECT value FROM odm_values WHERE name = 'odm2_value'"),
            "measurement-info-sample\n");
  std::vector<std::map<std::string, std::string>> fx = storedEvents("_fx");
  ASSERT_EQ(fx.size(), 1u);
  EXPECT_EQ(fx[0]["_fxs"], "psm_oads");

  // The same value again: 23282 and no second "_fx".
  capture.clear();
  onWorker(
      [&] { engine->handleAdsOnDeviceConversionValue("measurement-info-sample", std::nullopt); });
  EXPECT_TRUE(logged(23282));
  EXPECT_EQ(storedEvents("_fx").size(), 1u);
  // A service error keeps the value.
  onWorker([&] {
    engine->handleAdsOnDeviceConversionValue(std::nullopt, OULError{"ODC", 5, "failed"});
  });
  EXPECT_EQ(stringProperty("_psmvalue_oads"), "measurement-info-sample");

  std::string decoded = uploadAfterAnHour();
  ASSERT_FALSE(decoded.empty());
  EXPECT_NE(decoded.find("on_device_measurement_info {\n    odm2_value {"), std::string::npos)
      << decoded;
  EXPECT_NE(decoded.find("value: \"measurement-info-sample\""), std::string::npos);

  // Denied ad storage at the next answered fetch clears it.
  APMConsentSettingsUtil::updateSettings({{"ad_storage", platform::Value("denied")}}, 10);
  fetchConfig({{"measurement.odm2_enabled", "1"}});
  EXPECT_FALSE(userProperty("_psmvalue_oads"));
  EXPECT_EQ(sql("SELECT count(*) FROM odm_values WHERE name = 'odm2_value'"), "0\n");
  APMConsentSettingsUtil::clearAllSettings();
}

// A service of a chosen version: 10000 is the older generation, 10001 the current one.
class VersionedService : public ODCConversionServiceProtocol {
 public:
  explicit VersionedService(int64_t version) : version_(version) {}
  void setFirstLaunchTime(std::optional<double> date) override { firstLaunch = date; }
  void fetchAggregateConversionInfoForInteraction(int64_t, Completion) override {}
  void fetchMeasurementInfoForInteraction(int64_t, Completion completion) override {
    completion(std::string("v"), std::nullopt);
  }
  std::string versionString() const override { return "x"; }
  int64_t versionNumber() const override { return version_; }
  std::optional<double> firstLaunch = -1;

 private:
  int64_t version_;
};

TEST_F(OnDeviceConversionTest, GenerationsByVersionNumber) {
  for (int64_t version : {int64_t{10000}, int64_t{10001}}) {
    SCOPED_TRACE(version);
    platform::ClassRegistry::shared().registerClass("ODCConversionService", [version] {
      return std::shared_ptr<platform::RuntimeObject>(std::make_shared<VersionedService>(version));
    });
    EXPECT_EQ(APMMeasurement::isAlphaAppAdsOnDeviceConversionLinked(), version == 10000);
    EXPECT_EQ(APMMeasurement::isOrvaneAdsOnDeviceConversionLinked(), version == 10001);
  }
  // Without the service every answered fetch clears the value.
  platform::ClassRegistry::shared().clear();
  makeAttributionEngine();
  onWorker([&] {
    engine->setUserAttributeOnWorkerQueue(*APMUserAttribute::create(
        "auto", "_psmvalue_oads", APMValue(std::string("old")), env.now()));
    engine->updateAdsOnDeviceConversionMeasurement();
  });
  EXPECT_FALSE(userProperty("_psmvalue_oads"));
}

}  // namespace
