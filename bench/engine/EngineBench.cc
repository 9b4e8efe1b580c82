// The engine's main road, each against an anchor measured in the same run (ratios from
// medians are printed after the table):
// - events logged through KVLAnalytics and committed, one exclusive transaction each, against
//   SQLite's own one-row transactions of the same encoded size under the same journal settings
//   (write-ahead log, synchronous NORMAL): goal >= 60% of the anchor's rate;
// - the caller's cost of logEventWithName with 4 parameters against copying that map: goal
//   <= 2 us per call;
// - bundling 10,000 stored events into upload bundles (gzip included, as the queue stores
//   them) against encoding and gzipping the same events with the message runtime alone.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>

#include "AppMeasurement/engine/KVLAnalytics.h"
#include "AppMeasurement/foundation/APMDataAdditions.h"
#include "AppMeasurement/foundation/APMRemoteConfig.h"
#include "AppMeasurement/foundation/APMScheduler.h"
#include "AppMeasurement/storage/APMDatabase.h"
#include "platform/core/KVLApp.h"
#include "platform/core/KVLOptions.h"
#include "platform/dispatch/DispatchSemaphore.h"
#include "platform/foundation/AppContainer.h"
#include "platform/foundation/PlatformLog.h"
#include "platform/utilities/OULGzip.h"
#include "tools/loopback-http/LoopbackHttpServer.h"
#include "bench/ScratchDirectory.h"

namespace {

std::filesystem::path scratchDirectory() { return bench::scratchDirectory("kvl-engine-bench"); }

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
    APMAnalytics::queueOperationWithBlock([] {});
    std::shared_ptr<APMMeasurement> made;
    for (int i = 0; i < 1000 && !(made = APMMeasurement::sharedInstance()); ++i) {
      platform::DispatchSemaphore(0).wait(0.01);
    }
    return made;
  }();
  return started;
}

// Waits until every call made so far is handled on the worker queue.
void barrier() {
  auto semaphore = std::make_shared<platform::DispatchSemaphore>(0);
  APMAnalytics::queueOperationWithBlock([semaphore] {
    APMMeasurement::sharedInstance()->scheduler()->scheduleOnWorkerQueueBlockID(
        "bench", [semaphore] { semaphore->signal(); });
  });
  semaphore->wait();
}

void clearRawEvents() {
  engine()->scheduler()->dispatchSyncOnWorkerQueueBlockID("bench", [] {
    engine()->database()->sqliteStore()->executeSQL("DELETE FROM raw_events", nullptr);
    engine()->database()->sqliteStore()->executeSQL("DELETE FROM queue", nullptr);
  });
}

const platform::Value::Dictionary& fourParameters() {
  static const platform::Value::Dictionary parameters{
      {"level", platform::Value(int64_t{12})},
      {"character", platform::Value("wizard")},
      {"score", platform::Value(1234.5)},
      {"campaign", platform::Value("spring_sale_2024")}};
  return parameters;
}

// --- Logged and committed ---

void BM_Facade_LoggedAndCommitted(benchmark::State& state) {
  if (!engine()) return state.SkipWithError("no engine");
  constexpr int kBatch = 200;
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i) KVLAnalytics::logEventWithName("level_up", fourParameters());
    barrier();
    state.PauseTiming();
    clearRawEvents();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}

// The size of the rows the engine writes for that event.
size_t rowSize() {
  APMEvent event = *APMEvent::create("app", true, "level_up", 1'700'000'000, 0,
                                     APMObject::mapFromDictionary(fourParameters()));
  return event.protoEvent().protoBuffer()->size();
}

void BM_Sqlite_OneRowTransactions(benchmark::State& state) {
  std::string path = (scratchDirectory() / "anchor.sql").string();
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  sqlite3_exec(db,
               "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"
               "CREATE TABLE IF NOT EXISTS raw(name TEXT, timestamp REAL, fingerprint INTEGER,"
               " data BLOB, realtime INTEGER)",
               nullptr, nullptr, nullptr);
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO raw VALUES (?, ?, ?, ?, ?)", -1, &insert, nullptr);
  std::string data(rowSize(), 'x');
  constexpr int kBatch = 200;
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i) {
      sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr);
      sqlite3_bind_text(insert, 1, "level_up", -1, SQLITE_STATIC);
      sqlite3_bind_double(insert, 2, 1'700'000'000.0 + i);
      sqlite3_bind_int64(insert, 3, 42);
      sqlite3_bind_blob(insert, 4, data.data(), static_cast<int>(data.size()), SQLITE_STATIC);
      sqlite3_bind_int(insert, 5, 0);
      sqlite3_step(insert);
      sqlite3_reset(insert);
      sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    }
    state.PauseTiming();
    sqlite3_exec(db, "DELETE FROM raw", nullptr, nullptr, nullptr);
    state.ResumeTiming();
  }
  sqlite3_finalize(insert);
  sqlite3_close(db);
  state.SetItemsProcessed(state.iterations() * kBatch);
}

// --- The caller's cost ---

