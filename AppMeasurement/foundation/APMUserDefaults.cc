#include "AppMeasurement/foundation/APMUserDefaults.h"

#include <limits>
#include <string>
#include <vector>

#include "AppMeasurement/foundation/APMFilePaths.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/PreferenceStore.h"
#include "platform/foundation/PropertyListSerialization.h"
#include "platform/utilities/OULOSLog.h"

namespace {

constexpr const char* kLogSubsystem = "com.orvane.kavrelin.analytics";
constexpr const char* kLogCategory = "<AppMeasurement>";

std::shared_ptr<platform::PreferenceStore> storeFor(const std::string& applicationID) {
  return platform::PreferenceStore::forDomain(applicationID);
}

}  // namespace

std::shared_ptr<APMUserDefaults> APMUserDefaults::sharedUserDefaults() {
  // Never destroyed: the monitor's queue uses it until the process ends.
  static const auto* instance = new std::shared_ptr<APMUserDefaults>([] {
    auto defaults = std::make_shared<APMUserDefaults>();
    // The app's own preferences must stay in the device backup.
    defaults->setIsPreferenceFileExcluded(true);
    return defaults;
  }());
  return *instance;
}

APMUserDefaults::APMUserDefaults() : APMUserDefaults(std::nullopt) {}

APMUserDefaults::APMUserDefaults(std::optional<std::string> suiteName)
    : suiteName_(std::move(suiteName)),
      applicationID_(suiteName_ && !suiteName_->empty()
                         ? *suiteName_
                         : std::string(platform::PreferenceStore::kCurrentApplication)) {}

std::optional<platform::Value> APMUserDefaults::objectForKey(std::string_view key) const {
  if (key.empty()) {
    OULOSLogWarning(kLogSubsystem, kLogCategory, false, "I-ACS041001",
                    "Cannot get object for invalid user default key.");
    return std::nullopt;
  }
  return storeFor(applicationID_)->valueForKey(key);
}

void APMUserDefaults::setObject(std::optional<platform::Value> value, std::string_view key) {
  if (key.empty()) {
    OULOSLogWarning(kLogSubsystem, kLogCategory, false, "I-ACS041002",
                    "Cannot set object for invalid user default key.");
    return;
  }
  std::shared_ptr<platform::PreferenceStore> store = storeFor(applicationID_);
  if (!value) {
    store->removeValue(key);
    return;
  }
  // The whole value must be a property list, nested elements included: a null inside an
  // array would otherwise make the domain unwritable at the next synchronize.
  if (!platform::PropertyListSerialization::propertyListIsValid(*value) ||
      !store->setValue(key, *value).ok()) {
    OULOSLogWarning(kLogSubsystem, kLogCategory, false, "I-ACS041003",
                    "Cannot set invalid object to user defaults. Must be a string or number or "
                    "an array. Value %s",
                    value->description().c_str());
  }
}

void APMUserDefaults::removeObjectForKey(std::string_view key) { setObject(std::nullopt, key); }

int64_t APMUserDefaults::integerForKey(std::string_view key) const {
  std::optional<platform::Value> value = objectForKey(key);
  return value ? value->numberAsInteger().value_or(0) : 0;
}

float APMUserDefaults::floatForKey(std::string_view key) const {
  double value = doubleForKey(key);
  // Beyond float's range the conversion is undefined; the number's float reading is an
  // infinity there.
  constexpr double kFloatMax = std::numeric_limits<float>::max();
  if (value > kFloatMax) return std::numeric_limits<float>::infinity();
  if (value < -kFloatMax) return -std::numeric_limits<float>::infinity();
  return static_cast<float>(value);
}

double APMUserDefaults::doubleForKey(std::string_view key) const {
  std::optional<platform::Value> value = objectForKey(key);
  return value ? value->numberAsDouble().value_or(0) : 0;
}

bool APMUserDefaults::boolForKey(std::string_view key) const {
  std::optional<platform::Value> value = objectForKey(key);
  return value ? value->numberAsBool().value_or(false) : false;
}

