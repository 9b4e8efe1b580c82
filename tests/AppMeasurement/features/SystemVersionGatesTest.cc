// Every feature that exists only from some iOS release, against one table of devices: each gate
// must give the same answer for the same device, because all ask the device facts' one check.
// A device that is not iOS, or whose version is no number, takes every older-system branch;
// the default device (no configuration) takes every current one.
#include <gtest/gtest.h>

#include <future>
#include <optional>
#include <string>

#include "AppMeasurement/engine/APMFeatureServices.h"
#include "AppMeasurement/engine/APMMeasurement.h"
#include "AppMeasurement/engine/KVLAnalytics.h"
#include "AppMeasurement/features/APMSearchAdReporter.h"
#include "AppMeasurement/foundation/APMDefaultIdentitySupport.h"
#include "AppMeasurement/foundation/APMIdentity.h"
#include "platform/adservices/AAAttribution.h"
#include "platform/storekit/SKAdNetwork.h"
#include "platform/storekit/StoreKitTransaction.h"
#include "platform/utilities/OULAppEnvironmentUtil.h"
#include "tests/support/DispatchTestEnvironment.h"

namespace {

class LastTransaction : public APMPurchaseReporting {
 public:
  void reportTransaction(const APMStoreKitTransaction& transaction) override { last = transaction; }
  bool verifyTransactionWithDeviceVerification(std::string_view, const std::optional<std::string>&,
                                               const std::string&) override {
    return true;
  }
  std::optional<APMStoreKitTransaction> last;
};

class SystemVersionGates : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::AAAttribution::registerInRuntime();
    SKAdNetwork::resetForTesting();
    APMFeatureServices services;
    services.purchaseReporter = purchases_;
    APMFeatureServices::install(services);
  }
  void TearDown() override {
    APMFeatureServices::install({});
    SKAdNetwork::resetForTesting();
    platform::AAAttribution::unregisterFromRuntime();
    OULAppEnvironmentUtil::setConfiguration(std::nullopt);
  }

  // Whether StoreKit's stand-in takes a conversion value (it refuses before 16.1).
  static bool conversionValueTaken() {
    std::promise<bool> taken;
    SKAdNetwork::updatePostbackConversionValue(
        1, SKAdNetworkCoarseConversionValueLow, false,
        [&](const std::optional<SKTransactionError>& error) { taken.set_value(!error); });
    return taken.get_future().get();
  }

  // The StoreKit 2 record of a free-trial introductory offer in the sandbox.
  APMStoreKitTransaction loggedTransaction() {
    StoreKitTransaction transaction;
    transaction.offer =
        StoreKitTransaction::Offer{StoreKitTransaction::OfferType::introductory,
                                   StoreKitTransaction::OfferPaymentMode::freeTrial};
    transaction.environment = "Sandbox";
    KVLAnalytics::logStoreKitTransaction(transaction);
    return purchases_->last.value_or(APMStoreKitTransaction{});
  }

  testsupport::DispatchTestEnvironment env;
  std::shared_ptr<LastTransaction> purchases_ = std::make_shared<LastTransaction>();
};

TEST_F(SystemVersionGates, EveryGateFollowsTheDevicesRelease) {
  struct Case {
    const char* system;  // nullptr: the default device
    const char* version;
    bool universalLinks;    // 9.0: a universal link is a campaign
    const char* skan;       // the SKAdNetwork version string
    bool iOS14;             // 14.0: tracking status, limited ad tracking, click identifiers
    bool adServices;        // 14.3: the search-ads attribution client
    bool environment;       // 16.0: a StoreKit transaction's environment
    bool conversionValues;  // 16.1: SKAdNetwork conversion values
    bool offers;            // 17.2: a StoreKit transaction's offer flags
  };
  const Case cases[] = {
      {"iOS", "8.4", false, "0", false, false, false, false, false},
      {"iOS", "9.0", true, "0", false, false, false, false, false},
      {"iOS", "13.6.9", true, "0", false, false, false, false, false},
      {"iOS", "13.7", true, "1.0", false, false, false, false, false},
      {"iOS", "14.0", true, "2.1", true, false, false, false, false},
      {"iOS", "14.2.1", true, "2.1", true, false, false, false, false},
      {"iOS", "14.3", true, "2.1", true, true, false, false, false},
      {"iOS", "14.5", true, "2.2", true, true, false, false, false},
      {"iOS", "14.6", true, "3.0", true, true, false, false, false},
      {"iOS", "16.0", true, "3.0", true, true, true, false, false},
      {"iOS", "16.1", true, "4.0", true, true, true, true, false},
      {"iOS", "17.1.2", true, "4.0", true, true, true, true, false},
      {"iOS", "17.2", true, "4.0", true, true, true, true, true},
      {"iOS", "18", true, "4.0", true, true, true, true, true},
      {nullptr, nullptr, true, "4.0", true, true, true, true, true},
      // Not iOS: no iOS release, whatever the numbers say (a Linux kernel's 6.1 and 17.4 alike).
      {"Linux", "6.1.0", false, "0", false, false, false, false, false},
      {"Linux", "17.4", false, "0", false, false, false, false, false},
      // A version that is no number.
      {"iOS", "", false, "0", false, false, false, false, false},
      {"iOS", "beta", false, "0", false, false, false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.system ? c.system : "default") + " " + (c.version ? c.version : ""));
    if (c.system == nullptr) {
      OULAppEnvironmentUtil::setConfiguration(std::nullopt);
    } else {
      OULAppEnvironmentUtil::Configuration device;
      device.systemName = c.system;
      device.systemVersion = c.version;
      OULAppEnvironmentUtil::setConfiguration(device);
    }
    // Deep links and campaigns.
    EXPECT_EQ(APMMeasurement::deepLinkFromUserActivity(OULAppDelegateInterceptor::UserActivity{
                  "NSUserActivityTypeBrowsingWeb", "https://app.example/x?utm_source=a", {}}),
              c.universalLinks ? std::optional<std::string>("https://app.example/x?utm_source=a")
                               : std::nullopt);
    // SKAdNetwork: the version sent with the request, and StoreKit taking the value.
    EXPECT_EQ(APMMeasurement::SKANVersion(), c.skan);
    EXPECT_EQ(conversionValueTaken(), c.conversionValues);
    // Identity: without an advertising framework, limited ad tracking is on from 14 (no
    // identifier) and the provider's flag (none: off) before.
    EXPECT_EQ(APMIdentity::iOS14OrAbove(), c.iOS14);
    EXPECT_EQ(APMDefaultIdentitySupport(nullptr).limitedAdTracking(), c.iOS14);
    // Search ads.
    EXPECT_EQ(APMSearchAdReporter::adClientInstance() != nullptr, c.adServices);
    // The typed StoreKit layer.
    APMStoreKitTransaction record = loggedTransaction();
    EXPECT_EQ(record.environment.has_value(), c.environment);
    EXPECT_EQ(record.isFreeTrial, c.offers);
    EXPECT_EQ(record.isIntroductoryOffer, c.offers);
  }
}

}  // namespace
