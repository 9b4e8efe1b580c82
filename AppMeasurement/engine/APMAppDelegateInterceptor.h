#pragma once

#include <memory>
#include <string>

#include "platform/utilities/OULAppDelegateInterceptor.h"

// What the library sees of the application delegate when the utilities framework's proxy is
// enabled: opened URLs and universal links go to APMAnalytics::handleOpenURL, background-session
// events to the network object. It consumes nothing: every call answers false, so the app's own
// delegate decides what the system sees. No state; one shared instance, registered once by
// APMAnalytics::createAppDelegateProxy. Called on the main thread; each call only hands work on.
class APMAppDelegateInterceptor : public OULAppDelegateInterceptor {
 public:
  static std::shared_ptr<APMAppDelegateInterceptor> sharedInstance();

  bool applicationOpenURLOptions(const std::string& url, const platform::Value& options) override;
  bool applicationOpenURLSourceApplicationAnnotation(const std::string& url,
                                                     const std::string& sourceApplication,
                                                     const platform::Value& annotation) override;
  void applicationHandleEventsForBackgroundURLSession(const std::string& identifier,
                                                      CompletionHandler completionHandler) override;
  // A universal link goes the way of an opened URL; the restoration handler is never called.
  bool applicationContinueUserActivity(const UserActivity& userActivity,
                                       RestorationHandler restorationHandler) override;
};
