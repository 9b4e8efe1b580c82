// The public-call layer's consent, reset, user-property, user-identifier, session and user-data
// calls: consent and the reset bookkeeping live in the settings suite "APMAnalyticsSuiteName";
// everything that reaches the engine is queued behind the earlier calls.
#include <cmath>

#include "AppMeasurement/engine/APMAnalytics.h"
#include "AppMeasurement/engine/APMFeatureServices.h"
#include "AppMeasurement/engine/APMMeasurementSupport.h"
#include "AppMeasurement/foundation/APMConsentSettingsUtil.h"
#include "AppMeasurement/foundation/APMDataTypeValidator.h"
#include "AppMeasurement/foundation/APMIdentity.h"
#include "AppMeasurement/foundation/APMParameterErrors.h"
#include "AppMeasurement/foundation/APMPersistedConfig.h"
#include "AppMeasurement/foundation/APMRemoteConfig.h"
#include "AppMeasurement/foundation/APMUserAttribute.h"
#include "AppMeasurement/foundation/APMUserDefaults.h"
#include "platform/foundation/Text.h"

using apm_engine::monitor;
using Dictionary = platform::Value::Dictionary;

namespace {

constexpr const char* kConsentSettings = "consent_settings";
constexpr const char* kConsentSettings3P = "consent_settings_3p";
constexpr const char* kConsentSettingsTCF = "consent_settings_tcf";
constexpr const char* kConsentSource = "consent_source";
constexpr const char* kConsentSettingsOnStart = "consent_settings_on_start";
constexpr const char* kDeferredConsentReset = "deferred_consent_reset";
constexpr const char* kResetRetryCount = "reset_retry_count";
constexpr const char* kAppInstanceIDAfterReset = "app_instance_id_after_reset";
constexpr const char* kNeedFirstOpenAfterReset = "need_first_open_after_reset";
constexpr int64_t kNoConsentSource = 100;

std::optional<Dictionary> storedDictionary(const char* key) {
  return APMAnalytics::settings()->dictionaryForKey(key);
}

// A string's boolean reading: a leading "Y", "y", "T", "t" or digit 1 to 9.
bool stringBoolValue(const std::string& text) {
  if (text.empty()) return false;
  char first = text.front();
  return first == 'Y' || first == 'y' || first == 'T' || first == 't' ||
         (first >= '1' && first <= '9');
}

bool valueBoolReading(const platform::Value& value) {
  if (const std::string* text = value.asString()) return stringBoolValue(*text);
  return value.numberAsBool().value_or(false);
}

void logUserPropertyNameError(int64_t failure, const std::string& name) {
  APMObject nameObject{platform::Value(name)};
  APMLogErrorEventWithValue(failure == APMDataTypeValidator::kFailureReserved ? 15 : 6, nameObject,
                            24, &nameObject);
}

std::shared_ptr<APMMeasurement> engineIfStarted() {
  std::shared_ptr<APMMeasurement> engine = APMMeasurement::sharedInstance();
  return engine && engine->didInitializeComponents() ? engine : nullptr;
}

// The ad-personalization switch: persisted, consent unset on removal, and "_npa" recomputed.
void applyAllowPersonalizedAds(const std::optional<platform::Value>& value) {
  bool enabled = APMAnalytics::isEnabled();
  if (!enabled) {
    monitor().logWithLevel(7, 25033,
                           "Personalized Ads property changed while Analytics is disabled");
  }
  APMPersistedConfig::sharedInstance()->setAllowPersonalizedAds(
      value ? std::optional<platform::Value>(platform::Value(valueBoolReading(*value)))
            : std::nullopt);
  if (!value && APMConsentSettingsUtil::adPersonalization()) {
    APMConsentSettingsUtil::unsetAdPersonalization();
  }
  if (!enabled) return;
  std::shared_ptr<APMMeasurement> engine = APMMeasurement::sharedInstance();
  if (!engine) return;
  std::optional<int64_t> npa = engine->shouldDisableAdPersonalization();
  std::optional<APMUserAttribute> attribute =
      APMUserAttribute::create("auto", "_npa", APMValue(npa.value_or(0)), apm_engine::now());
  if (!attribute) return;
  if (npa)
    engine->setUserAttribute(*attribute);
  else
    engine->removeUserAttribute(*attribute);
}

}  // namespace

