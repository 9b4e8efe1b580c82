#include "AppMeasurement/engine/KVLAnalytics.h"

#include <algorithm>
#include <mutex>

#include "AppMeasurement/engine/APMMeasurementSupport.h"
#include "AppMeasurement/engine/KVLAnalyticsConnector.h"
#include "AppMeasurement/foundation/APMDisplayNames.h"
#include "AppMeasurement/foundation/APMIdentity.h"
#include "AppMeasurement/foundation/APMUserAttribute.h"
#include "platform/core/KVLApp.h"
#include "platform/core/KVLInstallations.h"
#include "platform/core/KVLOptions.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/runtime/ClassRegistry.h"
#include "platform/runtime/SwiftValue.h"

using apm_engine::monitor;

namespace {

std::mutex& observerMutex() {
  static std::mutex& mutex = *new std::mutex();
  return mutex;
}
platform::NotificationCenter::ObserverToken& installationObserver() {
  static platform::NotificationCenter::ObserverToken& token =
      *new platform::NotificationCenter::ObserverToken(0);
  return token;
}

}  // namespace

void KVLAnalytics::logEventWithName(const std::string& name,
                                    const platform::Value::Dictionary& parameters) {
  logEventWithOrigin("app", name, parameters);
}

void KVLAnalytics::logEventWithOrigin(const std::string& origin, const std::string& name,
                                      const platform::Value::Dictionary& parameters) {
  if (!KVLApp::isDefaultAppConfigured()) {
    monitor().logWithLevel(3, 25018, "Event not logged. KavrelinApp not configured.",
                           APMEventNameForDisplay(APMObject(platform::Value(name))));
    return;
  }
  if (APMHasUnbridgeableSwiftValue(parameters)) __KVLANALYTICS_UNBRIDGEABLE_SWIFT_VALUE_ERROR__();
  APMAnalytics::logEventWithOrigin(origin, name, parameters);
}

bool APMContainsObjectOfClass(const platform::Value& value, const std::string& className) {
  if (const platform::Value::Object* object = value.asObject()) {
    return platform::ClassRegistry::shared().isObjectOfClass(**object, className);
  }
  if (const platform::Value::Dictionary* dictionary = value.asDictionary()) {
    // Keys are text here; only the values can hold an object.
    return std::any_of(dictionary->begin(), dictionary->end(), [&](const auto& entry) {
      return APMContainsObjectOfClass(entry.second, className);
    });
  }
  if (const platform::Value::Array* array = value.asArray()) {
    return std::any_of(array->begin(), array->end(), [&](const platform::Value& element) {
      return APMContainsObjectOfClass(element, className);
    });
  }
  return false;
}

bool APMHasUnbridgeableSwiftValue(const platform::Value::Dictionary& parameters) {
  const std::string className = platform::SwiftValue::kClassName;
  if (!platform::ClassRegistry::shared().contains(className)) return false;
  return std::any_of(parameters.begin(), parameters.end(), [&](const auto& entry) {
    return APMContainsObjectOfClass(entry.second, className);
  });
}

extern "C" __attribute__((noinline)) void __KVLANALYTICS_UNBRIDGEABLE_SWIFT_VALUE_ERROR__() {
  monitor().logWithLevel(3, 25040,
                         "Unbridgeable Swift type logged in parameters. Break on "
                         "__KVLANALYTICS_UNBRIDGEABLE_SWIFT_VALUE_ERROR__ to debug.");
}

void KVLAnalytics::logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                              const APMObjectMap& parameters) {
  APMAnalytics::logInternalEventWithOrigin(origin, name, parameters);
}

void KVLAnalytics::setAnalyticsCollectionEnabled(bool enabled) {
  APMAnalytics::setAnalyticsEnabled(enabled, true);
}

void KVLAnalytics::setDefaultEventParameters(
    std::optional<platform::Value::Dictionary> parameters) {
  APMAnalytics::setDefaultEventParameters(std::move(parameters));
}

void KVLAnalytics::logTransaction(const APMStoreKitTransaction& transaction) {
  APMFeatureServices::current().purchaseReporter->reportTransaction(transaction);
}

bool KVLAnalytics::verifyTransactionWithDeviceVerification(std::string_view deviceVerification,
                                                           const std::optional<std::string>& uuid,
                                                           const std::string& nonce) {
  bool verified =
      APMFeatureServices::current().purchaseReporter->verifyTransactionWithDeviceVerification(
          deviceVerification, uuid, nonce);
  if (!verified) {
    monitor().logWithLevel(4, 25058, "StoreKit 2 transaction device verification failed");
  }
  return verified;
}

void KVLAnalytics::setUserPropertyString(std::optional<std::string> value,
                                         const std::string& name) {
  if (!KVLApp::isDefaultAppConfigured()) {
    monitor().logWithLevel(3, 25019, "User property not set. KavrelinApp not configured.",
                           APMUserPropertyNameForDisplay(APMObject(platform::Value(name))));
    return;
  }
  APMAnalytics::setUserPropertyString(
      value ? std::optional<platform::Value>(platform::Value(*value)) : std::nullopt, name);
}

