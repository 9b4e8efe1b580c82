#pragma once

#include <ctime>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace measurement_service {

// One app's configuration as the service answers it.
struct StoredConfiguration {
  std::string bytes;         // an encoded MeasurementConfig
  std::string etag;          // quoted, from the bytes' content
  std::time_t modified = 0;  // when it was stored (seconds), for Last-Modified
};

// The configurations the service answers, by app id. Loaded from a folder of
// "<app id>.json" (the apm-msg JSON form of MeasurementConfig) or "<app id>.pb" (encoded bytes)
// files, and replaced at run time by the control endpoint. Thread-safe.
class ConfigurationStore {
 public:
  // Loads every configuration file of `folder`. Answers false with the reason in *error when a
  // file cannot be read or does not decode.
  bool loadFolder(const std::string& folder, std::string* error);

  // Stores the configuration for `appID`: `body` is JSON (first non-blank byte "{") or encoded
  // bytes, which must decode as MeasurementConfig. Answers false with the reason in *error.
  bool put(const std::string& appID, const std::string& body, std::time_t now, std::string* error);
  void remove(const std::string& appID);

  std::optional<StoredConfiguration> find(const std::string& appID) const;

 private:
  mutable std::mutex mutex_;
  std::map<std::string, StoredConfiguration> byAppID_;  // guarded by mutex_
};

}  // namespace measurement_service
