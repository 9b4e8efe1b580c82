#include "platform/facebook/FBSDKSettings.h"

#include "platform/foundation/Bundle.h"

namespace {
std::string infoString(const char* key, std::string fallback) {
  auto value = platform::Bundle::mainBundle()->objectForInfoDictionaryKey(key);
  return value && value->isString() ? *value->asString() : fallback;
}
}  // namespace

FBSDKSettings& FBSDKSettings::shared() {
  static FBSDKSettings& settings = *new FBSDKSettings();
  return settings;
}

void FBSDKSettings::enableLoggingBehavior(const std::string& behavior) {
  std::lock_guard lock(mutex_);
  loggingBehaviors_.insert(behavior);
}

bool FBSDKSettings::isLoggingBehaviorEnabled(const std::string& behavior) const {
  std::lock_guard lock(mutex_);
  return loggingBehaviors_.count(behavior) > 0;
}

std::string FBSDKSettings::appID() const { return infoString("FacebookAppID", ""); }

std::string FBSDKSettings::serviceURL() const {
  std::string url = infoString("FacebookServiceURL", "http://127.0.0.1:8972");
  while (!url.empty() && url.back() == '/') url.pop_back();
  return url;
}
