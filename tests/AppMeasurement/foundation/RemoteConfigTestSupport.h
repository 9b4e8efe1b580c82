#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "AppMeasurement/foundation/APMRemoteConfig.h"

namespace remoteconfigtest {

// A configuration row kept in memory, with the failures a database can give.
class MemoryConfigStore : public APMRemoteConfigStore {
 public:
  bool updateRemoteConfig(const APMPBMeasurementConfig& config, APMErrorSlot* error) override {
    std::lock_guard<std::mutex> lock(mutex);
    if (refuse) {
      if (refuseWithError && error) *error = apm_errorWithCode(3, "disk full");
      return false;
    }
    stored = config;
    return true;
  }
  std::optional<APMPBMeasurementConfig> queryMeasurementConfigWithError(APMErrorSlot*) override {
    std::lock_guard<std::mutex> lock(mutex);
    return stored;
  }
  std::optional<double> lastRemoteConfigUpdateTimestamp(APMErrorSlot*) override {
    std::lock_guard<std::mutex> lock(mutex);
    return timestamp;
  }

  std::mutex mutex;
  std::optional<APMPBMeasurementConfig> stored;
  std::optional<double> timestamp;
  bool refuse = false;
  bool refuseWithError = false;
};

inline APMPBMeasurementConfig makeConfig(
    const std::string& appID, const std::vector<std::pair<std::string, std::string>>& settings) {
  APMPBMeasurementConfig config;
  NANOSetString(config, APMPBMeasurementConfig::kAppId, appID);
  std::vector<APMPBSetting> list;
  for (const auto& [name, value] : settings) {
    APMPBSetting setting;
    NANOSetString(setting, APMPBSetting::kName, name);
    NANOSetString(setting, APMPBSetting::kValue, value);
    list.push_back(setting);
  }
  NANOSetMessageArray(config, APMPBMeasurementConfig::kSettings, list);
  return config;
}

}  // namespace remoteconfigtest
