#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/core/KVLComponent.h"
#include "platform/core/KVLOptions.h"
#include "platform/runtime/RuntimeObject.h"

class KVLApp;

// The platform core's version, and the log tag it gives the measurement library.
const char* KVLKavrelinVersion();
extern const char* const kKVLLoggerAnalytics;

// What an internal library registered with the core offers it.
class KVLLibrary {
 public:
  virtual ~KVLLibrary() = default;
  // The components the library adds to the default app's container.
  virtual std::vector<KVLComponent> componentsToRegister() { return {}; }
  // Called once, when the default app is configured, after every library's components joined
  // the container; on the configuring thread.
  virtual void configureWithApp(KVLApp& app) {}
};

// The switch of measurement collection the core holds for the default app. Setting it posts
// "KVLAnalyticsConfigurationSetEnabledNotification" on the default centre, with this object as
// the notification's object and the new value (a boolean) under the notification's own name in
// the user info. An object of the runtime, so that an options dictionary can carry it.
class KVLAnalyticsConfiguration : public platform::RuntimeObject {
 public:
  static constexpr const char* kSetEnabledNotification =
      "KVLAnalyticsConfigurationSetEnabledNotification";
  void setAnalyticsCollectionEnabled(bool enabled);
};

// The platform core's default app. `configure` reads the main bundle's options, adds every
// registered library's components to the app's container and lets each library start. It
// happens once per process: a later `configure` is logged and changes nothing.
// Class operations are thread-safe.
class KVLApp {
 public:
  // Configures the default app from the main bundle (KVLOptions::fromBundle). Without options
  // (no service list or no app id) it logs why and configures nothing.
  static void configure();
  static void configureWithOptions(std::shared_ptr<KVLOptions> options);

  // The default app once configured, else null.
  static std::shared_ptr<KVLApp> defaultApp();
  // Whether defaultApp() is set; lock-free.
  static bool isDefaultAppConfigured();

  // Registers an internal library by name and version. Libraries registered after the default
  // app was configured are not started.
  static void registerInternalLibrary(std::shared_ptr<KVLLibrary> library, std::string name,
                                      std::string version);
  // "name/version" of every registered library, in registration order.
  static std::vector<std::string> registeredLibraries();

  // Forgets the default app and the registrations (tests only).
  static void resetForTesting();

  const KVLOptions& options() const { return *options_; }
  KVLComponentContainer& container() { return container_; }
  const std::shared_ptr<KVLAnalyticsConfiguration>& analyticsConfiguration() const {
    return analyticsConfiguration_;
  }

  explicit KVLApp(std::shared_ptr<KVLOptions> options)
      : options_(std::move(options)),
        analyticsConfiguration_(std::make_shared<KVLAnalyticsConfiguration>()) {}

 private:
  std::shared_ptr<KVLOptions> options_;
  std::shared_ptr<KVLAnalyticsConfiguration> analyticsConfiguration_;
  KVLComponentContainer container_;
};
