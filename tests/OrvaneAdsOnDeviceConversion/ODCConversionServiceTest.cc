// The conversion service and its task chain against psm-server on 127.0.0.1, in virtual time.
#include "OrvaneAdsOnDeviceConversion/Sources/ODCConversionService.h"

#include <future>
#include <mutex>

#include "AppMeasurement/PrivateSetMembership/Sources/ODCPrivateSetMembershipClient.h"
#include "AppMeasurement/PrivateSetMembership/Sources/ODCServiceHost.h"
#include "OrvaneAdsOnDeviceConversion/Sources/ODCCandidateFetcher.h"
#include "OrvaneAdsOnDeviceConversion/Sources/ODCConfigFetcher.h"
#include "OrvaneAdsOnDeviceConversion/Sources/ODCRegistration.h"
#include "absl/strings/escaping.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/PropertyListSerialization.h"
#include "platform/utilities/OULNetworkConstants.h"
#include "tests/OrvaneAdsOnDeviceConversion/ODCTestSupport.h"
#include "tests/support/ClosedPort.h"
#include "tools/psm-server/PSMServer.h"
#include "tools/psm-server/PSMServerConfig.h"

namespace {

constexpr char kBundleID[] = "com.example.kavrelin";

struct Outcome {
  std::optional<std::string> value;
  std::optional<OULError> error;
};

class ODCConversionServiceTest : public odctest::ODCTest {
 protected:
  ODCConversionServiceTest() {
    platform::Value::Dictionary info{{"CFBundleIdentifier", platform::Value(kBundleID)},
                                     {"CFBundleShortVersionString", platform::Value("1.0 beta+1")}};
    const auto bundle = dir_.path() / "App.app";
    std::filesystem::create_directories(bundle);
    foundationtest::writeFile(
        bundle / "Info.plist",
        *platform::PropertyListSerialization::dataWithPropertyList(
            platform::Value(info), platform::PropertyListSerialization::Format::XML));
    platform::Bundle::setMainBundlePath(bundle);
    ODCConversionService::setProcessStartDateForTesting(env_.now());
  }
  ~ODCConversionServiceTest() override {
    ODCServiceHost::setBaseURL(testsupport::processClosedPort().baseURL());
  }

  static PSMServerConfig::Odm odmConfig(bool withExtension = true) {
    PSMServerConfig::Odm odm;
    odm.matchingID = absl::WebSafeBase64Escape("matching-id-1");
    odm.bucketedDate = "2026-12-07";
    if (withExtension) odm.extensionData = "ext";
    odm.installs.push_back({kBundleID, {{"odm-a", std::string("\x08\x05\x10\x01", 4), "k"}}});
    odm.measurementInfo = "measurement-info";
    odm.aggregateConversionInfo = "aggregate-info";
    return odm;
  }

  void startServer(std::optional<PSMServerConfig::Odm> odm) {
    PSMServerConfig config;
    config.odm = std::move(odm);
    auto server = PSMServer::start(std::move(config));
    ASSERT_TRUE(server.ok());
    server_ = *std::move(server);
    ODCServiceHost::setBaseURL(server_->baseURL());
  }

  // Asks the service and waits for its one completion.
  Outcome fetch(ODCConversionService& service, bool measurement = true) {
    auto done = std::make_shared<std::promise<Outcome>>();
    auto completion = [done](const auto& value, const auto& error) {
      done->set_value({value, error});
    };
    if (measurement) {
      service.fetchMeasurementInfoForInteraction(0, completion);
    } else {
      service.fetchAggregateConversionInfoForInteraction(0, completion);
    }
    auto future = done->get_future();
    if (!eventually([&] {
          return future.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
        })) {
      ADD_FAILURE() << "the service never completed";
      return {};
    }
    return future.get();
  }

  std::vector<std::string> targetsOf(const std::string& path) {
    std::vector<std::string> out;
    for (const std::string& t : server_->targets()) {
      if (t.rfind(path, 0) == 0) out.push_back(t);
    }
    return out;
  }

