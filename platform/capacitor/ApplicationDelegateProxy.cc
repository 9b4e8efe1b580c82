#include "platform/capacitor/ApplicationDelegateProxy.h"

#include "platform/foundation/NotificationCenter.h"

namespace platform {

ApplicationDelegateProxy& ApplicationDelegateProxy::shared() {
  static ApplicationDelegateProxy& proxy = *new ApplicationDelegateProxy();
  return proxy;
}

bool ApplicationDelegateProxy::application(const std::string& url, const Value::Dictionary&) {
  Value userInfo = Value::Dictionary{};
  userInfo["url"] = url;
  NotificationCenter::defaultCenter().postNotificationName(kCapacitorOpenURLNotification, this,
                                                           std::move(userInfo));
  return true;
}

bool ApplicationDelegateProxy::applicationContinue(
    const NSUserActivity& activity, const std::function<void(const Value::Array&)>&) {
  if (activity.activityType != NSUserActivityTypeBrowsingWeb || !activity.webpageURL) {
    return false;
  }
  Value userInfo = Value::Dictionary{};
  userInfo["url"] = *activity.webpageURL;
  NotificationCenter::defaultCenter().postNotificationName(kCapacitorOpenUniversalLinkNotification,
                                                           this, std::move(userInfo));
  return true;
}

}  // namespace platform
