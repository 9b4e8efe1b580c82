#include "AppMeasurement/foundation/APMMonitoringSampledData.h"

#include <cmath>
#include <limits>
#include <mutex>
#include <random>

#include "platform/dispatch/Clock.h"

namespace {

enum Index { kContext = 0, kPopulation = 1, kKey = 2, kStart = 3, kCount = 4 };

uint32_t systemRandomUniform(uint32_t upperBound) {
  // Never destroyed: the monitor's queue may draw until the process ends.
  static auto* mutex = new std::mutex();
  static auto* engine = new std::mt19937(std::random_device{}());
  std::lock_guard<std::mutex> lock(*mutex);
  return std::uniform_int_distribution<uint32_t>(0, upperBound - 1)(*engine);
}

}  // namespace

APMMonitoringSampledData::APMMonitoringSampledData(const std::optional<platform::Value>& array,
                                                   RandomUniform random)
    : random_(random ? std::move(random) : RandomUniform(systemRandomUniform)) {
  if (array && isValidUserDefaultsArrayEntry(*array)) {
    sample_ = *array->asArray();
    // Any stored number is read as the 32-bit count it stands for (a real loses its fraction).
    (*sample_)[kPopulation] = platform::Value(*(*sample_)[kPopulation].numberAsInteger());
  }
}

bool APMMonitoringSampledData::isValidUserDefaultsArrayEntry(const platform::Value& entry) {
  const platform::Value::Array* array = entry.asArray();
  if (!array || array->size() != kCount) return false;
  std::optional<double> population = (*array)[kPopulation].numberAsDouble();
  // A negative population, or one beyond 32 bits, can only come from a damaged file; it would
  // make the random draw meaningless.
  return (*array)[kContext].isString() && population && *population >= 0 &&
         *population < static_cast<double>(std::numeric_limits<int32_t>::max()) + 1 &&
         (*array)[kKey].isString() && (*array)[kStart].isDate();
}

void APMMonitoringSampledData::insertOrUpdateSampledData(
    std::optional<std::string_view> key, std::optional<std::string_view> encodedContext) {
  if (!key || !encodedContext) return;
  if (!sample_) {
    sample_ = sampledDataEntry(key, platform::Clock::current()->now(), encodedContext, 1);
    return;
  }
  auto& array = *sample_;
  int64_t population = *array[kPopulation].asInteger();
  // Saturates rather than overflowing the 32-bit count.
  if (population < std::numeric_limits<int32_t>::max()) ++population;
  array[kPopulation] = platform::Value(population);
  if (random_(static_cast<uint32_t>(population)) == 0) {
    array[kKey] = platform::Value(*key);
    array[kContext] = platform::Value(*encodedContext);
  }
}

std::optional<std::string> APMMonitoringSampledData::monitoringDataForDispatch(
    double samplePeriod, double lastSampledTimestamp) {
  double now = platform::Clock::current()->now();
  if (!sample_) {
    if (lastSampledTimestamp > 0 && std::fabs(lastSampledTimestamp - now) > samplePeriod) {
      return std::string("0:");
    }
    return std::nullopt;
  }
  const auto& array = *sample_;
  if (array[kStart].asDate()->secondsSince1970 >= now - samplePeriod) return std::nullopt;
  std::string text = monitoringURLParam(*array[kKey].asString(),
                                        static_cast<int32_t>(*array[kPopulation].asInteger()),
                                        *array[kContext].asString());
  sample_.reset();
  return text;
}

std::optional<platform::Value::Array> APMMonitoringSampledData::sampledDataEntry(
    std::optional<std::string_view> key, std::optional<double> timestamp,
    std::optional<std::string_view> context, std::optional<int32_t> population) {
  if (!key || !timestamp || !context || !population) return std::nullopt;
  return platform::Value::Array{platform::Value(*context), platform::Value(*population),
                                platform::Value(*key), platform::Value::date(*timestamp)};
}

std::string APMMonitoringSampledData::monitoringURLParam(std::string_view key, int32_t population,
                                                         std::string_view context) {
  std::string text = std::to_string(population) + ":" + std::string(key);
  if (!context.empty()) text += ":" + std::string(context);
  return text;
}
