// Purchases and experiments through the started library (facade, engine, features installed)
// against the measurement service in its own process: the StoreKit 2 road logs "_iap" with
// the price in micro-units and updates "_ltv_USD", the payment queue's duplicates are dropped,
// an "_iap" from elsewhere is checked against the sandbox receipt when bundled, and a fetched
// experiment reaches the uploads' experiment IDs once activated.
#include <gtest/gtest.h>

#include <filesystem>

#include "AppMeasurement/engine/KVLAnalytics.h"
#include "AppMeasurement/features/APMEManager.h"
#include "AppMeasurement/features/APMETaskManager.h"
#include "AppMeasurement/features/APMFeatureInstaller.h"
#include "AppMeasurement/foundation/APMRemoteConfig.h"
#include "AppMeasurement/foundation/APMUserDefaults.h"
#include "platform/foundation/AppContainer.h"
#include "platform/foundation/JSONSerialization.h"
#include "platform/storekit/SKPaymentQueue.h"
#include "platform/storekit/SKProductsRequest.h"
#include "tests/AppMeasurement/engine/EngineTestSupport.h"
#include "tests/AppMeasurement/features/ServiceUploads.h"
#include "tests/support/ClosedPort.h"

namespace {

using enginetest::EngineTest;
using enginetest::protoc;
using testsupport::httpRequest;
using testsupport::runCommand;
using testsupport::ServiceProcess;

class PurchaseAndExperimentEngineTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    APMPersistedConfig::sharedInstance()->clearValues();
    service_ = std::make_unique<ServiceProcess>(
        KVL_TEST_SERVICE,
        std::vector<std::string>{"--port", "0", "--data", (base_ / "service").string()});
    std::string host = service_->baseURL().substr(std::string("http://").size());
    APMRemoteConfig::setHosts({host, host, host});
    SKProductsRequest::setStoreURL(service_->baseURL());
  }
  void TearDown() override {
    EngineTest::TearDown();
    experiments_.reset();
    APMFeatureServices::install(APMFeatureServices::neutral());
    service_.reset();
    APMRemoteConfig::setHosts(testsupport::processClosedHosts<APMRemoteConfig::Hosts>());
  }
  // Installs the features (with an experiment manager of this test when `withExperiments`)
  // and starts the library as the app does.
  void start(bool withExperiments) {
    if (withExperiments) {
      auto queue = platform::DispatchQueue::createSerial("APMExperimentWorkerQueue");
      auto taskManager = APMETaskManager::create(
          queue, APMAlarm::create(queue, "APMExperimentAlarm"),
          OULNetwork::create(service_->baseURL()),
          std::make_shared<APMUserDefaults>(std::string(APMETaskManager::kSuiteName)),
          (base_ / "experiments.sql").string(), env.now());
      experiments_ = APMEManager::create(taskManager);
      taskManager->startTaskManager();
    }
    APMInstallMeasurementFeatures(experiments_);
    APMAnalytics::startWithAppID(kAppID, "app", {});
    env.waitUntilIdle();
    engine = APMMeasurement::sharedInstance();
    ASSERT_NE(engine, nullptr);
  }
  // The decoded bodies of every upload so far.
  std::string uploads() { return featuretest::decodedUploads(service_->baseURL()); }
  // Uploads what is stored (real time: the service answers) until the condition holds.
  bool uploadUntil(const std::function<bool(const std::string&)>& condition) {
    for (int i = 0; i < 300; ++i) {
      env.advance(60);
      env.waitUntilIdle();
      if (condition(uploads())) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }
  static bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
  }

  std::unique_ptr<ServiceProcess> service_;
  std::shared_ptr<APMEManager> experiments_;
};

TEST_F(PurchaseAndExperimentEngineTest, AStoreKit2PurchaseIsUploadedWithItsLifetimeValue) {
  start(false);
  APMStoreKitTransaction transaction;
  transaction.productID = "com.orvane.sample.coins";
  transaction.transactionID = "2000000001";
  transaction.originalTransactionID = "2000000001";
  transaction.productType = 1;
  transaction.purchaseDate = env.now();
  transaction.environment = "Sandbox";
  transaction.isVerified = true;
  KVLAnalytics::logTransaction(transaction);
  std::string seen;
  ASSERT_TRUE(uploadUntil([&](const std::string& decoded) {
    seen = decoded;
    return contains(decoded, "name: \"_iap\"") && contains(decoded, "_ltv_USD");
  })) << seen;
  // The event's price and value in micro-units, the StoreKit 2 marks, the lifetime total.
  for (const char* part :
       {"name: \"price\"\n      int_value: 990000", "name: \"value\"\n      int_value: 990000",
        "name: \"validated\"\n      int_value: 1", "name: \"sandbox\"\n      int_value: 1",
        "name: \"_skv\"\n      string_value: \"2\"", "name: \"_ltv_USD\"\n    int_value: 990000"}) {
    EXPECT_TRUE(contains(seen, part)) << part << "\n" << seen;
  }
}

// The upload's event (decoded text) that holds `marker`, from its "events {" to its end.
std::string eventWith(const std::string& decoded, const std::string& marker) {
  size_t at = decoded.find(marker);
  if (at == std::string::npos) return "";
  size_t begin = decoded.rfind("events {", at);
  size_t end = decoded.find("\n  }", at);
  return begin == std::string::npos ? "" : decoded.substr(begin, end - begin);
}

