// Links that open the app become campaign events and the stored campaign record; the deferred
// deep link is asked of the measurement service, run as its own process. The request's query is
// read with Python's urllib.parse, bodies come from Python's json, uploads decode with protoc.
#include <cmath>

#include "AppMeasurement/foundation/APMConsentSettingsUtil.h"
#include "AppMeasurement/foundation/APMDeepLinkCache.h"
#include "AppMeasurement/foundation/APMMonitor.h"
#include "AppMeasurement/foundation/APMUserDefaults.h"
#include "platform/uikit/UIApplication.h"
#include "tests/AppMeasurement/engine/AttributionTestSupport.h"

namespace {

using enginetest::AttributionTest;
using enginetest::protoc;
using testsupport::runCommand;

using Params = std::map<std::string, std::string>;

class CampaignTest : public AttributionTest {
 protected:
  void openURL(const std::string& url, const platform::Value::Dictionary& extras = {}) {
    onWorker([&] {
      engine->handleOpenURLOnWorkerQueue(url, std::nullopt, env.now(),
                                         extras.empty() ? std::nullopt : std::optional(extras));
    });
    env.waitUntilIdle();
  }

  std::optional<APMPBAdCampaignInfo> storedCampaign() {
    std::optional<platform::Value> buffer = persistedConfig->adCampaignInfoBuffer();
    if (!buffer || !buffer->asBytes()) return std::nullopt;
    return APMPBAdCampaignInfo::initWithBuffer(std::string_view(buffer->asBytes()->data));
  }
};

// One link each: the campaign event's parameters, or the log line of a refusal.
TEST_F(CampaignTest, LinkQueryBecomesCampaignParameters) {
  struct Case {
    const char* url;
    int64_t refusal;  // 0: a "_cmp" event with `expected`
    Params expected;
  };
  const Case cases[] = {
      {"kavrelin://open", 23000, {}},
      {"kavrelin://open?utm_content=a&utm_term=b", 23001, {}},
      {"kavrelin://open?utm_source=&utm_medium=", 23001, {}},
      {"kavrelin://open?oad_custom=v1", 0, {{"oad_custom", "v1"}}},
      {"kavrelin://open?utm_source=news&utm_medium=email&utm_campaign=spring&cis=web&aclid=A1"
       "&anid=N&cp1=P&utm_id=42&utm_creative_format=f&utm_marketing_tactic=t"
       "&utm_source_platform=sp&sfmc_id=9&utm_content=c&utm_term=t2&junk=j&_cc=5",
       0,
       {{"source", "news"},
        {"medium", "email"},
        {"campaign", "spring"},
        {"_cis", "web"},
        {"aclid", "A1"},
        {"anid", "N"},
        {"cp1", "P"},
        {"campaign_id", "42"},
        {"creative_format", "f"},
        {"marketing_tactic", "t"},
        {"source_platform", "sp"},
        {"sfmc_id", "9"},
        {"content", "c"},
        {"term", "t2"}}},
      // Percent escapes and the first of repeated keys.
      {"https://example.com/p?utm_source=a%20b&utm_source=second&oad_x=%2B1",
       0,
       {{"source", "a b"}, {"oad_x", "+1"}}},
  };
  makeAttributionEngine();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    clearRawEvents();
    capture.clear();
    openURL(c.url);
    std::vector<Params> events = storedEvents("_cmp");
    if (c.refusal != 0) {
      EXPECT_TRUE(logged(c.refusal));
      EXPECT_TRUE(events.empty());
      continue;
    }
    ASSERT_EQ(events.size(), 1u);
    Params got = events[0];
    got.erase("_o");
    EXPECT_EQ(got, c.expected);
  }
}

