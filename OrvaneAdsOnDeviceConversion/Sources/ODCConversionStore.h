#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Value.h"

// The few values of the on-device conversion service that outlive the process, in a property
// list "Orvane/Ads/OnDeviceConversion/com.orvane.ads.on_device_conversion.plist" under the
// container's Application Support folder, mirrored by an in-memory dictionary and written
// through (atomically: a crash leaves the old or the new file, never a torn one) on every
// change. The file is excluded from backups. Dates are seconds since 1970.
//
// Used on the conversion service's serial queue only (created during the service's set-up).
// Write failures are logged (3004, 3005); the in-memory values stay for the running process.
class ODCConversionStore {
 public:
  static constexpr const char* kDirectory = "Orvane/Ads/OnDeviceConversion";
  static constexpr const char* kFileName = "com.orvane.ads.on_device_conversion.plist";
  static constexpr const char* kFirstLaunchTimestampKey = "FirstLaunchTimestamp";
  static constexpr const char* kMatchFoundTimestampKey = "MatchFoundTimestamp";
  static constexpr const char* kODM2RetryCountKey = "ODM2RetryCount";
  static constexpr const char* kAggregateConversionInfoKey = "AggregateConversionInfo";
  static constexpr const char* kMeasurementInfoKey = "MeasurementInfo";

  // nullptr when the folder cannot be made (3000). A missing or unreadable file starts empty.
  static std::shared_ptr<ODCConversionStore> create();

  const std::filesystem::path& fileURL() const { return fileURL_; }

  // A value of the wrong type is dropped (logged, removed from the file) and reads as nullopt.
  std::optional<double> firstLaunchTimestamp();
  std::optional<double> matchFoundTimestamp();
  std::optional<int64_t> odm2RetryCount();
  std::optional<std::string> aggregateConversionInfo();
  std::optional<std::string> measurementInfo();

  // Each writes only on change: dates compared at whole seconds (rounded down), numbers by
  // value (nullopt always writes), strings unless equal to a stored string.
  void setFirstLaunchTimestamp(std::optional<double> date);
  void setMatchFoundTimestamp(std::optional<double> date);
  void setOdm2RetryCount(std::optional<int64_t> count);
  void setAggregateConversionInfo(std::optional<std::string> info);
  void setMeasurementInfo(std::optional<std::string> info);

  // The end of a matching attempt in one write: the match-found timestamp with both strings
  // (nullopt strings remove their keys), so that a crash cannot keep one without the others.
  // A stored string of another type is reported with 3003, as the string setters report it.
  void persistMatch(double matchFound, std::optional<std::string> aggregateConversionInfo,
                    std::optional<std::string> measurementInfo);

  // Sets or (nullopt) removes the key, then writes the file.
  void setObject(std::optional<platform::Value> value, const std::string& key);
  void writeToFile();

 private:
  explicit ODCConversionStore(std::filesystem::path fileURL);
  // The value under key when it has the wanted type; otherwise logs, removes and answers null.
  const platform::Value* typed(const char* key, bool (platform::Value::*test)() const, int64_t code,
                               const char* warning);

  std::filesystem::path fileURL_;
  platform::Value::Dictionary content_;
};
