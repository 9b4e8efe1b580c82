#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "AppMeasurement/foundation/APMScheduler.h"

// Gathers blocks of one kind, submitted to the worker queue one after another, into one turn
// of that queue, where the group runner runs them together: the engine writes a run of
// logged events under one commit this way instead of one commit per event.
//
// A block joins the group waiting on the queue only while that group has not started and
// nothing else was submitted to the worker queue since it was, so the queue still runs every
// block in the order it was submitted; at most `maxBlocks` join one group. A group of one
// block runs as a lone block would, without the runner. Each block runs as the scheduler runs
// a block (a platform exception is logged with the block ID, 30000, and the next block runs).
//
// submit may be called from any thread. The runner and the blocks run on the worker queue.
class APMBlockGrouper {
 public:
  // Runs a group: must call `runBlocks` once, which runs every block of the group in order.
  using GroupRunner = std::function<void(const std::function<void()>& runBlocks)>;

  APMBlockGrouper(std::shared_ptr<APMScheduler> scheduler, std::string blockID, size_t maxBlocks,
                  GroupRunner runGroup);

  void submit(platform::Block block);

 private:
  struct Group {
    std::mutex mutex;
    std::vector<platform::Block> blocks;  // under `mutex`
    bool started = false;                 // under `mutex`
  };

  // The group's turn on the worker queue: takes its blocks (none join after) and runs them.
  static void run(Group& group, const std::string& blockID, const GroupRunner& runGroup);

  const std::shared_ptr<APMScheduler> scheduler_;
  const std::string blockID_;
  const size_t maxBlocks_;
  const GroupRunner runGroup_;
  std::mutex mutex_;
  std::shared_ptr<Group> waiting_;  // under `mutex_`: the group last submitted
  // The worker queue's submitted count right after that group was: equal now only if nothing
  // was submitted since.
  uint64_t submittedAfterWaiting_ = 0;
};
