#include "app/AppDelegate.h"

#include "platform/core/KVLApp.h"

bool AppDelegate::didFinishLaunchingWithOptions(const platform::Value::Dictionary&) {
  KVLApp::configure();
  return true;
}

void AppDelegate::applicationDidBecomeActive() {}

bool AppDelegate::openURL(const std::string& url, const platform::Value::Dictionary& options) {
  if (urlClaimer_ && urlClaimer_(url, options)) return true;
  return platform::ApplicationDelegateProxy::shared().application(url, options);
}

bool AppDelegate::continueUserActivity(
    const platform::NSUserActivity& activity,
    const std::function<void(const platform::Value::Array&)>& handler) {
  return platform::ApplicationDelegateProxy::shared().applicationContinue(activity, handler);
}
