// User properties: storing with the per-origin limits, removing, reading, and "_npa".
#include "AppMeasurement/engine/APMMeasurement.h"
#include "AppMeasurement/engine/APMMeasurementSupport.h"
#include "AppMeasurement/foundation/APMConsentSettingsUtil.h"
#include "AppMeasurement/foundation/APMDisplayNames.h"
#include "AppMeasurement/foundation/APMParameterErrors.h"
#include "AppMeasurement/foundation/APMPersistedConfig.h"
#include "AppMeasurement/foundation/APMRemoteConfig.h"
#include "AppMeasurement/foundation/APMScheduler.h"
#include "AppMeasurement/foundation/APMUserAttribute.h"
#include "AppMeasurement/storage/APMDatabase.h"
#include "platform/foundation/Bundle.h"

using apm_engine::monitor;

namespace {
constexpr int64_t kMaxPropertiesPerOrigin = 25;

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
  APMErrorSlot error;
  if (database_->deleteUserAttributeWithName(attribute.name(), &error)) {
    monitor().logWithLevel(7, 23078, "User property removed. Name", attribute.name());
  } else {
    monitor().logWithLevel(1, 23077, "Unable to remove user property. Name, error",
                           attribute.name(), errorContext(error));
  }
}

bool APMMeasurement::setUserPropertyInDatabaseOnWorkerQueue(const APMUserAttribute& attribute) {
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
      database_->deleteUserAttributeWithName("_lair", nullptr);
    }
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
      apm_engine::logErrorEvent(9, attribute.name(), 24, APMObject(attribute.value()));
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
  if (std::optional<int64_t> personalization = APMConsentSettingsUtil::adPersonalization()) {
    return *personalization ? 0 : 1;
  }
  if (std::shared_ptr<platform::Bundle> bundle = platform::Bundle::mainBundle()) {
    std::optional<platform::Value> plist = bundle->objectForInfoDictionaryKey(
        "ORVANE_ANALYTICS_DEFAULT_ALLOW_AD_PERSONALIZATION_SIGNALS");
    if (plist) {
      std::optional<bool> truth = plist->numberAsBool();
      return truth ? (*truth ? 0 : 1) : 0;
    }
  }
  return std::nullopt;
}

void APMMeasurement::setPersonalizedAdsUserPropertyOnWorkerQueue() {
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
    } else {
      monitor().logWithLevel(1, 23173,
                             "Unable to remove personalized ads user property in the database. "
                             "Error",
                             errorContext(error));
    }
    return;
  }
  if (current && current->value().isInt64() && current->value().int64Value() == *disable) return;
  std::optional<APMUserAttribute> npa =
      APMUserAttribute::create("auto", "_npa", APMValue(*disable), apm_engine::now());
  if (npa) setUserAttributeOnWorkerQueue(*npa);
}
