// Search-ads attribution over real HTTP: the measurement service, as its own process, answers
// the token posted to "/api/v1/"; what each answer leaves in the persisted configuration is
// read back from the property-list file by Python's plistlib.
#include <chrono>
#include <thread>

#include "AppMeasurement/features/APMSearchAdReporter.h"
#include "AppMeasurement/foundation/APMFilePaths.h"
#include "platform/adservices/AAAttribution.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/JSONSerialization.h"
#include "platform/runtime/ClassRegistry.h"
#include "platform/utilities/OULAppEnvironmentUtil.h"
#include "tests/AppMeasurement/features/ReporterTestSupport.h"
#include "tests/support/ClosedPort.h"
#include "tests/support/ServiceProcess.h"

namespace {

using reportertest::Logged;
using reportertest::ReporterTest;
using testsupport::httpRequest;
using testsupport::runCommand;
using testsupport::ServiceProcess;

constexpr const char* kSuite = "search-ads-test";

class SearchAdReporter : public ReporterTest {
 protected:
  void SetUp() override {
    ReporterTest::SetUp();
    service_ = std::make_unique<ServiceProcess>(
        KVL_TEST_SERVICE,
        std::vector<std::string>{"--port", "0", "--data", (base_ / "service").string()});
    APMSearchAdReporter::setAttributionServiceHost(
        service_->baseURL().substr(std::string("http://").size()));
    platform::AAAttribution::registerInRuntime();
    worker_ = platform::DispatchQueue::createSerial("search-ads-test.worker");
    config_ = APMPersistedConfig::create(kSuite);
  }
  void TearDown() override {
    if (reporter_) worker_->sync([&] { reporter_->cancelScheduling(); });
    reporter_.reset();
    platform::AAAttribution::shared()->setToken(platform::AAAttribution::kDefaultToken);
    platform::AAAttribution::unregisterFromRuntime();
    OULAppEnvironmentUtil::setConfiguration(std::nullopt);
    APMSearchAdReporter::setAttributionServiceHost(testsupport::processClosedPort().host());
    service_.reset();
    ReporterTest::TearDown();
  }

  // Makes, enables and starts the reporter as the engine's component block does; nullptr
  // when it is refused.
  std::shared_ptr<APMSearchAdReporter> startReporter() {
    worker_->sync([&] {
      reporter_ = APMSearchAdReporter::create(worker_, config_);
      if (!reporter_) return;
      reporter_->setSearchAdReporterEnabled(true);
      reporter_->start();
    });
    return reporter_;
  }

  // Has the service answer the next attribution request once, 200 with `body`.
  bool scriptOneAnswer(const std::string& body) {
    platform::Value::Dictionary answer{{"path", platform::Value("/api/v1/")},
                                       {"status", platform::Value(int64_t{200})},
                                       {"times", platform::Value(int64_t{1})},
                                       {"body", platform::Value(body)}};
    std::string script =
        platform::JSONSerialization::dataWithJSONObject(platform::Value(answer)).value_or("");
    return httpRequest("POST", service_->baseURL() + "/_control/script", {}, script).status / 100 ==
           2;
  }

