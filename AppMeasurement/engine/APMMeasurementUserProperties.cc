// User properties: storing with the per-origin limits, removing, reading, and "_npa".
#include "AppMeasurement/engine/APMMeasurement.h"
#include "AppMeasurement/engine/APMMeasurementSupport.h"
#include "AppMeasurement/foundation/APMConsentSettingsUtil.h"
#include "AppMeasurement/foundation/APMDisplayNames.h"
#include "AppMeasurement/foundation/APMIdentity.h"
#include "AppMeasurement/foundation/APMParameterErrors.h"
#include "AppMeasurement/foundation/APMPersistedConfig.h"
#include "AppMeasurement/foundation/APMRemoteConfig.h"
#include "AppMeasurement/foundation/APMScheduler.h"
#include "AppMeasurement/foundation/APMUserAttribute.h"
#include "AppMeasurement/storage/APMDatabase.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Text.h"

using apm_engine::monitor;

namespace {
constexpr int64_t kMaxPropertiesPerOrigin = 25;
// Never destroyed: worker-queue blocks may read it while the process exits.
const std::string& kAdPersonalization = *new std::string("ad_personalization");

bool hasConsentEntry(const std::optional<platform::Value::Dictionary>& settings,
                     const std::string& type) {
  return settings && settings->count(type) > 0;
}

APMLogContext errorContext(const APMErrorSlot& error) {
  return error ? APMLogContext(*error) : APMLogContext();
}
}  // namespace

void APMMeasurement::setUserAttribute(APMUserAttribute attribute) {
  schedule("APMMeasurement:3011", [attribute = std::move(attribute)](APMMeasurement& engine) {
    engine.setUserAttributeOnWorkerQueue(attribute);
  });
}

void APMMeasurement::removeUserAttribute(APMUserAttribute attribute) {
  schedule("APMMeasurement:2966", [attribute = std::move(attribute)](APMMeasurement& engine) {
    engine.removeUserAttributeOnWorkerQueue(attribute);
  });
}

void APMMeasurement::userAttributeWithName(
    const std::string& name, std::function<void(std::optional<APMUserAttribute>)> callback) {
  if (!callback) {
    monitor().logWithLevel(0, 23088, "userAttributeWithName callback is nil");
    return;
  }
  schedule("APMMeasurement:3152", [name, callback](APMMeasurement& engine) {
    APMErrorSlot error;
    std::optional<APMUserAttribute> attribute =
        engine.database_ ? engine.database_->userAttributeWithName(name, &error) : std::nullopt;
    if (!attribute && error) {
      monitor().logWithLevel(1, 23089, "Unable to get user attribute by name. Name", name);
    }
    platform::DispatchQueue::global()->async([callback, attribute] { callback(attribute); });
  });
}

void APMMeasurement::maxUserPropertiesForOrigin(const std::string& origin,
                                                std::function<void(int32_t)> callback) {
  if (origin.empty()) {
    monitor().logWithLevel(0, 23093, "Origin for querying MaxUserProperties cannot be nil");
    return;
  }
  if (!callback) {
    monitor().logWithLevel(0, 23094, "MaxUserProperties callback cannot be nil. Origin", origin);
    return;
  }
  platform::DispatchQueue::global()->async(
      [callback] { callback(static_cast<int32_t>(kMaxPropertiesPerOrigin)); });
}

void APMMeasurement::sessionIDWithCompletion(
    std::function<void(int64_t, std::optional<APMError>)> completion) {
  if (!completion) return;
  auto fail = [completion](const char* reason) { completion(0, apm_errorWithCode(13, reason)); };
  std::weak_ptr<APMMeasurement> weak = weak_from_this();
  scheduler_->scheduleOnWorkerQueueBlockID("APMMeasurement:3360", [weak, completion, fail] {
    std::shared_ptr<APMMeasurement> engine = weak.lock();
    if (!engine) return fail("Analytics deallocated");
    if (!engine->isEnabled()) return fail("Analytics disabled");
    if (engine->features_.sessionReporter->isSessionExpired()) return fail("Session expired");
    std::optional<APMUserAttribute> sid =
        engine->database_ ? engine->database_->userAttributeWithName("_sid", nullptr)
                          : std::nullopt;
    if (!sid || !sid->value().isInt64()) return fail("Session ID not found");
    completion(sid->value().int64Value(), std::nullopt);
  });
}

