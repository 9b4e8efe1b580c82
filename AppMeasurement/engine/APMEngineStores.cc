#include "AppMeasurement/engine/APMEngineStores.h"

#include "AppMeasurement/engine/APMMeasurement.h"
#include "AppMeasurement/foundation/APMPersistedConfig.h"
#include "AppMeasurement/foundation/APMRemoteConfig.h"
#include "AppMeasurement/storage/APMDatabase.h"

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
  return database_->queryMeasurementConfigWithError(error);
}
std::optional<double> APMDatabaseRemoteConfigStore::lastRemoteConfigUpdateTimestamp(
    APMErrorSlot* error) {
  return database_->lastRemoteConfigUpdateTimestamp(error);
}
