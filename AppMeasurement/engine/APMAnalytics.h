#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "AppMeasurement/engine/APMMeasurement.h"
#include "AppMeasurement/foundation/APMValue.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Value.h"
#include "platform/utilities/OULAppDelegateInterceptor.h"

class APMEvent;
class APMUserDefaults;
namespace platform {
struct Notification;
}

// What the tag-manager library's class "Velquor" answers when it is present (found by name in
// the class registry): its class operation initializeSharedInstance.
class APMVelquorInitializing {
 public:
  virtual ~APMVelquorInitializing() = default;
  virtual void initializeSharedInstance() = 0;
};

// What the facade class registered as "KVLAnalytics" answers for the version banner.
class APMTopLevelVersioned {
 public:
  virtual ~APMTopLevelVersioned() = default;
  virtual std::string topLevelVersion() = 0;
};

// The public-call layer between the facade (KVLAnalytics) and the engine (APMMeasurement).
// It owns the process-wide start, serialises every public call so that calls made before
// start wait in the suspended operation queue "APMAnalyticsOperationQueue" and then run, in
// call order, on the serial queue "APMAnalyticsQueue" after the engine exists, and forwards
// each call to the engine.
//
// Every operation may be called from any thread. Public events take their timestamp and their
// place in the operation queue in one critical section (the operation queue's own), so the
// order of queued events is the order of their timestamps. An event costs its caller the read
// of the current screen, a copy of the parameters and that one step; the name is checked on
// the serial queue. No call waits on the engine's worker queue, its database or the network.
class APMAnalytics {
 public:
  using Listener = std::function<void(const APMEvent&)>;
  using OpenURLListener = std::function<void(const std::string&)>;

  // --- Queues ---
  static std::shared_ptr<platform::DispatchQueue> queue();
  static void dispatchAsyncOnSerialQueue(platform::Block block);
  static void queueOperationWithBlock(platform::Block block);
  static void unsuspendOperationQueue();
  static bool isCurrentQueueSerialQueue();
  static double loadTimestamp();
  static void setLoadTimestamp(double timestamp);
  // Takes the load timestamp (the library's load time) when it is not set yet.
  static void load();

  // --- Start and switches ---
  // Checks the library generations and the log tag on every call; starts once per process.
  // An object under "KAVRELIN_ANALYTICS_CONFIGURATION" in the options (the platform core's
  // configuration) is observed for its set-enabled notification.
  static void startWithAppID(const std::string& appID, const std::string& origin,
                             const platform::Value::Dictionary& options);
  static void setAnalyticsEnabled(bool enabled, bool persistSetting = false);
  // Observes the configuration's set-enabled notification (null stops observing).
  static void observeNotificationsForAnalyticsConfiguration(const void* configuration);
  static void handleSetEnabled(const platform::Notification& notification);
  // Starts the tag-manager library when its class "Velquor" is registered and answers the
  // operation (APMVelquorInitializing).
  static void maybeEnableVelquor();
  // The origin given at start ("" before).
  static std::string origin();
  // The version the facade reports ("111500000" without a facade).
  static std::string topLevelVersion();

  // The once-made object that answers the interop instance operations.
  static std::shared_ptr<APMAnalytics> sharedInstance();

