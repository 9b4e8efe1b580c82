// SKAdNetwork conversion values against the measurement service, run as its own process:
// answers are made with protoc --encode and Python's gzip, the request is read with protoc, the
// postback windows are checked against Python's datetime, and StoreKit's stand-in records what
// the app reported.
#include <cinttypes>
#include <limits>

#include "platform/storekit/SKAdNetwork.h"
#include "tests/AppMeasurement/engine/AttributionTestSupport.h"

namespace {

using enginetest::AttributionTest;
using enginetest::protocSKAN;
using testsupport::runCommand;

constexpr const char* kEnabled = "measurement.skan.update_conversion_value_enabled";

class SKANTest : public AttributionTest {
 protected:
  void SetUp() override {
    AttributionTest::SetUp();
    SKAdNetwork::resetForTesting();
    setSystemVersion("16.1");
  }
  void TearDown() override {
    SKAdNetwork::resetForTesting();
    AttributionTest::TearDown();
  }

  void start() {
    startService();
    makeAttributionEngine();
    fetchConfig({{kEnabled, "1"}});
    env.waitUntilIdle();
  }

  // A /skan answer scripted for the next request: the response in protoc's text form, gzip
  // (by Python) when `encoding` is given, under that Content-Encoding spelling.
  void scriptAnswer(const std::string& text, const std::string& encoding = "", int status = 200) {
    std::string bytes =
        text.empty() ? "" : protocSKAN("encode", "SkAdNetworkConversionValueResponse", text);
    scriptRaw(bytes, encoding, status, !encoding.empty());
  }
  void scriptRaw(const std::string& bytes, const std::string& encoding, int status, bool gzip) {
    std::string base64 = runCommand(
        std::string("python3 -c \"import sys, gzip, base64; d = sys.stdin.buffer.read(); ") +
            (gzip ? "d = gzip.compress(d); " : "") + "print(base64.b64encode(d).decode())\"",
        bytes);
    if (!base64.empty() && base64.back() == '\n') base64.pop_back();
    std::string headers = encoding.empty() ? "{}" : "{\"Content-Encoding\": \"" + encoding + "\"}";
    control("POST", "/_control/script",
            "{\"path\": \"/skan\", \"status\": " + std::to_string(status) +
                ", \"body_base64\": \"" + base64 + "\", \"headers\": " + headers +
                ", \"times\": 1}");
  }

  // One fetch, answered; StoreKit's completion and the "_skan" event settled.
  void fetch() {
    onWorker([&] { engine->fetchSKANCV(); });
    ASSERT_TRUE(waitFor([&] { return !engine->isSKANRequestInProgress(); }));
    SKAdNetwork::waitUntilIdle();
    env.waitUntilIdle();
  }

  int32_t retryCount() {
    int32_t count = 0;
    onWorker([&] { count = engine->SKANRetryCount(); });
    return count;
  }

