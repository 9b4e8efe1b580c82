#include "AppMeasurement/foundation/APMPlatformIdentitySupport.h"

#include "platform/adsupport/ASIdentifierManager.h"
#include "platform/runtime/ClassRegistry.h"
#include "platform/tracking/ATTrackingManager.h"

APMPlatformIdentitySupport::APMPlatformIdentitySupport() {
  auto& registry = platform::ClassRegistry::shared();
  hasTrackingManager_ = registry.contains(platform::ATTrackingManager::kClassName);
  advertisingManager_ = std::dynamic_pointer_cast<platform::ASIdentifierManager>(
      registry.create(platform::ASIdentifierManager::kClassName));
}

bool APMPlatformIdentitySupport::hasAppDataConsentStatus() { return hasTrackingManager_; }

int64_t APMPlatformIdentitySupport::appDataConsentStatus() {
  return hasTrackingManager_ ? platform::ATTrackingManager::trackingAuthorizationStatus() : -1;
}

bool APMPlatformIdentitySupport::hasLimitedAdTracking() { return advertisingManager_ != nullptr; }

bool APMPlatformIdentitySupport::limitedAdTracking() {
  return advertisingManager_ && !advertisingManager_->isAdvertisingTrackingEnabled();
}

std::optional<std::string> APMPlatformIdentitySupport::resettableDeviceID() {
  if (!advertisingManager_) return std::nullopt;
  return advertisingManager_->advertisingIdentifier();
}

void APMPlatformIdentitySupport::registerInRuntime() {
  platform::ClassRegistry::shared().registerClass(kClassName, [] {
    return std::shared_ptr<platform::RuntimeObject>(std::make_shared<APMPlatformIdentitySupport>());
  });
}
