// The typed layer's StoreKit 2 operation: product-type codes, the offer flags from 17.2 on, the
// environment from 16.0 on, identifiers up to 2^64 - 1 in decimal, and the device verification,
// as the purchase interface receives them.
#include "AppMeasurement/engine/APMFeatureServices.h"
#include "AppMeasurement/engine/KVLAnalytics.h"
#include "platform/storekit/StoreKitTransaction.h"
#include "platform/uikit/UIDevice.h"
#include "platform/utilities/OULAppEnvironmentUtil.h"
#include "tests/AppMeasurement/engine/EngineTestSupport.h"

namespace {

using enginetest::EngineTest;

// Records the transactions and verifications the purchase interface receives.
class RecordingPurchases : public APMPurchaseReporting {
 public:
  void reportTransaction(const APMStoreKitTransaction& transaction) override {
    reported.push_back(transaction);
  }
  bool verifyTransactionWithDeviceVerification(std::string_view deviceVerification,
                                               const std::optional<std::string>& uuid,
                                               const std::string& nonce) override {
    verifications.push_back({std::string(deviceVerification), uuid, nonce});
    return deviceVerification == "good";
  }
  struct Verification {
    std::string deviceVerification;
    std::optional<std::string> uuid;
    std::string nonce;
  };
  std::vector<APMStoreKitTransaction> reported;
  std::vector<Verification> verifications;
};

class StoreKitLayerTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    APMFeatureServices services;
    services.purchaseReporter = purchases;
    APMFeatureServices::install(services);
  }
  void TearDown() override {
    APMFeatureServices::install({});
    OULAppEnvironmentUtil::setConfiguration(std::nullopt);
    EngineTest::TearDown();
  }
  void onSystem(const std::string& version) {
    OULAppEnvironmentUtil::Configuration configuration =
        OULAppEnvironmentUtil::defaultConfiguration();
    configuration.systemVersion = version;
    OULAppEnvironmentUtil::setConfiguration(configuration);
  }
  std::shared_ptr<RecordingPurchases> purchases = std::make_shared<RecordingPurchases>();
};

TEST_F(StoreKitLayerTest, ProductTypeCodes) {
  using Type = StoreKitTransaction::ProductType;
  const std::pair<Type, int64_t> cases[] = {{Type::nonConsumable, 0},
                                            {Type::consumable, 1},
                                            {Type::nonRenewable, 2},
                                            {Type::autoRenewable, 3},
                                            {Type::other, 0}};
  for (const auto& [type, code] : cases) {
    StoreKitTransaction transaction;
    transaction.productType = type;
    KVLAnalytics::logStoreKitTransaction(transaction);
    ASSERT_FALSE(purchases->reported.empty());
    EXPECT_EQ(purchases->reported.back().productType, code);
  }
}

// Offer flags only from 17.2 on; the environment only from 16.0 on.
TEST_F(StoreKitLayerTest, OfferFlagsAndEnvironmentBySystemVersion) {
  struct Case {
    const char* system;
    bool flags;
    bool environment;
  };
  const Case cases[] = {{"15.7", false, false},  {"16.0", false, true}, {"17.1", false, true},
                        {"17.1.2", false, true}, {"17.2", true, true},  {"18.0", true, true}};
  StoreKitTransaction transaction;
  transaction.offer = StoreKitTransaction::Offer{StoreKitTransaction::OfferType::introductory,
                                                 StoreKitTransaction::OfferPaymentMode::freeTrial};
  transaction.environment = "Sandbox";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.system);
    onSystem(c.system);
    KVLAnalytics::logStoreKitTransaction(transaction);
    const APMStoreKitTransaction& reported = purchases->reported.back();
    EXPECT_EQ(reported.isFreeTrial, c.flags);
    EXPECT_EQ(reported.isIntroductoryOffer, c.flags);
    EXPECT_EQ(reported.environment,
              c.environment ? std::optional<std::string>("Sandbox") : std::nullopt);
  }
  // A promotional offer paid up front: neither flag.
  onSystem("17.2");
  transaction.offer = StoreKitTransaction::Offer{StoreKitTransaction::OfferType::promotional,
                                                 StoreKitTransaction::OfferPaymentMode::payUpFront};
  KVLAnalytics::logStoreKitTransaction(transaction);
  EXPECT_FALSE(purchases->reported.back().isFreeTrial);
  EXPECT_FALSE(purchases->reported.back().isIntroductoryOffer);
}

// Identifiers to 2^64 - 1 in decimal; dates, quantity and the verification pass unchanged; an
// unverified transaction is still logged.
TEST_F(StoreKitLayerTest, FieldsReachThePurchaseInterface) {
  StoreKitTransaction transaction;
  transaction.id = UINT64_MAX;
  transaction.originalID = (uint64_t{1} << 63) + 5;
  transaction.productID = "com.example.gold";
  transaction.webOrderLineItemID = "2000000012345678";
  transaction.purchasedQuantity = 3;
  transaction.purchaseDate = 1'700'000'000.5;
  transaction.originalPurchaseDate = 1'690'000'000;
  transaction.deviceVerification = "bad";
  transaction.deviceVerificationNonce = "6F2C4E1A-0000-4000-8000-000000000001";
  KVLAnalytics::logStoreKitTransaction(transaction);
  env.waitUntilIdle();
  ASSERT_EQ(purchases->reported.size(), 1u);
  const APMStoreKitTransaction& reported = purchases->reported.front();
  EXPECT_EQ(reported.transactionID, "18446744073709551615");
  EXPECT_EQ(reported.originalTransactionID, "9223372036854775813");
  EXPECT_EQ(reported.productID, "com.example.gold");
  EXPECT_EQ(reported.webOrderLineItemID, "2000000012345678");
  EXPECT_EQ(reported.paymentQuantity, 3);
  EXPECT_EQ(reported.purchaseDate, 1'700'000'000.5);
  EXPECT_EQ(reported.originalPurchaseDate, 1'690'000'000);
  EXPECT_EQ(reported.subscriptionExpirationDate, std::nullopt);
  EXPECT_EQ(reported.cancellationDate, std::nullopt);
  EXPECT_FALSE(reported.isVerified);
  ASSERT_EQ(purchases->verifications.size(), 1u);
  EXPECT_EQ(purchases->verifications[0].nonce, transaction.deviceVerificationNonce);
  // The App Store's device identifier is this device's identifier for the vendor.
  EXPECT_EQ(purchases->verifications[0].uuid,
            UIDevice::currentDevice().identifierForVendor()->UUIDString());
  EXPECT_TRUE(capture.contains("I-ACS025058"));
}

}  // namespace
