#include "platform/dispatch/DispatchQueue.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <limits>

#include "platform/dispatch/DispatchRuntime.h"
#include "platform/foundation/PlatformLog.h"

namespace platform {
namespace {

// Bumped in the child after a fork, where the forking thread becomes the main thread.
std::atomic<unsigned> forkGeneration{0};

// Whether the calling thread is the process's main thread (its thread id is the process id),
// asked of the kernel once per thread (and again after a fork) rather than at every call.
bool isProcessMainThread() {
  static const bool registered =
      pthread_atfork(nullptr, nullptr, [] { forkGeneration.fetch_add(1); }) == 0;
  (void)registered;
  struct Answer {
    unsigned generation = ~0u;
    bool main = false;
  };
  thread_local Answer answer;
  const unsigned generation = forkGeneration.load();
  if (answer.generation != generation) {
    answer.main = static_cast<pid_t>(::syscall(SYS_gettid)) == ::getpid();
    answer.generation = generation;
  }
  return answer.main;
}

}  // namespace

DispatchQueue::DispatchQueue(std::string label, Kind kind)
    : label_(std::move(label)), kind_(kind), state_(std::make_shared<DispatchQueueState>()) {
  state_->kind = kind;
}

DispatchQueue::~DispatchQueue() {
  if (kind_ == Kind::kSerial) DispatchRuntime::instance().unregisterQueue(state_.get());
}

std::shared_ptr<DispatchQueue> DispatchQueue::createSerial(std::string label) {
  std::shared_ptr<DispatchQueue> queue(new DispatchQueue(std::move(label), Kind::kSerial));
  queue->state_->handle = queue;
  DispatchRuntime::instance().startSerialWorker(queue->state_);
  return queue;
}

// NOLINTNEXTLINE(bugprone-exception-escape): a member named main, not the program entry
std::shared_ptr<DispatchQueue> DispatchQueue::main() {
  return DispatchRuntime::instance().mainQueue().shared_from_this();
}

std::shared_ptr<DispatchQueue> DispatchQueue::global() {
  return DispatchRuntime::instance().globalQueue().shared_from_this();
}

void DispatchQueue::async(Block block) {
  if (!block) return;
  DispatchRuntime::instance().enqueue(*this, DispatchItem{std::move(block), nullptr});
}

void DispatchQueue::sync(Block block) {
  if (!block) return;
  DispatchRuntime::instance().sync(*this, block);
}

uint64_t DispatchQueue::submittedCount() const {
  return state_->submitted.load(std::memory_order_acquire);
}

void DispatchQueue::after(double delaySeconds, Block block) {
  if (!block) return;
  DispatchRuntime& runtime = DispatchRuntime::instance();
  const double deadline = Clock::current()->uptime() + delaySeconds;
  // Never due: dropped here, outside the dispatch lock, since what the block captures may
  // dispatch from its destructor.
  if (deadline == std::numeric_limits<double>::infinity()) return;
  DispatchRuntime::Lock lock(runtime);
  runtime.addDelayedLocked(shared_from_this(), /*wall=*/false, deadline, std::move(block), {}, 0);
}

bool DispatchQueue::isCurrent() const {
  if (dispatchThreadContext().hasEntered(this)) return true;
  return kind_ == Kind::kMain && isMainThread();
}

void DispatchQueue::assertCurrent(std::string_view where) const {
  if (isCurrent()) return;
  PlatformLog::write(std::string(where) + " must run on queue " + label_);
#ifndef NDEBUG
  std::abort();
#endif
}

std::shared_ptr<DispatchQueue> DispatchQueue::current() {
  if (const DispatchQueueFrame* frame = dispatchThreadContext().innermost) {
    return std::const_pointer_cast<DispatchQueue>(frame->queue->weak_from_this().lock());
  }
  if (isMainThread()) return main();
  return nullptr;
}

bool DispatchQueue::isMainThread() {
  if (dispatchThreadContext().mainDepth > 0) return true;
  return isProcessMainThread();
}

void DispatchQueue::runMainLoop() { DispatchRuntime::instance().runMainLoop(); }

void DispatchQueue::stopMainLoop() { DispatchRuntime::instance().stopMainLoop(); }

size_t DispatchQueue::drainMain() { return DispatchRuntime::instance().drainMain(); }

void DispatchQueue::waitUntilIdle() { DispatchRuntime::instance().waitUntilIdle(); }

size_t DispatchQueue::discardPendingDelayedWork() {
  return DispatchRuntime::instance().discardDelayed();
}

}  // namespace platform
