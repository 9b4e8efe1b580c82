#pragma once

#include <map>
#include <string>
#include <vector>

#include "AppMeasurement/features/APMESnapshot.h"
#include "AppMeasurement/foundation/APMError.h"

class APMETaskManager;

// What the task manager tells its owner (the experiment manager). Every call comes on the
// task manager's worker queue.
class APMETaskManagerDelegate {
 public:
  virtual ~APMETaskManagerDelegate() = default;
  // Whether anybody wants experiments now; false postpones the fetch by four hours.
  virtual bool taskManagerShouldFetchExperiments(APMETaskManager& taskManager) { return true; }
  // The stored snapshots, once the database is open and the start-up activation ran.
  virtual void taskManagerDidStart(APMETaskManager& taskManager,
                                   const std::vector<APMESnapshot>& activatedSnapshots,
                                   const std::vector<APMESnapshot>& pendingSnapshots,
                                   const std::vector<APMESnapshot>& launchedSnapshots) = 0;
  // A successful fetch: its snapshots (stored as pending) and its errors by SDK name.
  virtual void taskManagerDidFinishFetching(APMETaskManager& taskManager,
                                            const std::vector<APMESnapshot>& snapshots,
                                            const std::map<std::string, APMError>& errors) = 0;
  // Snapshots stored again with their manual-activation marks.
  virtual void taskManagerDidUpsertPendingSnapshots(APMETaskManager& taskManager,
                                                    const std::vector<APMESnapshot>& snapshots) = 0;
};
