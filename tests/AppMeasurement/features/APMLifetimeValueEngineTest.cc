#include "AppMeasurement/features/APMLifetimeValueRecorder.h"
#include "tests/AppMeasurement/engine/EngineTestSupport.h"

namespace {

// Purchases logged through the engine's front door reach the recorder inside the engine's
// write, and the totals land in the measurement database.
class APMLifetimeValueEngineTest : public enginetest::EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    APMLifetimeValueRecorder::installInFeatureServices();
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
