// The fuzz target over a fixed set of pseudo-random inputs, so every test run exercises it.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "tests/AppMeasurement/engine/fuzz/ParametersFuzzTarget.h"
#include "tests/AppMeasurement/foundation/ParameterTestSupport.h"

namespace {

class ParametersFuzzReplay : public testsupport::ParameterTest {};

TEST_F(ParametersFuzzReplay, RandomTreesKeepTheInvariants) {
  std::mt19937 random(20261207);
  for (int run = 0; run < 500; ++run) {
    std::vector<uint8_t> input(random() % 600);
    for (auto& byte : input) byte = static_cast<uint8_t>(random());
    parametersfuzz::fuzzOne(input.data(), input.size());
  }
  settle();
}

}  // namespace
