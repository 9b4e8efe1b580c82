#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Value.h"

// The health-data sample: a reservoir of one warning or error, kept as the four-entry array
// [encoded context (string), population (32-bit integer), key (string), start (date)],
// which is also its persisted form. Not synchronised: the monitor uses it on its own queue.
class APMMonitoringSampledData {
 public:
  // A uniform random draw in [0, upperBound); upperBound is at least 1.
  using RandomUniform = std::function<uint32_t(uint32_t upperBound)>;

  // Keeps a copy of the array when it is a valid entry (its population read as an integer),
  // else starts empty. `random` replaces
  // the system's random source (tests pass a fixed one).
  explicit APMMonitoringSampledData(const std::optional<platform::Value>& array,
                                    RandomUniform random = {});

  // True for an array of exactly four entries of the types above, whose population is a number
  // (integer or real) from 0 up to the largest 32-bit one.
  static bool isValidUserDefaultsArrayEntry(const platform::Value& entry);

  // Counts one more competing message: starts a sample when there is none; otherwise the
  // population grows by one and with probability 1/population this message replaces the
  // sampled key and context (the start date stays). Absent key or context: nothing.
  void insertOrUpdateSampledData(std::optional<std::string_view> key,
                                 std::optional<std::string_view> encodedContext);

  // The upload text, if one is due at the installed clock's now: a sample older than the
  // period gives "population:key[:context]" and is dropped; no sample, when the last sampled
  // timestamp is positive and lies more than the period away, gives "0:".
  std::optional<std::string> monitoringDataForDispatch(double samplePeriod,
                                                       double lastSampledTimestamp);

  // A copy of the sample array, or nothing.
  std::optional<platform::Value::Array> sampledData() const { return sample_; }

  // The four-entry array, or nothing unless all four are given.
  static std::optional<platform::Value::Array> sampledDataEntry(
      std::optional<std::string_view> key, std::optional<double> timestamp,
      std::optional<std::string_view> context, std::optional<int32_t> population);

  // "%d:%@:%@" of population, key and context, or "%d:%@" when the context is empty.
  static std::string monitoringURLParam(std::string_view key, int32_t population,
                                        std::string_view context);

 private:
  std::optional<platform::Value::Array> sample_;
  RandomUniform random_;
};
