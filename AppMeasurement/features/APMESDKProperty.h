#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "AppMeasurement/messages/APMPBMessages.h"

class APMESDKProperty;

// Supplies custom properties merged in at each experiment request (optional for an SDK).
class APMESDKPropertyProviderDelegate {
 public:
  virtual ~APMESDKPropertyProviderDelegate() = default;
  virtual std::map<std::string, std::string> dynamicCustomPropertiesForSDKProperty(
      const APMESDKProperty& property) = 0;
};

// What an SDK tells the experiment server about itself. Safe from any thread: the request
// builder reads it on the experiment worker queue while the SDK may still change it.
class APMESDKProperty {
 public:
  // initWithName:. Null (logged, 860000) without a name.
  static std::shared_ptr<APMESDKProperty> create(const std::optional<std::string>& name);

  const std::string& name() const { return name_; }
  int64_t version() const;
  void setVersion(int64_t version);
  std::string appID() const;
  void setAppID(std::string appID);
  // The SDK's own diversion key; empty when it has none.
  std::string diversionKey() const;
  void setDiversionKey(std::string diversionKey);
  std::map<std::string, std::string> customProperties() const;
  void setCustomProperties(std::map<std::string, std::string> properties);
  // Held weakly.
  void setDelegate(std::weak_ptr<APMESDKPropertyProviderDelegate> delegate);

  // The client property of the request: the diversion key is the property's own, else the
  // process identity's; nothing (logged, 860001) when both are empty, so that the SDK is left
  // out of the request.
  std::optional<APMPBClientProperty> proto() const;

 private:
  explicit APMESDKProperty(std::string name) : name_(std::move(name)) {}

  const std::string name_;
  mutable std::mutex mutex_;  // guards the fields below
  int64_t version_ = 0;
  std::string appID_;
  std::string diversionKey_;
  std::map<std::string, std::string> customProperties_;
  std::weak_ptr<APMESDKPropertyProviderDelegate> delegate_;
};
