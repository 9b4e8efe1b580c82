#include "AppMeasurement/foundation/APMIdentity.h"

#include <sys/random.h>

#include <atomic>
#include <cerrno>
#include <limits>

#include "AppMeasurement/foundation/APMAEU.h"
#include "AppMeasurement/foundation/APMConsentSettingsUtil.h"
#include "AppMeasurement/foundation/APMDefaultIdentitySupport.h"
#include "AppMeasurement/foundation/APMMeasurementEngineState.h"
#include "AppMeasurement/foundation/APMMonitor.h"
#include "AppMeasurement/foundation/APMOrvaneServiceFileUtil.h"
#include "AppMeasurement/foundation/APMPersistedConfig.h"
#include "AppMeasurement/foundation/APMRemoteConfig.h"
#include "AppMeasurement/foundation/APMStringAdditions.h"
#include "platform/dispatch/Clock.h"
#include "platform/foundation/Bundle.h"
#include "platform/uikit/UIDevice.h"

namespace {

std::atomic<bool> appIDFromRZQTaken{false};

APMMonitor& monitor() { return *APMMonitor::monitor(); }

double now() { return platform::Clock::current()->now(); }

}  // namespace

std::shared_ptr<APMIdentity> APMIdentity::sharedInstance() {
  static const std::shared_ptr<APMIdentity>& instance =
      *new std::shared_ptr<APMIdentity>(create(APMPersistedConfig::sharedInstance()));
  if (!instance) monitor().logWithLevel(2, 20003, "Identity's shared instance is nil");
  return instance;
}

std::shared_ptr<APMIdentity> APMIdentity::create(
    std::shared_ptr<APMPersistedConfig> persistedConfig,
    std::shared_ptr<APMDefaultIdentitySupport> support) {
  if (!persistedConfig) {
    monitor().logWithLevel(
        2, 20004,
        "Unable to create measurement identity, missing a valid persisted config instance");
    return nullptr;
  }
  if (!support) support = APMDefaultIdentitySupport::sharedInstance();
  std::shared_ptr<APMIdentity> identity(
      new APMIdentity(std::move(persistedConfig), std::move(support)));
  identity->start();
  return identity;
}

APMIdentity::APMIdentity(std::shared_ptr<APMPersistedConfig> persistedConfig,
                         std::shared_ptr<APMDefaultIdentitySupport> support)
    : persistedConfig_(std::move(persistedConfig)),
      support_(std::move(support)),
      queue_(platform::DispatchQueue::createSerial("APMIdentityWorkerQueue")) {}

void APMIdentity::start() {
  if (auto service = APMOrvaneServiceFileUtil::dictionaryFromOrvaneServiceInfoPlist();
      service && !service->empty()) {
    auto it = service->find("ORVANE_APP_ID");
    if (it != service->end() && it->second.isString()) state_.appIDFromRZQ = *it->second.asString();
  }
  auto bundle = platform::Bundle::mainBundle();
  if (auto flag = bundle->objectForInfoDictionaryKey("ORVANE_ANALYTICS_IDFV_COLLECTION_ENABLED");
      flag && flag->isNumber()) {
    vendorIdentifierSwitch_ = flag->numberAsBool().value_or(false);
    monitor().logWithLevel(7, 20009,
                           std::string("ORVANE_ANALYTICS_IDFV_COLLECTION_ENABLED = ") +
                               (*vendorIdentifierSwitch_ ? "YES" : "NO"));
  }
  appID_ = bundle->bundleIdentifier().value_or("");
  auto shortVersion = bundle->objectForInfoDictionaryKey("CFBundleShortVersionString");
  if (shortVersion && shortVersion->isString()) appVersion_ = *shortVersion->asString();
  auto bundleVersion = bundle->objectForInfoDictionaryKey("CFBundleVersion");
  if (bundleVersion && bundleVersion->isString()) {
    auto fields = numericFieldsFromAppVersionNumeric(*bundleVersion->asString());
    if (fields.size() > 0) appVersionMajor_ = fields[0];
    if (fields.size() > 1) appVersionMinor_ = fields[1];
    if (fields.size() > 2) appVersionRelease_ = fields[2];
  }
  if (!persistedConfig_->appInstanceID() && !APMConsentSettingsUtil::isAnalyticsStorageDenied()) {
    // On disk before anyone can read it: a process killed now finds the same identifier at
    // its next start.
    queue_->sync([&] {
      if (persistedConfig_->appInstanceID()) return;
      persistedConfig_->setAppInstanceID(randomAppInstanceID());
      persistedConfig_->synchronizeToDiskNow();
    });
  }
  publishOnQueue();  // nothing can reach the queue yet
}

