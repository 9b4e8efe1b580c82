#include "AppMeasurement/foundation/APMMonitoringSampledData.h"

#include <gtest/gtest.h>

#include <deque>

#include "tests/support/DispatchTestEnvironment.h"

namespace {

using platform::Value;

class APMMonitoringSampledDataTest : public ::testing::Test {
 protected:
  // A random source that answers the queued draws, and records the bounds asked for.
  APMMonitoringSampledData::RandomUniform scripted() {
    return [this](uint32_t bound) {
      bounds.push_back(bound);
      uint32_t draw = draws.empty() ? 1 : draws.front();
      if (!draws.empty()) draws.pop_front();
      return draw;
    };
  }

  testsupport::DispatchTestEnvironment env{1000.0};
  std::shared_ptr<platform::ManualClock> clock = env.sharedClock();
  std::deque<uint32_t> draws;
  std::vector<uint32_t> bounds;
};

TEST_F(APMMonitoringSampledDataTest, ReservoirOfOne) {
  APMMonitoringSampledData data(std::nullopt, scripted());
  EXPECT_FALSE(data.sampledData().has_value());
  data.insertOrUpdateSampledData("k1", "c1");
  EXPECT_EQ(data.sampledData(),
            (Value::Array{Value("c1"), Value(1), Value("k1"), Value::date(1000.0)}));
  EXPECT_TRUE(bounds.empty());  // the first message is taken without a draw

  clock->setNow(1010);
  draws = {1};  // not chosen
  data.insertOrUpdateSampledData("k2", "c2");
  draws = {0};  // chosen
  data.insertOrUpdateSampledData("k3", "c3");
  EXPECT_EQ(bounds, (std::vector<uint32_t>{2, 3}));
  EXPECT_EQ(data.sampledData(),
            (Value::Array{Value("c3"), Value(3), Value("k3"), Value::date(1000.0)}));

  data.insertOrUpdateSampledData(std::nullopt, "c");
  data.insertOrUpdateSampledData("k", std::nullopt);
  EXPECT_EQ((*data.sampledData())[1], Value(3));
}

TEST_F(APMMonitoringSampledDataTest, SystemRandomKeepsEachMessageWithEqualChance) {
  // 4 messages compete; over many runs each is kept about a quarter of the time.
  int kept[4] = {};
  for (int run = 0; run < 4000; ++run) {
    APMMonitoringSampledData data(std::nullopt);
    for (int m = 0; m < 4; ++m) data.insertOrUpdateSampledData(std::to_string(m), "c");
    kept[std::stoi(*(*data.sampledData())[2].asString())]++;
  }
  for (int count : kept) {
    EXPECT_GT(count, 850);
    EXPECT_LT(count, 1150);
  }
}

TEST_F(APMMonitoringSampledDataTest, HandedOutOnlyAfterThePeriod) {
  APMMonitoringSampledData data(std::nullopt, scripted());
  data.insertOrUpdateSampledData("1W_111500:M", "-,42");
  clock->setNow(1000 + 60);
  EXPECT_EQ(data.monitoringDataForDispatch(60, 0), std::nullopt);  // exactly T + P: not yet
  clock->setNow(1000 + 60.5);
  EXPECT_EQ(data.monitoringDataForDispatch(60, 0), "1:1W_111500:M:-,42");
  EXPECT_FALSE(data.sampledData().has_value());  // dropped once handed out
  EXPECT_EQ(data.monitoringDataForDispatch(60, 0), std::nullopt);

  data.insertOrUpdateSampledData("1E_111500:N", "");
  clock->setNow(2000);
  EXPECT_EQ(data.monitoringDataForDispatch(10, 0), "1:1E_111500:N");
}

TEST_F(APMMonitoringSampledDataTest, EmptySampleReportsZeroAfterAQuietPeriod) {
  APMMonitoringSampledData data(std::nullopt, scripted());
  EXPECT_EQ(data.monitoringDataForDispatch(100, 800), "0:");          // |800 - 1000| > 100
  EXPECT_EQ(data.monitoringDataForDispatch(100, 1200), "0:");         // a timestamp in the future
  EXPECT_EQ(data.monitoringDataForDispatch(100, 900), std::nullopt);  // exactly the period
  EXPECT_EQ(data.monitoringDataForDispatch(100, 0), std::nullopt);    // never sampled
  EXPECT_EQ(data.monitoringDataForDispatch(100, -5000), std::nullopt);
}

TEST_F(APMMonitoringSampledDataTest, OnlyWellFormedArraysLoad) {
  struct Good {
    Value population;
    int64_t read;
  };
  const Good goods[] = {{Value(7), 7}, {Value(0), 0}, {Value(7.5), 7}, {Value(0.0), 0}};
  for (const Good& g : goods) {
    const Value stored(Value::Array{Value("c"), g.population, Value("k"), Value::date(5)});
    EXPECT_TRUE(APMMonitoringSampledData::isValidUserDefaultsArrayEntry(stored)) << g.read;
    APMMonitoringSampledData loaded(stored, scripted());
    EXPECT_EQ(loaded.sampledData(),
              (Value::Array{Value("c"), Value(g.read), Value("k"), Value::date(5)}));
  }

  const Value bad[] = {
      Value(Value::Array{Value("c"), Value(7), Value("k")}),                // three entries
      Value(Value::Array{Value("c"), Value(7), Value(8), Value::date(5)}),  // number as key
      Value(Value::Array{Value("c"), Value("7"), Value("k"), Value::date(5)}),
      Value(Value::Array{Value("c"), Value(7), Value("k"), Value(5.0)}),
      Value(Value::Array{Value("c"), Value(-4), Value("k"), Value::date(5)}),
      Value(Value::Array{Value("c"), Value(-0.5), Value("k"), Value::date(5)}),
      Value(Value::Array{Value("c"), Value(int64_t{1} << 40), Value("k"), Value::date(5)}),
      Value(Value::Array{Value("c"), Value(7), Value("k"), Value::date(5), Value(1)}),
      Value("not an array"),
      Value(),
  };
  for (size_t i = 0; i < std::size(bad); ++i) {
    EXPECT_FALSE(APMMonitoringSampledData::isValidUserDefaultsArrayEntry(bad[i])) << i;
    APMMonitoringSampledData data(bad[i], scripted());
    EXPECT_FALSE(data.sampledData().has_value()) << i;
  }
}

TEST_F(APMMonitoringSampledDataTest, PopulationSaturatesInsteadOfOverflowing) {
  const Value full(
      Value::Array{Value("c"), Value(int64_t{2147483647}), Value("k"), Value::date(5)});
  APMMonitoringSampledData data(full, scripted());
  data.insertOrUpdateSampledData("k2", "c2");
  EXPECT_EQ((*data.sampledData())[1], Value(int64_t{2147483647}));
}

TEST_F(APMMonitoringSampledDataTest, EntryAndParameterHelpers) {
  EXPECT_FALSE(APMMonitoringSampledData::sampledDataEntry("k", 1.0, "c", std::nullopt));
  EXPECT_FALSE(APMMonitoringSampledData::sampledDataEntry(std::nullopt, 1.0, "c", 1));
  EXPECT_EQ(APMMonitoringSampledData::sampledDataEntry("k", 1.0, "c", 2),
            (Value::Array{Value("c"), Value(2), Value("k"), Value::date(1.0)}));
  EXPECT_EQ(APMMonitoringSampledData::monitoringURLParam("k", 12, "ctx"), "12:k:ctx");
  EXPECT_EQ(APMMonitoringSampledData::monitoringURLParam("k", 12, ""), "12:k");
}

}  // namespace
