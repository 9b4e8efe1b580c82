#include "AppMeasurement/engine/APMEngineStores.h"

#include "AppMeasurement/engine/APMMeasurement.h"
#include "AppMeasurement/foundation/APMMonitor.h"
#include "AppMeasurement/foundation/APMPersistedConfig.h"
#include "AppMeasurement/foundation/APMRemoteConfig.h"
#include "AppMeasurement/storage/APMDatabase.h"
#include "AppMeasurement/storage/APMSqliteStore.h"

namespace {
std::shared_ptr<APMRemoteConfig> configOf(const std::weak_ptr<APMMeasurement>& engine) {
  std::shared_ptr<APMMeasurement> strong = engine.lock();
  std::shared_ptr<APMRemoteConfig> config = strong ? strong->remoteConfigInstance() : nullptr;
  return config ? config : APMRemoteConfig::defaultInstance();
}
}  // namespace

APMEngineDatabaseSettings::APMEngineDatabaseSettings(
    std::weak_ptr<APMMeasurement> engine, std::shared_ptr<APMPersistedConfig> persistedConfig)
    : engine_(std::move(engine)), persistedConfig_(std::move(persistedConfig)) {}

int32_t APMEngineDatabaseSettings::maxEventsStored() const {
  return configOf(engine_)->maxEventsStored();
}
double APMEngineDatabaseSettings::maxQueueTime() const { return configOf(engine_)->maxQueueTime(); }
double APMEngineDatabaseSettings::databaseDeleteStaleBundlesInterval() const {
  return configOf(engine_)->databaseDeleteStaleBundlesInterval();
}
double APMEngineDatabaseSettings::midnightOffset() const {
  return persistedConfig_->midnightOffset();
}
double APMEngineDatabaseSettings::lastDeleteStaleBundlesTimestamp() const {
  return persistedConfig_->lastDeleteStaleBundlesTimestamp();
}
void APMEngineDatabaseSettings::setLastDeleteStaleBundlesTimestamp(double timestamp) {
  persistedConfig_->setLastDeleteStaleBundlesTimestamp(timestamp);
}

bool APMDatabaseRemoteConfigStore::updateRemoteConfig(const APMPBMeasurementConfig& config,
                                                      APMErrorSlot* error) {
  return database_->updateRemoteConfig(config, error);
}
std::optional<APMPBMeasurementConfig> APMDatabaseRemoteConfigStore::queryMeasurementConfigWithError(
    APMErrorSlot* error) {
  // A configuration stored before bodies were bounded is not decoded at every start: past the
  // bound it counts as none, and the next fetch replaces it.
  if (APMSqliteStore* store = database_->sqliteStore()) {
    std::optional<platform::Value> length = store->numberForQuery(
        "SELECT length(remote_config_data) FROM app_metadata LIMIT 1", {}, nullptr);
    int64_t bytes = length ? length->numberAsInteger().value_or(0) : 0;
    if (bytes > static_cast<int64_t>(APMMeasurement::kMaxRemoteConfigBytes)) {
      APMMonitor::monitor()->logWithLevel(
          1, 23135, "Configuration data is invalid. Size, limit", bytes,
          static_cast<int64_t>(APMMeasurement::kMaxRemoteConfigBytes));
      return std::nullopt;
    }
  }
  return database_->queryMeasurementConfigWithError(error);
}
std::optional<double> APMDatabaseRemoteConfigStore::lastRemoteConfigUpdateTimestamp(
    APMErrorSlot* error) {
  return database_->lastRemoteConfigUpdateTimestamp(error);
}
