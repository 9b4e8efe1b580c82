// The engine's main road, each against an anchor measured in the same run (ratios of medians
// are printed last, one "name = value" per line):
// - events logged through KVLAnalytics and committed, 200 back to back (the engine writes such
//   a run under shared commits, each event its own savepoint), against SQLite's own one-row
//   transactions of the same encoded size under the same journal settings
//   (write-ahead log, synchronous NORMAL), both at an empty table and at 40,000 stored rows of
//   the same event: goal >= 60% of the anchor's rate, and the per-event cost flat from 0 to
//   40,000 rows; and against the fair anchor of a run: SQLite writing the same rows 64 to a
//   transaction, as the engine groups them;
// - beside each, context switches and read/write system calls per event, counted for the
//   whole process over the timed part (getrusage and /proc/self/io; every system call, futex
//   and fsync included, is counted by scripts/bench-syscalls.sh under strace);
// - the caller's cost of logEventWithName with 4 parameters, each call timed on its own with
//   the queues busy (back to back) and idle (after the worker has drained and parked): p50
//   and p90, goal <= 2 us; against the same calls handing the same parameters to a thread
//   through a mutex and condition-variable work queue, timed the same way (an idle call of
//   either pays the kernel's wake-up of a parked thread);
// - a monitor line of a level that is not written, its texts built before the call against
//   built only if written; a burst of lines that compete for the health sample;
// - bundling 10,000 stored events into upload bundles (gzip included, as the queue stores
//   them) against encoding and gzipping the same events with the message runtime alone.
//
// Rows stay put during the run: the stored rows are the same event the benchmark logs; after
// each batch the oldest rows are deleted through the database's own calls so that the count
// it keeps stays right, and the daily counts are reset so that no daily limit drops an event.
// Uploads and configuration requests go to a sink of this process that answers 204.
//
// KVL_ENGINE_BENCH_ITERATIONS=N fixes the iterations of the committed benchmarks (for
// scripts/bench-syscalls.sh, which subtracts two runs to leave start-up out).
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "AppMeasurement/engine/KVLAnalytics.h"
#include "AppMeasurement/foundation/APMDataAdditions.h"
#include "AppMeasurement/foundation/APMDisplayNames.h"
#include "AppMeasurement/foundation/APMMonitor.h"
#include "AppMeasurement/foundation/APMPersistedConfig.h"
#include "AppMeasurement/foundation/APMRemoteConfig.h"
#include "AppMeasurement/foundation/APMScheduler.h"
#include "AppMeasurement/foundation/APMUserDefaults.h"
#include "AppMeasurement/storage/APMDatabase.h"
#include "bench/MedianRatios.h"
#include "bench/ScratchDirectory.h"
#include "platform/core/KVLApp.h"
#include "platform/core/KVLOptions.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchSemaphore.h"
#include "platform/foundation/AppContainer.h"
#include "platform/foundation/PlatformLog.h"
#include "platform/utilities/OULGzip.h"
#include "tools/loopback-http/LoopbackHttpServer.h"

namespace {

constexpr int kStoredRows = 40000;
// Events per timed batch of the committed benchmarks.
constexpr int kBatch = 200;

std::filesystem::path scratchDirectory() { return bench::scratchDirectory("kvl-engine-bench"); }

// A side that did not do the work it is timed for is no figure: says so and ends the program
// (checked once per benchmark run, outside the timed part).
[[noreturn]] void mismatch(const std::string& what) {
  std::fprintf(stderr, "apm_engine_bench: %s\n", what.c_str());
  std::fflush(stderr);
  std::_Exit(1);
}

// --- What the process did: context switches and system calls ---

struct ProcessCounts {
  double contextSwitches = 0;  // voluntary and involuntary, every thread (getrusage)
  double readWriteCalls = 0;   // read- and write-family system calls, every thread (syscr+syscw)
};

ProcessCounts processCounts() {
  ProcessCounts counts;
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  counts.contextSwitches = static_cast<double>(usage.ru_nvcsw + usage.ru_nivcsw);
  std::ifstream io("/proc/self/io");
  std::string key;
  double value = 0;
  while (io >> key >> value) {
    if (key == "syscr:" || key == "syscw:") counts.readWriteCalls += value;
  }
  return counts;
}

// Sums what the process did over the timed parts of a benchmark.
class ProcessMeter {
 public:
  void start() { begin_ = processCounts(); }
  void stop() {
    ProcessCounts end = processCounts();
    total_.contextSwitches += end.contextSwitches - begin_.contextSwitches;
    total_.readWriteCalls += end.readWriteCalls - begin_.readWriteCalls;
  }
  void report(benchmark::State& state, double events) const {
    state.counters["ctxsw/event"] = total_.contextSwitches / events;
    state.counters["rw_syscalls/event"] = total_.readWriteCalls / events;
  }