// Click identifiers stay only below 14, with an advertising identifier, or with tracking
// authorised; without them the stored record keeps no click identifier.
TEST_F(CampaignTest, ClickIdentifiersFollowTrackingPermission) {
  struct Case {
    const char* system;
    bool advertisingID;
    int32_t status;
    bool kept;
  };
  const Case cases[] = {{"13.7", false, 2, true},
                        {"17.2", true, 2, true},
                        {"17.2", false, 3, true},
                        {"17.2", false, 2, false},
                        {"14.0", false, 0, false}};
  makeAttributionEngine();
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.system) + " " + std::to_string(c.status));
    setSystemVersion(c.system);
    // The platform answers the zero identifier when there is none to give.
    support->advertisingID = c.advertisingID ? "6D92078A-8246-4BA4-AE5B-76104861E7DC"
                                             : "00000000-0000-0000-0000-000000000000";
    support->trackingStatus = c.status;
    refreshIdentity();
    persistedConfig->setAdCampaignInfoBuffer(std::nullopt);
    clearRawEvents();
    openURL("kavrelin://o?utm_source=s&oclid=O1&vclid=V1&srsltid=S1");
    std::vector<Params> events = storedEvents("_cmp");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].count("oclid") + events[0].count("vclid") + events[0].count("srsltid"),
              c.kept ? 3u : 0u);
    std::optional<APMPBAdCampaignInfo> record = storedCampaign();
    EXPECT_EQ(record.has_value(), c.kept);
    if (record) {
      EXPECT_EQ(NANOGetString(*record, APMPBAdCampaignInfo::kDeepLinkOclid), "O1");
    }
  }
}

// Number extras win over the query's names, "_cc" = 1 makes "_cmpx", the event time is never
// before first open, and the record holds the "oad_" entries and the time in milliseconds.
TEST_F(CampaignTest, ExtrasEventTimeAndRecord) {
  makeAttributionEngine();
  double firstOpen = env.now() + 500;  // a first open stored later than the link's time
  persistedConfig->setFirstOpenTimestampMilliseconds(static_cast<int64_t>(firstOpen * 1000));
  clearRawEvents();
  openURL("kavrelin://o?utm_source=s&oad_source=src&oad_k=v&obraid=B7",
          {{"_cc", platform::Value(int64_t{1})},
           {"cp1", platform::Value(int64_t{77})},
           {"list", platform::Value(platform::Value::Array{})}});
  EXPECT_TRUE(storedEvents("_cmp").empty());
  std::vector<Params> events = storedEvents("_cmpx");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]["cp1"], "77");
  EXPECT_EQ(events[0]["_cc"], "1");
  EXPECT_EQ(events[0].count("list"), 0u);
  std::optional<APMPBAdCampaignInfo> record = storedCampaign();
  ASSERT_TRUE(record);
  EXPECT_EQ(NANOGetInt64(*record, APMPBAdCampaignInfo::kDeepLinkTimestampMillis),
            static_cast<int64_t>(firstOpen * 1000));
  EXPECT_EQ(NANOGetString(*record, APMPBAdCampaignInfo::kDeepLinkOadSource), "src");
  EXPECT_EQ(NANOGetString(*record, APMPBAdCampaignInfo::kDeepLinkObraid), "B7");
  std::string decoded = protoc("decode", "AdCampaignInfo", record->protoBuffer().value());
  EXPECT_NE(decoded.find("deep_link_oad_params {\n  key: \"oad_k\"\n  value: \"v\"\n}"),
            std::string::npos)
      << decoded;
  EXPECT_NE(decoded.find("key: \"oad_source\""), std::string::npos) << decoded;
  std::optional<APMUserAttribute> obraid = userProperty("_obraid");
  ASSERT_TRUE(obraid);
  EXPECT_EQ(*obraid->value().stringValue(), "B7");
  EXPECT_EQ(obraid->lastSetTimestamp(), firstOpen);

  // A later link without oclid, obraid or "oad_" keys leaves the record as it was.
  openURL("kavrelin://o?utm_source=other");
  EXPECT_EQ(storedCampaign()->protoBuffer(), record->protoBuffer());
}

// A number "obraid" (an extra, as a server's JSON number arrives) enters the record and
// "_obraid" as its decimal text.
TEST_F(CampaignTest, NumericClickIdentifiersAreText) {
  makeAttributionEngine();
  openURL("kavrelin://o?utm_source=s", {{"obraid", platform::Value(int64_t{123456789012})},
                                        {"oclid", platform::Value(int64_t{42})}});
  std::optional<APMPBAdCampaignInfo> record = storedCampaign();
  ASSERT_TRUE(record);
  EXPECT_EQ(NANOGetString(*record, APMPBAdCampaignInfo::kDeepLinkObraid), "123456789012");
  EXPECT_EQ(NANOGetString(*record, APMPBAdCampaignInfo::kDeepLinkOclid), "42");
  ASSERT_TRUE(userProperty("_obraid"));
  EXPECT_EQ(*userProperty("_obraid")->value().stringValue(), "123456789012");
}

