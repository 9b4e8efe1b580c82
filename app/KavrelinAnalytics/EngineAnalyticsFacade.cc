#include "app/KavrelinAnalytics/EngineAnalyticsFacade.h"

#include "AppMeasurement/engine/KVLAnalytics.h"
#include "platform/foundation/PlatformLog.h"

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

void EngineAnalyticsFacade::setUserID(const std::string&) { notTakenYet("setUserID"); }

void EngineAnalyticsFacade::setSessionTimeoutInterval(double) {
  notTakenYet("setSessionTimeoutInterval");
}

std::optional<std::string> EngineAnalyticsFacade::appInstanceID() {
  notTakenYet("appInstanceID");
  return std::nullopt;
}

void EngineAnalyticsFacade::resetAnalyticsData() { notTakenYet("resetAnalyticsData"); }

void EngineAnalyticsFacade::notTakenYet(const char* call) {
  if (!warned_.exchange(true)) {
    platform::PlatformLog::write(std::string("KavrelinAnalytics: ") + call +
                                 " and the other user and session calls are not taken by the "
                                 "measurement engine yet; they are dropped");
  }
}