void BM_Facade_CallerCost(benchmark::State& state) {
  if (!engine()) return state.SkipWithError("no engine");
  int64_t calls = 0;
  for (auto _ : state) {
    KVLAnalytics::logEventWithName("level_up", fourParameters());
    if (++calls % 2000 == 0) {
      state.PauseTiming();
      barrier();
      clearRawEvents();
      state.ResumeTiming();
    }
  }
  barrier();  // outside the timed loop
  clearRawEvents();
}

void BM_CopyParameterMap(benchmark::State& state) {
  for (auto _ : state) {
    platform::Value::Dictionary copy = fourParameters();
    benchmark::DoNotOptimize(copy);
  }
}

// --- Bundling ---

constexpr int kBundledEvents = 10000;

void storeEvents() {
  engine()->scheduler()->dispatchSyncOnWorkerQueueBlockID("bench", [] {
    APMDatabase* database = engine()->database();
    database->sqliteStore()->executeSQL("DELETE FROM raw_events", nullptr);
    database->sqliteStore()->executeSQL("DELETE FROM queue", nullptr);
    APMPBMeasurementBundle metadata = engine()->createRawEventMetadataWithUserAttributes({});
    database->insertIfNotExistsRawEventMetadata(metadata, nullptr);
    int64_t fingerprint = apm_64LSBMD5(*metadata.protoBuffer());
    database->performTransaction([&] {
      double hour = 1'700'000'000 - 1'700'000'000 % 3600;
      for (int i = 0; i < kBundledEvents; ++i) {
        APMEvent event = *APMEvent::create("app", true, "level_up", hour + i * 0.1, 0,
                                           APMObject::mapFromDictionary(fourParameters()));
        database->insertRawEvent(event, fingerprint, false, nullptr);
      }
      return true;
    });
  });
}

void BM_Engine_Bundle10000(benchmark::State& state) {
  if (!engine()) return state.SkipWithError("no engine");
  for (auto _ : state) {
    state.PauseTiming();
    storeEvents();
    state.ResumeTiming();
    engine()->scheduler()->dispatchSyncOnWorkerQueueBlockID("bench", [] {
      while (engine()->bundleRawEvents()) {
      }
    });
  }
  state.SetItemsProcessed(state.iterations() * kBundledEvents);
}

void BM_Runtime_EncodeAndGzip10000(benchmark::State& state) {
  std::vector<APMPBEvent> events;
  for (int i = 0; i < kBundledEvents; ++i) {
    events.push_back(APMEvent::create("app", true, "level_up", 1'700'000'000 + i * 0.1, 0,
                                      APMObject::mapFromDictionary(fourParameters()))
                         ->protoEvent());
  }
  for (auto _ : state) {
    size_t total = 0;
    // The same bundle sizes the engine makes (1000 events each, the default).
    for (int start = 0; start < kBundledEvents; start += 1000) {
      APMPBMeasurementBundle bundle;
      NANOSetMessageArray(
          bundle, APMPBMeasurementBundle::kEvents,
          std::vector<APMPBEvent>(events.begin() + start, events.begin() + start + 1000));
      total += oul_dataByGzippingData(*bundle.protoBuffer(), nullptr)->size();
    }
    benchmark::DoNotOptimize(total);
  }
  state.SetItemsProcessed(state.iterations() * kBundledEvents);
}

BENCHMARK(BM_Facade_LoggedAndCommitted)->Unit(benchmark::kMillisecond)->Repetitions(3);
BENCHMARK(BM_Sqlite_OneRowTransactions)->Unit(benchmark::kMillisecond)->Repetitions(3);
BENCHMARK(BM_Facade_CallerCost)->Repetitions(3);
BENCHMARK(BM_CopyParameterMap)->Repetitions(3);
BENCHMARK(BM_Engine_Bundle10000)->Unit(benchmark::kMillisecond)->Repetitions(3);
BENCHMARK(BM_Runtime_EncodeAndGzip10000)->Unit(benchmark::kMillisecond)->Repetitions(3);

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (!run.error_occurred && run.aggregate_name == "median") {
        medians_[run.run_name.function_name] = run.GetAdjustedRealTime();
      }
    }
  }
  void printRatios() const {
    std::printf(
        "\nlogged and committed, rate ours / SQLite one-row transactions: %.2f (goal >= 0.6)\n",
        at("BM_Sqlite_OneRowTransactions") / at("BM_Facade_LoggedAndCommitted"));
    std::printf(
        "caller's cost of logEventWithName (4 parameters): %.0f ns, copying the map %.0f ns"
        " (goal <= 2000 ns)\n",
        at("BM_Facade_CallerCost"), at("BM_CopyParameterMap"));
    std::printf("bundling 10,000 events / encode and gzip alone: %.2f\n",
                at("BM_Engine_Bundle10000") / at("BM_Runtime_EncodeAndGzip10000"));
  }

 private:
  double at(const std::string& name) const {
    auto it = medians_.find(name);
    return it == medians_.end() ? 0 : it->second;
  }
  std::map<std::string, double> medians_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.printRatios();
  benchmark::Shutdown();
  std::error_code ignored;
  std::filesystem::remove_all(scratchDirectory(), ignored);
  std::fflush(stdout);
  std::_Exit(0);  // the engine's queues outlive main
}