// --- Consent ---

void APMAnalytics::setConsent(const Dictionary& consent) { setConsent(consent, kConsentSettings); }

void APMAnalytics::setConsent(const Dictionary& consent, const std::string& key) {
  if (APMConsentSettingsUtil::consentSource() == kNoConsentSource) loadPersistedConsentSettings();
  Dictionary settings = APMConsentSettingsUtil::consentSettingsFromDictionary(consent);
  for (auto entry = settings.begin(); entry != settings.end();) {
    const std::string* status = entry->second.asString();
    if (status != nullptr && (*status == "granted" || *status == "denied")) {
      ++entry;
      continue;
    }
    monitor().logWithLevel(
        3, 25042,
        "Valid consent values are 'granted' and 'denied'. Ignoring invalid consent setting",
        entry->second);
    entry = settings.erase(entry);
  }
  if (settings.empty()) {
    monitor().logWithLevel(3, 25041, "Discarding empty consent settings");
    return;
  }
  int64_t source = key == kConsentSettingsTCF ? 5 : key == kConsentSettings3P ? 10 : 30;
  if (!APMConsentSettingsUtil::isConsentSourceHigherPriority(source)) {
    monitor().logWithLevel(3, 25043, "Ignoring lower priority consent settings");
    return;
  }
  bool adUserDataDenied = APMConsentSettingsUtil::isAdUserDataDenied();
  APMConsentSettingsUtil::updateSettings(settings, source);
  persistConsentSettings(APMConsentSettingsUtil::consentSettings().value_or(Dictionary{}), source);
  if (key == kConsentSettings3P) {
    monitor().logWithLevel(8, 25055, APMConsentSettingsUtil::description());
  }
  if (!APMMeasurement::remoteConfig()->consentDefaults().empty() &&
      APMConsentSettingsUtil::didAdUserDataConsentChange(adUserDataDenied)) {
    logInternalEventWithOrigin("auto", "_dcu",
                               APMObjectMap{{"_r", APMObject(APMValue(int64_t{1}))}});
  }
  if (settings.contains("ad_personalization")) {
    if (std::optional<int64_t> personalization = APMConsentSettingsUtil::adPersonalization()) {
      setUserPropertyString(platform::Value(*personalization == 1 ? "YES" : "NO"),
                            "allow_personalized_ads");
    }
  }
}

void APMAnalytics::persistConsentSettings(const Dictionary& consent, int64_t source) {
  const char* key = source == 5   ? kConsentSettingsTCF
                    : source < 21 ? kConsentSettings3P
                                  : kConsentSettings;
  settings()->setObject(platform::Value(consent), key);
  settings()->setInteger(source, kConsentSource);
}

int64_t APMAnalytics::persistedConsentSource() {
  std::optional<platform::Value> stored = settings()->numberForKey(kConsentSource);
  if (!stored) return kNoConsentSource;
  return settings()->integerForKey(kConsentSource);
}

void APMAnalytics::loadPersistedConsentSettings() {
  int64_t source = persistedConsentSource();
  if (source == kNoConsentSource) return;
  struct Layer {
    const char* key;
    int64_t cap;
  };
  for (const Layer& layer : {Layer{kConsentSettingsTCF, 5}, Layer{kConsentSettings3P, 20},
                             Layer{kConsentSettings, 40}}) {
    if (std::optional<Dictionary> stored = storedDictionary(layer.key)) {
      APMConsentSettingsUtil::setConsentSettings(*stored);
      source = std::min(source, layer.cap);
      break;
    }
  }
  APMConsentSettingsUtil::setConsentSource(source);
}

void APMAnalytics::clearConsent() {
  for (const char* key : {kConsentSource, kConsentSettings3P, kConsentSettings,
                          kConsentSettingsOnStart, kDeferredConsentReset, kConsentSettingsTCF}) {
    settings()->removeObjectForKey(key);
  }
  APMConsentSettingsUtil::clearAllSettings();
}

