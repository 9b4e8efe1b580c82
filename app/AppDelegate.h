#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/capacitor/ApplicationDelegateProxy.h"
#include "platform/foundation/Value.h"
#include "platform/uikit/UIApplicationDelegate.h"
#include "platform/uikit/UIWindow.h"

// Keys of the options an opened URL comes with.
inline constexpr const char* UIApplicationOpenURLOptionsSourceApplicationKey =
    "UIApplicationOpenURLOptionsSourceApplicationKey";
inline constexpr const char* UIApplicationOpenURLOptionsAnnotationKey =
    "UIApplicationOpenURLOptionsAnnotationKey";

// The application delegate. The system (main.cc's run loop) calls every method on the main
// queue. Launch configures the platform core (which starts the measurement library) and the
// social-login SDK; becoming active asks for tracking authorisation and reports activation;
// opened URLs go to the SDK's ad-event measurement and URL handling first, then to the hybrid
// runtime, which hands them to the plug-ins.
//
// The system reaches it through the application object (UIApplication::deliverOpenURL and
// deliverContinueUserActivity), which puts the application-delegate proxy's interceptors
// beside it.
class AppDelegate : public UIApplicationDelegate,
                    public UIApplicationOpenURLDelegate,
                    public UIApplicationContinueUserActivityDelegate {
 public:
  // Asks for tracking authorisation; the completion gets the status (0 not determined,
  // 1 restricted, 2 denied, 3 authorised) on whatever thread the framework picks. The app links
  // the tracking framework through this seam; without one, activation asks nothing.
  using TrackingRequest = std::function<void(std::function<void(int status)> completion)>;

  bool didFinishLaunchingWithOptions(const platform::Value::Dictionary& options);
  void applicationDidBecomeActive();
  bool openURL(const std::string& url, const platform::Value::Dictionary& options);
  // The same call as others reach it through UIApplication's delegate (a deferred deep link).
  bool applicationOpenURL(const std::string& url,
                          const platform::Value::Dictionary& options) override {
    return openURL(url, options);
  }
  bool continueUserActivity(const platform::NSUserActivity& activity,
                            const std::function<void(const platform::Value::Array&)>& handler);
  bool applicationContinueUserActivity(const platform::NSUserActivity& activity,
                                       const RestorationHandler& handler) override {
    return continueUserActivity(activity, handler);
  }
  void applicationWillResignActive() {}
  void applicationDidEnterBackground() {}
  void applicationWillEnterForeground() {}
  void applicationWillTerminate() {}

  void setTrackingRequest(TrackingRequest request) { trackingRequest_ = std::move(request); }

  // The window the app shows (read and written by the system, which sets it at launch before
  // didFinishLaunchingWithOptions); empty at first. Main thread.
  std::shared_ptr<UIWindow> window() const { return window_; }
  void setWindow(std::shared_ptr<UIWindow> window) { window_ = std::move(window); }

 private:
  TrackingRequest trackingRequest_;
  std::shared_ptr<UIWindow> window_;
};
