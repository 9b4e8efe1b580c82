#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Value.h"

// The class operations of the measurement facade `KVLAnalytics` that the measurement plug-in
// calls, behind one seam: the engine's facade is linked in by the composition root (the app)
// through install(); until then the default answers neutrally (nothing logged or set, no app
// instance ID) and says so once in the platform log. Tests install a recording one.
//
// Every operation may be called from any thread; implementations hand the work to the engine.
class KVLAnalyticsFacade {
 public:
  virtual ~KVLAnalyticsFacade() = default;

  virtual void logEventWithName(const std::string& name,
                                std::optional<platform::Value::Dictionary> parameters) = 0;
  virtual void setUserPropertyString(const std::string& value, const std::string& name) = 0;
  virtual void setUserID(const std::string& userID) = 0;
  virtual void setAnalyticsCollectionEnabled(bool enabled) = 0;
  virtual void setSessionTimeoutInterval(double seconds) = 0;
  virtual std::optional<std::string> appInstanceID() = 0;
  virtual void resetAnalyticsData() = 0;

  // The facade in use; never null.
  static std::shared_ptr<KVLAnalyticsFacade> current();
  // Replaces it (null restores the neutral default).
  static void install(std::shared_ptr<KVLAnalyticsFacade> facade);
};
