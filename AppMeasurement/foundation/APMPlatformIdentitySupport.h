#pragma once

#include <memory>

#include "AppMeasurement/foundation/APMIdentitySupport.h"
#include "platform/runtime/RuntimeObject.h"

namespace platform {
class ASIdentifierManager;
}

// The identity-support provider over the platform's tracking and advertising frameworks, each
// found by class name at creation ("ATTrackingManager", "ASIdentifierManager"), so that it works
// whether or not the app links them. Registered by name as "APMPlatformIdentitySupport"
// (registerInRuntime) by the composition root. Thread-safe.
class APMPlatformIdentitySupport : public APMIdentitySupport, public platform::RuntimeObject {
 public:
  static constexpr const char* kClassName = "APMPlatformIdentitySupport";
  APMPlatformIdentitySupport();
  bool hasAppDataConsentStatus() override;
  int64_t appDataConsentStatus() override;
  bool hasLimitedAdTracking() override;
  bool limitedAdTracking() override;
  std::optional<std::string> resettableDeviceID() override;
  static void registerInRuntime();

 private:
  bool hasTrackingManager_ = false;
  std::shared_ptr<platform::ASIdentifierManager> advertisingManager_;
};