  std::unique_ptr<PSMServer> server_;
};

TEST_F(ODCConversionServiceTest, OneAttemptLeavesBothStringsInTheStoreAndClosesMatching) {
  startServer(odmConfig());
  auto service = ODCConversionService::create();
  Outcome outcome = fetch(*service);
  EXPECT_FALSE(outcome.error) << outcome.error->description;
  EXPECT_EQ(outcome.value, "measurement-info");
  auto store = ODCConversionStore::create();
  EXPECT_EQ(store->measurementInfo(), "measurement-info");
  EXPECT_EQ(store->aggregateConversionInfo(), "aggregate-info");
  EXPECT_EQ(store->matchFoundTimestamp(), env_.now());
  EXPECT_EQ(store->odm2RetryCount(), 0);
  const std::string common =
      "version=1.1&bundle_id=com.example.kavrelin&app_version=1.0%20beta%2B1&sdk_version=odm-sdk-"
      "i-v2.1.0&retry_count=0&odm2_count=0&source=oa4k";
  EXPECT_EQ(targetsOf("/odm/config"), std::vector<std::string>{"/odm/config?" + common});
  EXPECT_EQ(targetsOf("/odm/psm"),
            std::vector<std::string>{"/odm/psm?" + common + "&tfo=1700000040"});
  EXPECT_EQ(targetsOf("/odm/validate"), std::vector<std::string>{"/odm/validate?" + common});

  // Matching is closed for good: a later fetch, aggregate this time, sends nothing.
  Outcome later = fetch(*service, false);
  EXPECT_EQ(later.value, "aggregate-info");
  EXPECT_EQ(server_->targets().size(), 3u);
  EXPECT_EQ(linesWithCode(8002), 1u);
}

TEST_F(ODCConversionServiceTest, FailingValidatorIsRetriedWithBackOffThenFailsWith4000) {
  startServer(odmConfig());
  server_->failNext("/odm/validate", 500, 100);
  auto service = ODCConversionService::create();
  auto done = std::make_shared<std::promise<Outcome>>();
  service->fetchAggregateConversionInfoForInteraction(0,
                                                      [done](const auto& value, const auto& error) {
                                                        done->set_value({value, error});
                                                      });
  const double delays[] = {60, 120, 240, 480, 960};
  for (int retry = 0; retry < 5; ++retry) {
    ASSERT_TRUE(eventually([&] { return linesWithCode(4000) == static_cast<size_t>(retry + 1); }));
    const size_t attempts = linesWithCode(7002);
    env_.advance(delays[retry] - 1);
    EXPECT_EQ(linesWithCode(7002), attempts) << "retry " << retry << " came early";
    env_.advance(1);
    EXPECT_EQ(linesWithCode(7002), attempts + 1) << "retry " << retry;
  }
  auto future = done->get_future();
  ASSERT_TRUE(eventually(
      [&] { return future.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
  Outcome outcome = future.get();
  ASSERT_TRUE(outcome.error);
  EXPECT_EQ(outcome.error->code, 4000);
  EXPECT_EQ(outcome.value, std::nullopt);
  auto validations = targetsOf("/odm/validate");
  ASSERT_EQ(validations.size(), 6u);
  for (int i = 0; i < 6; ++i) {
    EXPECT_NE(validations[i].find("&retry_count=" + std::to_string(i) + "&"), std::string::npos);
    EXPECT_NE(validations[i].find("&source=aaps"), std::string::npos);
  }
  // No timestamp after a failed attempt: the next fetch tries again, and odm2_count counts on.
  EXPECT_EQ(ODCConversionStore::create()->matchFoundTimestamp(), std::nullopt);
  server_->failNext("/odm/validate", 500, 0);
  EXPECT_EQ(fetch(*service).value, "measurement-info");
  EXPECT_NE(targetsOf("/odm/config").back().find("&odm2_count=1&"), std::string::npos);
}

TEST_F(ODCConversionServiceTest, FetchesDuringAnAttemptWaitForItAndAggregateOnesAnswerFirst) {
  startServer(odmConfig());
  server_->failNext("/odm/config", 500, 1);
  auto service = ODCConversionService::create();
  std::mutex mutex;
  std::vector<std::string> calls;
  auto record = [&](const char* kind) {
    return
        [&, kind](const std::optional<std::string>& value, const std::optional<OULError>& error) {
          std::lock_guard<std::mutex> lock(mutex);
          calls.push_back(std::string(kind) + "=" + value.value_or("nil") + (error ? "!" : ""));
        };
  };
  service->fetchMeasurementInfoForInteraction(0, record("measurement"));
  ASSERT_TRUE(eventually([&] { return linesWithCode(4000) == 1; }));
  service->fetchAggregateConversionInfoForInteraction(0, record("aggregate"));
  env_.waitUntilIdle();
  EXPECT_EQ(linesWithCode(5005), 1u);  // the second fetch started nothing
  env_.advance(60);
  ASSERT_TRUE(eventually([&] {
    std::lock_guard<std::mutex> lock(mutex);
    return calls.size() == 2;
  }));
  EXPECT_EQ(calls,
            (std::vector<std::string>{"aggregate=aggregate-info", "measurement=measurement-info"}));
  for (const std::string& target : server_->targets()) {
    EXPECT_NE(target.find("&source=oa4k"), std::string::npos) << target;
  }
  EXPECT_EQ(targetsOf("/odm/config").size(), 2u);
}

// No matched value at all is an error like any other (6007), and retried.
TEST_F(ODCConversionServiceTest, NoMatchIsRetriedAs6007) {
  auto odm = odmConfig();
  odm.installs[0].bundleID = "com.example.other";
  startServer(odm);
  auto service = ODCConversionService::create();
  service->fetchMeasurementInfoForInteraction(0, [](const auto&, const auto&) {});
  ASSERT_TRUE(eventually([&] { return linesWithCode(6007) == 1; }));
  env_.advance(60);
  ASSERT_TRUE(eventually([&] { return linesWithCode(6007) == 2; }));
  auto candidates = targetsOf("/odm/psm");
  ASSERT_EQ(candidates.size(), 2u);
  EXPECT_NE(candidates[1].find("&retry_count=1&"), std::string::npos);
  EXPECT_TRUE(targetsOf("/odm/validate").empty());
}

// What the default run serves (./run.sh hands psm-server's sample to the measurement service)
// matches the app's own bundle: one attempt completes a conversion, without 6007.
TEST_F(ODCConversionServiceTest, TheSampleMembersMatchTheAppsBundle) {
  platform::Bundle::setMainBundlePath(std::filesystem::path(KVL_SOURCE_DIR) / "app" / "bundle");
  auto config = PSMServerConfig::fromFile(std::string(KVL_SOURCE_DIR) +
                                          "/tools/psm-server/sample-members.json");
  ASSERT_TRUE(config.ok()) << config.status();
  auto server = PSMServer::start(*std::move(config));
  ASSERT_TRUE(server.ok());
  server_ = *std::move(server);
  ODCServiceHost::setBaseURL(server_->baseURL());
  auto service = ODCConversionService::create();
  Outcome outcome = fetch(*service);
  EXPECT_FALSE(outcome.error) << outcome.error->description;
  EXPECT_EQ(outcome.value, "measurement-info-sample");
  EXPECT_EQ(linesWithCode(6007), 0u);
}

// A failed exchange says why in a line of its own (4001): the transport error, or the status.
TEST_F(ODCConversionServiceTest, AFailedConfigFetchLogsItsReason) {
  ODCServiceHost::setBaseURL(testsupport::processClosedPort().baseURL());
  auto service = ODCConversionService::create();
  service->fetchMeasurementInfoForInteraction(0, [](const auto&, const auto&) {});
  ASSERT_TRUE(eventually([&] { return linesWithCode(4001) == 1; }));
  EXPECT_EQ(linesWithCode(5005), 1u);
  auto reason = [&](const std::string& text) {
    for (const std::string& line : logs_.lines()) {
      if (line.find("I-ODC004001") != std::string::npos && line.find(text) != std::string::npos)
        return true;
    }
    return false;
  };
  EXPECT_TRUE(reason(testsupport::processClosedPort().baseURL() + "/odm/config?"));
  EXPECT_TRUE(reason(kOULNetworkErrorDomain)) << logs_.lines().back();

  startServer(odmConfig());
  server_->failNext("/odm/config", 503, 1);
  env_.advance(60);  // the retry, now to a server that answers 503
  ASSERT_TRUE(eventually([&] { return linesWithCode(4001) == 2; }));
  EXPECT_TRUE(reason("answered HTTP status 503"));
  EXPECT_EQ(linesWithCode(4000), 1u);  // the transport failure made none
}

TEST_F(ODCConversionServiceTest, EmptyConfigEndsWithoutErrorOrStringsAndClosesMatching) {
  startServer(std::nullopt);  // 204, no body
  auto service = ODCConversionService::create();
  Outcome outcome = fetch(*service);
  EXPECT_FALSE(outcome.error);
  EXPECT_EQ(outcome.value, std::nullopt);
  EXPECT_EQ(linesWithCode(5006), 1u);
  EXPECT_EQ(targetsOf("/odm/psm").size(), 0u);
  EXPECT_TRUE(ODCConversionStore::create()->matchFoundTimestamp().has_value());
}

TEST_F(ODCConversionServiceTest, ConfigWithoutExtensionDataWarnsAndStillMatches) {
  startServer(odmConfig(false));
  auto service = ODCConversionService::create();
  EXPECT_EQ(fetch(*service).value, "measurement-info");
  EXPECT_EQ(linesWithCode(5009), 1u);
}

TEST_F(ODCConversionServiceTest, ServiceRulesWithoutTraffic) {
  startServer(odmConfig());
  // Eight days after the first launch: no attempt, but matching closes.
  ODCConversionService::setProcessStartDateForTesting(env_.now() - 8 * 86400.0);
  auto service = ODCConversionService::create();
  Outcome outcome = fetch(*service);
  EXPECT_FALSE(outcome.error);
  EXPECT_EQ(outcome.value, std::nullopt);
  EXPECT_EQ(linesWithCode(8004), 1u);
  EXPECT_TRUE(ODCConversionStore::create()->matchFoundTimestamp().has_value());
  fetch(*service);
  EXPECT_EQ(linesWithCode(8002), 1u);
  // Another interaction never completes.
  bool called = false;
  service->fetchMeasurementInfoForInteraction(1, [&](const auto&, const auto&) { called = true; });
  service->fetchAggregateConversionInfoForInteraction(
      2, [&](const auto&, const auto&) { called = true; });
  env_.waitUntilIdle();
  EXPECT_FALSE(called);
  EXPECT_EQ(linesWithCode(8001), 1u);
  EXPECT_EQ(linesWithCode(8000), 1u);
  // A null first-launch time changes nothing; the same second writes nothing.
  const double stored = *ODCConversionStore::create()->firstLaunchTimestamp();
  service->setFirstLaunchTime(std::nullopt);
  service->setFirstLaunchTime(stored + 0.4);
  env_.waitUntilIdle();
  EXPECT_EQ(ODCConversionStore::create()->firstLaunchTimestamp(), stored);
  EXPECT_TRUE(server_->targets().empty());
}

TEST_F(ODCConversionServiceTest, WithoutAStoreFetchesCompleteWithNothing) {
  std::filesystem::remove_all(platform::AppContainer::applicationSupportDirectory());
  foundationtest::writeFile(platform::AppContainer::applicationSupportDirectory(), "file");
  startServer(odmConfig());
  auto service = ODCConversionService::create();
  Outcome outcome = fetch(*service);
  EXPECT_FALSE(outcome.error);
  EXPECT_EQ(outcome.value, std::nullopt);
  EXPECT_EQ(linesWithCode(8003), 1u);
  EXPECT_TRUE(server_->targets().empty());
}

TEST_F(ODCConversionServiceTest, RegisteredByNameAsTheEngineLooksThemUp) {
  platform::ClassRegistry registry;
  ODCRegisterClasses(registry);
  auto service = registry.create<ODCConversionServiceProtocol>("ODCConversionService");
  ASSERT_NE(service, nullptr);
  EXPECT_EQ(service->versionNumber(), 20100);
  EXPECT_EQ(service->versionString(), "2.1.0");
  EXPECT_EQ(registry.create<ODCConversionServiceProtocol>("ODCConversionService"), service);
  auto clients =
      registry.create<APMPrivateSetMembershipClientClass>("ODCPrivateSetMembershipClient");
  ASSERT_NE(clients, nullptr);
  auto client = clients->initWithEmailAddress("jane@example.com", "app", 12);
  ASSERT_NE(client, nullptr);
  EXPECT_EQ(client->inputType(), 1);
  EXPECT_NE(dynamic_cast<APMPrivateSetMembershipClientDebugKey*>(client.get()), nullptr);
  EXPECT_FALSE(registry.contains("APMPrivateSetMembershipClient"));
}

// The parts of the chain that need no server.
class ODCTaskChainTest : public odctest::ODCTest {
 protected:
  std::shared_ptr<ODCContext> context_ = std::make_shared<ODCContext>(
      OULNetwork::create(), platform::DispatchQueue::createSerial("odc.test"),
      ODCConversionStore::create());
};

TEST_F(ODCTaskChainTest, ConfigParsingCodes) {
  struct Case {
    std::string json;
    int64_t code;  // 0: parsed
  } cases[] = {
      {R"({"matching_id":"YQ","bucketed_date":"d","prefix_length":14,"extension_data":"x"})", 0},
      {R"({"matching_id":"YQ","bucketed_date":"d","prefix_length":14.0})", 0},
      {R"({"matching_id":"YQ","bucketed_date":"d","prefix_length":14.5})", 0},
      {R"({"matching_id":"YQ","bucketed_date":"d","prefix_length":-3})", 0},
      {R"({"matching_id":"YQ","bucketed_date":"d","prefix_length":"14"})", 5004},
      {R"({"matching_id":"YQ","bucketed_date":"d","prefix_length":true})", 0},
      {R"({"matching_id":"YQ","bucketed_date":"d","prefix_length":false})", 0},
      {R"({"matching_id":"YQ","bucketed_date":"d","prefix_length":null})", 5004},
      {R"({"matching_id":"YQ","bucketed_date":"d","prefix_length":1e10})", 5004},
      {R"({"matching_id":"YQ","bucketed_date":"d","prefix_length":-2147483649})", 5004},
      {R"({"matching_id":"YQ","bucketed_date":"d"})", 5004},
      {R"({"matching_id":"YQ","bucketed_date":3,"prefix_length":1})", 5003},
      {R"({"matching_id":5,"bucketed_date":"d","prefix_length":1})", 5002},
      {R"([1])", 2001},
  };
  for (const Case& c : cases) {
    auto fetcher = std::make_shared<ODCConfigFetcher>(context_);
    std::optional<OULError> error;
    EXPECT_EQ(fetcher->parsePSMConfigData(c.json, &error), c.code == 0) << c.json;
    EXPECT_EQ(error ? error->code : 0, c.code) << c.json;
  }
  // A negative prefix length parses but cannot make a client.
  auto fetcher = std::make_shared<ODCConfigFetcher>(context_);
  std::optional<OULError> error;
  EXPECT_FALSE(fetcher->createPSMRequestWithData(
      R"({"matching_id":"YQ","bucketed_date":"d","prefix_length":-3})", &error));
  EXPECT_EQ(error->code, 5000);
  EXPECT_FALSE(fetcher->createPSMRequestWithData(
      R"({"matching_id":"*","bucketed_date":"d","prefix_length":3})", &error));
  EXPECT_EQ(error->code, 5000);
  EXPECT_TRUE(fetcher->createPSMRequestWithData(
      R"({"matching_id":"YQ","bucketed_date":"d","prefix_length":14.9})", &error));
  EXPECT_NE(context_->candidateRequestPayload->find("\"odmed\":\"\""), std::string::npos);
  // A boolean is a number: true and false ask for the same prefix as 1 and 0. The request ends
  // with its parameters and use case, which hold nothing random.
  auto requestTail = [&](const std::string& prefix) {
    EXPECT_TRUE(fetcher->createPSMRequestWithData(
        R"({"matching_id":"YQ","bucketed_date":"d","prefix_length":)" + prefix + "}", &error))
        << prefix;
    std::string bytes;
    absl::WebSafeBase64Unescape(context_->PSMRequest.value_or(""), &bytes);
    return bytes.size() < 6 ? bytes : bytes.substr(bytes.size() - 6);
  };
  EXPECT_EQ(requestTail("true"), requestTail("1"));
  EXPECT_EQ(requestTail("false"), requestTail("0"));
  EXPECT_NE(requestTail("1"), requestTail("0"));
}

TEST_F(ODCTaskChainTest, TimeOfFirstOpenIsTheNextWholeMinute) {
  struct Case {
    std::optional<double> firstLaunch;
    std::string tfo;
  } cases[] = {{1699999980.0, "1700000040"},
               {1699999981.7, "1700000040"},
               {std::nullopt, "60"},
               {59.0, "60"},
               {1e300, "9223372036854775800"}};
  for (const Case& c : cases) {
    context_->conversionStore->setFirstLaunchTimestamp(c.firstLaunch);
    auto fetcher = std::make_shared<ODCCandidateFetcher>(context_);
    const std::string url = fetcher->PSMRequestURL();
    EXPECT_EQ(url.substr(url.rfind("&tfo=") + 5), c.tfo);
  }
}

TEST_F(ODCTaskChainTest, CandidateAnswerCodes) {
  struct Case {
    std::string body;
    int64_t code;
  } cases[] = {{"{}", 6002},
               {R"({"psm_response":1})", 6002},
               {R"({"psm_response":"***"})", 6003},
               {R"({"psm_response":"_w"})", 6000},
               {R"({"psm_response":""})", 6001},  // no client of this attempt
               {"", 3840}};
  for (const Case& c : cases) {
    auto fetcher = std::make_shared<ODCCandidateFetcher>(context_);
    std::optional<OULError> error;
    EXPECT_FALSE(fetcher->findPSMMatchesWithData(c.body, &error)) << c.body;
    EXPECT_EQ(error ? error->code : 0, c.code) << c.body;
  }
}

}  // namespace
