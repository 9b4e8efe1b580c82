#pragma once

#include <memory>
#include <optional>
#include <string>

#include "AppMeasurement/foundation/APMValue.h"

// What the session, screen-view, ad-exposure and search-ads reporters ask of the engine's
// facade: internal events and internal user properties (queued in order on the facade's
// operation queue, like every public call), and whether the engine is enabled. The installed
// object is the engine's facade; tests install a recorder. Every method may be called from
// any thread and never blocks on the engine.
class APMReporterFacade {
 public:
  virtual ~APMReporterFacade() = default;

  // logInternalEventWithOrigin:name:parameters: — the current screen parameters are added
  // when the parameters hold none; the time is taken now.
  virtual void logInternalEvent(const std::string& origin, const std::string& name,
                                const APMObjectMap& parameters);
  // logInternalEventWithOrigin:name:timestamp:parameters: — the same with the given time.
  virtual void logInternalEvent(const std::string& origin, const std::string& name,
                                double timestamp, const APMObjectMap& parameters);
  // setInternalUserProperty:forName:withOrigin: — sets, or for nothing removes, an internal
  // user property.
  virtual void setInternalUserProperty(const std::optional<APMValue>& value,
                                       const std::string& name, const std::string& origin);
  // Whether the shared engine exists and collection is enabled.
  virtual bool isEngineEnabled();

  // The installed facade (the engine's unless a test installed another). Never null.
  static std::shared_ptr<APMReporterFacade> current();
  // Installs a facade; nullptr restores the engine's.
  static void install(std::shared_ptr<APMReporterFacade> facade);
};
