#pragma once

#include <memory>
#include <string>

#include "AppMeasurement/foundation/APMValue.h"

class APMDatabase;
class APMEvent;
class APMPBMeasurementBundle;
class APMUserAttribute;

// What the engine asks of the measurement features subsystem (audiences, sessions, screens,
// search ads, lifetime value, in-app purchases, experiments). That subsystem is not built yet:
// each interface below has a neutral answer, installed by default, that keeps the engine's
// main road working without the feature. The features subsystem installs its own objects
// through APMFeatureServices::install before the engine starts.
//
// Every method is called on the engine's worker queue unless it says otherwise.

// Audience evaluation over the measurement database. Neutral: no audiences, nothing to
// evaluate, every call succeeds.
class APMAudienceEvaluating {
 public:
  virtual ~APMAudienceEvaluating() = default;
  // Evaluates the event filters for one bundled event; false on a storage failure.
  virtual bool evaluateFiltersForEvent(const APMEvent& event) { return true; }
  // Evaluates the property filters for one user property of a bundle; false on failure.
  virtual bool evaluateFiltersForUserProperty(const APMUserAttribute& property,
                                              double evaluationTime) {
    return true;
  }
  // Adds the stored filter results to the bundle; false when they cannot be read.
  virtual bool addResultsForBundling(APMPBMeasurementBundle& bundle) { return true; }
  virtual void clearEvaluationResultsForSessionScopedFilters() {}
};

// Sessions and engagement. Neutral: a session never expires and nothing is started.
class APMSessionReporting {
 public:
  virtual ~APMSessionReporting() = default;
  virtual void setReportingEnabled(bool enabled) {}
  virtual bool isSessionExpired() { return false; }
  virtual bool extendSession() { return true; }
  virtual void updatePropertiesForNewSessionStart() {}
};

// The current screen and whether the app is active. Called from any thread. Neutral: no
// screen, the app reads as active, and a "screen_view" logged through the public calls is
// dropped (screen reporting is the features subsystem's).
class APMScreenViewReporting {
 public:
  virtual ~APMScreenViewReporting() = default;
  virtual bool isAppActive() { return true; }
  virtual APMObjectMap screenParameters() { return {}; }
  virtual void trackScreenWithParameters(const APMObjectMap& parameters, double timestamp) {}
};

// Search-ads attribution. Neutral: never reports.
class APMSearchAdReporting {
 public:
  virtual ~APMSearchAdReporting() = default;
  virtual void setSearchAdReporterEnabled(bool enabled) {}
  virtual void start() {}
};

// Lifetime value and in-app purchases. Neutral: no event is a purchase, so nothing is
// recorded.
class APMLifetimeValueRecording {
 public:
  virtual ~APMLifetimeValueRecording() = default;
  virtual bool isPurchaseEvent(const APMEvent& event) { return false; }
  // Runs inside the caller's transaction; false on failure.
  virtual bool recordLifetimeValueToDatabase(APMDatabase& database, const APMEvent& event) {
    return true;
  }
};

// The installed feature objects. Thread-safe; install before the engine starts.
struct APMFeatureServices {
  std::shared_ptr<APMAudienceEvaluating> audience;
  std::shared_ptr<APMSessionReporting> sessionReporter;
  std::shared_ptr<APMScreenViewReporting> screenViewReporter;
  std::shared_ptr<APMSearchAdReporting> searchAdReporter;
  std::shared_ptr<APMLifetimeValueRecording> lifetimeValueRecorder;

  // The neutral set described above.
  static APMFeatureServices neutral();
  // The installed set (the neutral one until something is installed). Never holds nulls.
  static APMFeatureServices current();
  // Installs a set; null members take the neutral object.
  static void install(APMFeatureServices services);
};
