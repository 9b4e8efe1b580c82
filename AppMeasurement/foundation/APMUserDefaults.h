#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Value.h"

// A small typed key-value store over the platform's preferences of one domain ("suite").
// A named suite keeps its values in its own preference file, which the first synchronize
// after the file exists excludes from device backups; an instance without a suite name
// works on the current application's own preferences, which are never excluded.
//
// Keys must be non-empty. Accepted values are property-list values: strings, numbers
// (booleans, integers, reals), data, dates, and arrays and dictionaries of those. Values
// are stored by copy. Changes reach the disk when synchronize() is called, and otherwise
// soon after the last change and at an orderly exit, as the platform's preferences write by
// themselves (platform::PreferenceStore).
//
// Getters and setters may be called from any thread; the preferences store synchronises
// them. synchronize() may be called from any thread; the backup exclusion takes turns with
// every preference-file write, so that a concurrent write cannot drop it.
class APMUserDefaults {
 public:
  // The instance over the current application's own preferences, made once per process.
  static std::shared_ptr<APMUserDefaults> sharedUserDefaults();

  // The current application's own preferences.
  APMUserDefaults();
  // The suite of that name; nullopt or an empty name means the current application.
  explicit APMUserDefaults(std::optional<std::string> suiteName);

  APMUserDefaults(const APMUserDefaults&) = delete;
  APMUserDefaults& operator=(const APMUserDefaults&) = delete;

  const std::optional<std::string>& suiteName() const { return suiteName_; }

  // The stored value, or nullopt when there is none or the key is empty (logged, 41001).
  std::optional<platform::Value> objectForKey(std::string_view key) const;
  // Stores a copy of the value; nullopt removes the key. An empty key (41002) or a value
  // that is no property list (41003) is logged and nothing changes.
  void setObject(std::optional<platform::Value> value, std::string_view key);
  void removeObjectForKey(std::string_view key);

  // The stored number's value; 0 or false when the value is missing or not a number.
  int64_t integerForKey(std::string_view key) const;
  float floatForKey(std::string_view key) const;
  double doubleForKey(std::string_view key) const;
  bool boolForKey(std::string_view key) const;
  // The stored value when it is of that kind, else nullopt. numberForKey answers booleans,
  // integers and reals as they are stored.
  std::optional<std::string> stringForKey(std::string_view key) const;
  std::optional<platform::Value> numberForKey(std::string_view key) const;
  std::optional<platform::Value::Array> arrayForKey(std::string_view key) const;
  std::optional<platform::Value::Dictionary> dictionaryForKey(std::string_view key) const;

  void setInteger(int64_t value, std::string_view key);
  void setFloat(float value, std::string_view key);
  void setDouble(double value, std::string_view key);
  void setBool(bool value, std::string_view key);

  // Removes every key of the domain.
  void clearAllData();

  // Writes pending changes to the preference file (a failure is logged, 41004) and, once,
  // excludes the suite's file from backup; until the file exists or the exclusion has
  // succeeded (a failure is logged, 41000), every call tries again.
  void synchronize();

  bool isPreferenceFileExcluded() const;
  void setIsPreferenceFileExcluded(bool excluded);

 private:
  std::optional<std::string> suiteName_;
  // The preferences domain of every call: the suite name, or the current application.
  std::string applicationID_;
  mutable std::mutex lock_;
  bool isPreferenceFileExcluded_ = false;
};