void APMIdentity::post(platform::Block block) {
  queuedBlocks_.fetch_add(1, std::memory_order_acq_rel);
  std::weak_ptr<APMIdentity> weak = weak_from_this();
  queue_->async([weak, block = std::move(block)] {
    auto self = weak.lock();
    if (!self) return;
    block();
    self->publishOnQueue();
    self->queuedBlocks_.fetch_sub(1, std::memory_order_acq_rel);
  });
}

void APMIdentity::publishOnQueue() {
  snapshot_.store(std::make_shared<const State>(state_), std::memory_order_release);
}

std::shared_ptr<const APMIdentity::State> APMIdentity::settledSnapshot() const {
  if (queuedBlocks_.load(std::memory_order_acquire) != 0) return nullptr;
  return snapshot_.load(std::memory_order_acquire);
}

bool APMIdentity::isRefreshCurrent(const State& snapshot) const {
  if (!snapshot.lastUpdate || !persistedConfig_->hasAppInstanceID()) return false;
  double current = now();
  // A refresh stamped now or later (the clock went back) is not trusted as current.
  return *snapshot.lastUpdate < current &&
         current - *snapshot.lastUpdate < remoteConfig()->adIDCacheTime();
}

std::shared_ptr<APMRemoteConfig> APMIdentity::remoteConfig() const {
  if (auto engine = APMMeasurementEngineState::current()) {
    if (auto config = engine->remoteConfig()) return config;
  }
  return APMRemoteConfig::defaultInstance();
}

namespace {
// The identity whose refresh this thread has checked for the scope it is in.
thread_local const APMIdentity* tCheckedIdentity = nullptr;
}  // namespace

APMIdentity::SingleRefreshCheck::SingleRefreshCheck(APMIdentity& identity)
    : previous_(tCheckedIdentity) {
  identity.updateIdentifiers();
  tCheckedIdentity = &identity;
}

APMIdentity::SingleRefreshCheck::~SingleRefreshCheck() { tCheckedIdentity = previous_; }

void APMIdentity::updateIdentifiers() {
  if (tCheckedIdentity == this) return;
  // A refresh that would stop at its first step is not worth a block.
  if (auto snapshot = settledSnapshot(); snapshot && isRefreshCurrent(*snapshot)) return;
  post([this] { refreshOnQueue(); });
}

void APMIdentity::updateIdentifiersAndWait() {
  updateIdentifiers();
  queue_->sync([] {});
}

