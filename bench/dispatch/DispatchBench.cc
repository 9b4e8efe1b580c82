// The dispatch layer against what a user would pick without it: one thread per queue, a
// std::mutex and std::condition_variable guarding a deque of std::function.
//
// - async hand-off: the caller enqueues blocks onto a serial queue that runs them (time per
//   block, the queue drained at the end of each batch);
// - sync onto an idle queue: the caller runs a block on a queue with nothing else to do (the
//   work queue has to hand it to its thread and wait for it);
// - ping-pong: a block bounces between two queues, each hop an async onto the other;
// - sync onto idle queues from four threads at once, each onto its own queue: what one lock
//   shared by every queue costs against a lock per queue;
// - async hand-off from four threads at once, each to its own queue: four producers and four
//   queue threads that share nothing but the dispatch layer;
// - four workers at once, each running blocks that read from a queue of their own through
//   sync (the engine's shape: a worker queue reading state kept on other queues).

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "bench/MedianRatios.h"
#include "platform/dispatch/DispatchQueue.h"

namespace {

constexpr int kBatch = 1000;  // blocks handed off before the batch is drained
constexpr int kHops = 1000;   // hops of one ping-pong rally

// The anchor: a work queue of the same shape as a serial dispatch queue.
class WorkQueue {
 public:
  WorkQueue() : thread_([this] { run(); }) {}
  ~WorkQueue() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    cv_.notify_one();
    thread_.join();
  }
  WorkQueue(const WorkQueue&) = delete;
  WorkQueue& operator=(const WorkQueue&) = delete;

  void async(std::function<void()> block) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      items_.push_back(std::move(block));
    }
    cv_.notify_one();
  }

  void sync(const std::function<void()>& block) {
    std::mutex doneMutex;
    std::condition_variable doneCv;
    bool done = false;
    async([&] {
      block();
      std::lock_guard<std::mutex> lock(doneMutex);
      done = true;
      doneCv.notify_one();
    });
    std::unique_lock<std::mutex> lock(doneMutex);
    doneCv.wait(lock, [&] { return done; });
  }

 private:
  // Takes everything queued at once and runs it outside the lock, so that a producer meets
  // the lock held only for the swap, never for a block's run.
  void run() {
    std::deque<std::function<void()>> taken;
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
      cv_.wait(lock, [&] { return stopping_ || !items_.empty(); });
      if (items_.empty()) return;
      taken.swap(items_);
      lock.unlock();
      for (auto& block : taken) block();
      taken.clear();
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> items_;
  bool stopping_ = false;
  std::thread thread_;
};

// Each side must have run every block it was handed, or the ratio compares different work:
// checked after the timed loop; ends the program with a message otherwise.
void expectRan(benchmark::State& state, const char* what, uint64_t ran, uint64_t expected) {
  if (ran == expected) return;
  std::fprintf(stderr, "platform_dispatch_bench: %s (thread %d) ran %llu blocks, expected %llu\n",
               what, state.thread_index(), static_cast<unsigned long long>(ran),
               static_cast<unsigned long long>(expected));
  std::exit(1);
}

// Context switches of the whole process (every thread) so far.
double contextSwitches() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_nvcsw + usage.ru_nivcsw);
}

// Reports the context switches per item since `start`, beside the time. Under several
// benchmark threads only the first reports (the count is the whole process's), over the items
// of every thread.
void reportSwitches(benchmark::State& state, double start, double items) {
  if (state.thread_index() != 0) return;
  state.counters["switches/item"] = (contextSwitches() - start) / (items * state.threads());
}

// Lets the benchmark thread wait for the end of a rally.
class Latch {
 public:
  void open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    cv_.notify_one();
  }
  void waitAndReset() {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [&] { return open_; });
    open_ = false;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool open_ = false;
};

void BM_Ours_AsyncHandoff(benchmark::State& state) {
  auto queue = platform::DispatchQueue::createSerial("bench.handoff");
  uint64_t ran = 0;
  const double switches = contextSwitches();
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i) queue->async([&ran] { ++ran; });
    queue->sync([] {});
  }
  expectRan(state, "async hand-off, dispatch queue", ran, state.iterations() * kBatch);
  state.SetItemsProcessed(state.iterations() * kBatch);
  reportSwitches(state, switches, double(state.iterations()) * kBatch);
}

void BM_WorkQueue_AsyncHandoff(benchmark::State& state) {
  WorkQueue queue;
  uint64_t ran = 0;
  const double switches = contextSwitches();
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i) queue.async([&ran] { ++ran; });
    queue.sync([] {});
  }
  expectRan(state, "async hand-off, work queue", ran, state.iterations() * kBatch);
  state.SetItemsProcessed(state.iterations() * kBatch);
  reportSwitches(state, switches, double(state.iterations()) * kBatch);
}

void BM_Ours_SyncIdle(benchmark::State& state) {
  auto queue = platform::DispatchQueue::createSerial("bench.sync");
  uint64_t ran = 0;
  for (auto _ : state) queue->sync([&ran] { ++ran; });
  expectRan(state, "sync, dispatch queue", ran, state.iterations());
}

void BM_WorkQueue_SyncIdle(benchmark::State& state) {
  WorkQueue queue;
  uint64_t ran = 0;
  for (auto _ : state) queue.sync([&ran] { ++ran; });
  expectRan(state, "sync, work queue", ran, state.iterations());
}

// One hop of the rally: runs on one queue and sends the ball to the other.
struct OursRally {
  std::shared_ptr<platform::DispatchQueue> queues[2];
  Latch done;
  uint64_t hops = 0;  // one hop at a time, each ordered after the one before
  void hop(int left, int side) {
    ++hops;
    if (left == 0) {
      done.open();
      return;
    }
    queues[1 - side]->async([this, left, side] { hop(left - 1, 1 - side); });
  }
};

