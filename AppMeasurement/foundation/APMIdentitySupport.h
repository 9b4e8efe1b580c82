#pragma once

#include <cstdint>
#include <optional>
#include <string>

// What a provider of tracking status and advertising identifier answers.
class APMIdentitySupport {
 public:
  virtual ~APMIdentitySupport() = default;
  virtual bool hasAppDataConsentStatus() = 0;
  // The platform's tracking-authorisation status; -1 when unknown.
  virtual int64_t appDataConsentStatus() = 0;
  virtual bool hasLimitedAdTracking() = 0;
  virtual bool limitedAdTracking() = 0;
  // The advertising identifier as uppercase UUID text, or nullopt. May be slow.
  virtual std::optional<std::string> resettableDeviceID() = 0;
};