  int64_t nowMillis() { return static_cast<int64_t>(env.now() * 1000); }
};

// The whole road: request fields, a gzip answer under "GZIP", StoreKit's record, the stored
// event time and back-off, and the "_skan" event.
TEST_F(SKANTest, AcceptedAnswerReachesStoreKitAndTheEvent) {
  start();
  int64_t eventTime = nowMillis() - 1000;
  persistedConfig->setLastUploadedEventTimestampMillis(eventTime - 5);
  scriptAnswer(
      "status: UPDATE detail: \"rule-7\" fine_value: 42 coarse_value: HIGH lock_window: true "
      "expiry_timestamp_millis: " +
          std::to_string(nowMillis() + 3600000) + " evaluation_event_time_millis: " +
          std::to_string(eventTime) + " update_backoff_millis: 7200000",
      "GZIP");
  fetch();

  auto requests = requestsTo("/skan");
  ASSERT_EQ(requests.size(), 1u);
  std::string decoded =
      protocSKAN("decode", "SkAdNetworkConversionValueRequest",
                 runCommand("base64 -d", *requests[0].at("body_base64").asString()));
  EXPECT_NE(decoded.find("library_version: 111500"), std::string::npos) << decoded;
  EXPECT_NE(decoded.find(std::string("app_id: \"") + kAppID + "\""), std::string::npos);
  EXPECT_NE(decoded.find("app_instance_id: \"" + identity->appInstanceID().value_or("") + "\""),
            std::string::npos);
  EXPECT_NE(decoded.find("skan_version: \"4.0\""), std::string::npos);
  EXPECT_NE(decoded.find("last_uploaded_event_timestamp_millis: " + std::to_string(eventTime - 5)),
            std::string::npos);

  std::vector<SKAdNetwork::Record> records = SKAdNetwork::records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].fineValue, 42);
  EXPECT_EQ(records[0].coarseValue, "high");
  EXPECT_TRUE(records[0].lockWindow);
  EXPECT_EQ(persistedConfig->SKANEvaluationEventTimeMillis(), eventTime);
  EXPECT_EQ(persistedConfig->SKANEvaluationUpdateBackoffMillis(), 7200000);
  std::vector<std::map<std::string, std::string>> events = storedEvents("_skan");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]["_skanm"], "rule-7");
  EXPECT_EQ(events[0]["_skanf"], "42");
  EXPECT_EQ(events[0]["_skanc"], "3");
  EXPECT_EQ(events[0]["_skanl"], "1");
  EXPECT_EQ(events[0]["_skane"], std::to_string(eventTime));

  // The back-off is in force: one retry, then the limit.
  EXPECT_EQ(engine->SKANRetryCount(), 0);
  onWorker([&] {
    EXPECT_EQ(engine->SKANFetchRetryLimit(), 1);
    engine->maybeScheduleSKANCVFetchRetry();
    engine->maybeScheduleSKANCVFetchRetry();
  });
  EXPECT_TRUE(logged(23250));
}

