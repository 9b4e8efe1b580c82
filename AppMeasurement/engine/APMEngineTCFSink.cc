#include "AppMeasurement/engine/APMEngineTCFSink.h"

#include "AppMeasurement/engine/APMAnalytics.h"

void APMEngineTCFSink::logInternalEvent(const std::string& name, const std::string& origin,
                                        const platform::Value::Dictionary& parameters) {
  APMObjectMap converted;
  for (const auto& [key, value] : parameters) converted.emplace(key, APMObject(value));
  APMAnalytics::logInternalEventWithOrigin(origin, name, converted);
}

void APMEngineTCFSink::setConsent(const platform::Value::Dictionary& consent,
                                  const std::string& key) {
  APMAnalytics::setConsent(consent, key);
}
