#pragma once

#include <memory>
#include <optional>
#include <string>

#include "AppMeasurement/engine/APMAnalytics.h"
#include "platform/foundation/Value.h"
#include "platform/runtime/RuntimeObject.h"

class KVLAnalyticsConfiguration;
struct StoreKitTransaction;
class KVLOptions;

// The public measurement interface: class operations the app, the plug-ins and the platform
// core call. Almost everything forwards to APMAnalytics; the facade itself refuses events and
// user properties while the platform's default app is not configured, warns about parameter
// values that typed Swift callers could not bridge, and starts the library from the platform
// core with the core's options and the installation identifier.
//
// Stateless; every operation may be called from any thread.
class KVLAnalytics : public platform::RuntimeObject, public APMTopLevelVersioned {
 public:
  static void logEventWithName(const std::string& name,
                               const platform::Value::Dictionary& parameters);
  // Refused (25018) while the default app is not configured; parameters holding a value Swift
  // could not bridge are warned about (25040) and the event still goes on.
  static void logEventWithOrigin(const std::string& origin, const std::string& name,
                                 const platform::Value::Dictionary& parameters);
  static void logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                         const APMObjectMap& parameters);
  static void setAnalyticsCollectionEnabled(bool enabled);
  static void setDefaultEventParameters(std::optional<platform::Value::Dictionary> parameters);
  static void setUserPropertyString(std::optional<std::string> value, const std::string& name);
  static std::string addLogEventListener(APMAnalytics::Listener listener);
  static void removeLogEventListener(const std::string& token);
  static void setLogEventInterceptor(APMMeasurement::Interceptor interceptor);

  // A StoreKit 2 transaction, passed on unchanged, synchronously, to the purchase reporter.
  static void logTransaction(const APMStoreKitTransaction& transaction);
  // The typed layer's StoreKit 2 entry: the transaction's fields (product-type code, offer
  // flags from 17.2 on, environment from 16.0 on, identifiers in decimal, device verification)
  // handed to logTransaction.
  static void logStoreKitTransaction(const StoreKitTransaction& transaction);
  // Whether the transaction's device-verification digest matches this device (SHA-384 of the
  // lower-cased nonce and UUID); a mismatch is logged (25058).
  static bool verifyTransactionWithDeviceVerification(std::string_view deviceVerification,
                                                      const std::optional<std::string>& uuid,
                                                      const std::string& nonce);
  static void logEventWithOrigin(const std::string& origin, bool isPublicEvent,
                                 const std::string& name, const APMObjectMap& parameters,
                                 double timestamp, bool ignoreEnabled, bool ignoreInterceptor);
  static void notifyEventListeners(const APMEvent& event);
  static void setOpenURLListener(APMAnalytics::OpenURLListener listener);
  // What the application hands its delegate: an opened URL, a continued user activity, the
  // events of a background session. Passed on unchanged to APMAnalytics.
  static void handleOpenURL(const std::string& url);
  static void handleUserActivity(const OULAppDelegateInterceptor::UserActivity& userActivity);
  static void handleEventsForBackgroundURLSession(const std::string& identifier,
                                                  std::function<void()> completionHandler);
  // The public-call queues of APMAnalytics, unchanged.
  static void dispatchAsyncOnSerialQueue(platform::Block block);
  static void queueOperationWithBlock(platform::Block block);
  static void unsuspendOperationQueue();
  static double loadTimestamp();
  // Never called: keeps this source file in every link.
  static void notCalled();

  // The start from the platform core (origin "ka").
  static void startWithConfiguration(
      const std::shared_ptr<KVLAnalyticsConfiguration>& configuration, const KVLOptions& options);
  // Asks the installations service for the identifier and hands it (or nothing) to the identity.
  static void updateKavrelinInstallationID();
  static void observeKavrelinInstallationIDChanges();

  static std::shared_ptr<KVLAnalytics> sharedInstance();
  std::string topLevelVersion() override;

  // --- Consent, user identifier, sessions, app instance identifier, reset ---
  static void setUserID(const std::optional<platform::Value>& userID);
  static void setSessionTimeoutInterval(double seconds);
  static void sessionIDWithCompletion(APMAnalytics::SessionIDCompletion completion);
  static std::optional<std::string> appInstanceID();
  static void resetAnalyticsData();
  // Given by the app: persisted under "consent_settings_3p" (source 10).
  static void setConsent(const platform::Value::Dictionary& consent);
  static void userPropertiesIncludingInternal(bool includeInternal,
                                              std::shared_ptr<platform::DispatchQueue> queue,
                                              APMAnalytics::UserPropertiesCallback callback);

  // --- On-device conversion user data (refused while the default app is not configured) ---
  // Nil or empty becomes "".
  static void initiateOnDeviceConversionMeasurementWithEmailAddress(
      const std::optional<std::string>& emailAddress);
  static void initiateOnDeviceConversionMeasurementWithPhoneNumber(
      const std::optional<std::string>& phoneNumber);
  // SHA-256 digests: 32 bytes, or 64 characters of hexadecimal text; other lengths are logged
  // (25056, 25057) and passed on as they are.
  static void initiateOnDeviceConversionMeasurementWithHashedEmailAddress(
      const std::string& hashedEmailAddress);
  static void initiateOnDeviceConversionMeasurementWithHashedPhoneNumber(
      const std::string& hashedPhoneNumber);

  // --- Interop instance operations (the connector's) ---
  // The instance form of logInternalEventWithOrigin (the class operation has the same
  // arguments, hence the joined name): to the shared APMAnalytics object's, unchanged.
  void logInternalEventWithOriginNameParameters(const std::string& origin, const std::string& name,
                                                const APMObjectMap& parameters);
  void setInternalUserProperty(const std::optional<APMObject>& value, const std::string& name,
                               const std::string& origin);
  void maxUserPropertiesForOrigin(const std::string& origin,
                                  std::shared_ptr<platform::DispatchQueue> queue,
                                  APMAnalytics::MaxUserPropertiesCallback callback);
};

// 64 characters of hexadecimal text as 32 bytes: each pair, in order, read as a hexadecimal
// number from its leading hexadecimal digits (none gives 0), its low byte appended.
std::string APMHexStringDataToBytes(std::string_view text);

// Whether the parameters hold, at any depth (dictionary keys and values, array elements), an
// object of the class registered as "__SwiftValue": a value typed Swift code could not bridge.
// False when no such class is registered.
bool APMHasUnbridgeableSwiftValue(const platform::Value::Dictionary& parameters);
// Whether `value` is, or holds at any depth, an object of the class named `className`.
bool APMContainsObjectOfClass(const platform::Value& value, const std::string& className);
// Logs the unbridgeable-value warning (25040); a place of its own for a debugger to stop at.
extern "C" void __KVLANALYTICS_UNBRIDGEABLE_SWIFT_VALUE_ERROR__();

// Registers the facade class "KVLAnalytics" in the class registry and the library
// "kvl-analytics" (the interop connector's component) with the platform core, whose configure
// then starts measurement, and subscribes the engine class to the application's launch (the
// class's load hooks). Called once
// by the composition root (the app's main, the driver, tests) before KVLApp::configure.
void KVLAnalyticsRegisterLibrary();