void APMIdentity::refreshOnQueue() {
  auto config = remoteConfig();
  std::optional<std::string> instanceID = persistedConfig_->appInstanceID();
  double current = now();
  if (instanceID && state_.lastUpdate && *state_.lastUpdate < current &&
      current - *state_.lastUpdate < config->adIDCacheTime()) {
    return;
  }
  std::optional<std::string> hashed = persistedConfig_->hashedResettableDeviceID();
  bool limited = support_->limitedAdTracking();
  bool adDenied = APMConsentSettingsUtil::isAdStorageDenied();
  int64_t status;
  std::optional<std::string> read;
  if (APMDefaultIdentitySupport::iOS14OrAbove()) {
    if (!support_->hasProvider()) {
      status = 6;
    } else if (!support_->hasAppDataConsentStatus()) {
      status = 5;
    } else {
      int64_t platformStatus = support_->appDataConsentStatus();
      status = platformStatus == 0
                   ? 4
                   : (platformStatus >= 1 && platformStatus <= 3 ? platformStatus : 5);
    }
    bool allowed = status == 3;
    if (adDenied) {
      state_.advertisingIdentifier.reset();
    } else if (allowed || !config->gateIDFAOnATTMASEnabled()) {
      read = support_->resettableDeviceID();
    }
  } else {
    status = 6;
    if (adDenied) {
      state_.advertisingIdentifier.reset();
    } else {
      read = support_->resettableDeviceID();
    }
  }
  bool write = false;
  std::optional<std::string> preparedInstanceID;
  if (read && !read->empty() && *read != kZeroAdvertisingIdentifier) {
    std::string digest = apm_MD5String(*read).value_or("");
    if (!hashed || *hashed != digest) {
      if (hashed) {
        preparedInstanceID = randomAppInstanceID();
        persistedConfig_->setShouldSetLastAdvertisingIDResetUserProperty(true);
      }
      hashed = digest;
      write = true;
    }
    state_.advertisingIdentifier = read;
  } else if (read && *read == kZeroAdvertisingIdentifier) {
    state_.advertisingIdentifier.reset();
  }
  if (!instanceID) write = true;
  if (write) {
    if (!APMConsentSettingsUtil::isAnalyticsStorageDenied()) {
      persistedConfig_->setAppInstanceID(
          preparedInstanceID ? *preparedInstanceID : instanceID.value_or(randomAppInstanceID()));
    }
    if (!adDenied && hashed) persistedConfig_->setHashedResettableDeviceID(hashed);
    // Identity values are durable before they are used.
    persistedConfig_->synchronizeToDiskNow();
  }
  state_.lastUpdate = current;
  state_.limitedAdTracking = limited;
  state_.appleConsentStatus = status;
  state_.hasLimitedAdTracking = support_->hasLimitedAdTracking();
}

bool APMIdentity::hasAppDataConsentStatus() const { return support_->hasAppDataConsentStatus(); }

int64_t APMIdentity::appleConsentStatus() {
  updateIdentifiers();
  if (auto snapshot = settledSnapshot()) return snapshot->appleConsentStatus;
  int64_t result = 0;
  queue_->sync([&] { result = state_.appleConsentStatus; });
  return result;
}

bool APMIdentity::limitedAdTracking() {
  updateIdentifiers();
  if (auto snapshot = settledSnapshot()) return snapshot->limitedAdTracking;
  bool result = false;
  queue_->sync([&] { result = state_.limitedAdTracking; });
  return result;
}

std::optional<std::string> APMIdentity::resettableDeviceID() {
  updateIdentifiers();
  if (auto snapshot = settledSnapshot()) return snapshot->advertisingIdentifier;
  std::optional<std::string> result;
  queue_->sync([&] { result = state_.advertisingIdentifier; });
  return result;
}

std::optional<std::string> APMIdentity::appInstanceID() {
  updateIdentifiers();
  if (APMConsentSettingsUtil::isAnalyticsStorageDenied()) return std::nullopt;
  if (settledSnapshot()) return persistedConfig_->appInstanceID();
  std::optional<std::string> result;
  queue_->sync([&] { result = persistedConfig_->appInstanceID(); });
  return result;
}

std::optional<std::string> APMIdentity::hashedResettableDeviceID() {
  updateIdentifiers();
  if (APMConsentSettingsUtil::isAdStorageDenied()) return std::nullopt;
  if (settledSnapshot()) return persistedConfig_->hashedResettableDeviceID();
  std::optional<std::string> result;
  queue_->sync([&] { result = persistedConfig_->hashedResettableDeviceID(); });
  return result;
}

bool APMIdentity::hasLimitedAdTracking() {
  updateIdentifiers();
  if (auto snapshot = settledSnapshot(); snapshot && snapshot->hasLimitedAdTracking) {
    return *snapshot->hasLimitedAdTracking;
  }
  bool result = false;
  queue_->sync([&] {
    result = support_->hasLimitedAdTracking();
    state_.hasLimitedAdTracking = result;
    publishOnQueue();
  });
  return result;
}

void APMIdentity::setAppInstanceID(std::string appInstanceID) {
  post([this, appInstanceID = std::move(appInstanceID)] {
    persistedConfig_->setAppInstanceID(appInstanceID);
    persistedConfig_->synchronizeToDiskNow();
  });
}