// Hostile links: values of a megabyte, broken escapes, a key repeated or varied tens of
// thousands of times. Nothing crashes; the event, the campaign record and "_obraid" hold what
// the event's parameter rules let through (no value past the internal length limit, at most
// the public parameter limit (100) of parameters), and the first of repeated keys wins.
TEST_F(CampaignTest, HostileLinksAreBoundedAsEventParameters) {
  const std::string mega(1 << 20, 'v');
  std::string repeated = "kavrelin://o?utm_source=first";
  for (int i = 0; i < 50000; ++i) repeated += "&utm_source=again&oad_k=" + std::to_string(i);
  std::string varied = "kavrelin://o?utm_source=s";
  for (int i = 0; i < 20000; ++i) varied += "&oad_" + std::to_string(i) + "=" + mega.substr(0, 40);
  struct Case {
    const char* what;
    std::string url;
    Params expected;  // of the event, besides "_o"; every value must be short in any case
    bool record;      // whether a record is stored
  };
  const Case cases[] = {
      {"megabyte values",
       "kavrelin://o?utm_source=" + mega + "&obraid=" + mega + "&oclid=" + mega +
           "&oad_source=" + mega + "&utm_medium=m",
       {{"medium", "m"}, {"_err", "4"}},
       false},
      {"megabyte key",
       "kavrelin://o?oad_" + mega + "=v&utm_source=s",
       {{"source", "s"}, {"_err", "3"}},
       false},
      // Escapes that decode to no text read as empty values; the "oad_" key alone makes the
      // campaign.
      {"undecodable escapes",
       "kavrelin://o?utm_source=%E2%82&utm_campaign=%C0%80%FF&oad_x=%ED%A0%80&cp1=%00",
       {},
       false},
      {"repeated keys", repeated, {{"source", "first"}, {"oad_k", "0"}}, true},
      {"many keys", varied, {}, true},
  };
  makeAttributionEngine();
  // A link that is no URL (broken escapes) has no query.
  openURL("kavrelin://o?utm_source=%zz%&oad_x=%%41&cp1=%");
  EXPECT_TRUE(logged(23000));
  EXPECT_TRUE(storedEvents("_cmp").empty());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    clearRawEvents();
    persistedConfig->setAdCampaignInfoBuffer(std::nullopt);
    openURL(c.url);
    std::vector<Params> events = storedEvents("_cmp");
    ASSERT_EQ(events.size(), 1u);
    size_t publicCount = 0;
    for (const auto& [key, value] : events[0]) {
      EXPECT_LE(value.size(), 500u) << key;
      if (!key.starts_with("_")) ++publicCount;
    }
    EXPECT_LE(publicCount, 100u);
    for (const auto& [key, value] : c.expected) EXPECT_EQ(events[0][key], value) << key;
    std::optional<APMPBAdCampaignInfo> record = storedCampaign();
    ASSERT_EQ(record.has_value(), c.record);
    if (record) {
      std::vector<APMPBDeepLinkOadParamsEntry> entries =
          NANOGetMessageArray<APMPBDeepLinkOadParamsEntry>(*record,
                                                           APMPBAdCampaignInfo::kDeepLinkOadParams)
              .value_or(std::vector<APMPBDeepLinkOadParamsEntry>{});
      EXPECT_LE(entries.size(), 100u);
      EXPECT_LT(record->protoBuffer()->size(), 100u * 600);
    }
    std::optional<APMUserAttribute> obraid = userProperty("_obraid");
    if (obraid) {
      EXPECT_LE(obraid->value().stringValue()->size(), 500u);
    }
  }
}

// The tag-manager debug switch: "1" with a key sets the preview header, "1" alone clears it,
// "0" turns it off, anything else changes nothing.
TEST_F(CampaignTest, SOTMDebugSwitch) {
  APMMeasurement::setSOTMPreviewHeaders(std::nullopt);
  APMMeasurement::handleSOTMDebugModeWithURL("app://x?sotm_debug_enable=1&sotm_preview_key=K");
  ASSERT_TRUE(APMMeasurement::SOTMPreviewHeaders());
  EXPECT_EQ(*APMMeasurement::SOTMPreviewHeaders()->at("X-Otm-Server-Preview").asString(), "K");
  APMMeasurement::handleSOTMDebugModeWithURL("app://x?sotm_debug_enable=2");
  EXPECT_TRUE(APMMeasurement::SOTMPreviewHeaders());
  APMMeasurement::handleSOTMDebugModeWithURL("app://x?sotm_debug_enable=1");
  EXPECT_FALSE(APMMeasurement::SOTMPreviewHeaders());
  APMMeasurement::handleSOTMDebugModeWithURL("app://x?sotm_debug_enable=1&sotm_preview_key=K");
  APMMeasurement::handleSOTMDebugModeWithURL("app://x?sotm_debug_enable=0");
  EXPECT_FALSE(APMMeasurement::SOTMPreviewHeaders());
  APMMonitor::monitor()->setSOTMDebugModeEnabled(false);
}