std::optional<Dictionary> APMAnalytics::consentSettings1P() {
  return storedDictionary(kConsentSettings);
}
std::optional<Dictionary> APMAnalytics::consentSettings3P() {
  return storedDictionary(kConsentSettings3P);
}
std::optional<Dictionary> APMAnalytics::consentSettingsTCF() {
  return storedDictionary(kConsentSettingsTCF);
}
std::optional<Dictionary> APMAnalytics::consentSettings1PStart() {
  return storedDictionary(kConsentSettingsOnStart);
}
void APMAnalytics::removeStartUpConsentSettings() {
  settings()->removeObjectForKey(kConsentSettingsOnStart);
}
std::optional<platform::Value> APMAnalytics::deferredResetOnDeniedConsent() {
  return settings()->objectForKey(kDeferredConsentReset);
}
void APMAnalytics::removeDeferredResetOnDeniedConsent() {
  settings()->removeObjectForKey(kDeferredConsentReset);
}

// --- Reset and the app instance identifier ---

std::optional<std::string> APMAnalytics::appInstanceIDAfterReset() {
  return settings()->stringForKey(kAppInstanceIDAfterReset);
}

void APMAnalytics::setAppInstanceIDAfterReset(const std::optional<std::string>& identifier) {
  if (identifier)
    settings()->setObject(platform::Value(*identifier), kAppInstanceIDAfterReset);
  else
    settings()->removeObjectForKey(kAppInstanceIDAfterReset);
}

void APMAnalytics::removeNeedFirstOpenAfterReset() {
  settings()->removeObjectForKey(kNeedFirstOpenAfterReset);
}

void APMAnalytics::resetAnalyticsData() {
  setLoadTimestamp(apm_engine::now());
  setResetRetryCount(resetRetryCount() + 1);
  setNeedFirstOpenAfterReset(true);
  std::string made = APMIdentity::randomAppInstanceID();
  if (made.empty()) {
    monitor().logWithLevel(1, 25039, "Cannot generate a new app instance ID");
    return;
  }
  std::optional<std::string> identifier;
  if (!APMConsentSettingsUtil::isAnalyticsStorageDenied()) {
    identifier = made;
    setAppInstanceIDAfterReset(identifier);
  }
  queueOperationWithBlock([identifier] {
    std::shared_ptr<APMMeasurement> engine = APMMeasurement::sharedInstance();
    bool reset = engine && engine->resetAnalyticsDataWithAppInstanceID(identifier);
    if (!reset) {
      // The keys stay: the next engine start retries.
      monitor().logWithLevel(1, 25037, "Failed to reset Analytics data");
      return;
    }
    setResetRetryCount(0);
    if (appInstanceIDAfterReset() == identifier) setAppInstanceIDAfterReset(std::nullopt);
  });
}

std::optional<std::string> APMAnalytics::appInstanceID() {
  if (APMConsentSettingsUtil::isAnalyticsStorageDenied()) return std::nullopt;
  std::optional<std::string> afterReset = appInstanceIDAfterReset();
  if (afterReset && !afterReset->empty()) return afterReset;
  std::shared_ptr<APMIdentity> identity = APMIdentity::sharedInstance();
  return identity ? identity->appInstanceID() : std::nullopt;
}

// --- User properties and the user identifier ---

void APMAnalytics::setUserPropertyString(const std::optional<platform::Value>& value,
                                         const std::string& name) {
  if (name == "allow_personalized_ads") {
    queueOperationWithBlock([value] { applyAllowPersonalizedAds(value); });
    return;
  }
  if (!value || value->isNull()) {
    removeUserAttributeForName(name);
    return;
  }
  int64_t failure = 0;
  if (!APMDataTypeValidator::isValidPublicUserAttributeName(APMObject(platform::Value(name)),
                                                            &failure)) {
    logUserPropertyNameError(failure, name);
    return;
  }
  if (!value->isString()) {
    monitor().logWithLevel(0, 25003, "User property must be NSString. Value", *value);
    return;
  }
  APMValue typed(*value->asString());
  if (!APMDataTypeValidator::isValidPublicUserAttributeValue(APMObject(typed), &failure)) {
    if (failure == APMDataTypeValidator::kFailureTooLong) {
      APMObject nameObject{platform::Value(name)};
      APMObject valueObject{typed};
      APMLogErrorEventWithValue(7, nameObject, 24, &valueObject);
    }
    return;
  }
  setInternalUserProperty(APMObject(typed), name, "app");
}

