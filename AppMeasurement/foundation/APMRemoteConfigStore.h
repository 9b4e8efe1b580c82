#pragma once

#include <optional>

#include "AppMeasurement/foundation/APMError.h"
#include "AppMeasurement/messages/APMPBMessages.h"

// Where the remote configuration keeps the last configuration the server sent: the measurement
// database's app-metadata row (its config blob and the time of the last successful fetch).
// The database implements this; until it does, a store that holds nothing answers neutrally
// (no configuration, no timestamp, every update refused with an error).
//
// Called from background threads (the worker queue); an implementation serialises itself.
class APMRemoteConfigStore {
 public:
  virtual ~APMRemoteConfigStore() = default;
  // Stores the configuration; false on failure, with the reason in the slot when one is given.
  virtual bool updateRemoteConfig(const APMPBMeasurementConfig& config, APMErrorSlot* error) = 0;
  // The stored configuration; nullopt when none is stored (slot untouched) or on failure (slot
  // filled).
  virtual std::optional<APMPBMeasurementConfig> queryMeasurementConfigWithError(
      APMErrorSlot* error) = 0;
  // Seconds since 1970 of the last successful fetch; nullopt when unknown or on failure.
  virtual std::optional<double> lastRemoteConfigUpdateTimestamp(APMErrorSlot* error) = 0;
};
