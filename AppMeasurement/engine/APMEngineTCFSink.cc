#include "AppMeasurement/engine/APMEngineTCFSink.h"

#include "AppMeasurement/engine/APMAnalytics.h"
#include "AppMeasurement/engine/APMStoredConsent.h"
#include "AppMeasurement/foundation/APMConsentSettingsUtil.h"
#include "AppMeasurement/foundation/APMUserDefaults.h"

void APMEngineTCFSink::logInternalEvent(const std::string& name, const std::string& origin,
                                        const platform::Value::Dictionary& parameters) {
  APMObjectMap converted;
  for (const auto& [key, value] : parameters) converted.emplace(key, APMObject(value));
  APMAnalytics::logInternalEventWithOrigin(origin, name, converted);
}

void APMEngineTCFSink::setConsent(const platform::Value::Dictionary& consent,
                                  const std::string& key) {
  int64_t source = key == APMStoredConsent::kTCFKey ? 5 : 30;
  platform::Value::Dictionary settings = APMStoredConsent::validSettings(consent);
  if (settings.empty()) return;
  if (!APMConsentSettingsUtil::isConsentSourceHigherPriority(source)) return;
  APMConsentSettingsUtil::updateSettings(settings, source);
  APMStoredConsent::persist(APMConsentSettingsUtil::consentSettings().value_or(settings), source);
}