// With a sandbox receipt, an "_iap" that did not come from the purchase reporter is marked
// "sandbox" and "validated" = 0 (a sandbox receipt is never valid); the reporter's own
// purchase keeps its marks.
TEST_F(PurchaseAndExperimentEngineTest, AnInAppPurchaseFromElsewhereIsCheckedWhenBundled) {
  std::filesystem::path storeKit = platform::AppContainer::root() / "StoreKit";
  std::filesystem::create_directories(storeKit);
  // A well-formed receipt where a sandbox (test) install keeps it.
  std::filesystem::copy_file(
      std::filesystem::path(KVL_SOURCE_DIR) / "tools/receipt/fixtures/sha256.der",
      storeKit / "sandboxReceipt");
  start(false);
  APMStoreKitTransaction transaction;
  transaction.productID = "com.orvane.sample.coins";
  transaction.transactionID = "2000000002";
  transaction.originalTransactionID = "2000000002";
  transaction.productType = 1;
  transaction.purchaseDate = env.now();
  transaction.isVerified = true;
  KVLAnalytics::logTransaction(transaction);
  env.waitUntilIdle();
  engine->logEvent(
      "auto", false, "_iap",
      APMObjectMap{{"product_id", APMObject(platform::Value("com.orvane.sample.gems"))},
                   {"value", APMObject(platform::Value(int64_t{2000000}))},
                   {"currency", APMObject(platform::Value("USD"))}},
      env.now(), true, false, false, nullptr, {});
  env.waitUntilIdle();
  std::string seen;
  ASSERT_TRUE(uploadUntil([&](const std::string& decoded) {
    seen = decoded;
    return contains(decoded, "com.orvane.sample.gems") &&
           contains(decoded, "com.orvane.sample.coins");
  })) << seen;
  std::string elsewhere = eventWith(seen, "string_value: \"com.orvane.sample.gems\"");
  EXPECT_TRUE(contains(elsewhere, "name: \"_iap\"")) << elsewhere;
  EXPECT_TRUE(contains(elsewhere, "name: \"sandbox\"\n      int_value: 1")) << elsewhere;
  EXPECT_TRUE(contains(elsewhere, "name: \"validated\"\n      int_value: 0")) << elsewhere;
  std::string reported = eventWith(seen, "string_value: \"com.orvane.sample.coins\"");
  EXPECT_TRUE(contains(reported, "name: \"validated\"\n      int_value: 1")) << reported;
  EXPECT_TRUE(contains(reported, "name: \"sandbox\"\n      int_value: 1")) << reported;
}

TEST_F(PurchaseAndExperimentEngineTest, PaymentQueueDuplicatesAreDroppedByTheEngine) {
  start(false);
  SKPaymentTransaction purchase;
  purchase.transactionState = SKPaymentTransactionState::Purchased;
  purchase.payment = {"com.orvane.sample.coins", 2};
  purchase.transactionIdentifier = "3000000001";
  purchase.transactionDate = env.now();
  SKPaymentQueue::defaultQueue().updateTransactions({purchase});
  env.waitUntilIdle();
  SKPaymentQueue::defaultQueue().updateTransactions({purchase});
  env.waitUntilIdle();
  std::string seen;
  ASSERT_TRUE(uploadUntil([&](const std::string& decoded) {
    seen = decoded;
    return contains(decoded, "name: \"_iapx\"");
  })) << seen;
  // Without a receipt the purchase cannot be confirmed: "_iapx", once.
  size_t count = 0;
  for (size_t at = seen.find("name: \"_iapx\""); at != std::string::npos;
       at = seen.find("name: \"_iapx\"", at + 1)) {
    ++count;
  }
  EXPECT_EQ(count, 1u) << seen;
  EXPECT_TRUE(contains(seen, "name: \"value\"\n      int_value: 1980000")) << seen;
  EXPECT_TRUE(capture.contains("I-ACS023141")) << "the duplicate is logged";
}

TEST_F(PurchaseAndExperimentEngineTest, ActivatedExperimentsTravelInTheNextUpload) {
  ASSERT_EQ(httpRequest("PUT", service_->baseURL() + "/_control/experiments", {},
                        R"({"response": {"snapshots": [{"name": "app_measurement", "experiments":
                           [{"experiment_id": 4711, "flags": [{"name": "customer_type_enabled",
                           "bool_value": false}]}]}]}})")
                .status,
            204);
  start(true);
  EXPECT_TRUE(experiments_->experimentIDs().empty());
  // The first fetch, 10 s after the start, brings the snapshot as pending (real time: the
  // service answers); the library is told on the main queue.
  env.advance(10);
  std::string pending;
  for (int i = 0; i < 500 && pending != "1\n"; ++i) {
    env.waitUntilIdle();
    pending = runCommand("sqlite3 '" + (base_ / "experiments.sql").string() +
                         "' 'SELECT count(*) FROM pending_snapshot_table'");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_EQ(pending, "1\n");
  env.waitUntilIdle();
  EXPECT_TRUE(experiments_->experimentIDs().empty());
  // The library activates it once nothing waits to be uploaded; bundles made after that carry
  // the experiment.
  logEvent("app", true, "first");
  std::string seen;
  ASSERT_TRUE(uploadUntil([&](const std::string& decoded) {
    seen = decoded;
    return contains(decoded, "name: \"first\"");
  })) << seen;
  logEvent("app", true, "second");
  onWorker([&] { engine->updateSchedule(); });  // an event alone does not re-arm the upload
  ASSERT_TRUE(uploadUntil([&](const std::string& decoded) {
    seen = decoded;
    return contains(decoded, "name: \"second\"");
  })) << seen;
  std::string second = seen.substr(seen.rfind("bundles {"));
  EXPECT_TRUE(contains(second, "experiment_ids: 4711")) << second;
  EXPECT_EQ(experiments_->experimentIDs(), (std::vector<int64_t>{4711}));
  EXPECT_FALSE(engine->currentConfig()->customerTypeEnabled());
}

}  // namespace