void APMAnalytics::setUserAttributeNumber(const platform::Value& number, const std::string& name) {
  int64_t failure = 0;
  if (!APMDataTypeValidator::isValidPublicUserAttributeName(APMObject(platform::Value(name)),
                                                            &failure)) {
    logUserPropertyNameError(failure, name);
    return;
  }
  if (!number.isNumber()) return;
  APMValue typed =
      number.isReal() ? APMValue(*number.asReal()) : APMValue(number.numberAsInteger().value_or(0));
  setInternalUserProperty(APMObject(typed), name, "auto");
}

void APMAnalytics::removeUserAttributeForName(const std::string& name) {
  if (!APMDataTypeValidator::isValidPublicUserAttributeName(APMObject(platform::Value(name))))
    return;
  removeInternalUserAttributeForName(name);
}

void APMAnalytics::setUserID(const std::optional<platform::Value>& userID) {
  if (!userID || userID->isNull()) {
    removeInternalUserAttributeForName("_id");
    removeInternalUserAttributeForName("_lair");
    return;
  }
  if (!userID->isString()) {
    monitor().logWithLevel(0, 25004, "User ID must be NSString. User ID", *userID);
    return;
  }
  setInternalUserProperty(APMObject(platform::Value(*userID->asString())), "_id", "app");
}

void APMAnalytics::setInternalUserProperty(const std::optional<APMObject>& value,
                                           const std::string& name, const std::string& origin) {
  APMObject nameObject{platform::Value(name)};
  if (!APMDataTypeValidator::isValidInternalUserAttributeName(nameObject)) {
    APMLogErrorEventWithValue(6, nameObject, 24, &nameObject);
    return;
  }
  size_t originLength = platform::Text::utf16Length(origin);
  if (originLength < 1 || originLength > 32) {
    monitor().logWithLevel(2, 25005, "Unable to set user property. Origin is invalid. Origin, name",
                           origin, name);
    return;
  }
  if (!value || value->isNil()) {
    removeInternalUserAttributeForName(name);
    return;
  }
  std::optional<APMValue> typed = APMValue::valueFromObject(*value);
  if (!typed) return;
  int64_t failure = 0;
  if (!APMDataTypeValidator::isValidInternalUserAttributeValue(APMObject(*typed), name, &failure)) {
    if (failure == APMDataTypeValidator::kFailureTooLong) {
      APMObject valueObject{*typed};
      APMLogErrorEventWithValue(7, nameObject, 24, &valueObject);
    }
    return;
  }
  std::optional<APMUserAttribute> attribute =
      APMUserAttribute::create(origin, name, *typed, apm_engine::now());
  if (!attribute) return;
  queueOperationWithBlock([attribute = *attribute] {
    if (std::shared_ptr<APMMeasurement> engine = APMMeasurement::sharedInstance())
      engine->setUserAttribute(attribute);
  });
}

void APMAnalytics::removeInternalUserAttributeForName(const std::string& name) {
  double now = apm_engine::now();
  queueOperationWithBlock([name, now] {
    std::shared_ptr<APMMeasurement> engine = APMMeasurement::sharedInstance();
    if (!engine) return;
    // The property's value does not matter for a removal; the name rule was checked by the
    // caller.
    std::optional<APMUserAttribute> attribute =
        APMUserAttribute::create("", name, APMValue(0.0), now);
    if (!attribute) attribute = APMUserAttribute::create("auto", name, APMValue(0.0), now);
    if (attribute) engine->removeUserAttribute(*attribute);
  });
}

void APMAnalytics::userPropertiesIncludingInternal(bool includeInternal,
                                                   std::shared_ptr<platform::DispatchQueue> queue,
                                                   UserPropertiesCallback callback) {
  queueOperationWithBlock([includeInternal, queue, callback] {
    if (!callback) {
      monitor().logWithLevel(2, 25006, "Analytics userProperties callback cannot be nil");
      return;
    }
    if (!queue) {
      monitor().logWithLevel(2, 25007,
                             "Cannot query for Analytics user properties. Queue cannot be nil");
      platform::DispatchQueue::main()->async([callback] { callback({}); });
      return;
    }
    std::shared_ptr<APMMeasurement> engine = APMMeasurement::sharedInstance();
    if (!isEnabled() || !engine) {
      monitor().logWithLevel(5, 25008,
                             "Cannot query for public user properties when Analytics is disabled");
      queue->async([callback] { callback({}); });
      return;
    }
    engine->userPropertiesIncludingInternal(
        includeInternal, [queue, callback](Dictionary properties) {
          queue->async([callback, properties] { callback(properties); });
        });
  });
}

