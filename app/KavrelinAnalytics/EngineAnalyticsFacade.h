#pragma once

#include "app/KavrelinAnalytics/KVLAnalyticsFacade.h"

// The measurement plug-in's facade seam filled by the measurement library's `KVLAnalytics`:
// every call reaches the measurement library's public calls.
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
};
