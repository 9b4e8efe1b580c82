// A campaign link through the engine against the same internal event logged alone, both on
// the worker queue and committed (ratio of medians printed last):
// - BM_Campaign_Link: handleOpenURLOnWorkerQueue with a link of five campaign keys: query
//   parsing, the parameter map, the "_cmp" event handled and written, the campaign record
//   encoded and stored;
// - BM_InternalEvent_Same: the same "_cmp" event with the same parameters made and handled.
// Goal: campaign / internal event <= 1.5.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "AppMeasurement/engine/APMMeasurement.h"
#include "AppMeasurement/foundation/APMPersistedConfig.h"
#include "AppMeasurement/foundation/APMRemoteConfig.h"
#include "AppMeasurement/foundation/APMScheduler.h"
#include "AppMeasurement/storage/APMDatabase.h"
#include "bench/MedianRatios.h"
#include "bench/ScratchDirectory.h"
#include "platform/foundation/AppContainer.h"
#include "platform/foundation/PlatformLog.h"
#include "tests/support/ClosedPort.h"

namespace {

constexpr const char* kLink =
    "kavrelin://promo?utm_source=newsletter&utm_medium=email&utm_campaign=winter_sale"
    "&oclid=OC-1234567890&oad_source=partner";
constexpr int kBatch = 100;

std::filesystem::path scratchDirectory() {
  return bench::scratchDirectory("kvl-attribution-bench");
}

std::shared_ptr<APMMeasurement> engine() {
  static std::shared_ptr<APMMeasurement> made = [] {
    platform::PlatformLog::setSink([](const std::string&) {});
    if (!platform::AppContainer::setRoot(scratchDirectory() / "container").ok()) std::abort();
    // No service is needed: every host is a port held closed, never the local service's.
    APMRemoteConfig::setHosts(testsupport::processClosedHosts<APMRemoteConfig::Hosts>());
    APMMeasurement::Collaborators collaborators;
    collaborators.persistedConfig = APMPersistedConfig::create("attribution-bench");
    std::shared_ptr<APMMeasurement> engine =
        APMMeasurement::create(std::move(collaborators), "1:1234567890:ios:bench", true, false, {});
    engine->scheduler()->dispatchSyncOnWorkerQueueBlockID("bench", [] {});
    if (!engine->didInitializeComponents()) std::abort();
    return engine;
  }();
  return made;
}

void onWorker(const std::function<void()>& block) {
  engine()->scheduler()->dispatchSyncOnWorkerQueueBlockID("bench", block);
}

// Both sides must have written the batch's kBatch "_cmp" events, or they compare different
// work. Checked after every batch, outside the timed part; ends the program with a message
// otherwise.
void checkBatch(const char* side) {
  int64_t written = -1;
  onWorker([&] {
    const platform::Value name("_cmp");
    written = engine()
                  ->database()
                  ->sqliteStore()
                  ->rowCountForTableWithName("raw_events", "name", &name, nullptr)
                  .value_or(-1);
  });
  if (written != kBatch) {
    std::fprintf(stderr, "apm_attribution_bench: %s: %lld _cmp events written, expected %d\n", side,
                 static_cast<long long>(written), kBatch);
    std::fflush(stderr);
    std::_Exit(1);  // the engine's queues outlive main
  }
}

// The rows go, and today's daily counts back to zero, so that no daily limit drops an event.
void clearRawEvents() {
  onWorker([] {
    APMDatabase* database = engine()->database();
    database->sqliteStore()->executeSQL("DELETE FROM raw_events", nullptr);
    if (std::optional<APMDailyCounts> counts = database->dailyCounts(nullptr)) {
      database->updateDailyCounts(APMDailyCounts(counts->day(), 0, 0, 0, 0, 0, 0), nullptr);
    }
  });
}

void BM_Campaign_Link(benchmark::State& state) {
  std::shared_ptr<APMMeasurement> measurement = engine();
  for (auto _ : state) {
    onWorker([&] {
      for (int i = 0; i < kBatch; ++i) {
        measurement->handleOpenURLOnWorkerQueue(kLink, std::nullopt, 1'765'000'000.0 + i,
                                                std::nullopt);
      }
    });
    state.PauseTiming();
    checkBatch("campaign link");
    clearRawEvents();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}

void BM_InternalEvent_Same(benchmark::State& state) {
  std::shared_ptr<APMMeasurement> measurement = engine();
  for (auto _ : state) {
    onWorker([&] {
      for (int i = 0; i < kBatch; ++i) {
        APMValueMap parameters{{"source", APMValue("newsletter")},
                               {"medium", APMValue("email")},
                               {"campaign", APMValue("winter_sale")},
                               {"oclid", APMValue("OC-1234567890")},
                               {"oad_source", APMValue("partner")}};
        std::optional<APMEvent> event =
            APMEvent::create("auto", false, "_cmp", 1'765'000'000.0 + i, 0, parameters);
        measurement->handleInternalEventOnWorkerQueue(std::move(*event));
      }
    });
    state.PauseTiming();
    checkBatch("internal event");
    clearRawEvents();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}

BENCHMARK(BM_Campaign_Link)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_InternalEvent_Same)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  if (!kvlbench::initialize(argc, argv)) return 1;
  kvlbench::MedianReporter reporter;
  reporter.ratio("campaign link / the same internal event (goal <= 1.5)", "BM_Campaign_Link",
                 "BM_InternalEvent_Same");
  reporter.run();
  reporter.printRatios();
  benchmark::Shutdown();
  std::error_code ignored;
  std::filesystem::remove_all(scratchDirectory(), ignored);
  std::fflush(stdout);
  std::_Exit(reporter.complete() ? 0 : 1);  // the engine's queues outlive main
}
