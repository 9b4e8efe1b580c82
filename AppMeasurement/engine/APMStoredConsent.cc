#include "AppMeasurement/engine/APMStoredConsent.h"

#include <cctype>

#include "AppMeasurement/engine/APMAnalytics.h"
#include "AppMeasurement/foundation/APMConsentSettingsUtil.h"
#include "AppMeasurement/foundation/APMUserDefaults.h"

namespace APMStoredConsent {

platform::Value::Dictionary settingsForKey(const char* key) {
  return APMAnalytics::settings()->dictionaryForKey(key).value_or(platform::Value::Dictionary{});
}

platform::Value::Dictionary validSettings(const platform::Value::Dictionary& settings) {
  platform::Value::Dictionary valid;
  for (const auto& [type, value] :
       APMConsentSettingsUtil::consentSettingsFromDictionary(settings)) {
    if (!value.isString()) continue;
    std::string status = *value.asString();
    for (char& c : status) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (status == "granted" || status == "denied") valid.emplace(type, value);
  }
  return valid;
}

void persist(const platform::Value::Dictionary& settings, int64_t source) {
  const char* key = source == 5 ? kTCFKey : (source < 21 ? kAppSetKey : kFirstPartyKey);
  APMAnalytics::settings()->setObject(platform::Value(settings), key);
  APMAnalytics::settings()->setObject(platform::Value(source), kSourceKey);
}

void clear() {
  for (const char* key :
       {kSourceKey, kAppSetKey, kFirstPartyKey, kStartKey, "deferred_consent_reset", kTCFKey}) {
    APMAnalytics::settings()->removeObjectForKey(key);
  }
  APMConsentSettingsUtil::clearAllSettings();
}

}  // namespace APMStoredConsent
