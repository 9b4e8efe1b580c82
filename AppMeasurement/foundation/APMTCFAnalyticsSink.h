#pragma once

#include <string>

#include "platform/foundation/Value.h"

// Where the TCF client hands its results: the public-call layer (APMAnalytics), which logs the
// internal "_tcf" event (origin "auto") and applies consent given under a key
// ("consent_settings_tcf", with source 5). Until that layer exists the engine passes none and the
// client only reads and remembers the TCF state.
//
// Called on the engine's worker queue.
class APMTCFAnalyticsSink {
 public:
  virtual ~APMTCFAnalyticsSink() = default;
  virtual void logInternalEvent(const std::string& name, const std::string& origin,
                                const platform::Value::Dictionary& parameters) = 0;
  virtual void setConsent(const platform::Value::Dictionary& consent, const std::string& key) = 0;
};