  // Waits, in real time (the service answers), until `count` answers were handled.
  bool waitForAnswers(int64_t count) {
    for (int i = 0; i < 1500; ++i) {
      env.waitUntilIdle();
      if (reporter_ && reporter_->handledAnswerCount() >= count) {
        env.waitUntilIdle();
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  // A persisted value as Python's plistlib reads it from the file ("None" when absent).
  std::string persisted(const std::string& key) {
    // Off the main thread the pending change is written now.
    std::thread([&] { config_->synchronizeToDisk(); }).join();
    std::string path = APMApplicationSupportPath(kSuite) + ".plist";
    return runCommand(
        "python3 -c 'import os,plistlib,sys; p=sys.argv[1]; "
        "d=plistlib.load(open(p,\"rb\")) if os.path.exists(p) else {}; "
        "print(repr(d.get(sys.argv[2])), end=\"\")' '" +
        path + "' '" + key + "'");
  }

  void script(const std::string& token, const std::string& kind) {
    ASSERT_EQ(
        httpRequest("PUT", service_->baseURL() + "/_control/attribution/" + token, {}, kind).status,
        204);
  }

  std::unique_ptr<ServiceProcess> service_;
  std::shared_ptr<platform::DispatchQueue> worker_;
  std::shared_ptr<APMPersistedConfig> config_;
  std::shared_ptr<APMSearchAdReporter> reporter_;
};

constexpr const char* kCampaign = "/orvane/measurement/is_search_ad_campaign";
constexpr const char* kRetries = "/orvane/measurement/search_ad_number_of_retries";
constexpr const char* kLastLookup = "/orvane/measurement/search_ad_last_attempt_timestamp";

TEST_F(SearchAdReporter, EachAnswerLeavesItsValues) {
  struct Case {
    const char* token;   // the service answers by it
    const char* stored;  // the campaign value plistlib reads
    bool campaignEvent;  // "_cmp" logged
    int code;            // a message logged, or 0
  };
  const Case cases[] = {
      {"attributed", "True", true, 0},        {"not-attributed", "False", false, 0},
      {"test-data", "None", false, 32016},    {"empty", "None", false, 0},
      {"not-json", "None", false, 32017},     {"array", "None", false, 32017},
      {"server-error", "None", false, 32015},  // a failed try, never "not attributed"
      {"reset", "None", false, 32015},        {"unknown-token", "None", false, 32015},  // 404
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.token);
    config_->clearValues();
    config_->setFirstOpenTimestampMilliseconds(1000);
    facade->clear();
    capture.clear();
    platform::AAAttribution::shared()->setToken(c.token);
    ASSERT_TRUE(startReporter());
    ASSERT_TRUE(waitForAnswers(1));
    EXPECT_EQ(persisted(kCampaign), c.stored);
    EXPECT_EQ(persisted(kRetries), "1");
    EXPECT_EQ(persisted(kLastLookup), std::to_string(static_cast<int64_t>(env.now())) + ".0");
    EXPECT_EQ(facade->events("_cmp").size(), c.campaignEvent ? 1u : 0u);
    if (c.code != 0) {
      EXPECT_TRUE(logged(c.code));
    }
    bool scheduled = false;
    worker_->sync([&] { scheduled = reporter_->isScheduled(); });
    EXPECT_EQ(scheduled, std::string(c.stored) == "None");  // the next try a day later
    if (c.campaignEvent) {
      Logged campaign = facade->events("_cmp")[0];
      EXPECT_EQ(campaign.origin, "auto");
      EXPECT_EQ(campaign.text("source"), "Apple");
      EXPECT_EQ(campaign.text("medium"), "search");
      EXPECT_EQ(campaign.text("campaign"), "542370539");  // a JSON integer, as digits
      EXPECT_EQ(campaign.text("term"), "87675432");
      EXPECT_EQ(campaign.integer("click_timestamp"), 999);
    }
    worker_->sync([&] { reporter_->cancelScheduling(); });
    // A stored answer ends the work for good: no reporter at the next launch.
    EXPECT_EQ(APMSearchAdReporter::create(worker_, config_) == nullptr,
              c.stored != std::string("None"));
  }
  auto recorded = httpRequest("GET", service_->baseURL() + "/_control/requests");
  EXPECT_NE(recorded.body.find("\"text/plain\""), std::string::npos);
  EXPECT_NE(recorded.body.find("\"no-cache\""), std::string::npos);
}

TEST_F(SearchAdReporter, AttributionFlagTyping) {
  struct Case {
    const char* body;
    const char* stored;
  };
  const Case cases[] = {
      {R"({"attribution":1,"campaignId":"77","keywordId":"5"})", "True"},
      {R"({"attribution":0})", "False"},
      {R"({"attribution":"yes","campaignId":"77"})", "None"},  // malformed: retried later
      {R"({"campaignId":"77"})", "False"},                     // no flag reads as not attributed
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    config_->clearValues();
    ASSERT_TRUE(scriptOneAnswer(c.body));
    ASSERT_TRUE(startReporter());
    ASSERT_TRUE(waitForAnswers(1));
    EXPECT_EQ(persisted(kCampaign), c.stored);
    worker_->sync([&] { reporter_->cancelScheduling(); });
  }
  // Only the first answer attributes; with no first-open time the click time is left out.
  ASSERT_EQ(facade->events("_cmp").size(), 1u);
  EXPECT_FALSE(facade->events("_cmp")[0].parameter("click_timestamp"));
  EXPECT_EQ(facade->events("_cmp")[0].text("campaign"), "77");
}

// Campaign and keyword ids are numbers or strings, read as their string values; true and false
// are numbers too.
TEST_F(SearchAdReporter, IdsAreTheirStringValues) {
  struct Case {
    const char* ids;
    std::optional<std::string> campaign;
    std::optional<std::string> term;
  };
  const Case cases[] = {
      {R"("campaignId":true,"keywordId":false)", "1", "0"},
      {R"("campaignId":false,"keywordId":true)", "0", "1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ids);
    config_->clearValues();
    facade->clear();
    std::string body = std::string(R"({"attribution":true,)") + c.ids + "}";
    ASSERT_TRUE(scriptOneAnswer(body));
    ASSERT_TRUE(startReporter());
    ASSERT_TRUE(waitForAnswers(1));
    ASSERT_EQ(facade->events("_cmp").size(), 1u);
    EXPECT_EQ(facade->events("_cmp")[0].text("campaign"), c.campaign);
    EXPECT_EQ(facade->events("_cmp")[0].text("term"), c.term);
    worker_->sync([&] { reporter_->cancelScheduling(); });
  }
}

TEST_F(SearchAdReporter, TenTriesThenNoReporter) {
  platform::AAAttribution::shared()->setToken("server-error");
  ASSERT_TRUE(startReporter());
  for (int attempt = 1; attempt <= 10; ++attempt) {
    SCOPED_TRACE(attempt);
    ASSERT_TRUE(waitForAnswers(attempt));
    EXPECT_EQ(persisted(kRetries), std::to_string(attempt));
    env.advance(86400);
  }
  // The tenth lookup scheduled nothing more: a day later no request is made.
  env.advance(86400);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  env.waitUntilIdle();
  EXPECT_EQ(reporter_->handledAnswerCount(), 10);
  EXPECT_EQ(persisted(kRetries), "10");
  EXPECT_EQ(persisted(kCampaign), "None");
  EXPECT_FALSE(APMSearchAdReporter::create(worker_, config_));
}

TEST_F(SearchAdReporter, NextTryWaitsADayFromTheLastLookup) {
  config_->setLastSearchAdLookUpTimestamp(env.now() - 80000);
  platform::AAAttribution::shared()->setToken("empty");
  ASSERT_TRUE(startReporter());
  env.advance(6399);
  EXPECT_EQ(persisted(kRetries), "None");
  env.advance(1);
  ASSERT_TRUE(waitForAnswers(1));
  EXPECT_EQ(persisted(kRetries), "1");
}

TEST_F(SearchAdReporter, NoLookupWithoutAdServicesOnTheSimulatorOrBefore143) {
  struct Case {
    bool registered;
    std::optional<OULAppEnvironmentUtil::Configuration> environment;
    int code;
  };
  const Case cases[] = {
      {false, std::nullopt, 32014},
      {true, OULAppEnvironmentUtil::Configuration{"x86_64", "17.0", false, false}, 32019},
      {true, OULAppEnvironmentUtil::Configuration{"iPhone12,1", "14.2", false, false}, 32014},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    if (c.registered) {
      platform::AAAttribution::registerInRuntime();
    } else {
      platform::AAAttribution::unregisterFromRuntime();
    }
    OULAppEnvironmentUtil::setConfiguration(c.environment);
    capture.clear();
    ASSERT_TRUE(startReporter());
    env.advance(86400 * 2);
    EXPECT_TRUE(logged(c.code));
    EXPECT_EQ(persisted(kRetries), "None");
    EXPECT_EQ(persisted(kCampaign), "None");
  }
}

TEST_F(SearchAdReporter, TokenErrorIsAFailedTry) {
  platform::AAAttribution::shared()->setError(absl::UnavailableError("no token yet"));
  ASSERT_TRUE(startReporter());
  env.waitUntilIdle();
  EXPECT_TRUE(logged(32018));
  EXPECT_EQ(persisted(kRetries), "1");
  EXPECT_EQ(persisted(kCampaign), "None");
  // No token and no error: the try is spent, nothing is sent and no error is logged.
  platform::AAAttribution::shared()->setToken("");
  capture.clear();
  env.advance(86400);
  EXPECT_EQ(persisted(kRetries), "2");
  EXPECT_EQ(persisted(kCampaign), "None");
  EXPECT_FALSE(logged(32018));
  EXPECT_EQ(reporter_->handledAnswerCount(), 0);
}

}  // namespace
