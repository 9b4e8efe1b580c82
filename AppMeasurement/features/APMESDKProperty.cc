#include "AppMeasurement/features/APMESDKProperty.h"

#include "AppMeasurement/features/APMEMonitor.h"
#include "AppMeasurement/foundation/APMIdentity.h"

std::shared_ptr<APMESDKProperty> APMESDKProperty::create(const std::optional<std::string>& name) {
  if (!name) {
    APMEMonitor::shared().logWithLevel(1, 860000, "Cannot init SDK property with invalid name");
    return nullptr;
  }
  return std::shared_ptr<APMESDKProperty>(new APMESDKProperty(*name));
}

int64_t APMESDKProperty::version() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return version_;
}
void APMESDKProperty::setVersion(int64_t version) {
  std::lock_guard<std::mutex> lock(mutex_);
  version_ = version;
}
std::string APMESDKProperty::appID() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return appID_;
}
void APMESDKProperty::setAppID(std::string appID) {
  std::lock_guard<std::mutex> lock(mutex_);
  appID_ = std::move(appID);
}
std::string APMESDKProperty::diversionKey() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return diversionKey_;
}
void APMESDKProperty::setDiversionKey(std::string diversionKey) {
  std::lock_guard<std::mutex> lock(mutex_);
  diversionKey_ = std::move(diversionKey);
}
std::map<std::string, std::string> APMESDKProperty::customProperties() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return customProperties_;
}
void APMESDKProperty::setCustomProperties(std::map<std::string, std::string> properties) {
  std::lock_guard<std::mutex> lock(mutex_);
  customProperties_ = std::move(properties);
}
void APMESDKProperty::setDelegate(std::weak_ptr<APMESDKPropertyProviderDelegate> delegate) {
  std::lock_guard<std::mutex> lock(mutex_);
  delegate_ = std::move(delegate);
}

std::optional<APMPBClientProperty> APMESDKProperty::proto() const {
  std::string key = diversionKey();
  if (key.empty()) key = APMIdentity::sharedInstance()->diversionKey();
  if (key.empty()) {
    APMEMonitor::shared().logWithLevel(1, 860001, "Diversion key is empty");
    return std::nullopt;
  }
  APMPBClientProperty message;
  NANOSetString(message, APMPBClientProperty::kName, name_);
  NANOSetString(message, APMPBClientProperty::kDiversionId, key + "-" + name_);
  NANOSetInt64(message, APMPBClientProperty::kVersion, version());
  if (std::string app = appID(); !app.empty()) {
    NANOSetString(message, APMPBClientProperty::kAppId, app);
  }
  std::map<std::string, std::string> properties = customProperties();
  std::shared_ptr<APMESDKPropertyProviderDelegate> delegate;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    delegate = delegate_.lock();
  }
  if (delegate) {
    for (auto& [key, value] : delegate->dynamicCustomPropertiesForSDKProperty(*this)) {
      properties.insert_or_assign(key, value);
    }
  }
  if (!properties.empty()) {
    std::vector<APMPBCustomProperty> list;
    for (const auto& [name, value] : properties) {
      APMPBCustomProperty property;
      NANOSetString(property, APMPBCustomProperty::kKey, name);
      NANOSetString(property, APMPBCustomProperty::kValue, value);
      list.push_back(std::move(property));
    }
    NANOSetMessageArray(message, APMPBClientProperty::kCustomProperties, list);
  }
  return message;
}