void APMMeasurement::userPropertiesIncludingInternal(
    bool includeInternal, std::function<void(platform::Value::Dictionary)> callback) {
  if (!callback) {
    monitor().logWithLevel(0, 23090, "Unable to retrieve user properties. Callback is nil");
    return;
  }
  schedule("APMMeasurement:3207", [includeInternal, callback](APMMeasurement& engine) {
    platform::Value::Dictionary result;
    APMErrorSlot error;
    std::optional<std::vector<APMUserAttribute>> properties =
        engine.database_
            ? engine.database_->userAttributesIncludingInternal(includeInternal, &error)
            : std::nullopt;
    if (!properties) {
      monitor().logWithLevel(1, 23091, "Unable to retrieve user properties. Error",
                             errorContext(error));
    }
    for (const APMUserAttribute& property : properties.value_or(std::vector<APMUserAttribute>{})) {
      const APMValue& value = property.value();
      if (value.isString())
        result.emplace(property.name(), platform::Value(*value.stringValue()));
      else if (value.isInt64())
        result.emplace(property.name(), platform::Value(value.int64Value()));
      else if (value.isDouble())
        result.emplace(property.name(), platform::Value(value.doubleValue()));
    }
    platform::DispatchQueue::global()->async([callback, result] { callback(result); });
  });
}

void APMMeasurement::setUserAttributeOnWorkerQueue(const APMUserAttribute& attribute) {
  APMScheduler::checkOnBackgroundThreadWithMethodName("setUserAttributeOnWorkerQueue:");
  if (!isEnabled()) {
    monitor().logWithLevel(7, 23081, "Analytics is disabled. User property not set");
    return;
  }
  setUserPropertyInDatabaseOnWorkerQueue(attribute);
}

void APMMeasurement::removeUserAttributeOnWorkerQueue(const APMUserAttribute& attribute) {
  APMScheduler::checkOnBackgroundThreadWithMethodName("removeUserAttributeOnWorkerQueue:");
  if (!isEnabled()) {
    monitor().logWithLevel(7, 23076, "Analytics is disabled. User property not removed");
    return;
  }
  if (!database_) return;
  if (attribute.name() == "_id") identity_->resetSessionStitchingToken();
  APMErrorSlot error;
  if (database_->deleteUserAttributeWithName(attribute.name(), &error)) {
    monitor().logWithLevel(7, 23078, "User property removed. Name", attribute.name());
  } else {
    monitor().logWithLevel(1, 23077, "Unable to remove user property. Name, error",
                           attribute.name(), errorContext(error));
  }
}

