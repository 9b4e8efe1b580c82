// The engine's own session starts: at launch and for events that extend a session in the
// background. The session reporter behind the engine's seam decides expiry and numbers.
#include "AppMeasurement/engine/APMMeasurement.h"
#include "AppMeasurement/foundation/APMPersistedConfig.h"
#include "AppMeasurement/foundation/APMRemoteConfig.h"
#include "AppMeasurement/foundation/APMScheduler.h"

void APMMeasurement::reportSessionStartOnWorkerQueueWithTimestamp(double timestamp,
                                                                  bool appInBackground) {
  APMScheduler::checkOnBackgroundThreadWithMethodName(
      "reportSessionStartOnWorkerQueueWithTimestamp:appInBackground:");
  std::shared_ptr<APMSessionReporting> sessions = features_.sessionReporter;
  if (!sessions->isSessionExpired()) return;
  sessions->updatePropertiesForNewSessionStart();
  if (std::optional<APMUserAttribute> sessionID =
          sessions->sessionIDPropertyWithTimestamp(timestamp)) {
    setUserAttributeOnWorkerQueue(*sessionID);
  }
  if (std::optional<APMUserAttribute> sessionNumber = sessions->sessionNumberProperty()) {
    setUserAttributeOnWorkerQueue(*sessionNumber);
  }
  bool inBackground = appInBackground && currentConfig()->appInBackgroundParameterEnabled();
  if (std::optional<APMEvent> start = sessions->sessionStartEvent(timestamp, inBackground)) {
    handleInternalEventOnWorkerQueue(std::move(*start));
  }
}

void APMMeasurement::reportSessionStart() {
  schedule("APMMeasurement:1102", [](APMMeasurement& engine) {
    engine.reportSessionStartOnWorkerQueueWithTimestamp(engine.initTimestamp_, false);
  });
}

void APMMeasurement::setSessionTimeoutInterval(double seconds) {
  schedule("APMMeasurement:1565", [seconds](APMMeasurement& engine) {
    engine.features_.sessionReporter->setTimeoutSessionInterval(seconds);
  });
}