// A launch link is cached from the launch options and reported at the next start; an expired
// one becomes "(not set)" with "_cc" = 1.
TEST_F(CampaignTest, LaunchLinkIsReportedAtStart) {
  platform::Value::Dictionary activity{
      {"activityType", platform::Value("NSUserActivityTypeBrowsingWeb")},
      {"webpageURL", platform::Value("https://e.com/?utm_source=web")}};
  APMMeasurement::handleStoredURLAfterAppLaunchWithUserInfo(
      platform::Value(platform::Value::Dictionary{
          {"UIApplicationLaunchOptionsUserActivityDictionaryKey",
           platform::Value(platform::Value::Dictionary{
               {"UIApplicationLaunchOptionsUserActivityKey", platform::Value(activity)}})},
          {"UIApplicationLaunchOptionsURLKey", platform::Value("app://x?utm_source=url")}}));
  makeAttributionEngine();
  std::vector<Params> events = storedEvents("_cmp");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]["source"], "web");
  EXPECT_FALSE(
      APMUserDefaults::sharedUserDefaults()->objectForKey("/orvane/measurement/deep_link"));
}

TEST_F(CampaignTest, ExpiredLaunchLinkIsNotSet) {
  APMMeasurement::handleStoredURLAfterAppLaunchWithUserInfo(
      platform::Value(platform::Value::Dictionary{
          {"UIApplicationLaunchOptionsURLKey", platform::Value("app://x?utm_source=url")}}));
  env.advance(604800 + 10);
  makeAttributionEngine();
  std::vector<Params> events = storedEvents("_cmpx");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]["source"], "(not set)");
  EXPECT_EQ(events[0]["medium"], "(not set)");
}

// A stored launch link is reported only as text with a usable stored time (a finite number; a
// boolean is a number on the platform, a time of 0 or 1 s, long expired). Without them both keys
// go and nothing is logged, so that a later start no longer takes the stored-link branch.
TEST_F(CampaignTest, StoredLaunchLinkNeedsAUsableTime) {
  const double stored = env.now() - 100;
  const int64_t hour = 3600000;
  struct Case {
    const char* what;
    std::optional<platform::Value> time;
    const char* event;  // nullptr: none
    std::string cc;
    platform::Value link = platform::Value("app://x?utm_source=url");
  };
  const Case cases[] = {
      {"link not text", platform::Value(stored), nullptr, "", platform::Value(int64_t{1})},
      {"link empty", platform::Value(stored), nullptr, "", platform::Value("")},
      {"no time", std::nullopt, nullptr, ""},
      {"time as text", platform::Value("1700000000"), nullptr, ""},
      {"time not a number", platform::Value(std::nan("")), nullptr, ""},
      {"time infinite", platform::Value(HUGE_VAL), nullptr, ""},
      // Guards.
      {"number time", platform::Value(stored), "_cmp",
       std::to_string(static_cast<int64_t>(stored * 1000) / hour * hour - hour)},
      {"boolean time", platform::Value(true), "_cmpx", "1"},
  };
  makeAttributionEngine();
  std::shared_ptr<APMUserDefaults> defaults = APMUserDefaults::sharedUserDefaults();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    clearRawEvents();
    defaults->setObject(c.link, kAPMDeepLinkKey);
    if (c.time) defaults->setObject(*c.time, kAPMDeepLinkTimestampKey);
    onWorker([&] { engine->reportStoredCampaignEventOnWorkerQueue(std::nullopt); });
    env.waitUntilIdle();
    EXPECT_FALSE(defaults->objectForKey(kAPMDeepLinkKey));
    EXPECT_FALSE(defaults->objectForKey(kAPMDeepLinkTimestampKey));
    std::vector<Params> events = storedEvents("_cmp");
    std::vector<Params> expired = storedEvents("_cmpx");
    if (!c.event) {
      EXPECT_TRUE(events.empty());
      EXPECT_TRUE(expired.empty());
      continue;
    }
    std::vector<Params>& logged = std::string(c.event) == "_cmp" ? events : expired;
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0]["_cc"], c.cc);
    EXPECT_EQ(logged[0]["source"], std::string(c.event) == "_cmp" ? "url" : "(not set)");
  }
}

