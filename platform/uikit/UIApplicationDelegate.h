#pragma once

#include <functional>
#include <string>

#include "platform/foundation/NSUserActivity.h"
#include "platform/foundation/Value.h"

// The application's delegate as other code sees it through UIApplication::delegate(). Every
// operation is optional: whether the delegate "answers" one is a dynamic_cast to the small
// interface that declares it. The system calls them on the main thread (UIApplication's
// deliveries).
class UIApplicationDelegate {
 public:
  virtual ~UIApplicationDelegate() = default;
};

// application:openURL:options: — answers whether the app handled the URL.
class UIApplicationOpenURLDelegate {
 public:
  virtual ~UIApplicationOpenURLDelegate() = default;
  virtual bool applicationOpenURL(const std::string& url,
                                  const platform::Value::Dictionary& options) = 0;
};

// application:continueUserActivity:restorationHandler: — answers whether the app continued the
// activity. The restoration handler takes the objects that restore it (may be called later,
// from the main thread, or never).
class UIApplicationContinueUserActivityDelegate {
 public:
  using RestorationHandler = std::function<void(const platform::Value::Array& restorableObjects)>;
  virtual ~UIApplicationContinueUserActivityDelegate() = default;
  virtual bool applicationContinueUserActivity(const platform::NSUserActivity& userActivity,
                                               const RestorationHandler& restorationHandler) = 0;
};

// application:handleEventsForBackgroundURLSession:completionHandler: — the events of the
// background URL session with that identifier are waiting; the completion handler is to be
// called once they are handled.
class UIApplicationBackgroundURLSessionDelegate {
 public:
  virtual ~UIApplicationBackgroundURLSessionDelegate() = default;
  virtual void applicationHandleEventsForBackgroundURLSession(
      const std::string& identifier, std::function<void()> completionHandler) = 0;
};
