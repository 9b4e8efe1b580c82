#pragma once

#include <functional>
#include <string>

#include "platform/foundation/Value.h"

// An object that sees the application delegate's calls next to the app's own delegate,
// registered with OULAppDelegateSwizzler. Every method is optional: the defaults do nothing
// and answer false ("not consumed"), so an interceptor overrides only what it handles.
// Methods are called on the thread that dispatches the call (the main thread in the app).
class OULAppDelegateInterceptor {
 public:
  // What the app was handed to continue (a universal link, a handoff): the activity's type,
  // the web page address when it is a browsing activity (empty otherwise) and its user info.
  struct UserActivity {
    std::string activityType;
    std::string webpageURL;
    platform::Value userInfo;
  };
  using RestorationHandler = std::function<void(const platform::Value& restorableObjects)>;
  using CompletionHandler = std::function<void()>;

  virtual ~OULAppDelegateInterceptor() = default;

  // application:openURL:options: — answers whether the URL was consumed.
  virtual bool applicationOpenURLOptions(const std::string& url, const platform::Value& options) {
    return false;
  }

  // application:openURL:sourceApplication:annotation: — the older form of the same call.
  virtual bool applicationOpenURLSourceApplicationAnnotation(const std::string& url,
                                                             const std::string& sourceApplication,
                                                             const platform::Value& annotation) {
    return false;
  }

  // application:handleEventsForBackgroundURLSession:completionHandler:
  virtual void applicationHandleEventsForBackgroundURLSession(const std::string& identifier,
                                                              CompletionHandler completionHandler) {
  }

  // application:continueUserActivity:restorationHandler: — answers whether the activity was
  // consumed.
  virtual bool applicationContinueUserActivity(const UserActivity& userActivity,
                                               RestorationHandler restorationHandler) {
    return false;
  }
};
