#pragma once

#include <string>

#include "AppMeasurement/foundation/APMTCFAnalyticsSink.h"

// Where the engine's TCF reader hands its results: the public-call layer, which logs the "_tcf"
// event as an internal event (origin "auto") and applies and persists the derived consent under
// "consent_settings_tcf" (source 5).
//
// Called on the engine's worker queue.
class APMEngineTCFSink : public APMTCFAnalyticsSink {
 public:
  void logInternalEvent(const std::string& name, const std::string& origin,
                        const platform::Value::Dictionary& parameters) override;
  void setConsent(const platform::Value::Dictionary& consent, const std::string& key) override;
};
