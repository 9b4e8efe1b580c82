// A cached setting read a million times against a plain map look-up of the same number, and a
// full parse of a large configuration (settings, event configurations, consent configuration)
// against decoding the same bytes with the message runtime alone. Ratios of medians are printed
// last; a ratio whose sides did not both run fails the program.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "AppMeasurement/foundation/APMRemoteConfig.h"
#include "bench/MedianRatios.h"
#include "platform/foundation/Value.h"

namespace {

class NoStore : public APMRemoteConfigStore {
 public:
  bool updateRemoteConfig(const APMPBMeasurementConfig&, APMErrorSlot*) override { return true; }
  std::optional<APMPBMeasurementConfig> queryMeasurementConfigWithError(APMErrorSlot*) override {
    return std::nullopt;
  }
  std::optional<double> lastRemoteConfigUpdateTimestamp(APMErrorSlot*) override {
    return std::nullopt;
  }
};

constexpr int kReads = 1'000'000;
constexpr int64_t kMaxBundles = 100;  // the setting's default, and the anchor's stored value

// A side whose result is not the expected one is no figure: checked once, outside the timed
// loop; ends the program with a message.
void expect(bool good, const std::string& what) {
  if (good) return;
  std::fprintf(stderr, "apm_config_bench: %s\n", what.c_str());
  std::exit(1);
}

const std::string& largeConfigBytes() {
  static const std::string bytes = [] {
    APMPBMeasurementConfig config;
    NANOSetString(config, APMPBMeasurementConfig::kAppId, "1:bench");
    NANOSetInt64(config, APMPBMeasurementConfig::kVersion, 42);
    std::vector<APMPBSetting> settings;
    for (int i = 0; i < 500; ++i) {
      APMPBSetting setting;
      NANOSetString(setting, APMPBSetting::kName, "measurement.bench.setting_" + std::to_string(i));
      NANOSetString(setting, APMPBSetting::kValue, std::to_string(i * 1000));
      settings.push_back(setting);
    }
    NANOSetMessageArray(config, APMPBMeasurementConfig::kSettings, settings);
    std::vector<APMPBEventConfig> events;
    for (int i = 0; i < 500; ++i) {
      APMPBEventConfig event;
      NANOSetString(event, APMPBEventConfig::kName, "event_" + std::to_string(i));
      NANOSetBool(event, APMPBEventConfig::kBlocklisted, i % 2 == 0);
      NANOSetInt32(event, APMPBEventConfig::kSamplingRate, i);
      events.push_back(event);
    }
    NANOSetMessageArray(config, APMPBMeasurementConfig::kEventConfig, events);
    return *config.protoBuffer();
  }();
  return bytes;
}

void BM_CachedSettingRead(benchmark::State& state) {
  auto store = std::make_shared<NoStore>();
  auto config = APMRemoteConfig::create("1:bench", store, nullptr, nullptr);
  // As many cached entries as the anchor's map holds.
  for (int i = 0; i < 60; ++i) {
    config->int64ValueFromCacheWithKey("measurement.bench." + std::to_string(i), i);
  }
  expect(config->uploadMaxBundlesLimit() == kMaxBundles,  // checked and cached once
         "the cached setting is not the default " + std::to_string(kMaxBundles));
  for (auto _ : state) {
    int64_t sum = 0;
    for (int i = 0; i < kReads; ++i) sum += config->uploadMaxBundlesLimit();
    benchmark::DoNotOptimize(sum);
  }
}

void BM_PlainMapRead(benchmark::State& state) {
  std::map<std::string, platform::Value, std::less<>> map;
  for (int i = 0; i < 60; ++i) map["measurement.bench." + std::to_string(i)] = platform::Value(i);
  map["measurement.upload.max_bundles"] = platform::Value(kMaxBundles);
  expect(*map.find(std::string_view("measurement.upload.max_bundles"))->second.asInteger() ==
             kMaxBundles,
         "the map does not hold the setting");
  for (auto _ : state) {
    int64_t sum = 0;
    for (int i = 0; i < kReads; ++i) {
      auto it = map.find(std::string_view("measurement.upload.max_bundles"));
      sum += *it->second.asInteger();
      benchmark::DoNotOptimize(it);
    }
    benchmark::DoNotOptimize(sum);
  }
}

void BM_FullParse(benchmark::State& state) {
  auto store = std::make_shared<NoStore>();
  auto config = APMRemoteConfig::create("1:bench", store, nullptr, nullptr);
  {
    auto message = APMPBMeasurementConfig::initWithBuffer(largeConfigBytes());
    expect(message.has_value(), "the large configuration does not decode");
    config->parseRemoteConfigFromMeasurementConfig(*message);
    expect(config->int64ValueFromCacheWithKey("measurement.bench.setting_499", -1) == 499000 &&
               config->samplingRateForEvent("event_3") == 3 &&
               config->eventConfigWithName("event_499").has_value(),
           "the parsed configuration lacks its last setting or event configurations");
  }
  for (auto _ : state) {
    auto message = APMPBMeasurementConfig::initWithBuffer(largeConfigBytes());
    config->parseRemoteConfigFromMeasurementConfig(*message);
  }
}

void BM_DecodeOnly(benchmark::State& state) {
  {
    auto message = APMPBMeasurementConfig::initWithBuffer(largeConfigBytes());
    auto settings =
        message ? NANOViewMessageArray<APMPBSetting>(*message, APMPBMeasurementConfig::kSettings)
                : std::nullopt;
    auto events = message ? NANOViewMessageArray<APMPBEventConfig>(
                                *message, APMPBMeasurementConfig::kEventConfig)
                          : std::nullopt;
    expect(settings && settings->size() == 500 && events && events->size() == 500,
           "the decoded configuration lacks settings or event configurations");
  }
  for (auto _ : state) {
    auto message = APMPBMeasurementConfig::initWithBuffer(largeConfigBytes());
    benchmark::DoNotOptimize(message);
  }
}

BENCHMARK(BM_CachedSettingRead)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainMapRead)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FullParse)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DecodeOnly)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  if (!kvlbench::initialize(argc, argv)) return 1;
  kvlbench::MedianReporter reporter;
  // Goal of the cached setting: at most 3 times a plain map look-up.
  reporter.ratio("cached setting / plain map look-up", "BM_CachedSettingRead", "BM_PlainMapRead");
  reporter.ratio("full parse / decode alone", "BM_FullParse", "BM_DecodeOnly");
  reporter.run();
  std::printf("\nconfiguration of %zu bytes; goal of the cached setting: at most 3\n",
              largeConfigBytes().size());
  reporter.printRatios();
  benchmark::Shutdown();
  return reporter.complete() ? 0 : 1;
}
