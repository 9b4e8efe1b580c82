#include "AppMeasurement/foundation/APMPersistentDictionary.h"

#include <cmath>
#include <filesystem>
#include <system_error>

#include "AppMeasurement/foundation/APMFilePaths.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/PropertyListSerialization.h"
#include "platform/utilities/OULOSLog.h"

namespace {

constexpr const char* kLogSubsystem = "com.orvane.kavrelin.analytics";
constexpr const char* kLogCategory = "<AppMeasurement>";
constexpr double kPersistDelaySeconds = 1.0;

// Numbers compare by value whatever their kind (5 and 5.0, YES and 1 are equal), exactly: a
// real equals an integer only when it is that integer.
bool sameNumber(const platform::Value& a, const platform::Value& b) {
  if (!a.isReal() && !b.isReal()) return a.numberAsInteger() == b.numberAsInteger();
  if (a.isReal() && b.isReal()) return *a.asReal() == *b.asReal();
  double real = a.isReal() ? *a.asReal() : *b.asReal();
  int64_t integer = *(a.isReal() ? b : a).numberAsInteger();
  constexpr double kTwoToThe63 = 9223372036854775808.0;
  if (!std::isfinite(real) || real != std::trunc(real) || real < -kTwoToThe63 ||
      real >= kTwoToThe63) {
    return false;
  }
  return static_cast<int64_t>(real) == integer;
}

// Equality of stored values as the property-list objects see it: numbers by value, at any
// depth of arrays and dictionaries; everything else by kind and content.
bool samePropertyList(const platform::Value& a, const platform::Value& b) {
  if (a.isNumber() && b.isNumber()) return sameNumber(a, b);
  if (const auto* left = a.asArray()) {
    const auto* right = b.asArray();
    if (right == nullptr || left->size() != right->size()) return false;
    for (size_t i = 0; i < left->size(); ++i) {
      if (!samePropertyList((*left)[i], (*right)[i])) return false;
    }
    return true;
  }
  if (const auto* left = a.asDictionary()) {
    const auto* right = b.asDictionary();
    if (right == nullptr || left->size() != right->size()) return false;
    for (const auto& [key, value] : *left) {
      auto other = right->find(key);
      if (other == right->end() || !samePropertyList(value, other->second)) return false;
    }
    return true;
  }
  return a == b;
}

}  // namespace

std::shared_ptr<APMPersistentDictionary> APMPersistentDictionary::create(
    std::string_view fileName) {
  if (fileName.empty()) return nullptr;
  std::string path = APMApplicationSupportPlistPath(fileName);
  if (path.empty()) return nullptr;
  auto parent = std::filesystem::path(path).parent_path();
  if (!platform::FileManager::defaultManager().createDirectoryAtPath(parent, true).ok()) {
    OULOSLogError(kLogSubsystem, kLogCategory, false, "I-ACS043004",
                  "Cannot create subdirectories for config plist files.");
    return nullptr;
  }
  std::shared_ptr<APMPersistentDictionary> dictionary(new APMPersistentDictionary(path));
  dictionary->load();
  return dictionary;
}

APMPersistentDictionary::APMPersistentDictionary(std::string path)
    : path_(std::move(path)),
      queue_(platform::DispatchQueue::createSerial("APMPersistentDictionary")) {}

APMPersistentDictionary::~APMPersistentDictionary() {
  bool pending;
  {
    std::lock_guard<std::mutex> lock(lock_);
    pending = pending_;
  }
  if (pending) persistToDisk();
}

void APMPersistentDictionary::load() {
  auto& files = platform::FileManager::defaultManager();
  if (!files.fileExistsAtPath(path_)) return;
  auto data = files.contentsAtPath(path_);
  if (data.ok()) {
    auto plist = platform::PropertyListSerialization::propertyListWithData(*data);
    if (plist.ok() && plist->isDictionary()) {
      dictionary_ = std::move(*plist->asDictionary());
      return;
    }
  }
  // Whatever the file holds is kept beside it rather than lost to the next write.
  std::string aside = path_ + ".unreadable";
  std::error_code error;
  std::filesystem::rename(path_, aside, error);
  OULOSLogError(kLogSubsystem, kLogCategory, false, "I-ACS043005",
                "Config plist file could not be read; set aside as %s (%s)", aside.c_str(),
                error ? error.message().c_str() : "moved");
}

std::optional<platform::Value> APMPersistentDictionary::objectForKey(std::string_view key) const {
  if (key.empty()) {
    OULOSLogWarning(kLogSubsystem, kLogCategory, false, "I-ACS043001",
                    "Cannot get object for invalid config key.");
    return std::nullopt;
  }
  std::lock_guard<std::mutex> lock(lock_);
  auto it = dictionary_.find(key);
  if (it == dictionary_.end()) return std::nullopt;
  return it->second;
}

bool APMPersistentDictionary::hasStringForKey(std::string_view key) const {
  std::lock_guard<std::mutex> lock(lock_);
  auto it = dictionary_.find(key);
  return it != dictionary_.end() && it->second.isString();
}

