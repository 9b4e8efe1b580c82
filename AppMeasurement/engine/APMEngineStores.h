#pragma once

#include <memory>

#include "AppMeasurement/foundation/APMRemoteConfigStore.h"
#include "AppMeasurement/storage/APMDatabaseSettings.h"

class APMDatabase;
class APMMeasurement;
class APMPersistedConfig;

// The database's settings as the engine knows them: the remote settings of the engine's
// configuration (defaults while it has none), the persisted midnight offset and purge time.
// Worker queue only, as the database calls it.
class APMEngineDatabaseSettings : public APMDatabaseSettings {
 public:
  APMEngineDatabaseSettings(std::weak_ptr<APMMeasurement> engine,
                            std::shared_ptr<APMPersistedConfig> persistedConfig);
  int32_t maxEventsStored() const override;
  double maxQueueTime() const override;
  double databaseDeleteStaleBundlesInterval() const override;
  double midnightOffset() const override;
  double lastDeleteStaleBundlesTimestamp() const override;
  void setLastDeleteStaleBundlesTimestamp(double timestamp) override;

 private:
  std::weak_ptr<APMMeasurement> engine_;
  std::shared_ptr<APMPersistedConfig> persistedConfig_;
};

// The remote configuration's store over the measurement database's app-metadata row. The
// database is owned by the engine and outlives this store's use (both live until the engine
// goes); worker queue only.
class APMDatabaseRemoteConfigStore : public APMRemoteConfigStore {
 public:
  explicit APMDatabaseRemoteConfigStore(APMDatabase* database) : database_(database) {}
  bool updateRemoteConfig(const APMPBMeasurementConfig& config, APMErrorSlot* error) override;
  std::optional<APMPBMeasurementConfig> queryMeasurementConfigWithError(
      APMErrorSlot* error) override;
  std::optional<double> lastRemoteConfigUpdateTimestamp(APMErrorSlot* error) override;

 private:
  APMDatabase* database_;
};
