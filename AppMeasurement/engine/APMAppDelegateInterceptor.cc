#include "AppMeasurement/engine/APMAppDelegateInterceptor.h"

#include "AppMeasurement/engine/APMAnalytics.h"
#include "platform/utilities/OULNetwork.h"

std::shared_ptr<APMAppDelegateInterceptor> APMAppDelegateInterceptor::sharedInstance() {
  static std::shared_ptr<APMAppDelegateInterceptor>& instance =
      *new std::shared_ptr<APMAppDelegateInterceptor>(
          std::make_shared<APMAppDelegateInterceptor>());
  return instance;
}

bool APMAppDelegateInterceptor::applicationOpenURLOptions(const std::string& url,
                                                          const platform::Value&) {
  APMAnalytics::handleOpenURL(url);
  return false;
}

bool APMAppDelegateInterceptor::applicationOpenURLSourceApplicationAnnotation(
    const std::string& url, const std::string&, const platform::Value&) {
  APMAnalytics::handleOpenURL(url);
  return false;
}

void APMAppDelegateInterceptor::applicationHandleEventsForBackgroundURLSession(
    const std::string& identifier, CompletionHandler completionHandler) {
  OULNetwork::handleEventsForBackgroundURLSessionID(identifier, std::move(completionHandler));
}

bool APMAppDelegateInterceptor::applicationContinueUserActivity(const UserActivity& userActivity,
                                                                RestorationHandler) {
  std::optional<std::string> link = APMAnalytics::deepLinkFromUserActivity(userActivity);
  if (link && !link->empty()) APMAnalytics::handleOpenURL(*link);
  return false;
}