bool APMMeasurement::setUserPropertyInDatabaseOnWorkerQueue(const APMUserAttribute& attribute) {
  APMScheduler::checkOnBackgroundThreadWithMethodName("setUserPropertyInDatabaseOnWorkerQueue:");
  if (!database_) return false;
  APMErrorSlot error;
  std::optional<bool> exists = database_->containsUserAttributeWithName(attribute.name(), &error);
  if (!exists) {
    monitor().logWithLevel(1, 23082, "Unable to query existence of user property. Name, error",
                           attribute.name(), errorContext(error));
    return false;
  }
  if (attribute.name() == "_id" && *exists) {
    std::optional<APMUserAttribute> current = database_->userAttributeWithName("_id", &error);
    if (current && current->value().description() != attribute.value().description()) {
      identity_->resetSessionStitchingToken();
      database_->deleteUserAttributeWithName("_lair", nullptr);
    }
  }
  if (attribute.name() == "_npa") {
    // Read as a 64-bit integer: a double is truncated toward zero (0.5 is 0, personalised),
    // as the platform's number reading does; any other kind reads as the value's integer,
    // which is 0 unless it holds one.
    const APMValue& value = attribute.value();
    updateAdPersonalizationConsentFromNPAValue(
        value.isDouble() ? platform::Value(value.doubleValue()).numberAsInteger().value_or(0)
                         : value.int64Value());
  }
  if (!*exists) {
    bool isPublic = attribute.isPublic();
    std::optional<int64_t> count =
        isPublic ? database_->publicUserAttributeCount(&error)
                 : database_->userAttributeCountForOrigin(attribute.origin(), &error);
    if (!count) {
      monitor().logWithLevel(1, 23083, "Unable to query user property count. Origin, error",
                             attribute.origin(), errorContext(error));
      return false;
    }
    int64_t limit = isPublic ? currentConfig()->maxPublicUserProperties() : kMaxPropertiesPerOrigin;
    if (*count >= limit) {
      monitor().logWithLevel(3, 23084,
                             "Unable to set user property. Reached limit on set user properties "
                             "for origin. Origin, name, value",
                             attribute.origin(), attribute.name(), attribute.value().description());
      // Inside a transaction that may yet run again, once its outcome is final.
      database_->runWhenSettled([name = attribute.name(), value = attribute.value()] {
        apm_engine::logErrorEvent(9, name, 24, APMObject(value));
      });
      return false;
    }
  }
  if (!database_->updateUserAttribute(attribute, &error)) {
    monitor().logWithLevel(1, 23085, "Unable to set user property. Name, value, error",
                           attribute.name(), attribute.value().description(), errorContext(error));
    return false;
  }
  monitor().logWithLevel(7, 23087, "User property set. Name, value", attribute.name(),
                         attribute.value().description());
  return true;
}

std::optional<int64_t> APMMeasurement::shouldDisableAdPersonalization() {
  if (std::optional<platform::Value> allow = persistedConfig_->allowPersonalizedAds()) {
    if (std::optional<bool> truth = allow->numberAsBool()) return *truth ? 0 : 1;
  }
  if (hasConsentEntry(APMConsentSettingsUtil::consentSettings(), kAdPersonalization)) {
    if (std::optional<int64_t> personalization = APMConsentSettingsUtil::adPersonalization()) {
      return *personalization ? 0 : 1;
    }
  }
  if (std::shared_ptr<platform::Bundle> bundle = platform::Bundle::mainBundle()) {
    std::optional<platform::Value> plist = bundle->objectForInfoDictionaryKey(
        "ORVANE_ANALYTICS_DEFAULT_ALLOW_AD_PERSONALIZATION_SIGNALS");
    if (plist) {
      std::optional<bool> truth = plist->isNumber() ? plist->numberAsBool() : std::nullopt;
      if (!truth) return 0;
      adPersonalizationFromInfoPlist_ = true;
      return *truth ? 0 : 1;
    }
  }
  std::optional<platform::Value::Dictionary> defaults = APMConsentSettingsUtil::defaultSettings();
  if (hasConsentEntry(defaults, kAdPersonalization)) {
    const std::string* status = defaults->at(kAdPersonalization).asString();
    std::string lowered = status ? platform::Text::lowercase(*status) : std::string();
    if (lowered == "denied") return 1;
    if (lowered == "granted") return 0;
  }
  return std::nullopt;
}

void APMMeasurement::updateAdPersonalizationConsentFromNPAValue(std::optional<int64_t> npa) {
  std::optional<int64_t> current = APMConsentSettingsUtil::adPersonalization();
  // adPersonalization: 1 granted, 0 denied; "_npa": 1 not personalised, 0 personalised.
  if (npa && current && (*npa != 0) == (*current == 0)) return;
  bool denied = npa && *npa != 0;
  APMConsentSettingsUtil::updateSettings(
      {{kAdPersonalization, platform::Value(std::string(denied ? "denied" : "granted"))}});
  if (persistedConfig_->allowPersonalizedAds()) {
    APMConsentSettingsUtil::setDiagnosticSource(5, kAdPersonalization);
  } else if (adPersonalizationFromInfoPlist_) {
    APMConsentSettingsUtil::setDiagnosticSource(3, kAdPersonalization);
  } else if (hasConsentEntry(APMConsentSettingsUtil::defaultSettings(), kAdPersonalization)) {
    APMConsentSettingsUtil::setDiagnosticSource(1, kAdPersonalization);
  }
}

