#pragma once

#include <string>

#include "AppMeasurement/foundation/APMTCFAnalyticsSink.h"

// Where the engine's TCF reader hands its results: the "_tcf" event goes through the
// public-call layer as an internal event (origin "auto"), and the derived consent is applied
// with the TCF source (5) when that source may replace what is in force, then persisted under
// "consent_settings_tcf" of the suite "APMAnalyticsSuiteName" with its source, so the next
// start finds it.
//
// Called on the engine's worker queue.
class APMEngineTCFSink : public APMTCFAnalyticsSink {
 public:
  void logInternalEvent(const std::string& name, const std::string& origin,
                        const platform::Value::Dictionary& parameters) override;
  void setConsent(const platform::Value::Dictionary& consent, const std::string& key) override;
};
