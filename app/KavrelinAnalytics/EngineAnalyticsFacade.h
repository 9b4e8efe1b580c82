#pragma once

#include <atomic>

#include "app/KavrelinAnalytics/KVLAnalyticsFacade.h"

// The measurement plug-in's facade seam filled by the measurement library's `KVLAnalytics`.
// Events, user properties and the collection switch reach the engine; the user identifier, the
// session timeout, the app instance identifier and the reset are calls the engine does not take
// yet: they answer neutrally and say so once in the platform log.
class EngineAnalyticsFacade : public KVLAnalyticsFacade {
 public:
  void logEventWithName(const std::string& name,
                        std::optional<platform::Value::Dictionary> parameters) override;
  void setUserPropertyString(const std::string& value, const std::string& name) override;
  void setAnalyticsCollectionEnabled(bool enabled) override;
  void setUserID(const std::string& userID) override;
  void setSessionTimeoutInterval(double seconds) override;
  std::optional<std::string> appInstanceID() override;
  void resetAnalyticsData() override;

 private:
  void notTakenYet(const char* call);
  std::atomic<bool> warned_{false};
};
