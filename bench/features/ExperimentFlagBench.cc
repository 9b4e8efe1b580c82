// The cost of a flag value through the experiment manager (a synchronous hop onto its queue,
// the activated snapshot, then the launched one and the defaults) beside a plain map look-up
// of the same value. Run from a Release build; the ratios are printed last.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include "AppMeasurement/features/APMEManager.h"
#include "AppMeasurement/features/APMETaskManager.h"
#include "AppMeasurement/foundation/APMAlarm.h"
#include "AppMeasurement/foundation/APMUserDefaults.h"
#include "bench/MedianRatios.h"
#include "bench/ScratchDirectory.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/AppContainer.h"

namespace {

struct Fixture {
  Fixture() {
    // A folder of this run's own, so that two runs at once never share a store.
    std::filesystem::path root = bench::scratchDirectory("kvl-flag-bench");
    (void)platform::AppContainer::setRoot(root);
    auto queue = platform::DispatchQueue::createSerial("APMExperimentWorkerQueue");
    taskManager = APMETaskManager::create(
        queue, APMAlarm::create(queue, "APMExperimentAlarm"), nullptr,
        std::make_shared<APMUserDefaults>(std::string(APMETaskManager::kSuiteName)),
        (root / "bench.sql").string(), 0);
    manager = APMEManager::create(taskManager);
    std::map<std::string, NANOObject> defaults;
    std::vector<APMPBFlag> flags;
    for (int i = 0; i < 20; ++i) {
      std::string name = "flag_" + std::to_string(i);
      defaults.emplace(name, NANONumber::fromInt64(i));
      flags.push_back(*APMPBFlagCreate(name, NANONumber::fromInt64(100 + i)));
      plain.emplace(name, NANONumber::fromInt64(100 + i));
    }
    defaults.emplace("default_only", NANONumber::fromInt64(7));
    plain.emplace("default_only", NANONumber::fromInt64(7));
    manager->registerSDKProperty(APMESDKProperty::create("sdk"), defaults);
    APMESnapshot activated = *APMESnapshot::create(
        "sdk", std::vector<APMEExperiment>{*APMEExperiment::create(3, flags)});
    manager->taskManagerDidStart(*taskManager, {activated}, {}, {});
    platform::DispatchQueue::waitUntilIdle();
  }
  std::shared_ptr<APMETaskManager> taskManager;
  std::shared_ptr<APMEManager> manager;
  std::map<std::string, NANOObject, std::less<>> plain;
};

// Each side must give the flag's value: the activated 111, the default 7, the map's 111.
// Checked once, before the timed loops; ends the program with a message otherwise.
void expectValue(const NANOObject& value, int64_t expected, const char* side) {
  const NANONumber* number = std::get_if<NANONumber>(&value);
  if (number != nullptr && number->longLongValue() == expected) return;
  std::fprintf(stderr, "apm_features_bench: %s: not the value %lld\n", side,
               static_cast<long long>(expected));
  std::exit(1);
}

Fixture& fixture() {
  static Fixture* instance = [] {
    auto* made = new Fixture();
    expectValue(made->manager->flagValueForFlagName("flag_11", "sdk"), 111, "activated flag");
    expectValue(made->manager->flagValueForFlagName("default_only", "sdk"), 7, "default flag");
    expectValue(made->plain.find(std::string_view("flag_11"))->second, 111, "plain map");
    return made;
  }();
  return *instance;
}

void BM_FlagActivatedHit(benchmark::State& state) {
  APMEManager& manager = *fixture().manager;
  for (auto _ : state) benchmark::DoNotOptimize(manager.flagValueForFlagName("flag_11", "sdk"));
}
BENCHMARK(BM_FlagActivatedHit);

void BM_FlagDefaultFallThrough(benchmark::State& state) {
  APMEManager& manager = *fixture().manager;
  for (auto _ : state) {
    benchmark::DoNotOptimize(manager.flagValueForFlagName("default_only", "sdk"));
  }
}
BENCHMARK(BM_FlagDefaultFallThrough);

void BM_PlainMapLookup(benchmark::State& state) {
  const auto& plain = fixture().plain;
  for (auto _ : state) {
    auto found = plain.find(std::string_view("flag_11"));
    NANOObject value = found->second;
    benchmark::DoNotOptimize(value);
  }
}
BENCHMARK(BM_PlainMapLookup);

}  // namespace

int main(int argc, char** argv) {
  if (!kvlbench::initialize(argc, argv)) return 1;
  kvlbench::MedianReporter reporter;
  reporter.ratio("activated hit / plain map", "BM_FlagActivatedHit", "BM_PlainMapLookup");
  reporter.ratio("default fall-through / plain map", "BM_FlagDefaultFallThrough",
                 "BM_PlainMapLookup");
  reporter.run();
  reporter.printRatios();
  benchmark::Shutdown();
  std::error_code ignored;
  std::filesystem::remove_all(bench::scratchDirectory("kvl-flag-bench"), ignored);
  return reporter.complete() ? 0 : 1;
}
