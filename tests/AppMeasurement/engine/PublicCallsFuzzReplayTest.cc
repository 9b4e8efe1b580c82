// The public-calls fuzz target over a fixed set of pseudo-random inputs, so every test run
// exercises it.
#include <random>

#include "tests/AppMeasurement/engine/EngineTestSupport.h"
#include "tests/AppMeasurement/engine/fuzz/PublicCallsFuzzTarget.h"

namespace {

class PublicCallsFuzzReplay : public enginetest::EngineTest {};

TEST_F(PublicCallsFuzzReplay, RandomCallsKeepTheStoreReadable) {
  APMAnalytics::startWithAppID(kAppID, "app", {});
  env.waitUntilIdle();
  std::mt19937 random(20261207);
  for (int run = 0; run < 200; ++run) {
    std::vector<uint8_t> input(random() % 400);
    for (auto& byte : input) byte = static_cast<uint8_t>(random());
    publiccallsfuzz::fuzzOne(input.data(), input.size());
  }
  env.waitUntilIdle();
}

}  // namespace
