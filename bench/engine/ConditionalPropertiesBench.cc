// Events written per second while 1,000 conditional user properties wait for a trigger that
// never comes, against none waiting: every written event first passes the conditional
// properties' step (timed out, expired, triggered, in one transaction). Goal: the rate with
// 1,000 waiting at least 0.5 of the rate without.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "AppMeasurement/engine/KVLAnalytics.h"
#include "AppMeasurement/foundation/APMRemoteConfig.h"
#include "AppMeasurement/foundation/APMScheduler.h"
#include "AppMeasurement/storage/APMDatabase.h"
#include "bench/MedianRatios.h"
#include "bench/ScratchDirectory.h"
#include "platform/core/KVLApp.h"
#include "platform/core/KVLOptions.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchSemaphore.h"
#include "platform/foundation/AppContainer.h"
#include "platform/foundation/PlatformLog.h"
#include "tools/loopback-http/LoopbackHttpServer.h"

namespace {

constexpr int kBatch = 200;

std::filesystem::path scratchDirectory() { return bench::scratchDirectory("kvl-cup-bench"); }

// The engine, started once for the whole run.
std::shared_ptr<APMMeasurement> engine() {
  static std::shared_ptr<APMMeasurement> started = [] {
    platform::PlatformLog::setSink([](const std::string&) {});
    if (!platform::AppContainer::setRoot(scratchDirectory() / "container").ok()) std::abort();
    // Uploads and configuration requests go to a sink of this process, never to a service
    // someone else runs on this machine. Never destroyed: the engine may post until exit.
    auto* sink = new loopback::LoopbackHttpServer(
        0, [](const loopback::HttpRequest&) { return loopback::HttpResponse::text(204, ""); });
    std::string host = "127.0.0.1:" + std::to_string(sink->port());
    APMRemoteConfig::setHosts({host, host, host});
    KVLAnalyticsRegisterLibrary();
    KVLApp::configureWithOptions(
        std::make_shared<KVLOptions>("1:1234567890:ios:bench", true, false));
    std::shared_ptr<APMMeasurement> made;
    for (int i = 0; i < 1000 && !(made = APMMeasurement::sharedInstance()); ++i) {
      platform::DispatchSemaphore(0).wait(0.01);
    }
    for (int i = 0; i < 1000 && made && !made->didInitializeComponents(); ++i) {
      platform::DispatchSemaphore(0).wait(0.01);
    }
    return made;
  }();
  return started;
}

void onWorker(const std::function<void()>& block) {
  engine()->scheduler()->dispatchSyncOnWorkerQueueBlockID("bench", block);
}

// Today's daily counts at zero. On the worker queue.
void resetDailyCounts() {
  APMDatabase* database = engine()->database();
  if (std::optional<APMDailyCounts> counts = database->dailyCounts(nullptr)) {
    database->updateDailyCounts(APMDailyCounts(counts->day(), 0, 0, 0, 0, 0, 0), nullptr);
  }
}

// Replaces the stored conditional properties with `count` inactive ones waiting for an event
// that is never logged, within their trigger timeout.
void storeWaitingProperties(int count) {
  onWorker([count] {
    APMDatabase* database = engine()->database();
    database->sqliteStore()->executeSQL("DELETE FROM conditional_properties", nullptr);
    double now = platform::Clock::current()->now();
    database->performTransaction([&] {
      for (int i = 0; i < count; ++i) {
        APMConditionalUserProperty property;
        property.name = "waiting_" + std::to_string(i);
        property.origin = "kcm";
        property.value = APMValue("value");
        property.triggerEventName = "never_logged";
        property.triggerTimeout = 15552000;
        property.timeToLive = 15552000;
        property.triggeredEvent =
            APMEvent::create("kcm", false, "cup_triggered", now, 0, APMValueMap{});
        property.creationTimestamp = now;
        database->updateConditionalUserProperty(property, nullptr);
      }
      return true;
    });
    // Written behind the controller's back: what the engine knew of them is stale.
    engine()->conditionalUserPropertySchedule().reset();
    resetDailyCounts();
  });
}

void BM_Engine_WriteEvents(benchmark::State& state) {
  if (!engine()) return state.SkipWithError("no engine");
  storeWaitingProperties(static_cast<int>(state.range(0)));
  APMEvent event = *APMEvent::create(
      "app", true, "level_up", platform::Clock::current()->now(), 0,
      APMValueMap{{"level", APMValue(int64_t{12})}, {"character", APMValue("wizard")}});
  auto writeBatch = [&] {
    onWorker([&] {
      for (int i = 0; i < kBatch; ++i) engine()->writeEventOnWorkerQueue(event);
    });
  };
  // Every batch must have written its kBatch events, and no property may have fired (or the
  // case measures less work than it says). The events are counted by today's public-event
  // count, which starts each batch at zero: the engine raises it in the transaction that writes
  // the event, so it counts events written and committed (and dropped by a limit: none are
  // while it stays under the limit), wherever the upload has taken them since. Checked outside
  // the timed part, after each batch; ends the program with a message otherwise.
  const int64_t waiting = state.range(0);
  auto checkBatch = [waiting] {
    int64_t events = -1, properties = -1;
    onWorker([&] {
      APMDatabase* database = engine()->database();
      if (std::optional<APMDailyCounts> counts = database->dailyCounts(nullptr)) {
        events = counts->publicEventsCount();
      }
      properties = database->sqliteStore()
                       ->rowCountForTableWithName("conditional_properties", nullptr)
                       .value_or(-1);
    });
    if (events != kBatch || properties != waiting) {
      std::fprintf(stderr,
                   "apm_conditional_properties_bench: a batch wrote %lld events with %lld "
                   "conditional properties stored, expected %d and %lld\n",
                   static_cast<long long>(events), static_cast<long long>(properties), kBatch,
                   static_cast<long long>(waiting));
      std::fflush(stderr);
      std::_Exit(1);  // the engine's queues outlive main
    }
  };
  auto deleteRows = [&] {
    checkBatch();
    // The rows go, and today's daily counts back to zero: past the daily limit of public
    // events (50,000, reached within a run) the engine would drop every event unwritten.
    onWorker([] {
      engine()->database()->sqliteStore()->executeSQL("DELETE FROM raw_events", nullptr);
      resetDailyCounts();
    });
  };
  // One batch untimed first, so that each case is measured warm whichever runs first (the
  // first batch of the process also pays for the metadata record, caches and file growth).
  writeBatch();
  deleteRows();
  for (auto _ : state) {
    writeBatch();
    state.PauseTiming();
    deleteRows();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}

}  // namespace

int main(int argc, char** argv) {
  if (!kvlbench::initialize(argc, argv)) return 1;
  benchmark::RegisterBenchmark("BM_Engine_WriteEvents", BM_Engine_WriteEvents)
      ->Arg(0)
      ->Arg(1000)
      ->Unit(benchmark::kMillisecond)
      ->MinTime(0.5);
  kvlbench::MedianReporter reporter;
  // Time per batch, none waiting / 1,000 waiting: the rate with 1,000 waiting against none
  // (goal >= 0.5).
  reporter.ratio("events written per second, 1000 waiting conditional properties / none",
                 "BM_Engine_WriteEvents/0", "BM_Engine_WriteEvents/1000");
  reporter.run();
  reporter.printRatios();
  benchmark::Shutdown();
  std::error_code ignored;
  std::filesystem::remove_all(scratchDirectory(), ignored);
  std::fflush(stdout);
  std::_Exit(reporter.complete() ? 0 : 1);  // the engine's queues outlive main
}