std::optional<std::string> APMUserDefaults::stringForKey(std::string_view key) const {
  std::optional<platform::Value> value = objectForKey(key);
  if (!value || !value->isString()) return std::nullopt;
  return *value->asString();
}

std::optional<platform::Value> APMUserDefaults::numberForKey(std::string_view key) const {
  std::optional<platform::Value> value = objectForKey(key);
  if (!value || !value->isNumber()) return std::nullopt;
  return value;
}

std::optional<platform::Value::Array> APMUserDefaults::arrayForKey(std::string_view key) const {
  std::optional<platform::Value> value = objectForKey(key);
  if (!value || !value->isArray()) return std::nullopt;
  return *value->asArray();
}

std::optional<platform::Value::Dictionary> APMUserDefaults::dictionaryForKey(
    std::string_view key) const {
  std::optional<platform::Value> value = objectForKey(key);
  if (!value || !value->isDictionary()) return std::nullopt;
  return *value->asDictionary();
}

void APMUserDefaults::setInteger(int64_t value, std::string_view key) {
  setObject(platform::Value(static_cast<long long>(value)), key);
}

void APMUserDefaults::setFloat(float value, std::string_view key) {
  setObject(platform::Value(static_cast<double>(value)), key);
}

void APMUserDefaults::setDouble(double value, std::string_view key) {
  setObject(platform::Value(value), key);
}

void APMUserDefaults::setBool(bool value, std::string_view key) {
  setObject(platform::Value(value), key);
}

void APMUserDefaults::clearAllData() {
  std::shared_ptr<platform::PreferenceStore> store = storeFor(applicationID_);
  std::vector<std::string> keys = store->keys();
  if (keys.empty()) return;
  // One step, so that no reader sees half of the domain cleared.
  (void)store->setMultiple({}, keys);
}

void APMUserDefaults::synchronize() {
  if (!storeFor(applicationID_)->synchronize().ok()) {
    OULOSLogError(kLogSubsystem, kLogCategory, false, "I-ACS041004",
                  "Cannot synchronize user defaults to disk");
  }

  std::string path;
  if (suiteName_ && !suiteName_->empty()) {
    // A suite named like the app's own domain shares the app's preference file, which
    // must never leave the device backup.
    if (*suiteName_ == platform::PreferenceStore::currentApplicationDomain()) {
      setIsPreferenceFileExcluded(true);
      return;
    }
    path = APMPreferencesPlistPath(*suiteName_);
  }

  // Writing a domain replaces its file with a new one that takes over the old one's backup
  // exclusion; an exclusion set on the old file while a write (ours, another instance's or
  // the store's own) was making the new one would be lost for good, the flag saying
  // otherwise. So the exclusion takes its turn with every preference-file write.
  std::lock_guard<std::mutex> fileLock(platform::PreferenceStore::fileMutex());
  std::lock_guard<std::mutex> lock(lock_);
  if (isPreferenceFileExcluded_ || path.empty()) return;
  // The platform makes the file on the first synchronize after a write; until then the
  // next synchronize tries again.
  if (!platform::FileManager::defaultManager().fileExistsAtPath(path)) return;
  APMErrorSlot error;
  if (APMExcludePathFromBackup(path, &error)) {
    isPreferenceFileExcluded_ = true;
  } else {
    std::string description = error ? error->description() : std::string("(nil)");
    OULOSLogWarning(kLogSubsystem, kLogCategory, false, "I-ACS041000",
                    "Failed to exclude preferences file from backup. Error code %s",
                    description.c_str());
  }
}

bool APMUserDefaults::isPreferenceFileExcluded() const {
  std::lock_guard<std::mutex> lock(lock_);
  return isPreferenceFileExcluded_;
}

void APMUserDefaults::setIsPreferenceFileExcluded(bool excluded) {
  std::lock_guard<std::mutex> lock(lock_);
  isPreferenceFileExcluded_ = excluded;
}
