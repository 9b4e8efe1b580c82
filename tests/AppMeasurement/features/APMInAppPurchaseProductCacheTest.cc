#include "AppMeasurement/features/APMInAppPurchaseProductCache.h"

#include <stdlib.h>

#include <filesystem>
#include <future>

#include <gtest/gtest.h>

#include "tests/support/ClosedPort.h"
#include "tests/support/DispatchTestEnvironment.h"
#include "tests/support/ServiceProcess.h"
#include "tests/support/TestHttpServer.h"

namespace {

struct Answer {
  std::optional<std::map<std::string, SKProduct>> products;
  std::optional<std::set<std::string>> invalid;
  std::optional<APMError> error;
  bool onQueue = false;
};

std::string catalogue(const std::vector<std::string>& identifiers) {
  std::string json = "{\"products\":[";
  for (size_t i = 0; i < identifiers.size(); ++i) {
    if (i) json += ",";
    json += "{\"productIdentifier\":\"" + identifiers[i] +
            "\",\"localizedTitle\":\"Coins\",\"price\":\"0.99\",\"currencyCode\":\"USD\","
            "\"introductoryPrice\":\"0\",\"introductoryPaymentMode\":2}";
  }
  return json + "]}";
}

std::vector<std::string> numbered(const std::string& prefix, int count) {
  std::vector<std::string> names;
  for (int i = 0; i < count; ++i) names.push_back(prefix + std::to_string(i));
  return names;
}

class APMInAppPurchaseProductCacheTest : public ::testing::Test {
 protected:
  void SetUp() override { SKProductsRequest::setStoreURL(server_.baseURL()); }

  void serve(const std::vector<std::string>& identifiers, int status = 200) {
    server_.respondTo("/storekit/products", {status, {}, catalogue(identifiers)});
  }

