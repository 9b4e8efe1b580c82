#include "AppMeasurement/features/APMEExperimentRequestBuilder.h"

#include "AppMeasurement/features/APMEManager.h"
#include "AppMeasurement/foundation/APMEnvironmentInfo.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Text.h"
#include "platform/utilities/OULAppEnvironmentUtil.h"

APMEExperimentRequestBuilder& APMEExperimentRequestBuilder::sharedInstance() {
  static APMEExperimentRequestBuilder* instance = new APMEExperimentRequestBuilder();
  return *instance;
}

void APMEExperimentRequestBuilder::addSDKProperty(
    const std::shared_ptr<APMESDKProperty>& property) {
  if (!property) {
    APMEManager::monitor().logWithLevel(2, 880000, "Cannot add an empty SDK property.");
    return;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  clientPropertyBySDKName_.insert_or_assign(property->name(), property);
}

void APMEExperimentRequestBuilder::removeAllForTesting() {
  std::lock_guard<std::mutex> lock(mutex_);
  clientPropertyBySDKName_.clear();
}

APMPBExperimentRequest APMEExperimentRequestBuilder::request() const {
  std::vector<std::shared_ptr<APMESDKProperty>> properties;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [name, property] : clientPropertyBySDKName_) properties.push_back(property);
  }
  std::vector<APMPBClientProperty> clients;
  for (const auto& property : properties) {
    if (std::optional<APMPBClientProperty> client = property->proto()) {
      clients.push_back(std::move(*client));
    }
  }
  APMPBExperimentRequest message;
  NANOSetMessage(message, APMPBExperimentRequest::kAppProperty, appPropertyProto());
  if (!clients.empty()) {
    NANOSetMessageArray(message, APMPBExperimentRequest::kClientProperties, clients);
  }
  return message;
}

APMPBAppProperty APMEExperimentRequestBuilder::appPropertyProto() {
  APMPBAppProperty message;
  NANOSetString(message, APMPBAppProperty::kPlatform, "ios");
  std::vector<std::string> languages = APMEnvironmentInfo::preferredLanguages();
  if (!languages.empty()) {
    NANOSetString(message, APMPBAppProperty::kLanguage, platform::Text::lowercase(languages[0]));
  }
  if (std::optional<std::string> bundleID = platform::Bundle::mainBundle()->bundleIdentifier()) {
    NANOSetString(message, APMPBAppProperty::kBundleId, *bundleID);
  }
  NANOSetBool(message, APMPBAppProperty::kFromAppStore, OULAppEnvironmentUtil::isFromAppStore());
  NANOSetInt64(message, APMPBAppProperty::kSdkVersion, APMEManager::version());
  return message;
}