std::string KVLAnalytics::addLogEventListener(APMAnalytics::Listener listener) {
  return APMAnalytics::addLogEventListener(std::move(listener));
}

void KVLAnalytics::removeLogEventListener(const std::string& token) {
  APMAnalytics::removeLogEventListener(token);
}

void KVLAnalytics::setLogEventInterceptor(APMMeasurement::Interceptor interceptor) {
  APMAnalytics::setLogEventInterceptor(std::move(interceptor));
}

void KVLAnalytics::logEventWithOrigin(const std::string& origin, bool isPublicEvent,
                                      const std::string& name, const APMObjectMap& parameters,
                                      double timestamp, bool ignoreEnabled,
                                      bool ignoreInterceptor) {
  APMAnalytics::logEventWithOrigin(origin, isPublicEvent, name, parameters, timestamp,
                                   ignoreEnabled, ignoreInterceptor);
}

void KVLAnalytics::notifyEventListeners(const APMEvent& event) {
  APMAnalytics::notifyEventListeners(event);
}

void KVLAnalytics::setOpenURLListener(APMAnalytics::OpenURLListener listener) {
  APMAnalytics::setOpenURLListener(std::move(listener));
}

void KVLAnalytics::handleOpenURL(const std::string& url) { APMAnalytics::handleOpenURL(url); }

void KVLAnalytics::handleUserActivity(const OULAppDelegateInterceptor::UserActivity& userActivity) {
  APMAnalytics::handleUserActivity(userActivity);
}

void KVLAnalytics::handleEventsForBackgroundURLSession(const std::string& identifier,
                                                       std::function<void()> completionHandler) {
  APMAnalytics::handleEventsForBackgroundURLSession(identifier, std::move(completionHandler));
}

void KVLAnalytics::dispatchAsyncOnSerialQueue(platform::Block block) {
  APMAnalytics::dispatchAsyncOnSerialQueue(std::move(block));
}

void KVLAnalytics::queueOperationWithBlock(platform::Block block) {
  APMAnalytics::queueOperationWithBlock(std::move(block));
}

void KVLAnalytics::unsuspendOperationQueue() { APMAnalytics::unsuspendOperationQueue(); }

double KVLAnalytics::loadTimestamp() { return APMAnalytics::loadTimestamp(); }

void KVLAnalytics::notCalled() {}

void KVLAnalytics::startWithConfiguration(
    const std::shared_ptr<KVLAnalyticsConfiguration>& configuration, const KVLOptions& options) {
  platform::Value::Dictionary dictionary;
  if (configuration)
    dictionary["KAVRELIN_ANALYTICS_CONFIGURATION"] = platform::Value(configuration);
  dictionary["KAVRELIN_ANALYTICS_COLLECTION_DEACTIVATED"] =
      platform::Value(options.isAnalyticsCollectionDeactivated());
  dictionary["KAVRELIN_ANALYTICS_COLLECTION_ENABLED"] =
      platform::Value(options.isAnalyticsCollectionEnabled());
  dictionary["app_measurement_log_tag"] = platform::Value(std::string(kKVLLoggerAnalytics));
  APMAnalytics::startWithAppID(options.orvaneAppID(), "ka", dictionary);
  updateKavrelinInstallationID();
  observeKavrelinInstallationIDChanges();
}

void KVLAnalytics::updateKavrelinInstallationID() {
  KVLInstallations::installations()->installationIDWithCompletion(
      [](std::optional<std::string> identifier, std::optional<KVLInstallations::Error> error) {
        if (!identifier && error) {
          monitor().logWithLevel(4, 25038, "Failed to get Installation ID.", error->description);
        }
        if (std::shared_ptr<APMIdentity> identity = APMIdentity::sharedInstance()) {
          identity->setKavrelinInstallationID(identifier.value_or(""));
        }
      });
}

void KVLAnalytics::observeKavrelinInstallationIDChanges() {
  platform::NotificationCenter& center = platform::NotificationCenter::defaultCenter();
  std::lock_guard<std::mutex> lock(observerMutex());
  if (installationObserver() != 0) center.removeObserver(installationObserver());
  installationObserver() = center.addObserverForName(
      KVLInstallations::kInstallationIDDidChangeNotification, nullptr, nullptr,
      [](const platform::Notification&) { updateKavrelinInstallationID(); });
}

std::shared_ptr<KVLAnalytics> KVLAnalytics::sharedInstance() {
  static std::shared_ptr<KVLAnalytics>& instance =
      *new std::shared_ptr<KVLAnalytics>(std::make_shared<KVLAnalytics>());
  return instance;
}

std::string KVLAnalytics::topLevelVersion() { return KVLKavrelinVersion(); }

void KVLAnalyticsRegisterLibrary() {
  APMAnalytics::load();
  APMMeasurement::subscribeForAppDidFinishLaunchingNotifications();
  platform::ClassRegistry::shared().registerClass("KVLAnalytics", [] {
    return std::shared_ptr<platform::RuntimeObject>(KVLAnalytics::sharedInstance());
  });
  KVLAnalyticsConnector::load();
}