  // The block's answer (it runs once the real store request has come back).
  Answer request(const std::set<std::string>& identifiers) {
    std::promise<Answer> promise;
    auto queue = platform::DispatchQueue::createSerial("test.products");
    cache_->requestProductsWithProductIdentifiers(
        identifiers, queue,
        [&promise, queue](const auto& products, const auto& invalid, const auto& error) {
          promise.set_value({products, invalid, error, queue->isCurrent()});
        });
    std::future<Answer> future = promise.get_future();
    EXPECT_EQ(future.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    Answer answer = future.get();
    EXPECT_TRUE(answer.onQueue);
    return answer;
  }

  testsupport::DispatchTestEnvironment environment_;
  testsupport::TestHttpServer server_;
  std::shared_ptr<APMInAppPurchaseProductCache> cache_ = APMInAppPurchaseProductCache::create();
};

TEST_F(APMInAppPurchaseProductCacheTest, ResponsesFillTheCache) {
  serve({"coins", "", "gems"});
  Answer answer = request({"coins", "", "unknown"});
  ASSERT_TRUE(answer.products.has_value());
  // The product with an empty identifier is left out.
  EXPECT_EQ(answer.products->size(), 1u);
  EXPECT_EQ(*answer.invalid, std::set<std::string>{"unknown"});
  std::optional<SKProduct> coins = cache_->cachedProductForProductIdentifier("coins");
  ASSERT_TRUE(coins.has_value());
  EXPECT_EQ(coins->price.toString(), "0.99");
  EXPECT_EQ(coins->currencyCode, "USD");
  ASSERT_TRUE(coins->introductoryPrice.has_value());
  EXPECT_EQ(coins->introductoryPrice->paymentMode, SKProductDiscountPaymentMode::FreeTrial);
  EXPECT_FALSE(cache_->cachedProductForProductIdentifier("gems").has_value());

  // Invalid in one response, valid in a later one: only valid.
  serve({"coins", "unknown"});
  request({"unknown"});
  EXPECT_TRUE(cache_->cachedProductForProductIdentifier("unknown").has_value());
  EXPECT_FALSE(cache_->isInvalidForTesting("unknown"));
}

TEST_F(APMInAppPurchaseProductCacheTest, TheHundredAndFirstEntryKeepsTheLastResponseAlone) {
  struct Case {
    int before;
    int added;
    size_t after;
  };
  for (const Case& c : std::vector<Case>{{60, 40, 100}, {60, 41, 41}}) {
    cache_ = APMInAppPurchaseProductCache::create();
    std::vector<std::string> first = numbered("a", c.before);
    std::vector<std::string> second = numbered("b", c.added);
    std::vector<std::string> all = first;
    all.insert(all.end(), second.begin(), second.end());
    serve(all);
    request(std::set<std::string>(first.begin(), first.end()));
    request(std::set<std::string>(second.begin(), second.end()));
    EXPECT_EQ(cache_->countForTesting(), c.after) << c.added;
  }
}

TEST_F(APMInAppPurchaseProductCacheTest, FailuresAnswerOnTheCallersQueue) {
  // The store makes no request for an empty set: code 1.
  Answer refused = request({});
  ASSERT_TRUE(refused.error.has_value());
  EXPECT_EQ(refused.error->code(), 1);
  EXPECT_EQ(refused.error->localizedDescription(), "Invalid product identifiers.");
  EXPECT_FALSE(refused.products.has_value());

  // StoreKit's refusal carries its reason as the error's description.
  struct Case {
    int status;
    std::string body;
    std::string reason;
  };
  const std::string store = "The store's catalogue at " + server_.baseURL() + "/storekit/products";
  for (const Case& c :
       std::vector<Case>{{500, catalogue({"coins"}), store + " answered HTTP status 500"},
                         {200, "not json", store + " is not a catalogue"},
                         {200, "{\"products\":7}", store + " is not a catalogue"}}) {
    server_.respondTo("/storekit/products", {c.status, {}, c.body});
    Answer failed = request({"coins"});
    ASSERT_TRUE(failed.error.has_value()) << c.body;
    EXPECT_EQ(failed.error->domain(), "SKErrorDomain");
    EXPECT_EQ(failed.error->localizedDescription().rfind(c.reason, 0), 0u)
        << failed.error->description();
    EXPECT_FALSE(failed.products.has_value());
    EXPECT_FALSE(cache_->cachedProductForProductIdentifier("coins").has_value());
  }
  SKProductsRequest::setStoreURL(testsupport::processClosedPort().baseURL());
  Answer unreachable = request({"coins"});
  ASSERT_TRUE(unreachable.error.has_value());
  EXPECT_NE(unreachable.error->localizedDescription().find(" could not be fetched: "),
            std::string::npos)
      << unreachable.error->description();
}

}  // namespace

namespace {

// The development service's own catalogue, through its own process.
TEST(APMInAppPurchaseProductCacheService, SampleProductsFromTheMeasurementService) {
  testsupport::DispatchTestEnvironment environment;
  std::string data = (std::filesystem::temp_directory_path() / "kvl-store-XXXXXX").string();
  ASSERT_NE(mkdtemp(data.data()), nullptr);
  {
    testsupport::ServiceProcess service(KVL_TEST_SERVICE, {"--port", "0", "--data", data});
    SKProductsRequest::setStoreURL(service.baseURL());
    auto cache = APMInAppPurchaseProductCache::create();
    std::promise<size_t> received;
    auto queue = platform::DispatchQueue::createSerial("test.products");
    cache->requestProductsWithProductIdentifiers(
        {"com.orvane.sample.coins", "com.orvane.sample.premium", "none"}, queue,
        [&](const auto& products, const auto&, const auto&) {
          received.set_value(products ? products->size() : 0);
        });
    std::future<size_t> future = received.get_future();
    ASSERT_EQ(future.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(future.get(), 2u);
    std::optional<SKProduct> coins =
        cache->cachedProductForProductIdentifier("com.orvane.sample.coins");
    ASSERT_TRUE(coins.has_value());
    EXPECT_EQ(coins->price.toString(), "0.99");
    EXPECT_TRUE(cache->isInvalidForTesting("none"));
  }
  std::filesystem::remove_all(data);
}

}  // namespace
