#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/capacitor/ApplicationDelegateProxy.h"
#include "platform/foundation/Value.h"

// The application delegate. The system (main.cc's run loop) calls every method on the main
// queue. Launch configures the platform core, which starts the measurement library; opened
// URLs and user activities go on to the hybrid runtime, which hands them to the plug-ins.
class AppDelegate {
 public:
  // An SDK that may claim an opened URL before the runtime sees it (the social-login SDK's
  // ad-event measurement and URL handling); answers whether it took the URL. None by default.
  using URLClaimer =
      std::function<bool(const std::string& url, const platform::Value::Dictionary&)>;

  bool didFinishLaunchingWithOptions(const platform::Value::Dictionary& options);
  void applicationDidBecomeActive();
  bool openURL(const std::string& url, const platform::Value::Dictionary& options);
  bool continueUserActivity(const platform::NSUserActivity& activity,
                            const std::function<void(const platform::Value::Array&)>& handler);
  void applicationWillResignActive() {}
  void applicationDidEnterBackground() {}
  void applicationWillEnterForeground() {}
  void applicationWillTerminate() {}

  void setURLClaimer(URLClaimer claimer) { urlClaimer_ = std::move(claimer); }

 private:
  URLClaimer urlClaimer_;
};
