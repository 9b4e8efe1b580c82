#include "app/AppDelegate.h"

#include "app/AppOutput.h"
#include "platform/core/KVLApp.h"
#include "platform/facebook/FBSDKLogin.h"
#include "platform/facebook/FBSDKSettings.h"

using platform::Value;

bool AppDelegate::didFinishLaunchingWithOptions(const Value::Dictionary& options) {
  KVLApp::configure();
  FBSDKApplicationDelegate::shared().didFinishLaunchingWithOptions(options);
  AppOutput::print(std::string("Facebook: check if autolog enabled: ") +
                   (FBSDKSettings::shared().isAutoLogAppEventsEnabled ? "true" : "false"));
  FBSDKSettings::shared().enableLoggingBehavior(FBSDKLoggingBehaviorAppEvents);
  return true;
}

void AppDelegate::applicationDidBecomeActive() {
  if (trackingRequest_) {
    trackingRequest_([](int status) {
      AppOutput::print(status == 3   ? "Asking for ATT permissions (authorized)"
                       : status == 2 ? "Asking for ATT permissions (denied)"
                                     : "Asking for ATT permissions (default)");
      FBSDKSettings::shared().isAdvertiserTrackingEnabled = status == 3;
    });
  }
  // Not waiting for the answer above.
  FBSDKAppEvents::shared().activateApp();
}

bool AppDelegate::openURL(const std::string& url, const Value::Dictionary& options) {
  AEMReporter::configure(nullptr, FBSDKSettings::shared().appID(), nullptr);
  AEMReporter::enable();
  AEMReporter::handle(url);
  std::optional<std::string> sourceApplication;
  std::optional<Value> annotation;
  if (auto it = options.find(UIApplicationOpenURLOptionsSourceApplicationKey);
      it != options.end() && it->second.isString()) {
    sourceApplication = *it->second.asString();
  }
  if (auto it = options.find(UIApplicationOpenURLOptionsAnnotationKey); it != options.end()) {
    annotation = it->second;
  }
  // A URL the SDK claims is its own and never reaches the plug-ins.
  if (FBSDKApplicationDelegate::shared().open(url, sourceApplication, annotation)) return true;
  return platform::ApplicationDelegateProxy::shared().application(url, options);
}

bool AppDelegate::continueUserActivity(const platform::NSUserActivity& activity,
                                       const std::function<void(const Value::Array&)>& handler) {
  return platform::ApplicationDelegateProxy::shared().applicationContinue(activity, handler);
}