// A launch activity map that holds no activity is a nil activity (23003); the launch URL is
// cached instead.
TEST_F(CampaignTest, LaunchActivityMapWithoutActivity) {
  APMMeasurement::handleStoredURLAfterAppLaunchWithUserInfo(
      platform::Value(platform::Value::Dictionary{
          {"UIApplicationLaunchOptionsUserActivityDictionaryKey",
           platform::Value(platform::Value::Dictionary{{"other", platform::Value(int64_t{1})}})},
          {"UIApplicationLaunchOptionsURLKey", platform::Value("app://x?utm_source=url")}}));
  env.waitUntilIdle();
  EXPECT_TRUE(capture.contains("I-ACS023003"));
  makeAttributionEngine();
  std::vector<Params> events = storedEvents("_cmp");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]["source"], "url");
}

// Universal links: only a browsing activity with a page gives a link.
TEST_F(CampaignTest, LinkFromUserActivity) {
  using Activity = OULAppDelegateInterceptor::UserActivity;
  struct Case {
    const char* what;
    std::optional<Activity> activity;
    const char* system;
    std::optional<std::string> link;
    int64_t code;
  };
  const Case cases[] = {
      {"none", std::nullopt, "17.0", std::nullopt, 23003},
      {"browsing", Activity{"NSUserActivityTypeBrowsingWeb", "https://e.com/?a=1", {}}, "17.0",
       "https://e.com/?a=1", 0},
      {"handoff", Activity{"com.example.handoff", "https://e.com/", {}}, "17.0", std::nullopt,
       23006},
      {"no page", Activity{"NSUserActivityTypeBrowsingWeb", "", {}}, "17.0", std::nullopt, 23006},
      {"system 8", Activity{"NSUserActivityTypeBrowsingWeb", "https://e.com/", {}}, "8.4",
       std::nullopt, 23004},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    setSystemVersion(c.system);
    capture.clear();
    EXPECT_EQ(APMMeasurement::deepLinkFromUserActivity(c.activity), c.link);
    if (c.code != 0) {
      EXPECT_TRUE(logged(c.code));
    }
  }
}

// The entry from the public-call queue refuses the worker queue; from elsewhere it hops there.
TEST_F(CampaignTest, NonFirstOpenEntryRefusesTheWorkerQueue) {
  makeAttributionEngine();
  onWorker([&] { engine->handleNonFirstOpenEventURL("app://x?utm_source=w", env.now()); });
  env.waitUntilIdle();
  // (Its line, level 2, is one the monitor keeps silent.)
  EXPECT_TRUE(storedEvents("_cmp").empty());
  APMAnalytics::dispatchAsyncOnSerialQueue(
      [&] { engine->handleNonFirstOpenEventURL("app://x?utm_source=q", env.now()); });
  env.waitUntilIdle();
  ASSERT_EQ(storedEvents("_cmp").size(), 1u);
  EXPECT_EQ(storedEvents("_cmp")[0]["source"], "q");
}

// --- The deferred deep link ---

// The app's delegate: records the links it is asked to open, on the main thread.
class RecordingDelegate : public UIApplicationDelegate, public UIApplicationOpenURLDelegate {
 public:
  bool applicationOpenURL(const std::string& url,
                          const platform::Value::Dictionary& options) override {
    EXPECT_TRUE(platform::DispatchQueue::isMainThread());
    urls.push_back(url);
    lastOptions = options;
    return false;  // the answer does not matter
  }
  std::vector<std::string> urls;
  platform::Value::Dictionary lastOptions;
};

