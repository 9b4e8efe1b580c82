// The server's parameter limits: the engine's configuration is the provider the sanitiser and
// the validator read, from the engine's start until it goes.
#include <memory>
#include <string>

#include "AppMeasurement/foundation/APMParameterLimits.h"
#include "tests/AppMeasurement/engine/AttributionTestSupport.h"
#include "tests/AppMeasurement/foundation/ParameterTestSupport.h"

namespace {

using enginetest::AttributionTest;

class ParameterLimitsTest : public AttributionTest {
 protected:
  // Logs the public event "limited" and answers its stored parameters.
  APMValueMap storedParameters(const APMObjectMap& parameters) {
    clearRawEvents();
    logEvent("app", true, "limited", parameters);
    APMValueMap stored;
    onWorker([&] {
      for (const APMRawEventData& raw : allRawEvents()) {
        std::optional<APMEvent> event = APMEvent::createWithEventProto(*raw.rawEvent());
        if (event && event->name() == "limited") stored = event->parameters();
      }
    });
    return stored;
  }
  static APMObjectMap numberedParameters(int count) {
    APMObjectMap parameters;
    for (int i = 0; i < count; ++i) {
      parameters["p" + std::to_string(100 + i)] = APMObject(platform::Value(i));
    }
    return parameters;
  }
  static size_t publicCount(const APMValueMap& parameters) {
    size_t count = 0;
    for (const auto& [name, value] : parameters) count += name.rfind('_', 0) != 0;
    return count;
  }
  static int64_t errorCode(const APMValueMap& parameters) {
    auto found = parameters.find("_err");
    return found == parameters.end() ? 0 : found->second.int64Value();
  }
};

TEST_F(ParameterLimitsTest, FetchedLimitsApplyToStoredEventsUntilAReset) {
  struct Case {
    const char* what;
    std::vector<std::pair<std::string, std::string>> settings;
    APMObjectMap parameters;
    size_t kept;  // public parameters stored
    int64_t error;
  };
  const std::string longValue(150, 'v');
  const Case cases[] = {
      {"built-in limits", {}, numberedParameters(30), 30, 0},
      {"25 parameters",
       {{"measurement.upload.max_public_event_params", "25"}},
       numberedParameters(30),
       25,
       5},
      {"values of 100 characters",
       {{"measurement.upload.max_event_parameter_value_length", "100"}},
       {{"text", APMObject(platform::Value(longValue))}, {"n", APMObject(platform::Value(1))}},
       1,
       4},
  };
  startService();
  makeAttributionEngine();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fetchConfig(c.settings);
    APMValueMap stored = storedParameters(c.parameters);
    EXPECT_EQ(publicCount(stored), c.kept);
    EXPECT_EQ(errorCode(stored), c.error);
  }
  // A reset empties the same configuration in place: the built-in limits apply again (with
  // the service gone, no fetch brings the limit back meanwhile).
  fetchConfig({{"measurement.upload.max_public_event_params", "25"}});
  service_.reset();
  ASSERT_TRUE(engine->resetAnalyticsDataWithAppInstanceID("reset-instance"));
  env.waitUntilIdle();
  APMValueMap stored = storedParameters(numberedParameters(30));
  EXPECT_EQ(publicCount(stored), 30u);
  EXPECT_EQ(errorCode(stored), 0);
}

// Each owner takes out only its own provider, whichever installed first.
TEST_F(ParameterLimitsTest, AnEngineAndATestEnvironmentKeepEachOthersLimits) {
  auto maxParams = [] { return APMParameterLimits::current()->maxPublicEventParams(); };
  auto environment = std::make_shared<testsupport::TestParameterLimits>();
  environment->maxParams = 10;
  auto dropEngine = [&] {
    std::weak_ptr<APMMeasurement> weak = engine;
    engine->setEnabled(false);
    env.waitUntilIdle();
    engine.reset();
    ASSERT_TRUE(weak.expired());
  };

  // The environment first: the engine's limits answer while it lives, then the environment's.
  APMParameterLimits::install(environment);
  makeEngine({{"measurement.upload.max_public_event_params", "25"}});
  EXPECT_EQ(maxParams(), 25);
  dropEngine();
  EXPECT_EQ(maxParams(), 10);
  APMParameterLimits::remove(environment.get());
  EXPECT_EQ(maxParams(), 100);

  // The engine first: the environment's teardown leaves the engine's limits in place.
  makeEngine({{"measurement.upload.max_public_event_params", "25"}});
  APMParameterLimits::install(environment);
  EXPECT_EQ(maxParams(), 10);
  APMParameterLimits::remove(environment.get());
  EXPECT_EQ(maxParams(), 25);
  dropEngine();
  EXPECT_EQ(maxParams(), 100);
}

}  // namespace