 private:
  ProcessCounts begin_;
  ProcessCounts total_;
};

// --- The engine ---

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

const platform::Value::Dictionary& fourParameters() {
  static const platform::Value::Dictionary parameters{
      {"level", platform::Value(int64_t{12})},
      {"character", platform::Value("wizard")},
      {"score", platform::Value(1234.5)},
      {"campaign", platform::Value("spring_sale_2024")}};
  return parameters;
}

APMEvent benchEvent(double timestamp) {
  return *APMEvent::create("app", true, "level_up", timestamp, 0,
                           APMObject::mapFromDictionary(fourParameters()));
}

// Stores raw events of the benchmark's event, all in one transaction, under the metadata
// the engine would write now. On the worker queue.
void insertRawEvents(int count, double firstTimestamp, double step) {
  APMDatabase* database = engine()->database();
  APMPBMeasurementBundle metadata = engine()->createRawEventMetadataWithUserAttributes({});
  database->insertIfNotExistsRawEventMetadata(metadata, nullptr);
  int64_t fingerprint = apm_64LSBMD5(*metadata.protoBuffer());
  database->performTransaction([&] {
    for (int i = 0; i < count; ++i) {
      database->insertRawEvent(benchEvent(firstTimestamp + i * step), fingerprint, false, nullptr);
    }
    return true;
  });
}

std::optional<int64_t> storedRawEvents() {
  return engine()->database()->sqliteStore()->rowCountForTableWithName("raw_events", nullptr);
}

// Today's daily counts at zero, so that no daily limit drops an event. On the worker queue.
void resetDailyCounts() {
  APMDatabase* database = engine()->database();
  if (std::optional<APMDailyCounts> counts = database->dailyCounts(nullptr)) {
    database->updateDailyCounts(APMDailyCounts(counts->day(), 0, 0, 0, 0, 0, 0), nullptr);
  }
}

// Deletes the oldest `count` raw events through the database's own call, which keeps its row
// count right. On the worker queue.
void deleteOldestRawEvents(int64_t count) {
  if (count <= 0) return;
  APMDatabase* database = engine()->database();
  std::optional<platform::Value> last = database->sqliteStore()->numberForQuery(
      "SELECT rowid FROM raw_events ORDER BY rowid LIMIT 1 OFFSET ?",
      {platform::Value(static_cast<long long>(count - 1))}, nullptr);
  if (!last || !last->asInteger()) {  // fewer rows than that: all go
    last =
        database->sqliteStore()->numberForQuery("SELECT max(rowid) FROM raw_events", {}, nullptr);
  }
  if (last && last->asInteger()) database->deleteRawEventsWithMaxRowID(*last->asInteger(), nullptr);
}

// Waits until no upload or configuration request of the engine is in flight: one that is
// answered while a benchmark times would run its completion (deleting the uploaded bundles,
// scheduling the next pass) inside the timed part. Outside the timed part.
void awaitNoRequest() {
  for (int i = 0; i < 3000; ++i) {
    bool pending = true;
    engine()->scheduler()->dispatchSyncOnWorkerQueueBlockID(
        "bench", [&] { pending = engine()->isNetworkRequestPending(); });
    if (!pending) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  mismatch("an upload of the engine was still in flight after 30 s");
}

// Leaves exactly `rows` raw events (the newest; fresh ones of the benchmark's event when
// there are too few) and today's daily counts at zero, with no upload in flight and none due
// for the upload interval (an hour): an upload pass bundles the raw events first, which would
// take away the rows a benchmark counts, and bundling's old timestamps make one due at once.
// Outside the timed part.
void keepStoredRows(int64_t rows) {
  awaitNoRequest();
  engine()->scheduler()->dispatchSyncOnWorkerQueueBlockID("bench", [rows] {
    engine()->persistedConfig()->setLastSuccessfulUploadTimestamp(
        platform::Clock::current()->now());
    engine()->updateSchedule();
    int64_t stored = storedRawEvents().value_or(0);
    if (stored > rows) deleteOldestRawEvents(stored - rows);
    if (stored < rows) {
      insertRawEvents(static_cast<int>(rows - stored), platform::Clock::current()->now(), 0);
    }
    resetDailyCounts();
  });
}

// Rows stored when a benchmark at 40,000 rows ended; -1 before it ran.
int64_t& storedAfter40000() {
  static int64_t rows = -1;
  return rows;
}

// --- Logged and committed ---

// After every batch: the table holds `rows` and the batch's kBatch events, the newest of them
// the event logged, with its four parameters. On the caller's thread.
void checkStoredBatch(int64_t rows) {
  engine()->scheduler()->dispatchSyncOnWorkerQueueBlockID("bench", [rows] {
    int64_t stored = storedRawEvents().value_or(-1);
    std::optional<platform::Value> newest = engine()->database()->sqliteStore()->numberForQuery(
        "SELECT count(*) FROM raw_events WHERE name = 'level_up' AND rowid > "
        "(SELECT max(rowid) FROM raw_events) - ?",
        {platform::Value(static_cast<long long>(kBatch))}, nullptr);
    if (stored != rows + kBatch || !newest || newest->numberAsInteger() != kBatch) {
      mismatch("the engine stored " + std::to_string(stored) + " raw events (" +
               (newest ? newest->description() : std::string("?")) + " of the newest " +
               std::to_string(kBatch) + " are level_up), expected " + std::to_string(rows) +
               " and the batch of " + std::to_string(kBatch));
    }
    // The newest row carries the logged parameters' texts in its encoded event.
    auto records = engine()->database()->sqliteStore()->recordsForQuery(
        "SELECT data FROM raw_events ORDER BY rowid DESC LIMIT 1", {}, nullptr);
    const platform::Value::Bytes* data = nullptr;
    if (records && records->size() == 1) {
      if (auto it = records->front().find("data"); it != records->front().end()) {
        data = it->second.asBytes();
      }
    }
    if (data == nullptr || data->data.find("wizard") == std::string::npos ||
        data->data.find("spring_sale_2024") == std::string::npos) {
      mismatch("the newest raw event stored by the engine is not the logged level_up");
    }
  });
}

void BM_Facade_LoggedAndCommitted(benchmark::State& state) {
  if (!engine()) return state.SkipWithError("no engine");
  const int64_t rows = state.range(0);
  keepStoredRows(rows);
  ProcessMeter meter;
  for (auto _ : state) {
    meter.start();
    for (int i = 0; i < kBatch; ++i) KVLAnalytics::logEventWithName("level_up", fourParameters());
    barrier();
    meter.stop();
    state.PauseTiming();
    checkStoredBatch(rows);
    // Back to `rows`: the batch's count of the oldest rows go (cheap, from the start of the
    // table; no count of the whole table in the loop).
    engine()->scheduler()->dispatchSyncOnWorkerQueueBlockID("bench", [] {
      deleteOldestRawEvents(kBatch);
      resetDailyCounts();
    });
    state.ResumeTiming();
  }
  if (rows > 0) {
    engine()->scheduler()->dispatchSyncOnWorkerQueueBlockID(
        "bench", [] { storedAfter40000() = storedRawEvents().value_or(0); });
  }
  meter.report(state, static_cast<double>(state.iterations()) * kBatch);
  state.SetItemsProcessed(state.iterations() * kBatch);
  keepStoredRows(0);
}

// The size of the rows the engine writes for that event.
size_t rowSize() { return benchEvent(1'700'000'000).protoEvent().protoBuffer()->size(); }

// SQLite's own inserts of rows of the engine's size, as a user who knows SQLite would write
// them: one connection in write-ahead-log mode with synchronous NORMAL (the engine's
// settings), every statement prepared once, transactions opened with BEGIN EXCLUSIVE as the
// engine opens its own.
class SqliteAnchor {
 public:
  SqliteAnchor(const std::string& path, int64_t storedRows) : path_(path) {
    check(sqlite3_open(path.c_str(), &db_), "open");
    check(sqlite3_exec(db_,
                       "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"
                       "CREATE TABLE IF NOT EXISTS raw(name TEXT, timestamp REAL,"
                       " fingerprint INTEGER, data BLOB, realtime INTEGER)",
                       nullptr, nullptr, nullptr),
          "schema");
    insert_ = prepare("INSERT INTO raw VALUES (?, ?, ?, ?, ?)");
    begin_ = prepare("BEGIN EXCLUSIVE");
    commit_ = prepare("COMMIT");
    deleteOldest_ =
        prepare("DELETE FROM raw WHERE rowid IN (SELECT rowid FROM raw ORDER BY rowid LIMIT ?)");
    // The stored rows, in one transaction outside the timed part.
    step(begin_);
    for (int64_t i = 0; i < storedRows; ++i) insertRow(1'700'000'000.0);
    step(commit_);
  }
  ~SqliteAnchor() {
    for (sqlite3_stmt* statement : {insert_, begin_, commit_, deleteOldest_}) {
      sqlite3_finalize(statement);
    }
    sqlite3_close(db_);
    std::filesystem::remove(path_);
  }

  // Writes `count` rows in transactions of at most `perTransaction` rows each.
  void writeRows(int count, int perTransaction, double firstTimestamp) {
    for (int written = 0; written < count;) {
      step(begin_);
      for (int i = 0; i < perTransaction && written < count; ++i, ++written) {
        insertRow(firstTimestamp + written);
      }
      step(commit_);
    }
  }

  // The rows stored and the size of the newest one's data.
  std::pair<int64_t, int64_t> countAndNewestSize() const {
    sqlite3_stmt* query = prepare(
        "SELECT (SELECT count(*) FROM raw), length(data) FROM raw ORDER BY rowid DESC LIMIT 1");
    std::pair<int64_t, int64_t> found{-1, -1};
    if (sqlite3_step(query) == SQLITE_ROW) {
      found = {sqlite3_column_int64(query, 0), sqlite3_column_int64(query, 1)};
    }
    sqlite3_finalize(query);
    return found;
  }
  size_t rowDataSize() const { return data_.size(); }

  // Deletes the oldest `count` rows, as the engine's benchmark deletes its own.
  void deleteOldest(int count) {
    sqlite3_bind_int(deleteOldest_, 1, count);
    step(deleteOldest_);
  }

 private:
  void check(int code, const char* what) const {
    if (code == SQLITE_OK || code == SQLITE_DONE) return;
    std::fprintf(stderr, "SQLite anchor: %s failed: %s\n", what, sqlite3_errmsg(db_));
    std::abort();
  }
  sqlite3_stmt* prepare(const char* sql) const {
    sqlite3_stmt* statement = nullptr;
    check(sqlite3_prepare_v2(db_, sql, -1, &statement, nullptr), sql);
    return statement;
  }
  void step(sqlite3_stmt* statement) const {
    check(sqlite3_step(statement), sqlite3_sql(statement));
    sqlite3_reset(statement);
  }
  void insertRow(double timestamp) {
    sqlite3_bind_text(insert_, 1, "level_up", -1, SQLITE_STATIC);
    sqlite3_bind_double(insert_, 2, timestamp);
    sqlite3_bind_int64(insert_, 3, 42);
    sqlite3_bind_blob(insert_, 4, data_.data(), static_cast<int>(data_.size()), SQLITE_STATIC);
    sqlite3_bind_int(insert_, 5, 0);
    step(insert_);
  }

  std::string path_;
  std::string data_ = std::string(rowSize(), 'x');
  sqlite3* db_ = nullptr;
  sqlite3_stmt* insert_ = nullptr;
  sqlite3_stmt* begin_ = nullptr;
  sqlite3_stmt* commit_ = nullptr;
  sqlite3_stmt* deleteOldest_ = nullptr;
};

// Batches of kBatch rows, `perTransaction` to a transaction: 1 is the anchor of an event
// logged alone, APMMeasurement::kMaxEventsPerCommit the anchor of events logged back to back
// (the engine writes them under shared commits of at most that many).
void sqliteTransactions(benchmark::State& state, int perTransaction, const char* file) {
  const int64_t rows = state.range(0);
  SqliteAnchor anchor((scratchDirectory() / (file + std::to_string(rows) + ".sql")).string(), rows);
  ProcessMeter meter;
  for (auto _ : state) {
    meter.start();
    anchor.writeRows(kBatch, perTransaction, 1'700'000'000.0);
    meter.stop();
    state.PauseTiming();
    // Every batch, as the engine's.
    auto [stored, size] = anchor.countAndNewestSize();
    if (stored != rows + kBatch || size != static_cast<int64_t>(anchor.rowDataSize())) {
      mismatch(std::string("the SQLite anchor (") + file + ") stored " + std::to_string(stored) +
               " rows, expected " + std::to_string(rows + kBatch));
    }
    anchor.deleteOldest(kBatch);
    state.ResumeTiming();
  }
  meter.report(state, static_cast<double>(state.iterations()) * kBatch);
  state.SetItemsProcessed(state.iterations() * kBatch);
}

void BM_Sqlite_OneRowTransactions(benchmark::State& state) {
  sqliteTransactions(state, 1, "anchor-1-");
}

void BM_Sqlite_GroupedTransactions(benchmark::State& state) {
  sqliteTransactions(state, static_cast<int>(APMMeasurement::kMaxEventsPerCommit), "anchor-64-");
}

// --- The caller's cost ---

// Every call's wall time of a caller benchmark, over all its repetitions (nanoseconds).
std::map<std::string, std::vector<double>>& callTimes() {
  static std::map<std::string, std::vector<double>> times;
  return times;
}

double percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  size_t index = static_cast<size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
  std::nth_element(values.begin(), values.begin() + static_cast<ptrdiff_t>(index), values.end());
  return values[index];
}

// One call, timed with a steady clock; the benchmark's manual time is the sum of the calls.
template <typename Call>
void timedCall(benchmark::State& state, std::vector<double>& run, Call call) {
  auto begin = std::chrono::steady_clock::now();
  call();
  auto end = std::chrono::steady_clock::now();
  double seconds = std::chrono::duration<double>(end - begin).count();
  state.SetIterationTime(seconds);
  run.push_back(seconds * 1e9);
}

void reportCalls(benchmark::State& state, const std::vector<double>& run, const char* queues) {
  state.counters["p50_ns"] = percentile(run, 0.5);
  state.counters["p90_ns"] = percentile(run, 0.9);
  std::vector<double>& all = callTimes()[queues];
  all.insert(all.end(), run.begin(), run.end());
}

void logLevelUp() { KVLAnalytics::logEventWithName("level_up", fourParameters()); }

// After a caller benchmark: every call's event reached the table (which was empty before).
void checkCallsStored(const char* run, int64_t calls) {
  barrier();
  int64_t stored = -1;
  engine()->scheduler()->dispatchSyncOnWorkerQueueBlockID("bench", [&] {
    stored =
        engine()
            ->database()
            ->sqliteStore()
            ->numberForQuery("SELECT count(*) FROM raw_events WHERE name = 'level_up'", {}, nullptr)
            .value_or(platform::Value(-1))
            .numberAsInteger()
            .value_or(-1);
  });
  if (stored != calls) {
    mismatch(std::string("caller, ") + run + ": " + std::to_string(calls) + " events logged, " +
             std::to_string(stored) + " stored");
  }
}

// Back to back: the worker is still handling the calls before.
void BM_Facade_CallerBusy(benchmark::State& state) {
  if (!engine()) return state.SkipWithError("no engine");
  keepStoredRows(0);
  std::vector<double> run;
  run.reserve(static_cast<size_t>(state.max_iterations));
  for (auto _ : state) timedCall(state, run, logLevelUp);
  checkCallsStored("busy", static_cast<int64_t>(state.iterations()));
  keepStoredRows(0);
  reportCalls(state, run, "busy");
}

// Each call finds the worker drained and its threads parked.
void BM_Facade_CallerIdle(benchmark::State& state) {
  if (!engine()) return state.SkipWithError("no engine");
  keepStoredRows(0);
  std::vector<double> run;
  run.reserve(static_cast<size_t>(state.max_iterations));
  for (auto _ : state) {
    barrier();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    timedCall(state, run, logLevelUp);
  }
  checkCallsStored("idle", static_cast<int64_t>(state.iterations()));
  keepStoredRows(0);
  reportCalls(state, run, "idle");
}

// The caller's anchor: what a user would write to hand events to a thread of their own, a
// work queue under a mutex and a condition variable. The caller copies the name and the
// parameters in, under the lock, and notifies after letting go of it; the consumer takes
// everything queued at once and drops it outside the lock.
class MutexWorkQueue {
 public:
  MutexWorkQueue() : consumer_([this] { consume(); }) {}
  ~MutexWorkQueue() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    ready_.notify_one();
    consumer_.join();
  }

  void push(const std::string& name, const platform::Value::Dictionary& parameters) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      items_.emplace_back(name, parameters);
      ++pushed_;
    }
    ready_.notify_one();
  }

  // The items the consumer received whole (name and parameters), over the queue's life.
  uint64_t received() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }

  // Waits until the consumer has taken and dropped everything pushed so far.
  void drain() {
    std::unique_lock<std::mutex> lock(mutex_);
    drained_.wait(lock, [&] { return handled_ == pushed_; });
  }

 private:
  void consume() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
      ready_.wait(lock, [&] { return stopping_ || !items_.empty(); });
      if (items_.empty()) return;
      std::vector<std::pair<std::string, platform::Value::Dictionary>> taken;
      taken.swap(items_);
      lock.unlock();
      size_t complete = 0;
      for (const auto& [name, parameters] : taken) {
        if (name == "level_up" && parameters.size() == fourParameters().size()) ++complete;
      }
      taken.clear();
      lock.lock();
      received_ += complete;
      handled_ = pushed_ - items_.size();
      drained_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable ready_;    // the consumer waits for items
  std::condition_variable drained_;  // drain() waits for the consumer
  std::vector<std::pair<std::string, platform::Value::Dictionary>> items_;  // guarded by mutex_
  uint64_t pushed_ = 0;                                                     // guarded by mutex_
  uint64_t handled_ = 0;                                                    // guarded by mutex_
  uint64_t received_ = 0;                                                   // guarded by mutex_
  bool stopping_ = false;                                                   // guarded by mutex_
  std::thread consumer_;
};

void checkReceived(MutexWorkQueue& queue, const char* run, benchmark::IterationCount calls) {
  if (queue.received() != static_cast<uint64_t>(calls)) {
    mismatch(std::string("caller, mutex work queue, ") + run + ": " + std::to_string(calls) +
             " items pushed, " + std::to_string(queue.received()) + " received");
  }
}

void BM_MutexQueue_CallerBusy(benchmark::State& state) {
  MutexWorkQueue queue;
  std::vector<double> run;
  run.reserve(static_cast<size_t>(state.max_iterations));
  for (auto _ : state) timedCall(state, run, [&] { queue.push("level_up", fourParameters()); });
  queue.drain();
  checkReceived(queue, "busy", state.iterations());
  reportCalls(state, run, "anchor_busy");
}

void BM_MutexQueue_CallerIdle(benchmark::State& state) {
  MutexWorkQueue queue;
  std::vector<double> run;
  run.reserve(static_cast<size_t>(state.max_iterations));
  for (auto _ : state) {
    queue.drain();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    timedCall(state, run, [&] { queue.push("level_up", fourParameters()); });
  }
  queue.drain();
  checkReceived(queue, "idle", state.iterations());
  reportCalls(state, run, "anchor_idle");
}

void BM_CopyParameterMap(benchmark::State& state) {
  for (auto _ : state) {
    platform::Value::Dictionary copy = fourParameters();
    benchmark::DoNotOptimize(copy);
  }
}

// --- The monitor ---

APMEvent& loggedEvent() {
  static APMEvent event = benchEvent(1'700'000'000);
  return event;
}

// A line of a level that is not written (debug, outside debug mode) with the name and
// parameter texts of an event, built before the call (eager) or only if written (deferred).
// Checked on both sides after the timed loop: no line reached the system log, and the
// deferred texts were never built.
void BM_Monitor_UnwrittenLine(benchmark::State& state) {
  const bool deferred = state.range(0) == 1;
  std::shared_ptr<APMMonitor> monitor = APMMonitor::monitor();
  const APMEvent& event = loggedEvent();
  monitor->monitorQueue()->sync([] {});
  std::atomic<int64_t> written{0};
  platform::PlatformLog::Sink previous = platform::PlatformLog::setSink([&](const std::string& line) {
    if (line.find("Event logged") != std::string::npos) ++written;
  });
  int64_t built = 0;
  for (auto _ : state) {
    if (deferred) {
      monitor->logWithLevel(
          7, 23072, "Event logged. Event name, event params", APMLogContext::deferredText([&] {
            ++built;
            return APMEventNameForDisplay(APMObject(platform::Value(event.name())));
          }),
          APMLogContext::deferredText([&] {
            ++built;
            return APMDescriptionForLog(event.parameters());
          }));
    } else {
      monitor->logWithLevel(7, 23072, "Event logged. Event name, event params",
                            APMEventNameForDisplay(APMObject(platform::Value(event.name()))),
                            APMDescriptionForLog(event.parameters()));
    }
  }
  monitor->monitorQueue()->sync([] {});
  platform::PlatformLog::setSink(previous);
  if (written.load() != 0 || built != 0) {
    mismatch(std::string("the unwritten line (") + (deferred ? "deferred" : "eager") + ") was " +
             (written.load() ? "written " + std::to_string(written.load()) + " times" : "") +
             (built ? " its texts built " + std::to_string(built) + " times" : ""));
  }
}

// Lines that compete for the health sample (silent errors), 1,000 at a time, until the
// monitor queue has handled them: what a burst of such lines costs.
void BM_Monitor_SampledLines(benchmark::State& state) {
  constexpr int kLines = 1000;
  std::shared_ptr<APMMonitor> monitor = APMMonitor::monitor();
  for (auto _ : state) {
    // Every burst starts from an empty sample, so that the check below sees this program's
    // lines and not a sample an earlier burst (or run) left.
    state.PauseTiming();
    monitor->clearMonitoringData();
    state.ResumeTiming();
    for (int i = 0; i < kLines; ++i) monitor->logWithLevel(2, 14001, "Sampled line", i);
    monitor->monitorQueue()->sync([] {});
  }
  // The last burst reached the health sample, which readers of the monitor's suite see.
  std::optional<platform::Value> sample = APMUserDefaults(std::string(APMMonitor::kSuiteName))
                                              .objectForKey(APMMonitor::kHealthMonitorKey);
  if (!sample || sample->description().find("Sampled line") == std::string::npos) {
    mismatch("the health sample after the burst does not hold a sampled line: " +
             (sample ? sample->description() : std::string("none")));
  }
  state.SetItemsProcessed(state.iterations() * kLines);
}

// What each such line cost when every one was written to disk at once: the sample put into
// a suite and the suite written (file and folder flushed), per line.
void BM_Monitor_SuiteWritePerLine(benchmark::State& state) {
  APMUserDefaults suite("com.orvane.bench.monitor");
  int64_t i = 0;
  for (auto _ : state) {
    suite.setObject(platform::Value(platform::Value::Array{
                        platform::Value("-"), platform::Value(++i),
                        platform::Value("1E_111500:Sampled line"), platform::Value::date(0)}),
                    APMMonitor::kHealthMonitorKey);
    suite.synchronize();
  }
  // What was written is what a fresh reader of the suite finds.
  std::optional<platform::Value> written = APMUserDefaults(std::string("com.orvane.bench.monitor"))
                                               .objectForKey(APMMonitor::kHealthMonitorKey);
  const platform::Value::Array* entry = written ? written->asArray() : nullptr;
  if (entry == nullptr || entry->size() != 4 || (*entry)[1].numberAsInteger() != i) {
    mismatch("the suite written per line does not hold the last line: " +
             (written ? written->description() : std::string("none")));
  }
}

// --- Bundling ---

constexpr int kBundledEvents = 10000;

void storeEvents() {
  keepStoredRows(0);
  engine()->scheduler()->dispatchSyncOnWorkerQueueBlockID("bench", [] {
    engine()->database()->sqliteStore()->executeSQL("DELETE FROM queue", nullptr);
    insertRawEvents(kBundledEvents, 1'700'000'000 - 1'700'000'000 % 3600, 0.1);
  });
}

// Counts the events in the queued bundles, each gunzipped and decoded: kBundledEvents after
// a bundling of them, none left raw. On the worker queue.
void checkBundled() {
  int64_t events = 0;
  auto bundles =
      engine()->database()->sqliteStore()->recordsForQuery("SELECT data FROM queue", {}, nullptr);
  for (const auto& record : bundles.value_or(std::vector<APMSqliteRecord>{})) {
    auto it = record.find("data");
    const platform::Value::Bytes* data = it == record.end() ? nullptr : it->second.asBytes();
    auto bytes = data ? oul_dataByInflatingGzippedData(data->data, nullptr) : std::nullopt;
    auto bundle = bytes ? APMPBMeasurementBundle::initWithBuffer(*bytes) : std::nullopt;
    auto list = bundle ? NANOViewMessageArray<APMPBEvent>(*bundle, APMPBMeasurementBundle::kEvents)
                       : std::nullopt;
    if (list) events += static_cast<int64_t>(list->size());
  }
  int64_t raw = storedRawEvents().value_or(-1);
  if (events != kBundledEvents || raw != 0) {
    mismatch("bundling: " + std::to_string(events) + " events in the queued bundles and " +
             std::to_string(raw) + " left raw, expected " + std::to_string(kBundledEvents) +
             " and none");
  }
}

// Timed inside one block on the worker queue (manual time): the hop onto the queue is not
// bundling, and the anchor makes none.
void BM_Engine_Bundle10000(benchmark::State& state) {
  if (!engine()) return state.SkipWithError("no engine");
  bool checked = false;
  for (auto _ : state) {
    storeEvents();
    double seconds = 0;
    engine()->scheduler()->dispatchSyncOnWorkerQueueBlockID("bench", [&] {
      auto start = std::chrono::steady_clock::now();
      while (engine()->bundleRawEvents()) {
      }
      seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    });
    state.SetIterationTime(seconds);
    if (!checked) {
      checked = true;
      engine()->scheduler()->dispatchSyncOnWorkerQueueBlockID("bench", checkBundled);
    }
  }
  state.SetItemsProcessed(state.iterations() * kBundledEvents);
}

void BM_Runtime_EncodeAndGzip10000(benchmark::State& state) {
  std::vector<APMPBEvent> events;
  for (int i = 0; i < kBundledEvents; ++i) {
    events.push_back(benchEvent(1'700'000'000 + i * 0.1).protoEvent());
  }
  // The same bundle sizes the engine makes (1000 events each, the default), sliced once: a
  // bundle takes its events in one copy, as the engine's does from the rows it read.
  std::vector<std::vector<APMPBEvent>> slices;
  for (int start = 0; start < kBundledEvents; start += 1000) {
    slices.emplace_back(events.begin() + start, events.begin() + start + 1000);
  }
  for (auto _ : state) {
    size_t total = 0;
    for (const std::vector<APMPBEvent>& slice : slices) {
      APMPBMeasurementBundle bundle;
      NANOSetMessageArray(bundle, APMPBMeasurementBundle::kEvents, slice);
      total += oul_dataByGzippingData(*bundle.protoBuffer(), nullptr)->size();
    }
    benchmark::DoNotOptimize(total);
  }
  // The same check as the engine's: each bundle gunzips and decodes to its 1000 events.
  APMPBMeasurementBundle bundle;
  NANOSetMessageArray(bundle, APMPBMeasurementBundle::kEvents,
                      std::vector<APMPBEvent>(events.begin(), events.begin() + 1000));
  auto zipped = oul_dataByGzippingData(*bundle.protoBuffer(), nullptr);
  auto bytes = zipped ? oul_dataByInflatingGzippedData(*zipped, nullptr) : std::nullopt;
  auto decoded = bytes ? APMPBMeasurementBundle::initWithBuffer(*bytes) : std::nullopt;
  auto list = decoded ? NANOViewMessageArray<APMPBEvent>(*decoded, APMPBMeasurementBundle::kEvents)
                      : std::nullopt;
  if (!list || list->size() != 1000) mismatch("encoding and gzip alone: a bundle does not decode");
  state.SetItemsProcessed(state.iterations() * kBundledEvents);
}

void registerBenchmarks() {
  const char* fixed = std::getenv("KVL_ENGINE_BENCH_ITERATIONS");
  int64_t iterations = fixed ? std::atoll(fixed) : 0;
  for (auto* committed :
       {benchmark::RegisterBenchmark("BM_Facade_LoggedAndCommitted", BM_Facade_LoggedAndCommitted),
        benchmark::RegisterBenchmark("BM_Sqlite_OneRowTransactions", BM_Sqlite_OneRowTransactions),
        benchmark::RegisterBenchmark("BM_Sqlite_GroupedTransactions",
                                     BM_Sqlite_GroupedTransactions)}) {
    committed->Arg(0)->Arg(kStoredRows)->Unit(benchmark::kMillisecond);
    if (iterations > 0) committed->Iterations(iterations);
  }
  // Fixed counts: the worker must catch up with every call before the next repetition.
  // Ours and the anchor, busy then idle.
  const std::pair<const char*, void (*)(benchmark::State&)> callers[] = {
      {"BM_Facade_CallerBusy", BM_Facade_CallerBusy},
      {"BM_Facade_CallerIdle", BM_Facade_CallerIdle},
      {"BM_MutexQueue_CallerBusy", BM_MutexQueue_CallerBusy},
      {"BM_MutexQueue_CallerIdle", BM_MutexQueue_CallerIdle}};
  for (const auto& [name, function] : callers) {
    const bool busy = std::string_view(name).ends_with("Busy");
    benchmark::RegisterBenchmark(name, function)
        ->UseManualTime()
        ->Iterations(busy ? 2000 : 300)
        ->Unit(benchmark::kMicrosecond);
  }
  benchmark::RegisterBenchmark("BM_CopyParameterMap", BM_CopyParameterMap);
  benchmark::RegisterBenchmark("BM_Monitor_UnwrittenLine", BM_Monitor_UnwrittenLine)
      ->Arg(0)
      ->Arg(1);
  benchmark::RegisterBenchmark("BM_Monitor_SampledLines", BM_Monitor_SampledLines)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BM_Monitor_SuiteWritePerLine", BM_Monitor_SuiteWritePerLine)
      ->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("BM_Engine_Bundle10000", BM_Engine_Bundle10000)
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BM_Runtime_EncodeAndGzip10000", BM_Runtime_EncodeAndGzip10000)
      ->Unit(benchmark::kMillisecond);
}

// Console output and ratios, plus the engine's other figures.
class EngineReporter : public kvlbench::MedianReporter {
 public:
  // The time ratios, declared before the run so that their sides alternate: lower is faster
  // for the first named.
  void declareRatios() {
    ratio("logged_committed_time_vs_sqlite_at_0", facade + empty, sqlite + empty);
    ratio("logged_committed_time_vs_sqlite_at_40000", facade + full, sqlite + full);
    ratio("logged_committed_time_vs_sqlite_64_per_transaction_at_0", facade + empty,
          grouped + empty);
    ratio("logged_committed_time_vs_sqlite_64_per_transaction_at_40000", facade + full,
          grouped + full);
    ratio("logged_committed_time_40000_vs_0", facade + full, facade + empty);
    ratio("sqlite_time_40000_vs_0", sqlite + full, sqlite + empty);
    ratio("unwritten_line_deferred_vs_eager", "BM_Monitor_UnwrittenLine/1",
          "BM_Monitor_UnwrittenLine/0");
    ratio("sampled_lines_1000_vs_one_suite_write", "BM_Monitor_SampledLines",
          "BM_Monitor_SuiteWritePerLine");
    ratio("bundle_10000_vs_encode_gzip", "BM_Engine_Bundle10000", "BM_Runtime_EncodeAndGzip10000");
    // The figures printed from single benchmarks.
    for (const char* name : {"BM_Facade_CallerBusy", "BM_Facade_CallerIdle",
                             "BM_MutexQueue_CallerBusy", "BM_MutexQueue_CallerIdle",
                             "BM_CopyParameterMap"}) {
      require(name);
    }
  }

  // Ratios and figures, one "name = value" per line, nothing after them.
  void printAll() {
    printRatios();
    auto line = [](const std::string& name, double value) {
      std::printf("%s = %.2f\n", name.c_str(), value);
    };
    auto rate = [&](const std::string& anchor, const std::string& args) {
      double ours = median(facade + args);
      return ours > 0 ? median(anchor + args) / ours : 0;
    };
    line("rate_vs_sqlite_at_0 (goal >= 0.6)", rate(sqlite, empty));
    line("rate_vs_sqlite_at_40000 (goal >= 0.6)", rate(sqlite, full));
    line("rate_vs_sqlite_64_per_transaction_at_0", rate(grouped, empty));
    line("rate_vs_sqlite_64_per_transaction_at_40000", rate(grouped, full));
    for (const std::string& args : {empty, full}) {
      line("us_per_event_ours" + args, median(facade + args) * 1e6 / kBatch);
      line("us_per_event_sqlite" + args, median(sqlite + args) * 1e6 / kBatch);
      line("us_per_event_sqlite_64_per_transaction" + args, median(grouped + args) * 1e6 / kBatch);
      for (const char* what : {"ctxsw/event", "rw_syscalls/event"}) {
        std::string key = std::string(what).substr(0, std::string(what).find('/'));
        line(key + "_per_event_ours" + args, counter(facade + args, what));
        line(key + "_per_event_sqlite" + args, counter(sqlite + args, what));
        line(key + "_per_event_sqlite_64_per_transaction" + args, counter(grouped + args, what));
      }
    }
    // 40000 when nothing (upload, prune, stale-data deletion) took stored rows meanwhile.
    line("stored_rows_after_40000_run", static_cast<double>(storedAfter40000()));
    // Over every call of every repetition.
    for (const std::string queues : {"busy", "idle"}) {
      const std::vector<double>& all = callTimes()[queues];
      const std::vector<double>& anchor = callTimes()["anchor_" + queues];
      for (double fraction : {0.5, 0.9}) {
        const std::string p = fraction == 0.5 ? "p50" : "p90";
        const double ours = percentile(all, fraction), theirs = percentile(anchor, fraction);
        line("caller_" + queues + "_" + p + "_ns" + (p == "p50" ? " (goal <= 2000)" : ""), ours);
        line("caller_" + queues + "_" + p + "_ns_mutex_queue", theirs);
        line("caller_" + queues + "_" + p + "_vs_mutex_queue", theirs > 0 ? ours / theirs : 0);
      }
    }
    line("copy_parameter_map_ns", median("BM_CopyParameterMap") * 1e9);
    line("unwritten_line_eager_ns", median("BM_Monitor_UnwrittenLine/0") * 1e9);
    line("unwritten_line_deferred_ns", median("BM_Monitor_UnwrittenLine/1") * 1e9);
    line("sampled_line_us", median("BM_Monitor_SampledLines") * 1e6 / 1000);
    line("suite_write_per_line_us (each line before)",
         median("BM_Monitor_SuiteWritePerLine") * 1e6);
    std::fflush(stdout);
  }

 private:
  const std::string empty = "/0", full = "/" + std::to_string(kStoredRows);
  const std::string facade = "BM_Facade_LoggedAndCommitted",
                    sqlite = "BM_Sqlite_OneRowTransactions",
                    grouped = "BM_Sqlite_GroupedTransactions";
};

}  // namespace

int main(int argc, char** argv) {
  registerBenchmarks();
  if (!kvlbench::initialize(argc, argv)) return 1;
  EngineReporter reporter;
  reporter.declareRatios();
  reporter.run();
  reporter.printAll();
  benchmark::Shutdown();
  std::error_code ignored;
  std::filesystem::remove_all(scratchDirectory(), ignored);
  std::fflush(stdout);
  std::_Exit(reporter.complete() ? 0 : 1);  // the engine's queues outlive main
}
