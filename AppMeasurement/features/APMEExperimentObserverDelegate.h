#pragma once

#include <memory>

#include "AppMeasurement/foundation/APMError.h"
#include "platform/dispatch/DispatchQueue.h"

class APMEClient;

// What an SDK hears about its experiments. Every part is optional: a delegate derives from the
// base and from the small interfaces of the operations it answers; the manager asks for each
// with dynamic_cast before calling it.
class APMEExperimentObserverDelegate {
 public:
  virtual ~APMEExperimentObserverDelegate() = default;
};

// A new pending snapshot waits for this client; its snapshots are then activated only by the
// SDK (across restarts too). Called on the delegate's queue (APMEObserverQueueProviding), else
// on the main queue.
class APMENewSnapshotObserving {
 public:
  virtual ~APMENewSnapshotObserving() = default;
  virtual void clientDidReceiveNewSnapshot(APMEClient& client) = 0;
};

// The server reported an error for this SDK. Called on the manager's queue.
class APMEFetchErrorObserving {
 public:
  virtual ~APMEFetchErrorObserving() = default;
  virtual void clientDidReceiveFetchError(APMEClient& client, const APMError& error) = 0;
};

// Whether this SDK wants experiments fetched now. Called on the experiment worker queue.
class APMEFetchPermission {
 public:
  virtual ~APMEFetchPermission() = default;
  virtual bool shouldFetchExperimentsForClient(APMEClient& client) = 0;
};

// The queue for clientDidReceiveNewSnapshot.
class APMEObserverQueueProviding {
 public:
  virtual ~APMEObserverQueueProviding() = default;
  virtual std::shared_ptr<platform::DispatchQueue> queue() = 0;
};