void APMAnalytics::maxUserPropertiesForOrigin(const std::string& origin,
                                              std::shared_ptr<platform::DispatchQueue> queue,
                                              MaxUserPropertiesCallback callback) {
  if (origin.empty()) {
    monitor().logWithLevel(
        2, 25009,
        "Cannot query Analytics for max user properties. Origin must be a non-empty string");
    return;
  }
  if (!queue) {
    monitor().logWithLevel(
        2, 25010, "Cannot query Analytics for max user properties. Queue cannot be nil. Origin",
        origin);
    return;
  }
  if (!callback) {
    monitor().logWithLevel(2, 25011,
                           "Cannot query Analytics for max user properties. MaxUserProperties "
                           "callback cannot be nil. Origin",
                           origin);
    return;
  }
  queueOperationWithBlock([origin, queue, callback] {
    std::shared_ptr<APMMeasurement> engine = APMMeasurement::sharedInstance();
    if (!engine) return;
    auto call = [&](auto& target) {
      if constexpr (requires { target.maxUserPropertiesForOrigin(origin, [](int32_t) {}); }) {
        target.maxUserPropertiesForOrigin(origin, [queue, callback](int32_t count) {
          queue->async([callback, count] { callback(count); });
        });
      }
    };
    call(*engine);
  });
}

// --- Sessions and user data ---

void APMAnalytics::setSessionTimeoutInterval(double seconds) {
  dispatchAsyncOnSerialQueue([seconds] {
    // NaN compares false with everything: refused with the negatives, so that it never
    // reaches the session reporter.
    if (!(seconds >= 0)) {
      monitor().logWithLevel(4, 25060,
                             "Session timeout interval cannot be set to a negative value");
      return;
    }
    if (std::shared_ptr<APMMeasurement> engine = engineIfStarted()) {
      engine->setSessionTimeoutInterval(seconds);
    } else {
      APMPersistedConfig::sharedInstance()->setSessionTimeoutValue(platform::Value(seconds));
    }
    monitor().logWithLevel(7, 25059, "Session timeout interval set. (s)", seconds);
  });
}

void APMAnalytics::sessionIDWithCompletion(SessionIDCompletion completion) {
  if (!completion) {
    monitor().logWithLevel(1, 25050, "Analytics sessionID completion cannot be nil");
    return;
  }
  SessionIDCompletion wrapper = [completion](int64_t sessionID, std::optional<APMError> error) {
    platform::DispatchQueue::global()->async(
        [completion, sessionID, error] { completion(sessionID, error); });
  };
  dispatchAsyncOnSerialQueue([wrapper] {
    if (std::shared_ptr<APMMeasurement> engine = engineIfStarted()) {
      bool handed = false;
      auto call = [&](auto& target) {
        if constexpr (requires { target.sessionIDWithCompletion(wrapper); }) {
          target.sessionIDWithCompletion(wrapper);
          handed = true;
        }
      };
      call(*engine);
      if (handed) return;
    }
    wrapper(0, apm_errorWithCode(13, "Analytics uninitialized"));
  });
}

void APMAnalytics::setScreenName(const std::optional<std::string>& screenName,
                                 const std::optional<std::string>& screenClass) {
  if (!platform::DispatchQueue::isMainThread()) {
    monitor().logWithLevel(3, 25025,
                           "setScreenName:screenClass: must be called from the main thread to "
                           "ensure that events are associated with the intended screen.");
    return;
  }
  APMFeatureServices::current().screenViewReporter->setScreenName(screenName, screenClass);
}

void APMAnalytics::setUserData(const Dictionary& userData) {
  Dictionary copy = userData;
  queueOperationWithBlockThenWait([copy] { setUserDataOnSerialQueue(copy); });
}

void APMAnalytics::setUserDataOnSerialQueue(const Dictionary& userData) {
  if (!isEnabled()) {
    monitor().logWithLevel(4, 25044, "Analytics is disabled. User data not set.");
    return;
  }
  std::shared_ptr<APMMeasurement> engine = APMMeasurement::sharedInstance();
  if (!engine) return;
  engine->setUserData(userData);
}
