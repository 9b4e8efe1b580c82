#include "platform/capacitor/ApplicationDelegateProxy.h"

#include <memory>

#include "platform/foundation/NotificationCenter.h"

namespace platform {

namespace {

void postURL(const char* name, const std::string& url) {
  auto object = std::make_shared<Value>(Value::Dictionary{{"url", Value(url)}});
  NotificationCenter::defaultCenter().postNotificationNameWithObject(name, std::move(object));
}

}  // namespace

ApplicationDelegateProxy& ApplicationDelegateProxy::shared() {
  static ApplicationDelegateProxy& proxy = *new ApplicationDelegateProxy();
  return proxy;
}

bool ApplicationDelegateProxy::application(const std::string& url, const Value::Dictionary&) {
  postURL(kCapacitorOpenURLNotification, url);
  return true;
}

bool ApplicationDelegateProxy::applicationContinue(
    const NSUserActivity& activity, const std::function<void(const Value::Array&)>&) {
  if (activity.activityType != NSUserActivityTypeBrowsingWeb || !activity.webpageURL) {
    return false;
  }
  postURL(kCapacitorOpenUniversalLinkNotification, *activity.webpageURL);
  return true;
}

}  // namespace platform