void APMPersistentDictionary::setObject(std::optional<platform::Value> value,
                                        std::string_view key) {
  if (key.empty()) {
    OULOSLogWarning(kLogSubsystem, kLogCategory, false, "I-ACS043002",
                    "Cannot set object for invalid config key.");
    return;
  }
  if (!value || value->isNull()) {
    std::lock_guard<std::mutex> lock(lock_);
    auto it = dictionary_.find(key);
    if (it != dictionary_.end()) {
      dictionary_.erase(it);
      scheduleWriteLocked();
    }
    return;
  }
  if (!platform::PropertyListSerialization::propertyListIsValid(*value)) {
    OULOSLogWarning(kLogSubsystem, kLogCategory, false, "I-ACS043003",
                    "Cannot set invalid object to config. Must be a string, number, array, "
                    "dictionary, date, or data. Value %s",
                    value->description().c_str());
    return;
  }
  std::lock_guard<std::mutex> lock(lock_);
  auto it = dictionary_.find(key);
  if (it != dictionary_.end() && samePropertyList(it->second, *value)) return;
  dictionary_[std::string(key)] = std::move(*value);
  scheduleWriteLocked();
}

void APMPersistentDictionary::removeObjectForKey(std::string_view key) {
  setObject(std::nullopt, key);
}

int64_t APMPersistentDictionary::integerForKey(std::string_view key) const {
  auto value = objectForKey(key);
  return value ? value->numberAsInteger().value_or(0) : 0;
}

float APMPersistentDictionary::floatForKey(std::string_view key) const {
  return static_cast<float>(doubleForKey(key));
}

double APMPersistentDictionary::doubleForKey(std::string_view key) const {
  auto value = objectForKey(key);
  return value ? value->numberAsDouble().value_or(0) : 0;
}

bool APMPersistentDictionary::boolForKey(std::string_view key) const {
  auto value = objectForKey(key);
  return value ? value->numberAsBool().value_or(false) : false;
}

std::optional<std::string> APMPersistentDictionary::stringForKey(std::string_view key) const {
  auto value = objectForKey(key);
  if (!value || !value->isString()) return std::nullopt;
  return *value->asString();
}

std::optional<platform::Value> APMPersistentDictionary::numberForKey(std::string_view key) const {
  auto value = objectForKey(key);
  if (!value || !value->isNumber()) return std::nullopt;
  return value;
}

std::optional<platform::Value::Array> APMPersistentDictionary::arrayForKey(
    std::string_view key) const {
  auto value = objectForKey(key);
  if (!value || !value->isArray()) return std::nullopt;
  return *value->asArray();
}

std::optional<platform::Value::Dictionary> APMPersistentDictionary::dictionaryForKey(
    std::string_view key) const {
  auto value = objectForKey(key);
  if (!value || !value->isDictionary()) return std::nullopt;
  return *value->asDictionary();
}

void APMPersistentDictionary::setInteger(int64_t value, std::string_view key) {
  setObject(platform::Value(static_cast<long long>(value)), key);
}

void APMPersistentDictionary::setFloat(float value, std::string_view key) {
  setObject(platform::Value(static_cast<double>(value)), key);
}

void APMPersistentDictionary::setDouble(double value, std::string_view key) {
  setObject(platform::Value(value), key);
}

void APMPersistentDictionary::setBool(bool value, std::string_view key) {
  setObject(platform::Value(value), key);
}

void APMPersistentDictionary::clearAllData() {
  std::lock_guard<std::mutex> lock(lock_);
  if (dictionary_.empty()) return;
  dictionary_.clear();
  scheduleWriteLocked();
}

void APMPersistentDictionary::schedulePersistToDisk() {
  std::lock_guard<std::mutex> lock(lock_);
  scheduleWriteLocked();
}

void APMPersistentDictionary::scheduleWriteLocked() {
  if (pending_) return;
  pending_ = true;
  std::weak_ptr<APMPersistentDictionary> weak = weak_from_this();
  queue_->after(kPersistDelaySeconds, [weak] {
    // A synchronize may have written the change already.
    if (auto self = weak.lock()) self->synchronize();
  });
}

void APMPersistentDictionary::persistToDisk() {
  // The copy is taken under the write mutex, so writes land in the order of their copies.
  std::lock_guard<std::mutex> writing(writeMutex_);
  platform::Value::Dictionary copy;
  {
    std::lock_guard<std::mutex> lock(lock_);
    copy = dictionary_;
    pending_ = false;
  }
  auto data = platform::PropertyListSerialization::dataWithPropertyList(
      platform::Value(std::move(copy)), platform::PropertyListSerialization::Format::Binary);
  absl::Status status = data.status();
  if (data.ok()) status = platform::FileManager::defaultManager().writeAtomically(path_, *data);
  ++writeCount_;
  if (!status.ok()) {
    OULOSLogError(kLogSubsystem, kLogCategory, false, "I-ACS043000",
                  "Cannot persist configs to disk");
  }
}

void APMPersistentDictionary::synchronize() {
  bool pending;
  {
    std::lock_guard<std::mutex> lock(lock_);
    pending = pending_;
  }
  if (pending) persistToDisk();
}
