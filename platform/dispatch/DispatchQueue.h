#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace platform {

using Block = std::function<void()>;

struct DispatchQueueState;

// A dispatch queue: a labelled serial queue, the main queue or the global concurrent queue.
//
// Blocks on one serial queue run in FIFO order and never overlap; each serial queue runs
// its blocks on a thread of its own. The main queue is run by the app's run loop on the
// main thread (runMainLoop), or drained explicitly by tests (drainMain). The global queue
// runs blocks concurrently on a pool of threads. Those threads run under the batch
// scheduling policy (SCHED_BATCH): handing work to a queue whose thread sleeps costs the caller
// the wake-up, never its CPU for the time the woken thread runs.
//
// A block that throws lets the exception escape to std::terminate: callers that must
// catch do so inside the block.
//
// Every method may be called from any thread or queue. A pending block keeps its queue
// alive until it has run.
class DispatchQueue : public std::enable_shared_from_this<DispatchQueue> {
 public:
  enum class Kind { kSerial, kMain, kConcurrent };

  ~DispatchQueue();
  DispatchQueue(const DispatchQueue&) = delete;
  DispatchQueue& operator=(const DispatchQueue&) = delete;

  // A new serial queue with the label given.
  static std::shared_ptr<DispatchQueue> createSerial(std::string label);
  // The main queue (label "com.apple.main-thread").
  static std::shared_ptr<DispatchQueue> main();
  // The global concurrent queue.
  static std::shared_ptr<DispatchQueue> global();

  const std::string& label() const { return label_; }
  Kind kind() const { return kind_; }

  // Runs the block later on this queue; returns at once. An empty block is ignored.
  void async(Block block);
  // Runs the block on this queue and waits for it to finish. The block runs on the calling
  // thread once the queue has reached it (as dispatch_sync does). A sync onto a queue the
  // caller is already on — directly or through other queues' sync — runs the block inline
  // instead of deadlocking. A sync onto the main queue from the main thread runs inline.
  void sync(Block block);
  // Runs the block on this queue once `delaySeconds` of uptime have passed by the installed
  // clock. A delay of zero or less posts it at once (it runs at the queue's next turn).
  void after(double delaySeconds, Block block);

  // How many blocks and syncs have been submitted to this queue so far (inline syncs of a
  // block already on it aside). The same count read twice means nothing was submitted in
  // between, so a block queued earlier is still followed by nothing else of anyone's.
  uint64_t submittedCount() const;

  // True when the caller runs on this queue (inside one of its blocks, or inside a sync onto
  // it). For the main queue, also true on the main thread outside any queue.
  bool isCurrent() const;
  // Sequence check: when the caller is not on this queue, logs "<where> must run on queue
  // <label>" to the platform log and, in debug builds, aborts.
  void assertCurrent(std::string_view where) const;

  // The queue the caller runs on: the innermost one when syncs nest; the main queue on the
  // main thread outside any queue; nullptr elsewhere.
  static std::shared_ptr<DispatchQueue> current();
  // True on the process's main thread, on a thread inside runMainLoop or drainMain, and
  // inside a block of the main queue.
  static bool isMainThread();

  // Runs the main queue on the calling thread, which becomes the main thread, until
  // stopMainLoop() is called. For the app's main().
  static void runMainLoop();
  // Makes runMainLoop() return after the block it is running, if any.
  static void stopMainLoop();

  // For tests: runs the pending main-queue blocks, and those they post, on the calling
  // thread, which counts as the main thread while doing so. Returns how many ran. Returns 0
  // at once when another thread runs the main queue.
  static size_t drainMain();

  // For tests: waits until every queue is idle and no delayed block or timer is due,
  // draining the main queue on the calling thread (unless a main loop runs elsewhere).
  // A block blocked in a semaphore wait counts as idle (it waits for something outside).
  // Must be called from outside any queue; aborts otherwise.
  static void waitUntilIdle();
  // For tests: drops every pending delayed block and timer deadline, so that nothing left
  // over from one test fires during the next. Returns how many were dropped.
  static size_t discardPendingDelayedWork();

 private:
  friend class DispatchRuntime;
  DispatchQueue(std::string label, Kind kind);

  const std::string label_;
  const Kind kind_;
  std::shared_ptr<DispatchQueueState> state_;
};

}  // namespace platform
