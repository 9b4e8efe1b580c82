#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "AppMeasurement/foundation/APMError.h"

class APMExperimentClient;

// What the remote configuration is told by its experiment client.
class APMExperimentClientDelegate {
 public:
  virtual ~APMExperimentClientDelegate() = default;
  virtual void clientDidReceiveNewSnapshot(APMExperimentClient& client) = 0;
  virtual void clientDidReceiveFetchError(APMExperimentClient& client,
                                          const std::optional<APMError>& error) = 0;
  virtual bool shouldFetchExperimentsForClient(APMExperimentClient& client) = 0;
};

// One library's view of the experiments in force (the experiment client). The experiments
// subsystem implements it; any thread may call it.
class APMExperimentClient {
 public:
  virtual ~APMExperimentClient() = default;
  // Makes the latest fetched snapshot the one in force; false with the reason on failure.
  virtual bool activateLatestSnapshot(APMErrorSlot* error) = 0;
  // The truth of the flag in the snapshot in force; nullopt when it has no such flag.
  virtual std::optional<bool> flagValue(const std::string& name) = 0;
  // Held weakly.
  virtual void setDelegate(std::weak_ptr<APMExperimentClientDelegate> delegate) = 0;
};

// The process's experiment manager, as the remote configuration uses it. The experiments
// subsystem implements it; until then the engine passes none and the configuration behaves as
// without experiments (no client, no experiment IDs).
class APMExperimentManaging {
 public:
  virtual ~APMExperimentManaging() = default;
  // Registers a library property ("app_measurement") with its version and no default flags;
  // the client, or nullptr when the property is refused.
  virtual std::shared_ptr<APMExperimentClient> registerSDKProperty(const std::string& name,
                                                                   int64_t version) = 0;
  virtual std::vector<int64_t> experimentIDs() = 0;
  // Clears the experiment state (asynchronously).
  virtual void reset() = 0;
};
