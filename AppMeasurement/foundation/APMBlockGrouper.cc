#include "AppMeasurement/foundation/APMBlockGrouper.h"

#include <utility>

APMBlockGrouper::APMBlockGrouper(std::shared_ptr<APMScheduler> scheduler, std::string blockID,
                                 size_t maxBlocks, GroupRunner runGroup)
    : scheduler_(std::move(scheduler)),
      blockID_(std::move(blockID)),
      maxBlocks_(maxBlocks),
      runGroup_(std::move(runGroup)) {}

void APMBlockGrouper::submit(platform::Block block) {
  if (!block) {
    scheduler_->scheduleOnWorkerQueueBlockID(blockID_, std::move(block));  // logs 30005
    return;
  }
  const std::shared_ptr<platform::DispatchQueue>& queue = scheduler_->workerQueue();
  std::lock_guard<std::mutex> lock(mutex_);
  if (waiting_ && queue->submittedCount() == submittedAfterWaiting_) {
    std::lock_guard<std::mutex> groupLock(waiting_->mutex);
    if (!waiting_->started && waiting_->blocks.size() < maxBlocks_) {
      waiting_->blocks.push_back(std::move(block));
      return;
    }
  }
  auto group = std::make_shared<Group>();
  group->blocks.push_back(std::move(block));
  // Counted before: a submission by another thread between this read and the group's own
  // makes the counts differ, and then nothing joins (never a block ahead of another's).
  const uint64_t before = queue->submittedCount();
  scheduler_->scheduleOnWorkerQueueBlockID(
      blockID_,
      [group, blockID = blockID_, runGroup = runGroup_] { run(*group, blockID, runGroup); });
  waiting_ = std::move(group);
  submittedAfterWaiting_ = before + 1;
}

void APMBlockGrouper::run(Group& group, const std::string& blockID, const GroupRunner& runGroup) {
  std::vector<platform::Block> blocks;
  {
    std::lock_guard<std::mutex> groupLock(group.mutex);
    group.started = true;
    blocks.swap(group.blocks);
  }
  auto runBlocks = [&] {
    for (const platform::Block& each : blocks) APMScheduler::runScheduledBlock(blockID, each);
  };
  if (blocks.size() == 1) {
    runBlocks();
  } else {
    runGroup(runBlocks);
  }
  // The blocks go last: they may hold what the runner uses.
}