class DeferredDeepLinkTest : public CampaignTest {
 protected:
  void SetUp() override {
    CampaignTest::SetUp();
    delegate_ = std::make_shared<RecordingDelegate>();
    UIApplication::sharedApplication()->setDelegate(delegate_);
  }
  void TearDown() override {
    UIApplication::sharedApplication()->setDelegate({});
    CampaignTest::TearDown();
  }
  // A fresh install: the configuration is fetched, then the deferred deep link is asked for.
  void freshInstall() {
    // A new install starts without the previous one's persisted state (its identity values
    // are already on disk).
    if (persistedConfig) {
      persistedConfig->clearValues();
      std::thread([&] { persistedConfig->synchronizeToDisk(); }).join();
    }
    makeAttributionEngine();
    fetchConfig({});
    ASSERT_TRUE(waitFor([&] { return !engine->isNetworkRequestPending(); }));
    env.waitUntilIdle();
  }
  std::shared_ptr<RecordingDelegate> delegate_;
};

TEST_F(DeferredDeepLinkTest, RequestQueryAndHandOff) {
  startService();
  std::string body = runCommand(
      "python3 -c \"import json; print(json.dumps({'deeplink': "
      "'kavrelin://promo?utm_source=ads&utm_campaign=w', 'oclid': 'OC1', 'obraid': 987654321, "
      "'timestamp': '1700000000'}))\"");
  control("PUT", "/_control/deeplink", body);
  freshInstall();

  auto requests = requestsTo("/pagead/conversion/app/deeplink");
  ASSERT_EQ(requests.size(), 1u);
  std::string query = *requests[0].at("query").asString();
  std::string parsed = runCommand(
      "python3 -c \"import sys, urllib.parse; q = urllib.parse.parse_qsl(sys.stdin.read(), "
      "keep_blank_values=True); print(';'.join(k + '=' + v for k, v in q))\"",
      query);
  // Defaults: no consent given (signals "Q1--"), a DMA region, personalisation unknown.
  EXPECT_EQ(parsed, std::string("sdk_version=111500;rdid=6D92078A-8246-4BA4-AE5B-76104861E7DC;"
                                "id_type=idfa;bundleid=") +
                        kAppID + ";retry=0;gcs=Q1--;dma=1\n")
      << query;

  ASSERT_EQ(delegate_->urls.size(), 1u);
  EXPECT_EQ(delegate_->urls[0], "kavrelin://promo?utm_source=ads&utm_campaign=w");
  EXPECT_EQ(*delegate_->lastOptions.at("timestamp").asString(), "1700000000");
  std::vector<Params> events = storedEvents("_cmp");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]["_cis"], "ddp");
  EXPECT_EQ(events[0]["oclid"], "OC1");
  EXPECT_EQ(events[0]["obraid"], "987654321");
  EXPECT_EQ(persistedConfig->deferredDeepLinkRetrievalComplete()->numberAsInteger(), 0);

  // The next upload carries the campaign, its record and "_obraid".
  std::string decoded = uploadAfterAnHour();
  ASSERT_FALSE(decoded.empty());
  EXPECT_NE(decoded.find("name: \"_cmp\""), std::string::npos) << decoded;
  EXPECT_NE(decoded.find("deep_link_obraid: \"987654321\""), std::string::npos) << decoded;
  EXPECT_NE(decoded.find("deep_link_oclid: \"OC1\""), std::string::npos) << decoded;
  EXPECT_NE(decoded.find("name: \"_obraid\"\n    string_value: \"987654321\""), std::string::npos)
      << decoded;
}

// The answer's click identifiers are copied whatever their kind; true and false are numbers,
// and a number is kept as its decimal text.
TEST_F(DeferredDeepLinkTest, BooleanClickIdentifiersAreNumbers) {
  startService();
  control("PUT", "/_control/deeplink",
          R"({"deeplink": "kavrelin://p?utm_source=ads", "oclid": true, "obraid": false})");
  freshInstall();
  std::vector<Params> events = storedEvents("_cmp");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]["oclid"], "1");
  EXPECT_EQ(events[0]["obraid"], "0");
}

// An app delegate that does not open URLs: 23204, and no campaign.
TEST_F(DeferredDeepLinkTest, DelegateWithoutURLHandling) {
  UIApplication::sharedApplication()->setDelegate(std::make_shared<UIApplicationDelegate>());
  startService();
  control("PUT", "/_control/deeplink", "{\"deeplink\": \"kavrelin://p?utm_source=ads\"}");
  freshInstall();
  EXPECT_TRUE(logged(23204));
  EXPECT_TRUE(storedEvents("_cmp").empty());
  EXPECT_EQ(persistedConfig->deferredDeepLinkRetrievalComplete()->numberAsInteger(), 0);
}