std::optional<std::string> APMIdentity::identifierForVendor() {
  auto advertising = resettableDeviceID();
  if (advertising && !advertising->empty()) return std::nullopt;
  if (vendorIdentifierSwitch_ && !*vendorIdentifierSwitch_) return std::nullopt;
  if (APMConsentSettingsUtil::isAnalyticsStorageDenied()) return std::nullopt;
  std::optional<std::string> cached;
  if (auto snapshot = settledSnapshot()) {
    cached = snapshot->vendorIdentifier;
  } else {
    queue_->sync([&] { cached = state_.vendorIdentifier; });
  }
  if (cached) return cached;
  // The device object is safe from any thread: read it here rather than waiting for the main
  // queue, which may itself be waiting for the caller.
  auto uuid = UIDevice::currentDevice().identifierForVendor();
  if (!uuid) return std::nullopt;
  std::string text = uuid->UUIDString();
  post([this, text] { state_.vendorIdentifier = text; });
  return text;
}

std::optional<std::string> APMIdentity::appIDFromRZQ() {
  if (auto snapshot = settledSnapshot()) return snapshot->appIDFromRZQ;
  std::optional<std::string> result;
  queue_->sync([&] { result = state_.appIDFromRZQ; });
  return result;
}

void APMIdentity::setAppIDFromRZQ(const std::string& appID) {
  if (appID.empty()) {
    monitor().logWithLevel(2, 20005, "Cannot set empty Orvane App ID");
    return;
  }
  if (appIDFromRZQTaken.exchange(true)) return;
  post([this, appID] { state_.appIDFromRZQ = appID; });
}

void APMIdentity::resetAppIDFromRZQForTesting() { appIDFromRZQTaken = false; }

bool APMIdentity::shouldSetLastAdvertisingIDResetUserProperty() {
  if (settledSnapshot()) return persistedConfig_->shouldSetLastAdvertisingIDResetUserProperty();
  bool result = false;
  queue_->sync([&] { result = persistedConfig_->shouldSetLastAdvertisingIDResetUserProperty(); });
  return result;
}

void APMIdentity::setShouldSetLastAdvertisingIDResetUserProperty(bool value) {
  post([this, value] { persistedConfig_->setShouldSetLastAdvertisingIDResetUserProperty(value); });
}

std::optional<std::string> APMIdentity::sessionStitchingTokenWithSessionNumber(
    int64_t sessionNumber, bool sessionExpired, bool userIDAvailable) {
  if (APMConsentSettingsUtil::isAnalyticsStorageDenied()) return std::nullopt;
  // The same session as the last request with a live token: nothing would change.
  if (auto snapshot = settledSnapshot(); snapshot && snapshot->stitchingToken &&
                                         sessionNumber == snapshot->stitchingSessionNumber &&
                                         sessionExpired == snapshot->stitchingSessionExpired &&
                                         (userIDAvailable || !snapshot->stitchingTokenExpiry ||
                                          *snapshot->stitchingTokenExpiry > now())) {
    return snapshot->stitchingToken;
  }
  std::optional<std::string> token;
  queue_->sync([&] {
    bool keep = (sessionNumber == state_.stitchingSessionNumber &&
                 sessionExpired == state_.stitchingSessionExpired) ||
                (state_.stitchingSessionNumber < std::numeric_limits<int64_t>::max() &&
                 sessionNumber == state_.stitchingSessionNumber + 1 &&
                 state_.stitchingSessionExpired && !sessionExpired);
    if (!keep) resetSessionStitchingTokenOnWorkerQueue();
    state_.stitchingSessionNumber = sessionNumber;
    state_.stitchingSessionExpired = sessionExpired;
    if (!userIDAvailable && state_.stitchingTokenExpiry && *state_.stitchingTokenExpiry <= now()) {
      resetSessionStitchingTokenOnWorkerQueue();
    }
    if (!state_.stitchingToken) {
      state_.stitchingToken = randomAppInstanceID();
      if (!userIDAvailable) state_.stitchingTokenExpiry = now() + 86400;
    }
    token = state_.stitchingToken;
    publishOnQueue();
  });
  return token;
}

