#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "AppMeasurement/features/APMEDatabase.h"
#include "AppMeasurement/features/APMESnapshot.h"
#include "AppMeasurement/features/APMETaskManagerDelegate.h"
#include "AppMeasurement/foundation/APMError.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/utilities/OULError.h"
#include "platform/utilities/OULHTTPURLResponse.h"

class APMAlarm;
class APMUserDefaults;
class OULNetwork;

// Brings experiment snapshots from the measurement service ("/sdk-exp") to the device and
// keeps them in the experiments database. It decides when the next fetch is due (four hours
// after a success; after failures six growing steps, then nothing until the next launch; a
// 12-hour hold after a back-off status), and carries out in the database what the manager
// decided in memory.
//
// Its schedule lives in the preferences suite "APMExperimentSuiteName" (three timestamps,
// seconds since 1970). Time is wall time of the installed platform::Clock; the alarm fires by
// it.
//
// Threads: everything runs on the serial queue "APMExperimentWorkerQueue": the alarm fires
// there, the network answers there, the public operations that touch the database hop there,
// and the delegate is called there. The delegate is held weakly.
class APMETaskManager : public std::enable_shared_from_this<APMETaskManager> {
 public:
  static constexpr std::string_view kSuiteName = "APMExperimentSuiteName";
  static constexpr std::string_view kSuccessKey = "APMExperimentFetchSuccessTimestamp";
  static constexpr std::string_view kFailureKey = "APMExperimentFetchFailureTimestamp";
  static constexpr std::string_view kBackoffKey = "APMExperimentFetchBackoffTimestamp";
  static constexpr std::string_view kErrorDomain =
      "com.orvane.rzq.measurement.experiment.ErrorDomain";

  // init: its own worker queue, alarm, a network object watching the measurement service's
  // host, the suite, and the database in Application Support.
  static std::shared_ptr<APMETaskManager> create();
  // initWithQueue:alarm:network:persistedStorage:databasePath:initTimestamp:.
  static std::shared_ptr<APMETaskManager> create(std::shared_ptr<platform::DispatchQueue> queue,
                                                 std::shared_ptr<APMAlarm> alarm,
                                                 std::shared_ptr<OULNetwork> network,
                                                 std::shared_ptr<APMUserDefaults> persistedStorage,
                                                 std::string databasePath, double initTimestamp);
  ~APMETaskManager();

  void setDelegate(std::weak_ptr<APMETaskManagerDelegate> delegate);
  // Opens the database, deletes stale and activates waiting snapshots in one transaction,
  // tells the delegate what is stored and schedules the first fetch. Asynchronous.
  void startTaskManager();

  // The next fetch time (seconds since 1970), or 0 when no more attempts are due.
  double fetchTimeFromLastSuccessfulTimestamp(double lastSuccess, double lastFailure);
  // Worker queue only.
  void scheduleFetchingExperimentsOnWorkerQueue();
  void postponeFetchExperiments();
  void fetchExperiments();
  void handleFetchingExperimentsResponse(const std::optional<OULHTTPURLResponse>& response,
                                         const std::optional<std::string>& data,
                                         const std::optional<OULError>& error);

  // Asynchronous on the worker queue.
  void activatePendingSnapshot(const std::optional<APMESnapshot>& snapshot, double timestamp);
  void resetToDefaultsForSDKName(const std::string& sdkName);
  void upsertPendingSnapshots(const std::vector<APMESnapshot>& snapshots);
  void reset();
  void clearAndDelete();

  // The snapshots of a response: field 1, else the snapshots of field 2 under their SDK
  // names. Each carries the current time and is not manually activated.
  static std::optional<std::vector<APMESnapshot>> experimentSnapshotsFromExperimentResponse(
      const std::optional<APMPBExperimentResponse>& response);
  // Per-SDK errors: status 1-3 give code -(status + 1), others -1; status 0 none.
  static std::optional<std::map<std::string, APMError>> errorsFromExperimentResponse(
      const std::optional<APMPBExperimentResponse>& response);
  // Decodes an (inflated) response body; nothing for empty or undecodable data. Untrusted
  // input: the fuzz harness drives it.
  static std::optional<std::vector<APMESnapshot>> experimentSnapshotsFromData(
      std::string_view data);

  // Runs the block on the worker queue; an exception is logged (820026 / 820027); the sync
  // form raises it again.
  void dispatchAsyncOnWorkerQueue(std::function<void()> block);
  void dispatchSyncOnWorkerQueue(const std::function<void()>& block);

  // The request's address: the measurement service's host and "/sdk-exp".
  static std::string fetchURL();

  bool hasMadeInitialFetch() const { return hasMadeInitialFetch_; }
  double initializationTimestamp() const { return initializationTimestamp_; }
  const std::shared_ptr<platform::DispatchQueue>& workerQueue() const { return workerQueue_; }
  const std::shared_ptr<APMAlarm>& alarm() const { return alarm_; }
  // Worker queue only; null before the start or after a failed open.
  APMEDatabase* database() const { return database_.get(); }

 private:
  APMETaskManager(std::shared_ptr<platform::DispatchQueue> queue, std::shared_ptr<APMAlarm> alarm,
                  std::shared_ptr<OULNetwork> network,
                  std::shared_ptr<APMUserDefaults> persistedStorage, std::string databasePath,
                  double initTimestamp);
  void startTaskManagerOnWorkerQueue();
  bool fetchAllSnapshotsOnWorkerQueue();
  void removeTimestamps();

  const std::shared_ptr<platform::DispatchQueue> workerQueue_;
  const std::shared_ptr<APMAlarm> alarm_;
  const std::shared_ptr<OULNetwork> network_;
  const std::shared_ptr<APMUserDefaults> persistedStorage_;
  const std::string databasePath_;
  const double initializationTimestamp_;
  // Worker queue only:
  std::unique_ptr<APMEDatabase> database_;
  bool hasMadeInitialFetch_ = false;
  mutable std::mutex delegateMutex_;  // guards delegate_
  std::weak_ptr<APMETaskManagerDelegate> delegate_;
  std::shared_ptr<APMETaskManagerDelegate> delegate() const;
};
