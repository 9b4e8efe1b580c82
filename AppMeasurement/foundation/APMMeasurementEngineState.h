#pragma once

#include <memory>
#include <mutex>

class APMIdentity;
class APMRemoteConfig;

// What the foundation asks of the running measurement engine without holding it: whether a
// shared engine exists and is enabled, its identity and its remote configuration. The engine
// installs itself with install() once it exists; until then (and with nothing installed)
// current() is null and callers take their no-engine path: shared identity, default remote
// configuration, no experiment fetches.
//
// Implementations answer from any thread.
class APMMeasurementEngineState {
 public:
  virtual ~APMMeasurementEngineState() = default;
  virtual bool isEnabled() = 0;
  // The engine's identity, or nullptr while it has none.
  virtual std::shared_ptr<APMIdentity> identity() = 0;
  // The engine's remote configuration, or nullptr while it has none.
  virtual std::shared_ptr<APMRemoteConfig> remoteConfig() = 0;

  // The installed engine (held weakly), or nullptr.
  static std::shared_ptr<APMMeasurementEngineState> current() {
    std::lock_guard<std::mutex> lock(mutex());
    return slot().lock();
  }
  static void install(std::weak_ptr<APMMeasurementEngineState> engine) {
    std::lock_guard<std::mutex> lock(mutex());
    slot() = std::move(engine);
  }

 private:
  static std::mutex& mutex() {
    // Never destroyed: queue threads read the slot while the process exits.
    static std::mutex& m = *new std::mutex();
    return m;
  }
  static std::weak_ptr<APMMeasurementEngineState>& slot() {
    static std::weak_ptr<APMMeasurementEngineState>& s =
        *new std::weak_ptr<APMMeasurementEngineState>();
    return s;
  }
};
