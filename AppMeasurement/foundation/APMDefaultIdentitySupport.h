#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "AppMeasurement/foundation/APMIdentitySupport.h"
#include "platform/dispatch/DispatchQueue.h"

// What the identity reads of tracking status and advertising identifier, through an optional
// provider found by class name ("APMPlatformIdentitySupport" in the ClassRegistry). Without a
// provider it answers: no status (-1), no limited-tracking flag, no identifier.
//
// resettableDeviceID() never blocks its caller for more than 10 ms of the installed clock: the
// provider is asked on the serial queue "APMDefaultIdentitySupport" and whatever identifier is
// stored when the wait ends is answered (a slow provider's answer arrives on a later call).
// Thread-safe; the stored identifier is guarded by the object's lock.
class APMDefaultIdentitySupport {
 public:
  static constexpr const char* kZeroIdentifier = "00000000-0000-0000-0000-000000000000";
  static constexpr double kProviderWaitSeconds = 0.010;

  static std::shared_ptr<APMDefaultIdentitySupport> sharedInstance();
  // A new instance with the provider registered now (the shared one is made once).
  static std::shared_ptr<APMDefaultIdentitySupport> create();
  // A new instance over the given provider (nullptr: none), without logging; for tests.
  explicit APMDefaultIdentitySupport(std::shared_ptr<APMIdentitySupport> provider);

  // Whether the system is iOS 14.0.0 or later (OULAppEnvironmentUtil::isSystemVersionAtLeast).
  static bool iOS14OrAbove();
  // Whether a provider was found.
  bool hasProvider() const { return provider_ != nullptr; }
  bool hasAppDataConsentStatus();
  int64_t appDataConsentStatus();
  bool hasLimitedAdTracking();
  bool limitedAdTracking();
  std::optional<std::string> resettableDeviceID();

 private:
  std::shared_ptr<APMIdentitySupport> provider_;
  std::shared_ptr<platform::DispatchQueue> queue_;
  // Shared with the provider block, which may outlive a wait.
  struct Stored {
    std::mutex mutex;
    std::optional<std::string> identifier;
  };
  std::shared_ptr<Stored> stored_;
};
