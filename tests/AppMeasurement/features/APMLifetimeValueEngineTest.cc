#include "AppMeasurement/engine/APMAnalytics.h"
#include "AppMeasurement/features/APMFeatureInstaller.h"
#include "tests/AppMeasurement/engine/EngineTestSupport.h"

namespace {

// Purchases logged through the engine's front door reach the recorder inside the engine's
// write, and the totals land in the measurement database.
class APMLifetimeValueEngineTest : public enginetest::EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    APMInstallMeasurementFeatures(nullptr);
  }
  void TearDown() override {
    EngineTest::TearDown();
    APMFeatureServices::install(APMFeatureServices::neutral());
  }
};

TEST_F(APMLifetimeValueEngineTest, PurchasesUpdateTheStoredTotal) {
  makeEngine();
  logEvent("app", true, "purchase",
           {{"currency", APMObject(platform::Value("usd"))},
            {"value", APMObject(platform::Value(2.5))}});
  logEvent("auto", false, "_iap",
           {{"currency", APMObject(platform::Value("USD"))},
            {"value", APMObject(platform::Value(int64_t{990000}))}});
  logEvent("app", true, "refund",
           {{"currency", APMObject(platform::Value("USD"))},
            {"value", APMObject(platform::Value(1.0))}});
  std::optional<APMUserAttribute> total;
  onWorker([&] { total = engine->database()->userAttributeWithName("_ltv_USD", nullptr); });
  ASSERT_TRUE(total.has_value());
  EXPECT_EQ(total->value().int64Value(), 2500000 + 990000 - 1000000);
  EXPECT_EQ(total->origin(), "auto");
}

}  // namespace

namespace {

// The composition root's recorder reads the engine's own configuration: with the server's limit
// of 10 tracked currencies, a fifth currency keeps the first (the built-in limit is 4).
TEST_F(APMLifetimeValueEngineTest, TheInstalledRecorderUsesTheServersCurrencyLimit) {
  APMInstallMeasurementFeatures();
  APMAnalytics::startWithAppID(kAppID, "app", {});
  env.waitUntilIdle();
  std::shared_ptr<APMMeasurement> shared = APMMeasurement::sharedInstance();
  ASSERT_NE(shared, nullptr);
  shared->scheduler()->dispatchSyncOnWorkerQueueBlockID("test", [&] {
    ASSERT_TRUE(shared->currentConfig()->updateMeasurementConfig(enginetest::makeConfig(
        kAppID, {{"measurement.lifetimevalue.max_currency_tracked", "10"}})));
  });
  for (const char* currency : {"JPY", "USD", "EUR", "GBP", "CHF"}) {
    shared->logEvent("app", true, "purchase",
                     {{"currency", APMObject(platform::Value(currency))},
                      {"value", APMObject(platform::Value(1.0))}},
                     env.now(), true, false, false, nullptr, {});
    env.waitUntilIdle();
  }
  std::vector<std::string> kept;
  shared->scheduler()->dispatchSyncOnWorkerQueueBlockID("test", [&] {
    for (const char* currency : {"JPY", "USD", "EUR", "GBP", "CHF"}) {
      std::string name = std::string("_ltv_") + currency;
      if (shared->database()->userAttributeWithName(name, nullptr)) kept.push_back(name);
    }
  });
  EXPECT_EQ(kept, (std::vector<std::string>{"_ltv_JPY", "_ltv_USD", "_ltv_EUR", "_ltv_GBP",
                                            "_ltv_CHF"}));
  shared->setEnabled(false);
  env.waitUntilIdle();
}

}  // namespace