bool APMMeasurement::shouldAllowAdNetworkRegistration() {
  std::shared_ptr<platform::Bundle> bundle = platform::Bundle::mainBundle();
  std::optional<platform::Value> value =
      bundle ? bundle->objectForInfoDictionaryKey(
                   "ORVANE_ANALYTICS_REGISTRATION_WITH_AD_NETWORK_ENABLED")
             : std::nullopt;
  if (value && value->isNumber()) return value->numberAsBool().value_or(true);
  return true;
}

void APMMeasurement::setLastAdvertisingIDResetUserPropertyOnWorkerQueue(double now) {
  APMScheduler::checkOnBackgroundThreadWithMethodName(
      "setLastAdvertisingIDResetUserPropertyOnWorkerQueue");
  if (!database_) return;
  APMErrorSlot error;
  std::optional<bool> hasID = database_->containsUserAttributeWithName("_id", &error);
  if (!hasID || !*hasID) return;
  std::optional<bool> hasMarker = database_->containsUserAttributeWithName("_lair", &error);
  if (!hasMarker || *hasMarker) return;
  if (std::optional<APMUserAttribute> lair =
          APMUserAttribute::create("auto", "_lair", APMValue(int64_t{1}), now)) {
    setUserAttributeOnWorkerQueue(*lair);
  }
  // Inside an event's write transaction: should it roll back, "_lair" is to be written again,
  // by the next event and by the runs again of its group (see lairRequestForRun).
  database_->undoOnRollback([this] {
    identity_->setShouldSetLastAdvertisingIDResetUserProperty(true);
    lairRequestLeft_ = true;
  });
  identity_->setShouldSetLastAdvertisingIDResetUserProperty(false);
  lairRequestLeft_ = false;
}

bool APMMeasurement::hasUserPropertyUserIDOnWorkerQueue() {
  APMScheduler::checkOnBackgroundThreadWithMethodName("hasUserPropertyUserIDOnWorkerQueue");
  if (!database_) return false;
  return database_->containsUserAttributeWithName("_id", nullptr).value_or(false);
}

void APMMeasurement::setPersonalizedAdsUserPropertyOnWorkerQueue() {
  APMScheduler::checkOnBackgroundThreadWithMethodName(
      "setPersonalizedAdsUserPropertyOnWorkerQueue");
  if (!database_) return;
  APMErrorSlot error;
  std::optional<APMUserAttribute> current = database_->userAttributeWithName("_npa", &error);
  if (!current && error) {
    monitor().logWithLevel(1, 23172, "Unable to read personalized ads user property. Error",
                           errorContext(error));
    return;
  }
  std::optional<int64_t> disable = shouldDisableAdPersonalization();
  if (!disable) {
    if (!current) return;
    if (database_->deleteUserAttributeWithName("_npa", &error)) {
      monitor().logWithLevel(4, 23180,
                             "No value set for personalized ads. Removing user property.");
      APMConsentSettingsUtil::setDiagnosticSource(0, kAdPersonalization);
    } else {
      monitor().logWithLevel(1, 23173,
                             "Unable to remove personalized ads user property in the database. "
                             "Error",
                             errorContext(error));
    }
    return;
  }
  if (!APMConsentSettingsUtil::adPersonalization())
    updateAdPersonalizationConsentFromNPAValue(disable);
  if (current && current->value().isInt64() && current->value().int64Value() == *disable) return;
  std::optional<APMUserAttribute> npa =
      APMUserAttribute::create("auto", "_npa", APMValue(*disable), apm_engine::now());
  if (npa) setUserAttributeOnWorkerQueue(*npa);
}
