#pragma once

#include <memory>
#include <string>

#include "platform/foundation/Value.h"
#include "platform/utilities/OULAppDelegateInterceptor.h"

// Where the swizzler's console lines go (OULOSLog.h), and the code of the line that says the
// proxy was installed.
inline constexpr const char* kSwizzlerLogSubsystem = "com.orvane.utilities";
inline constexpr const char* kSwizzlerLogCategory = "[OrvaneUtilities/AppDelegateSwizzler]";
inline constexpr const char* kSwizzlerProxyInstalledCode = "I-SWZ001000";

// The application-delegate proxy. On the phone it exchanges the delegate's methods; here the
// application object hands each call the system makes (UIApplication's deliveries) to the
// dispatch functions below, which call every registered interceptor, before the delegate's own
// method. Interceptors are reached only once the proxy is installed
// (proxyOriginalDelegate) while it is enabled, as on the phone where a disabled proxy never
// exchanges anything. All class operations are safe from any thread; interceptors are called
// without the registry's lock held, so they may register or unregister from inside a call.
class OULAppDelegateSwizzler {
 public:
  using InterceptorID = std::string;

  // Whether the proxy may be installed (the app's configuration; true by default).
  static bool isAppDelegateProxyEnabled();
  static void setAppDelegateProxyEnabled(bool enabled);

  // Installs the proxy in front of the app's delegate. Does nothing when the proxy is disabled;
  // calling it again does nothing more. The install writes one debug line to the console log
  // (code kSwizzlerProxyInstalledCode): from then on the delegate calls the application object
  // delivers reach the interceptors.
  static void proxyOriginalDelegate();

  // Whether the proxy is installed.
  static bool isProxyInstalled();

  // Adds an interceptor (held strongly until unregistered) and answers its identifier; a null
  // interceptor is refused with an empty identifier.
  static InterceptorID registerAppDelegateInterceptor(
      std::shared_ptr<OULAppDelegateInterceptor> interceptor);

  // Removes the interceptor with that identifier; unknown identifiers are ignored.
  static void unregisterAppDelegateInterceptorWithID(const InterceptorID& interceptorID);

  // The application object's side: hand a delegate call to every interceptor, in registration
  // order.
  // The URL and activity calls answer true when some interceptor consumed the call (the app's
  // own delegate decides the answer the system sees otherwise).
  static bool dispatchOpenURL(const std::string& url, const platform::Value& options);
  static bool dispatchOpenURLSourceApplication(const std::string& url,
                                               const std::string& sourceApplication,
                                               const platform::Value& annotation);
  static bool dispatchContinueUserActivity(
      const OULAppDelegateInterceptor::UserActivity& userActivity,
      OULAppDelegateInterceptor::RestorationHandler restorationHandler);
  // The completion handler reaches every interceptor but runs at most once in all, since the
  // system's handler must not be called twice. Answers whether any interceptor was called.
  static bool dispatchHandleEventsForBackgroundURLSession(
      const std::string& identifier,
      OULAppDelegateInterceptor::CompletionHandler completionHandler);

  // Back to the start state (no interceptors, proxy not installed, enabled). For tests.
  static void resetForTesting();
};