void APMIdentity::resetSessionStitchingToken() {
  post([this] { resetSessionStitchingTokenOnWorkerQueue(); });
}

void APMIdentity::resetSessionStitchingTokenOnWorkerQueue() {
  state_.stitchingToken.reset();
  state_.stitchingTokenExpiry.reset();
  publishOnQueue();
}

std::string APMIdentity::diversionKey() {
  std::string key;
  queue_->sync([&] {
    key = persistedConfig_->diversionKey().value_or("");
    if (key.size() != 5) {
      key = randomAppInstanceID().substr(0, 5);
      persistedConfig_->setDiversionKey(key);
      persistedConfig_->synchronizeToDiskNow();
    }
  });
  return key;
}

std::string APMIdentity::ephemeralAppInstanceID() {
  if (auto snapshot = settledSnapshot(); snapshot && snapshot->ephemeralAppInstanceID) {
    return *snapshot->ephemeralAppInstanceID;
  }
  std::string result;
  queue_->sync([&] {
    if (!state_.ephemeralAppInstanceID) {
      state_.ephemeralAppInstanceID = randomAppInstanceID();
      publishOnQueue();
    }
    result = *state_.ephemeralAppInstanceID;
  });
  return result;
}

void APMIdentity::resetEphemeralAppInstanceID() {
  post([this] { resetEphemeralAppInstanceIDOnWorkerQueue(); });
}

void APMIdentity::resetEphemeralAppInstanceIDOnWorkerQueue() {
  state_.ephemeralAppInstanceID.reset();
  publishOnQueue();
}

bool APMIdentity::isFromAppStore() { return APMAEU::isFAS(); }

bool APMIdentity::iOS14OrAbove() { return APMDefaultIdentitySupport::iOS14OrAbove(); }

std::vector<int64_t> APMIdentity::numericFieldsFromAppVersionNumeric(std::string_view version) {
  std::vector<int64_t> fields;
  size_t start = 0;
  while (start <= version.size()) {
    size_t end = version.find('.', start);
    if (end == std::string_view::npos) end = version.size();
    std::string_view part = version.substr(start, end - start);
    if (!part.empty()) {
      int64_t value = 0;
      bool dropped = false;
      for (char c : part) {
        if (c < '0' || c > '9') {
          dropped = true;
          continue;
        }
        int digit = c - '0';
        value = value > (std::numeric_limits<int64_t>::max() - digit) / 10
                    ? std::numeric_limits<int64_t>::max()
                    : value * 10 + digit;
      }
      // One line per part that lost characters.
      if (dropped) {
        monitor().logWithLevel(5, 20002, "app version numeric has non-numeric characters");
      }
      fields.push_back(value);
    }
    start = end + 1;
  }
  return fields;
}

int64_t APMIdentity::appMeasurementLibraryVersion() {
  static constexpr std::string_view kVersionText = "111500000";
  if (kVersionText.size() < 4) return 0;
  int64_t value = 0;
  for (char c : kVersionText.substr(0, kVersionText.size() - 3)) value = value * 10 + (c - '0');
  return value;
}

std::string APMIdentity::randomAppInstanceID() {
  unsigned char bytes[16] = {};
  size_t filled = 0;
  while (filled < sizeof bytes) {
    ssize_t got = getrandom(bytes + filled, sizeof bytes - filled, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      // No randomness: a fatal condition for an identifier that must never repeat.
      monitor().logWithLevel(1, 20010, "Cannot draw random bytes for an identifier");
      std::abort();
    }
    filled += static_cast<size_t>(got);
  }
  bytes[6] = (bytes[6] & 0x0F) | 0x40;
  bytes[8] = (bytes[8] & 0x3F) | 0x80;
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (unsigned char b : bytes) {
    text += kHex[b >> 4];
    text += kHex[b & 15];
  }
  return text;
}

std::string APMIdentity::kavrelinInstallationID() const {
  std::lock_guard<std::mutex> lock(installationMutex_);
  return kavrelinInstallationID_;
}

void APMIdentity::setKavrelinInstallationID(std::string installationID) {
  std::lock_guard<std::mutex> lock(installationMutex_);
  kavrelinInstallationID_ = std::move(installationID);
}