// --- Consent, user identifier, sessions, app instance identifier, reset ---

void KVLAnalytics::setUserID(const std::optional<platform::Value>& userID) {
  APMAnalytics::setUserID(userID);
}

void KVLAnalytics::setSessionTimeoutInterval(double seconds) {
  APMAnalytics::setSessionTimeoutInterval(seconds);
}

void KVLAnalytics::sessionIDWithCompletion(APMAnalytics::SessionIDCompletion completion) {
  APMAnalytics::sessionIDWithCompletion(std::move(completion));
}

std::optional<std::string> KVLAnalytics::appInstanceID() { return APMAnalytics::appInstanceID(); }

void KVLAnalytics::resetAnalyticsData() { APMAnalytics::resetAnalyticsData(); }

void KVLAnalytics::setConsent(const platform::Value::Dictionary& consent) {
  APMAnalytics::setConsent(consent, "consent_settings_3p");
}

void KVLAnalytics::userPropertiesIncludingInternal(bool includeInternal,
                                                   std::shared_ptr<platform::DispatchQueue> queue,
                                                   APMAnalytics::UserPropertiesCallback callback) {
  APMAnalytics::userPropertiesIncludingInternal(includeInternal, std::move(queue),
                                                std::move(callback));
}

void KVLAnalytics::logInternalEventWithOriginNameParameters(const std::string& origin,
                                                            const std::string& name,
                                                            const APMObjectMap& parameters) {
  APMAnalytics::sharedInstance()->logInternalEventWithOriginNameParameters(origin, name,
                                                                           parameters);
}

void KVLAnalytics::setInternalUserProperty(const std::optional<APMObject>& value,
                                           const std::string& name, const std::string& origin) {
  APMAnalytics::setInternalUserProperty(value, name, origin);
}

void KVLAnalytics::maxUserPropertiesForOrigin(const std::string& origin,
                                              std::shared_ptr<platform::DispatchQueue> queue,
                                              APMAnalytics::MaxUserPropertiesCallback callback) {
  APMAnalytics::maxUserPropertiesForOrigin(origin, std::move(queue), std::move(callback));
}

// --- On-device conversion user data ---

namespace {

bool isConfigured(int64_t code, const char* message) {
  if (KVLApp::isDefaultAppConfigured()) return true;
  monitor().logWithLevel(3, code, message);
  return false;
}

// The hashed-value rule: a length other than 32 is logged; 64 bytes are hexadecimal text.
std::string hashedValue(const std::string& value, int64_t code, const char* message) {
  if (value.size() != 32) monitor().logWithLevel(4, code, message);
  if (value.size() == 64) return APMHexStringDataToBytes(value);
  return value;
}

}  // namespace

std::string APMHexStringDataToBytes(std::string_view text) {
  std::string bytes;
  for (size_t at = 0; at < text.size(); at += 2) {
    unsigned value = 0;
    for (size_t i = at; i < std::min(at + 2, text.size()); ++i) {
      char c = text[i];
      int digit = c >= '0' && c <= '9'   ? c - '0'
                  : c >= 'a' && c <= 'f' ? c - 'a' + 10
                  : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                         : -1;
      if (digit < 0) break;
      value = value * 16 + static_cast<unsigned>(digit);
    }
    bytes.push_back(static_cast<char>(value & 0xff));
  }
  return bytes;
}

void KVLAnalytics::initiateOnDeviceConversionMeasurementWithEmailAddress(
    const std::optional<std::string>& emailAddress) {
  if (!isConfigured(25051, "Email address not set. KavrelinApp not configured.")) return;
  APMAnalytics::setUserData(
      {{"email_address", platform::Value(emailAddress.value_or(std::string()))}});
}

void KVLAnalytics::initiateOnDeviceConversionMeasurementWithPhoneNumber(
    const std::optional<std::string>& phoneNumber) {
  if (!isConfigured(25052, "Phone number not set. KavrelinApp not configured.")) return;
  APMAnalytics::setUserData(
      {{"phone_number", platform::Value(phoneNumber.value_or(std::string()))}});
}

void KVLAnalytics::initiateOnDeviceConversionMeasurementWithHashedEmailAddress(
    const std::string& hashedEmailAddress) {
  if (!isConfigured(25053, "Hashed email address not set. KavrelinApp not configured.")) return;
  APMAnalytics::setUserData(
      {{"hashed_email_address",
        platform::Value::bytes(hashedValue(
            hashedEmailAddress, 25056, "Hashed email address should be 32 bytes (256 bits)"))}});
}

void KVLAnalytics::initiateOnDeviceConversionMeasurementWithHashedPhoneNumber(
    const std::string& hashedPhoneNumber) {
  if (!isConfigured(25054, "Hashed phone number not set. KavrelinApp not configured.")) return;
  APMAnalytics::setUserData(
      {{"hashed_phone_number",
        platform::Value::bytes(hashedValue(hashedPhoneNumber, 25057,
                                           "Hashed phone number should be 32 bytes (256 bits)"))}});
}
