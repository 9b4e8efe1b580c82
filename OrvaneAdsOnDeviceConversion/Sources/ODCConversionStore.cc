#include "OrvaneAdsOnDeviceConversion/Sources/ODCConversionStore.h"

#include <cmath>

#include "OrvaneAdsOnDeviceConversion/Sources/ODCLogger.h"
#include "platform/foundation/AppContainer.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/PropertyListSerialization.h"

namespace {

bool sameSecond(std::optional<double> a, std::optional<double> b) {
  if (!a || !b) return !a && !b;
  return std::floor(*a) == std::floor(*b);
}

// Numeric equality of a stored number with a count: a stored real counts only when it is that
// whole number (reading it as an integer would make 3.5 equal to 3).
bool numericallyEqual(const platform::Value& stored, int64_t count) {
  if (const double* real = stored.asReal()) return *real == static_cast<double>(count);
  return stored.numberAsInteger() == count;
}

}  // namespace

std::shared_ptr<ODCConversionStore> ODCConversionStore::create() {
  std::filesystem::path path;
  const std::filesystem::path support = platform::AppContainer::applicationSupportDirectory();
  if (support.empty()) {
    ODCLogError(1000, "Cannot find ApplicationSupport directory.");
  } else {
    path = support / kDirectory / kFileName;
  }
  auto& files = platform::FileManager::defaultManager();
  if (path.empty() || !files.createDirectoryAtPath(path.parent_path(), true).ok()) {
    ODCLogError(3000, "Cannot create subdirectories for config plist files.");
    return nullptr;
  }
  std::shared_ptr<ODCConversionStore> store(new ODCConversionStore(path));
  if (auto data = files.contentsAtPath(path); data.ok()) {
    auto plist = platform::PropertyListSerialization::propertyListWithData(*data);
    if (plist.ok() && plist->isDictionary()) store->content_ = *plist->asDictionary();
  }
  return store;
}

ODCConversionStore::ODCConversionStore(std::filesystem::path fileURL)
    : fileURL_(std::move(fileURL)) {}

const platform::Value* ODCConversionStore::typed(const char* key,
                                                 bool (platform::Value::*test)() const,
                                                 int64_t code, const char* warning) {
  auto it = content_.find(key);
  if (it == content_.end()) return nullptr;
  if ((it->second.*test)()) return &it->second;
  ODCLogWarning(code, "%s", warning);
  setObject(std::nullopt, key);
  return nullptr;
}

std::optional<double> ODCConversionStore::firstLaunchTimestamp() {
  const auto* value = typed(kFirstLaunchTimestampKey, &platform::Value::isDate, 3001,
                            "Invalid first launch timestamp in the conversion store.");
  return value ? std::optional<double>(value->asDate()->secondsSince1970) : std::nullopt;
}

std::optional<double> ODCConversionStore::matchFoundTimestamp() {
  const auto* value = typed(kMatchFoundTimestampKey, &platform::Value::isDate, 3002,
                            "Invalid match found timestamp in the conversion store.");
  return value ? std::optional<double>(value->asDate()->secondsSince1970) : std::nullopt;
}

std::optional<int64_t> ODCConversionStore::odm2RetryCount() {
  const auto* value = typed(kODM2RetryCountKey, &platform::Value::isNumber, 3006,
                            "Invalid odm2 retry count in the conversion store.");
  return value ? value->numberAsInteger() : std::nullopt;
}

std::optional<std::string> ODCConversionStore::aggregateConversionInfo() {
  const auto* value = typed(kAggregateConversionInfoKey, &platform::Value::isString, 3003,
                            "Invalid aggregate conversion info in the conversion store.");
  return value ? std::optional<std::string>(*value->asString()) : std::nullopt;
}

std::optional<std::string> ODCConversionStore::measurementInfo() {
  const auto* value = typed(kMeasurementInfoKey, &platform::Value::isString, 3003,
                            "Invalid measurement info in the conversion store.");
  return value ? std::optional<std::string>(*value->asString()) : std::nullopt;
}

void ODCConversionStore::setFirstLaunchTimestamp(std::optional<double> date) {
  if (sameSecond(firstLaunchTimestamp(), date)) return;
  setObject(date ? std::optional(platform::Value::date(*date)) : std::nullopt,
            kFirstLaunchTimestampKey);
}

void ODCConversionStore::setMatchFoundTimestamp(std::optional<double> date) {
  if (sameSecond(matchFoundTimestamp(), date)) return;
  setObject(date ? std::optional(platform::Value::date(*date)) : std::nullopt,
            kMatchFoundTimestampKey);
}

void ODCConversionStore::setOdm2RetryCount(std::optional<int64_t> count) {
  if (count && odm2RetryCount()) {  // the getter drops a value of the wrong type
    if (numericallyEqual(content_.at(kODM2RetryCountKey), *count)) return;
  }
  setObject(count ? std::optional(platform::Value(static_cast<long long>(*count))) : std::nullopt,
            kODM2RetryCountKey);
}

void ODCConversionStore::setAggregateConversionInfo(std::optional<std::string> info) {
  auto stored = aggregateConversionInfo();
  if (stored && stored == info) return;
  setObject(info ? std::optional(platform::Value(*info)) : std::nullopt,
            kAggregateConversionInfoKey);
}

void ODCConversionStore::setMeasurementInfo(std::optional<std::string> info) {
  auto stored = measurementInfo();
  if (stored && stored == info) return;
  setObject(info ? std::optional(platform::Value(*info)) : std::nullopt, kMeasurementInfoKey);
}

void ODCConversionStore::persistMatch(double matchFound, std::optional<std::string> aggregate,
                                      std::optional<std::string> measurement) {
  content_[kMatchFoundTimestampKey] = platform::Value::date(matchFound);
  auto put = [&](const char* key, std::optional<std::string>& value, const char* warning) {
    // The setters read the stored string first: a value of another type is reported as their
    // getter reports it; it is replaced or removed by this one write.
    if (auto stored = content_.find(key); stored != content_.end() && !stored->second.isString()) {
      ODCLogWarning(3003, "%s", warning);
    }
    if (value) {
      content_[key] = *std::move(value);
    } else {
      content_.erase(key);
    }
  };
  put(kAggregateConversionInfoKey, aggregate,
      "Invalid aggregate conversion info in the conversion store.");
  put(kMeasurementInfoKey, measurement, "Invalid measurement info in the conversion store.");
  writeToFile();
}

void ODCConversionStore::setObject(std::optional<platform::Value> value, const std::string& key) {
  if (value) {
    content_[key] = *std::move(value);
  } else {
    content_.erase(key);
  }
  writeToFile();
}

void ODCConversionStore::writeToFile() {
  auto& files = platform::FileManager::defaultManager();
  auto data = platform::PropertyListSerialization::dataWithPropertyList(
      platform::Value(content_), platform::PropertyListSerialization::Format::Binary);
  if (!data.ok() || !files.writeAtomically(fileURL_, *data).ok()) {
    ODCLogError(3004, "Failed to persist data.");
  }
  if (!files.setExcludedFromBackup(fileURL_, true).ok()) {
    ODCLogError(3005, "Failed to exclude conversion store from backup.");
  }
}