// Each answer: what StoreKit got (fine, coarse, lock) or nothing, the log line, and whether the
// retry count rose (retry) or went back to 0 (stop).
TEST_F(SKANTest, AnswersRetryOrStop) {
  start();
  int64_t now = nowMillis();
  std::string future = " expiry_timestamp_millis: " + std::to_string(now + 600000);
  std::string event = " evaluation_event_time_millis: " + std::to_string(now);
  struct Case {
    const char* what;
    std::string text;  // protoc text; "" for an empty body
    int status;
    int64_t code;  // 0: none checked
    bool retried;
    std::optional<std::tuple<int64_t, std::string, bool>> storeKit;
  };
  const Case cases[] = {
      {"not modified", "", 304, 0, false, std::nullopt},
      {"server error", "", 500, 23241, true, std::nullopt},
      {"empty body", "", 200, 23242, false, std::nullopt},
      {"no status", "fine_value: 1" + future + event, 200, 0, true, std::nullopt},
      {"nothing to update", "status: NO_UPDATE", 200, 0, false, std::nullopt},
      {"unspecified status", "status: STATUS_UNSPECIFIED", 200, 0, true, std::nullopt},
      {"no event time", "status: UPDATE fine_value: 1" + future, 200, 23244, true, std::nullopt},
      {"no values", "status: UPDATE" + future + event, 200, 23251, false, std::nullopt},
      {"fine 64", "status: UPDATE fine_value: 64" + future + event, 200, 23245, false,
       std::nullopt},
      {"fine -1", "status: UPDATE fine_value: -1" + future + event, 200, 23245, false,
       std::nullopt},
      {"no result time", "status: UPDATE fine_value: 3" + event, 200, 23255, true, std::nullopt},
      {"expired",
       "status: UPDATE fine_value: 3 expiry_timestamp_millis: " + std::to_string(now - 2000) +
           event,
       200, 23246, true, std::nullopt},
      {"outdated", "status: UPDATE fine_value: 3" + future + " evaluation_event_time_millis: 5",
       200, 23247, true, std::nullopt},
      {"coarse only", "status: UPDATE coarse_value: MEDIUM" + future + event, 200, 23248, false,
       std::make_tuple(int64_t{0}, std::string("medium"), false)},
      {"fine 63, unspecified coarse",
       "status: UPDATE fine_value: 63 coarse_value: COARSE_VALUE_UNSPECIFIED" + future + event, 200,
       23248, false, std::make_tuple(int64_t{63}, std::string("low"), false)},
      {"times at the int64 limits",
       "status: UPDATE fine_value: 0 expiry_timestamp_millis: 9223372036854775807 "
       "evaluation_event_time_millis: 9223372036854775807 update_backoff_millis: "
       "9223372036854775807",
       200, 23248, false, std::make_tuple(int64_t{0}, std::string("low"), false)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SKAdNetwork::resetForTesting();
    persistedConfig->setSKANEvaluationEventTimeMillis(0);
    persistedConfig->setSKANEvaluationUpdateBackoffMillis(0);
    persistedConfig->setLastUploadedEventTimestampMillis(1000);
    onWorker([&] { engine->stopProcessingSKANResponseAndResetRetryCount(); });
    capture.clear();
    scriptAnswer(c.text, "", c.status);
    fetch();
    if (c.code != 0) {
      EXPECT_TRUE(logged(c.code));
    }
    if (c.code == 23245) {
      EXPECT_TRUE(capture.contains("Invalid SKAdNetwork fine conversion value. Fine value"));
    }
    EXPECT_EQ(retryCount(), c.retried ? 1 : 0);
    std::vector<SKAdNetwork::Record> records = SKAdNetwork::records();
    if (c.storeKit) {
      ASSERT_EQ(records.size(), 1u);
      EXPECT_EQ(records[0].fineValue, std::get<0>(*c.storeKit));
      EXPECT_EQ(records[0].coarseValue, std::get<1>(*c.storeKit));
      EXPECT_EQ(records[0].lockWindow, std::get<2>(*c.storeKit));
    } else {
      EXPECT_TRUE(records.empty());
    }
  }
  // With the back-off at the int64 limit, the limit is one retry (the sum saturates).
  onWorker([&] { EXPECT_EQ(engine->SKANFetchRetryLimit(), 1); });
}

// Bodies that are not what they claim: a failed inflation decodes the body as received; a
// truncated message, a bomb and garbage are invalid data; nothing crashes.
TEST_F(SKANTest, HostileBodies) {
  start();
  int64_t now = nowMillis();
  std::string valid = protocSKAN(
      "encode", "SkAdNetworkConversionValueResponse",
      "status: UPDATE fine_value: 9 expiry_timestamp_millis: " + std::to_string(now + 60000) +
          " evaluation_event_time_millis: " + std::to_string(now));
  persistedConfig->setLastUploadedEventTimestampMillis(0);

  // Claims gzip, is not: used as received.
  scriptRaw(valid, "gzip", 200, false);
  fetch();
  ASSERT_EQ(SKAdNetwork::records().size(), 1u);
  EXPECT_EQ(SKAdNetwork::records()[0].fineValue, 9);

  struct Case {
    const char* what;
    std::string bytes;
    bool gzip;
  };
  std::string bomb = runCommand(
      "python3 -c \"import sys, gzip; sys.stdout.buffer.write(gzip.compress(b'\\x08' * "
      "(64 << 20)))\"");
  const Case cases[] = {
      {"truncated", valid.substr(0, valid.size() - 3), false},
      {"garbage", std::string("\xff\xff\xff\xff\x0f", 5), false},
      {"bomb", bomb, false},  // sent already compressed, under gzip
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    capture.clear();
    scriptRaw(c.bytes, "gzip", 200, c.gzip);
    fetch();
    EXPECT_TRUE(logged(23243));
    EXPECT_EQ(SKAdNetwork::records().size(), 1u);
  }
}

// StoreKit's answer: SKANErrorDomain 10 counts as success; any other error writes no event.
TEST_F(SKANTest, StoreKitErrors) {
  start();
  int64_t now = nowMillis();
  std::string answer =
      "status: UPDATE fine_value: 4 expiry_timestamp_millis: " + std::to_string(now + 60000) +
      " evaluation_event_time_millis: " + std::to_string(now);
  persistedConfig->setLastUploadedEventTimestampMillis(0);
  clearRawEvents();
  SKAdNetwork::failNextUpdates(SKANErrorDomain, 10, 1);
  scriptAnswer(answer);
  fetch();
  EXPECT_EQ(storedEvents("_skan").size(), 1u);

  SKAdNetwork::failNextUpdates("SKANErrorDomain", 3, 1);
  persistedConfig->setSKANEvaluationUpdateBackoffMillis(0);
  scriptAnswer(answer);
  fetch();
  EXPECT_TRUE(logged(23249));
  EXPECT_EQ(storedEvents("_skan").size(), 1u);

  // A failure is a stop: retries counted since the accept are reset.
  onWorker([&] {
    engine->maybeScheduleSKANCVFetchRetry();
    ASSERT_EQ(engine->SKANRetryCount(), 1);
    engine->handleSKANUpdatePostbackCompletion(APMPBSkAdNetworkConversionValueResponse(),
                                               SKTransactionError{"SKANErrorDomain", 3, ""});
    EXPECT_EQ(engine->SKANRetryCount(), 0);
  });
}

// A request the network object cannot even start is a failed answer: retried, and the
// network is free again.
TEST_F(SKANTest, RequestThatCannotStartIsRetried) {
  start();
  APMRemoteConfig::setHosts({"bad host", "bad host", "bad host"});
  fetch();
  EXPECT_EQ(retryCount(), 1);
  onWorker([&] {
    EXPECT_FALSE(engine->isNetworkRequestPending());
    EXPECT_TRUE(engine->isNetworkReadyForRequest());
  });
}

// While a fetch is out no other request of the engine can start (each start asks
// isNetworkReadyForRequest), so the fetch's answer is always the one awaited: its completion
// clears the in-progress flag and a later fetch goes out.
TEST_F(SKANTest, NoOtherRequestStartsWhileAFetchIsOut) {
  start();
  control("POST", "/_control/script",
          "{\"path\": \"/skan\", \"status\": 304, \"delay_ms\": 3000, \"times\": 1}");
  logEvent("app", true, "waiting");  // data for an upload
  onWorker([&] { engine->fetchSKANCV(); });
  onWorker([&] { ASSERT_TRUE(engine->isSKANRequestInProgress()); });
  size_t uploads = requestsTo("/a").size();
  struct Case {
    const char* what;
    std::function<void()> attempt;
  };
  const Case cases[] = {
      {"upload", [&] { onWorker([&] { engine->uploadData(); }); }},
      {"another fetch", [&] { onWorker([&] { engine->fetchSKANCV(); }); }},
      {"app became active", [&] { engine->handleAppDidBecomeActiveEvent(); }},
      {"reachability change",
       [&] { onWorker([&] { engine->maybeFetchSKANCVAfterReachabilityChange(); }); }},
  };
  for (const Case& c : cases) {
    c.attempt();
    env.waitUntilIdle();
    onWorker([&] {
      EXPECT_TRUE(engine->isSKANRequestInProgress()) << c.what;
      EXPECT_TRUE(engine->isNetworkRequestPending()) << c.what;
    });
  }
  ASSERT_TRUE(waitFor([&] { return !engine->isSKANRequestInProgress(); }));
  onWorker([&] { EXPECT_FALSE(engine->isNetworkRequestPending()); });
  EXPECT_EQ(requestsTo("/skan").size(), 1u);
  EXPECT_EQ(requestsTo("/a").size(), uploads);
  fetch();
  EXPECT_EQ(requestsTo("/skan").size(), 2u);
}

// Below 16.1 nothing is ever sent, and StoreKit's stand-in refuses the call.
TEST_F(SKANTest, NothingBelow161) {
  start();
  setSystemVersion("16.0");
  onWorker([&] {
    EXPECT_FALSE(engine->shouldFetchSKANConversionValue());
    EXPECT_EQ(engine->SKANVersion(), "3.0");
    engine->fetchSKANCV();
  });
  env.waitUntilIdle();
  EXPECT_TRUE(requestsTo("/skan").empty());
  std::optional<SKTransactionError> error;
  SKAdNetwork::updatePostbackConversionValue(1, "low", false, [&](const auto& e) { error = e; });
  SKAdNetwork::waitUntilIdle();
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain, SKANErrorDomain);
  EXPECT_TRUE(SKAdNetwork::records().empty());
}