// Every answered body completes the retrieval; only a usable link reaches the delegate.
TEST_F(DeferredDeepLinkTest, UnusableBodiesCompleteWithoutALink) {
  struct Case {
    const char* what;
    std::string body;  // empty: no link set (204)
    int64_t code;      // a log line expected, 0 for none
  };
  const Case cases[] = {
      {"no content", "", 0},
      {"not JSON", "<html>", 23202},
      {"array", "[{\"deeplink\": \"a://b\"}]", 0},
      {"string", "\"a://b\"", 0},
      {"deeplink not a string", "{\"deeplink\": 5}", 0},
      {"deeplink not a URL", "{\"deeplink\": \"not a url\"}", 0},
      {"huge",
       "{\"deeplink\": \"a://b?x=" + std::string(1 << 20, 'x') + "\", \"junk\": [" +
           std::string(100000, '[') + "]}",
       23202},
  };
  startService();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    capture.clear();
    control("PUT", "/_control/deeplink", c.body);
    freshInstall();
    EXPECT_TRUE(delegate_->urls.empty());
    EXPECT_EQ(persistedConfig->deferredDeepLinkRetrievalComplete()->numberAsInteger(), 0);
    if (c.code) {
      EXPECT_TRUE(logged(c.code));
    }
    engine->setEnabled(false);
    env.waitUntilIdle();
    engine.reset();
    persistedConfig->setDeferredDeepLinkRetrievalComplete(std::nullopt);
  }
}

// A failed exchange raises the retry count (no retry in the same run); the limit stores
// completion 1; a request that cannot even start counts as failed and frees the network.
TEST_F(DeferredDeepLinkTest, FailuresCountAndTheLimitCompletes) {
  startService();
  control("POST", "/_control/script",
          "{\"path\": \"/pagead/conversion/app/deeplink\", \"status\": 500}");
  freshInstall();
  EXPECT_EQ(persistedConfig->deferredDeepLinkRetryCount(), 1);
  EXPECT_FALSE(persistedConfig->deferredDeepLinkRetrievalComplete());
  EXPECT_TRUE(logged(23199));
  EXPECT_EQ(requestsTo("/pagead/conversion/app/deeplink").size(), 1u);

  // A host where nothing listens: the request fails without leaving the flag set.
  APMRemoteConfig::setHosts({"127.0.0.1:1", "127.0.0.1:1", "127.0.0.1:1"});
  onWorker([&] { engine->requestDeferredDeepLink(); });
  ASSERT_TRUE(waitFor([&] { return !engine->isNetworkRequestPending(); }));
  EXPECT_EQ(persistedConfig->deferredDeepLinkRetryCount(), 2);

  persistedConfig->setDeferredDeepLinkRetryCount(5);
  onWorker([&] { EXPECT_FALSE(engine->shouldAllowRequestDeferredDeepLink()); });
  EXPECT_TRUE(logged(23195));
  EXPECT_EQ(persistedConfig->deferredDeepLinkRetrievalComplete()->numberAsInteger(), 1);
}

// The gate, first failing test first.
TEST_F(DeferredDeepLinkTest, GateOrder) {
  makeAttributionEngine();
  struct Case {
    const char* what;
    std::function<void()> arrange;
    int64_t code;
  };
  const Case cases[] = {
      {"limited ad tracking",
       [&] {
         // From 14 on, limited means no advertising identifier (the zero one).
         support->advertisingID = "00000000-0000-0000-0000-000000000000";
         refreshIdentity();
       },
       23196},
      {"unknown tracking state",
       [&] {
         support->limitAdTrackingKnown = false;
         refreshIdentity();
       },
       23196},
      {"ad storage denied",
       [&] {
         APMConsentSettingsUtil::updateSettings({{"ad_storage", platform::Value("denied")}}, 10);
       },
       23252},
      {"already complete",
       [&] { persistedConfig->setDeferredDeepLinkRetrievalComplete(platform::Value(0)); }, 23194},
      {"remote switch off",
       [&] {
         applySettings({{"measurement.ddl.enabled", "0"}});
       },
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    c.arrange();
    capture.clear();
    onWorker([&] { EXPECT_FALSE(engine->shouldAllowRequestDeferredDeepLink()); });
    if (c.code != 0) {
      EXPECT_TRUE(logged(c.code));
    } else {
      // The switch is the first test: nothing of the later ones is logged.
      EXPECT_FALSE(logged(23194));
    }
  }
  APMConsentSettingsUtil::clearAllSettings();
}

}  // namespace