void BM_Ours_PingPong(benchmark::State& state) {
  OursRally rally;
  rally.queues[0] = platform::DispatchQueue::createSerial("bench.ping");
  rally.queues[1] = platform::DispatchQueue::createSerial("bench.pong");
  const double switches = contextSwitches();
  for (auto _ : state) {
    rally.queues[0]->async([&rally] { rally.hop(kHops, 0); });
    rally.done.waitAndReset();
  }
  expectRan(state, "ping-pong, dispatch queues", rally.hops, state.iterations() * (kHops + 1));
  state.SetItemsProcessed(state.iterations() * kHops);
  reportSwitches(state, switches, double(state.iterations()) * kHops);
}

struct WorkQueueRally {
  WorkQueue queues[2];
  Latch done;
  uint64_t hops = 0;  // one hop at a time, each ordered after the one before
  void hop(int left, int side) {
    ++hops;
    if (left == 0) {
      done.open();
      return;
    }
    queues[1 - side].async([this, left, side] { hop(left - 1, 1 - side); });
  }
};

void BM_WorkQueue_PingPong(benchmark::State& state) {
  WorkQueueRally rally;
  const double switches = contextSwitches();
  for (auto _ : state) {
    rally.queues[0].async([&rally] { rally.hop(kHops, 0); });
    rally.done.waitAndReset();
  }
  expectRan(state, "ping-pong, work queues", rally.hops, state.iterations() * (kHops + 1));
  state.SetItemsProcessed(state.iterations() * kHops);
  reportSwitches(state, switches, double(state.iterations()) * kHops);
}

constexpr int kReads = 8;  // syncs onto the reader queue per worker block

// Each benchmark thread has a worker queue whose blocks each read kReads times from a reader
// queue through sync, as the engine's worker reads state kept on other queues. `make` gives a
// new queue of the side measured.
template <typename Make>
void syncReadsFromWorkers(benchmark::State& state, Make make) {
  auto worker = make();
  auto reader = make();
  uint64_t value = 0;  // touched only on the reader queue
  uint64_t sum = 0;    // touched only on the worker queue
  const double switches = contextSwitches();
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i) {
      worker->async([&] {
        for (int r = 0; r < kReads; ++r) reader->sync([&] { sum += ++value; });
      });
    }
    worker->sync([] {});
  }
  expectRan(state, "reads from workers", value, state.iterations() * kBatch * kReads);
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(state.iterations() * kBatch);
  reportSwitches(state, switches, double(state.iterations()) * kBatch);
}

void BM_Ours_SyncReadsFromWorkers(benchmark::State& state) {
  syncReadsFromWorkers(state, [] { return platform::DispatchQueue::createSerial("bench.reads"); });
}

void BM_WorkQueue_SyncReadsFromWorkers(benchmark::State& state) {
  syncReadsFromWorkers(state, [] { return std::make_unique<WorkQueue>(); });
}

}  // namespace

int main(int argc, char** argv) {
  if (!kvlbench::initialize(argc, argv)) return 1;
  struct Case {
    const char* name;
    void (*side)(benchmark::State&);
    int threads;
  };
  // Names carry the thread count: the reporter's names leave it out.
  const Case cases[] = {
      {"BM_Ours_AsyncHandoff", BM_Ours_AsyncHandoff, 1},
      {"BM_WorkQueue_AsyncHandoff", BM_WorkQueue_AsyncHandoff, 1},
      {"BM_Ours_SyncIdle", BM_Ours_SyncIdle, 1},
      {"BM_WorkQueue_SyncIdle", BM_WorkQueue_SyncIdle, 1},
      {"BM_Ours_PingPong", BM_Ours_PingPong, 1},
      {"BM_WorkQueue_PingPong", BM_WorkQueue_PingPong, 1},
      {"BM_Ours_SyncIdleFourThreads", BM_Ours_SyncIdle, 4},
      {"BM_WorkQueue_SyncIdleFourThreads", BM_WorkQueue_SyncIdle, 4},
      {"BM_Ours_AsyncHandoffFourQueues", BM_Ours_AsyncHandoff, 4},
      {"BM_WorkQueue_AsyncHandoffFourQueues", BM_WorkQueue_AsyncHandoff, 4},
      {"BM_Ours_SyncReadsFromWorkers", BM_Ours_SyncReadsFromWorkers, 1},
      {"BM_WorkQueue_SyncReadsFromWorkers", BM_WorkQueue_SyncReadsFromWorkers, 1},
      {"BM_Ours_SyncReadsFromFourWorkers", BM_Ours_SyncReadsFromWorkers, 4},
      {"BM_WorkQueue_SyncReadsFromFourWorkers", BM_WorkQueue_SyncReadsFromWorkers, 4}};
  for (const Case& c : cases) {
    benchmark::RegisterBenchmark(c.name, c.side)->Threads(c.threads)->UseRealTime()->MinTime(0.2);
  }
  kvlbench::MedianReporter reporter;
  for (const char* what :
       {"AsyncHandoff", "SyncIdle", "PingPong", "SyncIdleFourThreads", "AsyncHandoffFourQueues",
        "SyncReadsFromWorkers", "SyncReadsFromFourWorkers"}) {
    reporter.ratio(std::string(what) + " ours/work-queue", std::string("BM_Ours_") + what,
                   std::string("BM_WorkQueue_") + what);
  }
  reporter.run();
  reporter.printRatios();
  benchmark::Shutdown();
  return reporter.complete() ? 0 : 1;
}