// Retries: four in the first window at 120 s (defaults), the fifth logs 23250; windows are 2
// and 35 days from first open in milliseconds, checked against Python's datetime.
TEST_F(SKANTest, RetriesAndWindows) {
  start();
  // The first upload (of the start-up events, right after the configuration or at its alarm) is
  // followed, 20 s later in the first window, by a fetch; it is answered NO_UPDATE by default.
  env.advance(60);
  ASSERT_TRUE(
      waitFor([&] { return !engine->hasDataToUpload() && !engine->isNetworkRequestPending(); }));
  env.advance(20);
  ASSERT_TRUE(waitFor([&] { return !requestsTo("/skan").empty(); }));
  ASSERT_TRUE(waitFor([&] { return !engine->isSKANRequestInProgress(); }));
  for (int i = 1; i <= 4; ++i) {
    onWorker([&] {
      engine->maybeScheduleSKANCVFetchRetry();
      EXPECT_EQ(engine->SKANRetryCount(), i);
    });
  }
  capture.clear();
  onWorker([&] { engine->maybeScheduleSKANCVFetchRetry(); });
  EXPECT_TRUE(logged(23250));

  // A retry fetch runs when its alarm falls due, 120 s on.
  onWorker([&] { engine->stopProcessingSKANResponseAndResetRetryCount(); });
  scriptAnswer("status: NO_UPDATE");
  onWorker([&] { engine->maybeScheduleSKANCVFetchRetry(); });
  size_t before = requestsTo("/skan").size();
  env.advance(119);
  EXPECT_EQ(requestsTo("/skan").size(), before);
  env.advance(1);
  ASSERT_TRUE(waitFor([&] { return !engine->isSKANRequestInProgress(); }));
  EXPECT_EQ(requestsTo("/skan").size(), before + 1);

  int64_t firstOpen = 1'699'999'999'123;
  persistedConfig->setFirstOpenTimestampMilliseconds(firstOpen);
  std::string ends = runCommand(
      "python3 -c \"import datetime as d; f = d.datetime.fromtimestamp(1699999999.123, "
      "d.timezone.utc); e = d.datetime(1970, 1, 1, tzinfo=d.timezone.utc); "
      "print(round((f + d.timedelta(days=2) - e) / d.timedelta(milliseconds=1)), "
      "round((f + d.timedelta(days=35) - e) / d.timedelta(milliseconds=1)))\"");
  int64_t firstEnd = 0;
  int64_t allEnd = 0;
  ASSERT_EQ(std::sscanf(ends.c_str(), "%" SCNd64 " %" SCNd64, &firstEnd, &allEnd), 2) << ends;
  auto at = [&](int64_t millis) {
    env.clock().setNow((static_cast<double>(millis) + 0.5) / 1000.0);
  };
  at(firstEnd);
  onWorker([&] { EXPECT_TRUE(engine->isInFirstSKANPostbackWindow()); });
  at(firstEnd + 1);
  onWorker([&] { EXPECT_FALSE(engine->isInFirstSKANPostbackWindow()); });
  at(allEnd);
  onWorker([&] { EXPECT_FALSE(engine->isPastAllSKANPostbackWindows()); });
  at(allEnd + 1);
  onWorker([&] {
    EXPECT_TRUE(engine->isPastAllSKANPostbackWindows());
    EXPECT_FALSE(engine->shouldFetchSKANConversionValue());
  });
}

