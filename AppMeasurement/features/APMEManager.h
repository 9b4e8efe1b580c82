#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "AppMeasurement/features/APMEClient.h"
#include "AppMeasurement/features/APMEMonitor.h"
#include "AppMeasurement/features/APMESDKProperty.h"
#include "AppMeasurement/features/APMESnapshot.h"
#include "AppMeasurement/features/APMETaskManagerDelegate.h"
#include "AppMeasurement/foundation/APMExperimentManaging.h"
#include "platform/dispatch/DispatchQueue.h"

class APMETaskManager;

// The single owner of the experiment state: registered SDKs with their default flags, and
// each SDK's pending, activated and launched snapshots. A flag's value comes from the
// activated snapshot, else the launched one, else the registered default.
//
// Threads: all state lives on the serial queue "APMEExperimentSerialQueue". Reads (flag
// values, experiment IDs, clients, status), activation and reset to defaults run
// synchronously on it and may be called from any thread; registration, reset, clearAndDelete
// and the task manager's callbacks run asynchronously on it. The registered clients are also
// read, under their own lock, on the task manager's worker queue.
class APMEManager : public APMExperimentManaging,
                    public APMETaskManagerDelegate,
                    public std::enable_shared_from_this<APMEManager> {
 public:
  // The process's manager: made once with a default task manager, which is then started.
  static std::shared_ptr<APMEManager> sharedInstance();
  // initWithTaskManager:. Becomes the task manager's delegate; does not start it.
  static std::shared_ptr<APMEManager> create(std::shared_ptr<APMETaskManager> taskManager);
  ~APMEManager() override;

  // The monitor of every experiment class.
  static APMEMonitor& monitor();
  // The experiment library version sent in requests: "10000000" without its last three
  // characters (10000).
  static int64_t version();

  // Registers an SDK with its default flags (flag name to value: text, or a number). The
  // client is answered at once; it is stored asynchronously, so a flag asked before that
  // answers nil (800012). Null (logged) for no property (800000), an empty name (800001), a
  // default that makes no flag (800002).
  std::shared_ptr<APMEClient> registerSDKProperty(
      const std::shared_ptr<APMESDKProperty>& property,
      const std::map<std::string, NANOObject>& defaultFlags);
  std::shared_ptr<APMEClient> clientForSDKName(std::string_view sdkName);
  // The IDs of the activated experiments of every SDK without its own diversion key,
  // ascending.
  std::vector<int64_t> experimentIDs() override;
  NANOObject flagValueForFlagName(std::string_view flagName, std::string_view sdkName);
  // Activates the SDK's pending snapshot: non-zero IDs make the new activated snapshot (even
  // an empty one), ID 0 the new launched snapshot. False without a pending snapshot (no
  // error), or for a missing or empty name (error code 1).
  bool activateSnapshotOfSDK(const std::optional<std::string>& sdkName, APMErrorSlot* error);
  // -1 unknown SDK or empty name, -2 no activated snapshot, 1 stale (more than three days
  // away from now), 0 fresh.
  int activatedSnapshotStatusOfSDKName(std::string_view sdkName);
  void resetToDefaultsOfSDKName(std::string_view sdkName);
  // Empties the snapshots here and in the store (clients and defaults stay); asynchronous.
  void reset() override;
  // As reset, but the store's file is deleted and nothing is fetched until the next start.
  void clearAndDelete();

  // Runs the block on the queue; an exception it throws is logged (800017 / 800018) and
  // stops there.
  void dispatchAsyncOnSerialQueue(std::function<void()> block);
  void dispatchSyncOnSerialQueue(const std::function<void()>& block);

  // The measurement library's registration (no default flags).
  std::shared_ptr<APMExperimentClient> registerSDKProperty(const std::string& name,
                                                           int64_t version) override;

  // APMETaskManagerDelegate, on the task manager's worker queue.
  bool taskManagerShouldFetchExperiments(APMETaskManager& taskManager) override;
  void taskManagerDidStart(APMETaskManager& taskManager,
                           const std::vector<APMESnapshot>& activatedSnapshots,
                           const std::vector<APMESnapshot>& pendingSnapshots,
                           const std::vector<APMESnapshot>& launchedSnapshots) override;
  void taskManagerDidFinishFetching(APMETaskManager& taskManager,
                                    const std::vector<APMESnapshot>& snapshots,
                                    const std::map<std::string, APMError>& errors) override;
  void taskManagerDidUpsertPendingSnapshots(APMETaskManager& taskManager,
                                            const std::vector<APMESnapshot>& snapshots) override;

  const std::shared_ptr<APMETaskManager>& taskManager() const { return taskManager_; }
  const std::shared_ptr<platform::DispatchQueue>& queue() const { return queue_; }

 private:
  explicit APMEManager(std::shared_ptr<APMETaskManager> taskManager);
  std::shared_ptr<APMEClient> registeredClient(std::string_view sdkName) const;
  // reset (store emptied, fetch soon) or clearAndDelete (store deleted), then memory emptied.
  void forgetSnapshots(bool deleteStore);

  const std::shared_ptr<APMETaskManager> taskManager_;
  const std::shared_ptr<platform::DispatchQueue> queue_;
  // On queue_ only:
  std::map<std::string, APMESnapshot, std::less<>> activatedSnapshotsBySDKName_;
  std::map<std::string, APMESnapshot, std::less<>> pendingSnapshotsBySDKName_;
  std::map<std::string, APMESnapshot, std::less<>> launchedSnapshotsBySDKName_;
  std::map<std::string, std::map<std::string, APMPBFlag, std::less<>>, std::less<>>
      defaultFlagsBySDKName_;
  // Written on queue_, read also on the worker queue.
  mutable std::mutex clientsMutex_;
  std::map<std::string, std::shared_ptr<APMEClient>, std::less<>> registeredClientsBySDKName_;
};