  // --- Event logging ---
  static void logEventWithName(const std::string& name,
                               const platform::Value::Dictionary& parameters);
  static void logEventWithOrigin(const std::string& origin, const std::string& name,
                                 const platform::Value::Dictionary& parameters);
  static void logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                         const APMObjectMap& parameters);
  static void logEventWithOrigin(const std::string& origin, bool isPublicEvent,
                                 const std::string& name, const APMObjectMap& parameters);
  static void logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                         double timestamp, const APMObjectMap& parameters);
  static void logEventWithOrigin(const std::string& origin, bool isPublicEvent,
                                 const std::string& name, const APMObjectMap& parameters,
                                 double timestamp, bool ignoreEnabled, bool ignoreInterceptor);
  // The common end, on the serial queue.
  static void logEventOnSerialQueue(const std::string& origin, bool isPublicEvent,
                                    const std::string& name, const APMObjectMap& parameters,
                                    double timestamp, bool ignoreEnabled, bool ignoreInterceptor,
                                    const APMObjectMap& addedScreenParameters);
  static void setDefaultEventParameters(std::optional<platform::Value::Dictionary> parameters);
  // The interop instance form of logInternalEventWithOrigin (joined name: the class operation
  // has the same arguments). For the origin "am", a "_aeid" string that is a decimal number
  // becomes a typed 64-bit integer (its integer part, saturated); any other "_aeid" string stays
  // and is logged (25024). Then the class operation.
  void logInternalEventWithOriginNameParameters(const std::string& origin, const std::string& name,
                                                const APMObjectMap& parameters);

  // --- Listeners, interceptor, URLs ---
  static void setLogEventInterceptor(APMMeasurement::Interceptor interceptor);
  // The token, unique per add, identifies the listener for removal; "" for a null listener
  // (25012). Stored inline when called on the serial queue, else queued.
  static std::string addLogEventListener(Listener listener);
  // Queued; "" logs 25013, a removal before any add 25014, an unknown token 25015.
  static void removeLogEventListener(const std::string& token);
  // Queued from the engine's worker queue: the listeners hear the event on the serial queue.
  static void notifyEventListeners(const APMEvent& event);
  static void notifyEventListenersOnSerialQueue(const APMEvent& event);
  static void setOpenURLListener(OpenURLListener listener);

  // --- Settings suite "APMAnalyticsSuiteName" ---
  static std::shared_ptr<APMUserDefaults> settings();
  static int64_t resetRetryCount();
  static void setResetRetryCount(int64_t count);
  static bool needFirstOpenAfterReset();
  static void setNeedFirstOpenAfterReset(bool need);
  static std::optional<platform::Value> deferredAnalyticsCollection();
  // Sets the marker (1 when disabling, 0 when enabling) unless one is stored.
  static void setDeferredAnalyticsCollectionIfUnset(bool disabling);

  // --- URLs, user activities and background sessions from the application ---
  // Runs the tag-manager debug check on the caller's thread, then hands the URL with the
  // current time to the engine on the serial queue and calls the open-URL listener.
  static void handleOpenURL(const std::string& url);
  // A browsing activity's link, to the engine only (no debug check, no listener).
  static void handleUserActivity(const OULAppDelegateInterceptor::UserActivity& userActivity);
  static void handleEventsForBackgroundURLSession(const std::string& identifier,
                                                  std::function<void()> completionHandler);
  // The link of a browsing activity, else nothing.
  static std::optional<std::string> deepLinkFromUserActivity(
      const OULAppDelegateInterceptor::UserActivity& userActivity);
  // Once: installs the application-delegate proxy and registers the library's interceptor.
  static void createAppDelegateProxy();

  // --- Consent, reset, user properties and identifier, sessions, user data ---
  // Consent and the reset bookkeeping run on the caller's thread against the settings suite and
  // APMConsentSettingsUtil; every engine call is queued. Callbacks and completions are never
  // called on the serial queue: they go to the caller's queue, the main queue (no queue given)
  // or the global queue (session identifier).
  using UserPropertiesCallback = std::function<void(platform::Value::Dictionary)>;
  using MaxUserPropertiesCallback = std::function<void(int32_t)>;
  using SessionIDCompletion = std::function<void(int64_t, std::optional<APMError>)>;

  static bool isEnabled();
  // The four consent types to "granted"/"denied", under the key "consent_settings".
  static void setConsent(const platform::Value::Dictionary& consent);
  // The key selects the source: "consent_settings_tcf" 5, "consent_settings_3p" 10, else 30.
  static void setConsent(const platform::Value::Dictionary& consent, const std::string& key);
  static void persistConsentSettings(const platform::Value::Dictionary& settings, int64_t source);
  static int64_t persistedConsentSource();
  // Re-applies one stored layer with the caps 5 (TCF), 20 (3p) and 40 (1p).
  static void loadPersistedConsentSettings();
  static void clearConsent();
  static std::optional<platform::Value::Dictionary> consentSettings1P();
  static std::optional<platform::Value::Dictionary> consentSettings3P();
  static std::optional<platform::Value::Dictionary> consentSettingsTCF();
  static std::optional<platform::Value::Dictionary> consentSettings1PStart();
  static void removeStartUpConsentSettings();
  static std::optional<platform::Value> deferredResetOnDeniedConsent();
  static void removeDeferredResetOnDeniedConsent();
  static std::optional<std::string> appInstanceIDAfterReset();
  static void setAppInstanceIDAfterReset(const std::optional<std::string>& identifier);
  static void removeNeedFirstOpenAfterReset();
  static void resetAnalyticsData();
  // Null while analytics storage is denied; the identifier a reset is making, else the
  // identity's. Runs on the caller's thread.
  static std::optional<std::string> appInstanceID();
  // A public user property; a null value removes it. "allow_personalized_ads" only maintains
  // the "_npa" property and the persisted switch.
  static void setUserPropertyString(const std::optional<platform::Value>& value,
                                    const std::string& name);
  static void setUserAttributeNumber(const platform::Value& number, const std::string& name);
  static void removeUserAttributeForName(const std::string& name);
  static void setUserID(const std::optional<platform::Value>& userID);
  // Origins of 1 to 32 characters; a null value removes the property.
  static void setInternalUserProperty(const std::optional<APMObject>& value,
                                      const std::string& name, const std::string& origin);
  static void removeInternalUserAttributeForName(const std::string& name);
  static void userPropertiesIncludingInternal(bool includeInternal,
                                              std::shared_ptr<platform::DispatchQueue> queue,
                                              UserPropertiesCallback callback);
  static void maxUserPropertiesForOrigin(const std::string& origin,
                                         std::shared_ptr<platform::DispatchQueue> queue,
                                         MaxUserPropertiesCallback callback);
  // Seconds; negative and NaN intervals are refused (25060).
  static void setSessionTimeoutInterval(double seconds);
  static void sessionIDWithCompletion(SessionIDCompletion completion);
  // Main thread only (elsewhere 25025 and nothing): the screen-view reporter's current screen.
  static void setScreenName(const std::optional<std::string>& screenName,
                            const std::optional<std::string>& screenClass);
  // Blocks its caller until earlier calls reached the serial queue; later calls wait 0.5 s.
  static void setUserData(const platform::Value::Dictionary& userData);
  static void setUserDataOnSerialQueue(const platform::Value::Dictionary& userData);
  static void queueOperationWithBlockThenWait(platform::Block block);
  // Blocks its caller until every call made before it has been handled on the engine's worker
  // queue (logged events are stored), for an orderly exit: the process would otherwise end with
  // accepted events still in memory. Calls queued before the start wait for the start and are
  // not waited for. Not from the library's own queues, nor from a thread another queue waits
  // on synchronously (the main thread while its loop is stopped, for one).
  static void waitForQueuedCalls();

  // Back to the state of a fresh process (tests only): suspended operation queue, no start,
  // no engine, no listeners.
  static void resetForTesting();
};
