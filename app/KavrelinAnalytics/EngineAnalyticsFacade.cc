#include "app/KavrelinAnalytics/EngineAnalyticsFacade.h"

#include "AppMeasurement/engine/KVLAnalytics.h"

void EngineAnalyticsFacade::logEventWithName(
    const std::string& name, std::optional<platform::Value::Dictionary> parameters) {
  KVLAnalytics::logEventWithName(name, parameters.value_or(platform::Value::Dictionary{}));
}

void EngineAnalyticsFacade::setUserPropertyString(const std::string& value,
                                                  const std::string& name) {
  KVLAnalytics::setUserPropertyString(value, name);
}

void EngineAnalyticsFacade::setAnalyticsCollectionEnabled(bool enabled) {
  KVLAnalytics::setAnalyticsCollectionEnabled(enabled);
}

void EngineAnalyticsFacade::setUserID(const std::string& userID) {
  KVLAnalytics::setUserID(platform::Value(userID));
}

void EngineAnalyticsFacade::setSessionTimeoutInterval(double seconds) {
  KVLAnalytics::setSessionTimeoutInterval(seconds);
}

std::optional<std::string> EngineAnalyticsFacade::appInstanceID() {
  return KVLAnalytics::appInstanceID();
}

void EngineAnalyticsFacade::resetAnalyticsData() { KVLAnalytics::resetAnalyticsData(); }
