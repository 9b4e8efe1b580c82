#include "AppMeasurement/foundation/APMDefaultIdentitySupport.h"

#include "AppMeasurement/foundation/APMMonitor.h"
#include "AppMeasurement/foundation/APMPlatformIdentitySupport.h"
#include "platform/adsupport/ASIdentifierManager.h"
#include "platform/dispatch/DispatchSemaphore.h"
#include "platform/runtime/ClassRegistry.h"
#include "platform/utilities/OULAppEnvironmentUtil.h"

std::shared_ptr<APMDefaultIdentitySupport> APMDefaultIdentitySupport::sharedInstance() {
  static const auto& instance = *new decltype(create())(create());
  return instance;
}

std::shared_ptr<APMDefaultIdentitySupport> APMDefaultIdentitySupport::create() {
  auto provider = platform::ClassRegistry::shared().create<APMIdentitySupport>(
      APMPlatformIdentitySupport::kClassName);
  auto& monitor = *APMMonitor::monitor();
  if (provider) {
    monitor.logWithLevel(7, 44000, "OrvaneAppMeasurementIdentitySupport dependency is linked.");
    if (provider->hasLimitedAdTracking()) {
      monitor.logWithLevel(7, 44001, "The AdSupport Framework is linked.");
    } else {
      monitor.logWithLevel(4, 44002,
                           "The AdSupport Framework is not currently linked. Some features will "
                           "not function properly. Learn more at "
                           "https://kavrelin.dev/docs/analytics/identity-support");
    }
  } else {
    monitor.logWithLevel(4, 44003,
                         "OrvaneAppMeasurementIdentitySupport dependency is not currently linked. "
                         "IDFA will not be accessible.");
  }
  return std::make_shared<APMDefaultIdentitySupport>(std::move(provider));
}

APMDefaultIdentitySupport::APMDefaultIdentitySupport(std::shared_ptr<APMIdentitySupport> provider)
    : provider_(std::move(provider)),
      queue_(platform::DispatchQueue::createSerial("APMDefaultIdentitySupport")),
      stored_(std::make_shared<Stored>()) {}

bool APMDefaultIdentitySupport::iOS14OrAbove() {
  return OULAppEnvironmentUtil::isSystemVersionAtLeast(14, 0, 0);
}

bool APMDefaultIdentitySupport::hasAppDataConsentStatus() {
  return provider_ && provider_->hasAppDataConsentStatus();
}

int64_t APMDefaultIdentitySupport::appDataConsentStatus() {
  return provider_ ? provider_->appDataConsentStatus() : -1;
}

bool APMDefaultIdentitySupport::hasLimitedAdTracking() {
  return provider_ && provider_->hasLimitedAdTracking();
}

bool APMDefaultIdentitySupport::limitedAdTracking() {
  if (iOS14OrAbove()) {
    auto identifier = resettableDeviceID();
    return !identifier || *identifier == kZeroIdentifier;
  }
  return provider_ && provider_->limitedAdTracking();
}

std::optional<std::string> APMDefaultIdentitySupport::resettableDeviceID() {
  if (!provider_) return std::nullopt;
  auto done = std::make_shared<platform::DispatchSemaphore>(0);
  auto provider = provider_;
  auto stored = stored_;
  queue_->async([provider, stored, done] {
    auto identifier = provider->resettableDeviceID();
    {
      std::lock_guard<std::mutex> lock(stored->mutex);
      stored->identifier = std::move(identifier);
    }
    done->signal();
  });
  done->wait(kProviderWaitSeconds);
  std::lock_guard<std::mutex> lock(stored_->mutex);
  return stored_->identifier;
}