// An idle app served run.sh's samples, whose answer is always "update" with one value: the
// service gives an app instance that value once and then answers "nothing to update", so over
// three minutes the app reports it once and rests, rather than fetching, recording "_skan" and
// uploading after every upload.
TEST_F(SKANTest, AnIdleAppServedTheSamplesReportsTheValueOnce) {
  std::string source = KVL_TEST_SOURCE_DIR;
  startService({"--skan", source + "/tools/measurement-service/samples/skan.json"});
  makeAttributionEngine();
  // The app's sample configuration, under this test's app identifier.
  std::string file = source + "/tools/measurement-service/sample-config/" +
                     "1:1234567890:ios:0a1b2c3d4e5f6a7b.json";
  auto sample = platform::JSONSerialization::JSONObjectWithData(runCommand("cat '" + file + "'"));
  ASSERT_TRUE(sample.ok() && sample->find("settings"));
  std::vector<std::pair<std::string, std::string>> settings;
  for (const platform::Value& setting : *sample->find("settings")->asArray()) {
    settings.emplace_back(*setting.find("name")->asString(), *setting.find("value")->asString());
  }
  fetchConfig(settings);
  for (int second = 0; second < 180; ++second) {
    env.advance(1);
    ASSERT_TRUE(waitFor(
        [&] { return !engine->isNetworkRequestPending() && !engine->isSKANRequestInProgress(); }));
    SKAdNetwork::waitUntilIdle();
  }
  // Asked again after the upload of its "_skan", and told there is nothing new.
  EXPECT_GE(requestsTo("/skan").size(), 2u);
  std::vector<SKAdNetwork::Record> records = SKAdNetwork::records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].fineValue, 42);
}

}  // namespace
