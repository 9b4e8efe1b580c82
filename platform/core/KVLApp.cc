#include "platform/core/KVLApp.h"

#include <atomic>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/PlatformLog.h"

const char* KVLKavrelinVersion() { return "11.15.0"; }
const char* const kKVLLoggerAnalytics = "[KavrelinAnalytics]";

namespace {

struct Registration {
  std::shared_ptr<KVLLibrary> library;
  std::string name;
  std::string version;
};

struct CoreState {
  std::mutex mutex;
  // Guarded by mutex:
  std::vector<Registration> libraries;
  std::shared_ptr<KVLApp> defaultApp;
  bool configuring = false;
  // Whether defaultApp is set, written with it: read on every logged event without the lock.
  std::atomic<bool> configured{false};
};

CoreState& state() {
  static CoreState* core = new CoreState();  // outlives every static destructor that may log
  return *core;
}

}  // namespace

void KVLAnalyticsConfiguration::setAnalyticsCollectionEnabled(bool enabled) {
  platform::Value::Dictionary info;
  info[kSetEnabledNotification] = platform::Value(enabled);
  platform::NotificationCenter::defaultCenter().postNotificationName(kSetEnabledNotification, this,
                                                                     platform::Value(info));
}

void KVLApp::configure() {
  std::shared_ptr<KVLOptions> options = KVLOptions::fromBundle(*platform::Bundle::mainBundle());
  if (!options) {
    platform::PlatformLog::write(
        "[KavrelinCore] The default app cannot be configured: the main bundle has no "
        "OrvaneService-Info.plist with an ORVANE_APP_ID.");
    return;
  }
  configureWithOptions(std::move(options));
}

void KVLApp::configureWithOptions(std::shared_ptr<KVLOptions> options) {
  std::shared_ptr<KVLApp> app;
  std::vector<Registration> libraries;
  {
    CoreState& core = state();
    std::lock_guard<std::mutex> lock(core.mutex);
    if (core.defaultApp || core.configuring) {
      platform::PlatformLog::write(
          "[KavrelinCore] The default app has already been configured; configure ignored.");
      return;
    }
    core.configuring = true;
    app = std::make_shared<KVLApp>(std::move(options));
    libraries = core.libraries;
  }
  for (const Registration& registration : libraries) {
    app->container().add(registration.library->componentsToRegister());
  }
  {
    // The app is the default before any library starts: their start reads it.
    CoreState& core = state();
    std::lock_guard<std::mutex> lock(core.mutex);
    core.defaultApp = app;
    core.configured.store(true);
    core.configuring = false;
  }
  for (const Registration& registration : libraries) registration.library->configureWithApp(*app);
}

bool KVLApp::isDefaultAppConfigured() { return state().configured.load(); }

std::shared_ptr<KVLApp> KVLApp::defaultApp() {
  CoreState& core = state();
  std::lock_guard<std::mutex> lock(core.mutex);
  return core.defaultApp;
}

void KVLApp::registerInternalLibrary(std::shared_ptr<KVLLibrary> library, std::string name,
                                     std::string version) {
  CoreState& core = state();
  std::lock_guard<std::mutex> lock(core.mutex);
  core.libraries.push_back({std::move(library), std::move(name), std::move(version)});
}

std::vector<std::string> KVLApp::registeredLibraries() {
  CoreState& core = state();
  std::lock_guard<std::mutex> lock(core.mutex);
  std::vector<std::string> names;
  for (const Registration& registration : core.libraries) {
    names.push_back(registration.name + "/" + registration.version);
  }
  return names;
}

void KVLApp::resetForTesting() {
  CoreState& core = state();
  std::lock_guard<std::mutex> lock(core.mutex);
  core.libraries.clear();
  core.defaultApp.reset();
  core.configured.store(false);
  core.configuring = false;
}
