#include "AppMeasurement/engine/APMEngineIdentity.h"

#include <algorithm>
#include <cctype>

#include "AppMeasurement/foundation/APMPersistedConfig.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/ProcessInfo.h"

namespace {
// 32 lower-case hex digits from a fresh UUID.
std::string newAppInstanceID() {
  std::string unique = platform::ProcessInfo::processInfo().globallyUniqueString();
  std::string hex;
  for (char c : unique) {
    if (std::isxdigit(static_cast<unsigned char>(c))) {
      hex.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    }
    if (hex.size() == 32) break;
  }
  return hex;
}

std::mutex& sharedMutex() {
  static std::mutex& mutex = *new std::mutex();
  return mutex;
}
std::shared_ptr<APMEngineIdentity>& sharedSlot() {
  static std::shared_ptr<APMEngineIdentity>& slot = *new std::shared_ptr<APMEngineIdentity>();
  return slot;
}
}  // namespace

APMPersistedIdentity::APMPersistedIdentity(std::shared_ptr<APMPersistedConfig> persistedConfig)
    : persistedConfig_(std::move(persistedConfig)) {}

std::string APMPersistedIdentity::appInstanceID() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::optional<std::string> stored = persistedConfig_->appInstanceID();
  if (stored && !stored->empty()) return *stored;
  std::string made = newAppInstanceID();
  persistedConfig_->setAppInstanceID(made);
  return made;
}

void APMPersistedIdentity::setAppInstanceID(std::string appInstanceID) {
  std::lock_guard<std::mutex> lock(mutex_);
  persistedConfig_->setAppInstanceID(std::move(appInstanceID));
}

void APMPersistedIdentity::resetAppInstanceID() {
  std::lock_guard<std::mutex> lock(mutex_);
  persistedConfig_->setAppInstanceID(newAppInstanceID());
}

std::string APMPersistedIdentity::appIDFromRZQ() {
  std::lock_guard<std::mutex> lock(mutex_);
  return appIDFromRZQ_;
}

void APMPersistedIdentity::setAppIDFromRZQ(std::string appID) {
  std::lock_guard<std::mutex> lock(mutex_);
  appIDFromRZQ_ = std::move(appID);
}

std::optional<std::string> APMPersistedIdentity::kavrelinInstallationID() {
  std::lock_guard<std::mutex> lock(mutex_);
  return kavrelinInstallationID_;
}

void APMPersistedIdentity::setKavrelinInstallationID(std::optional<std::string> identifier) {
  std::lock_guard<std::mutex> lock(mutex_);
  kavrelinInstallationID_ = std::move(identifier);
}

std::optional<std::string> APMPersistedIdentity::appVersion() {
  std::shared_ptr<platform::Bundle> bundle = platform::Bundle::mainBundle();
  if (!bundle) return std::nullopt;
  std::optional<platform::Value> version =
      bundle->objectForInfoDictionaryKey("CFBundleShortVersionString");
  if (version && version->isString()) return *version->asString();
  return std::nullopt;
}

std::shared_ptr<APMEngineIdentity> APMPersistedIdentity::sharedInstance() {
  std::lock_guard<std::mutex> lock(sharedMutex());
  if (!sharedSlot()) {
    sharedSlot() = std::make_shared<APMPersistedIdentity>(APMPersistedConfig::sharedInstance());
  }
  return sharedSlot();
}

void APMPersistedIdentity::setSharedInstance(std::shared_ptr<APMEngineIdentity> identity) {
  std::lock_guard<std::mutex> lock(sharedMutex());
  sharedSlot() = std::move(identity);
}
