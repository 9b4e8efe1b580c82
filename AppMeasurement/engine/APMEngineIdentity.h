#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

class APMPersistedConfig;

// What the engine reads of the app's and the device's identity: the app instance identifier,
// the app identifier the platform core gave, the device identifiers, the app version and the
// library version. The identity subsystem (APMIdentity) fills it; until that is linked the
// engine uses APMPersistedIdentity below, which keeps the app instance identifier in the
// persisted configuration and reports no advertising or vendor identifier.
//
// Thread-safe; the engine calls it on its worker queue and the facade from any thread.
class APMEngineIdentity {
 public:
  virtual ~APMEngineIdentity() = default;
  virtual std::string appInstanceID() = 0;
  virtual void setAppInstanceID(std::string appInstanceID) = 0;
  // Makes a new app instance identifier (reset).
  virtual void resetAppInstanceID() = 0;
  virtual std::string appIDFromRZQ() = 0;
  virtual void setAppIDFromRZQ(std::string appID) = 0;
  virtual std::optional<std::string> kavrelinInstallationID() = 0;
  virtual void setKavrelinInstallationID(std::optional<std::string> identifier) = 0;
  // Refreshes cached identifiers; called before each write.
  virtual void updateIdentifiers() {}
  virtual std::optional<std::string> resettableDeviceID() { return std::nullopt; }
  virtual std::optional<std::string> vendorDeviceID() { return std::nullopt; }
  // Whether the limited-ad-tracking state is known, and the state.
  virtual bool hasLimitAdTrackingState() { return false; }
  virtual bool isLimitAdTrackingEnabled() { return false; }
  // The tracking-authorisation status; 6 when no advertising support is present.
  virtual int32_t appleConsentStatus() { return 6; }
  // An identifier that stands in for the app instance identifier when data controls withhold it.
  virtual std::string ephemeralAppInstanceID() { return {}; }
  virtual bool isFromAppStore() { return false; }
  // A new user identifier starts a new session stitching token.
  virtual void resetSessionStitchingToken() {}
  // Whether "_lair" is due (the advertising identifier was reset), and clearing that.
  virtual bool shouldSetLastAdvertisingIDResetUserProperty() { return false; }
  virtual void setShouldSetLastAdvertisingIDResetUserProperty(bool) {}
  virtual std::optional<std::string> appVersion() = 0;
  static int64_t appMeasurementLibraryVersion() { return 111500; }
};

// The stand-in identity: app instance identifier persisted (32 lower-case hex digits), no
// device identifiers, the app version from the main bundle's "CFBundleShortVersionString".
class APMPersistedIdentity : public APMEngineIdentity {
 public:
  explicit APMPersistedIdentity(std::shared_ptr<APMPersistedConfig> persistedConfig);
  std::string appInstanceID() override;
  void setAppInstanceID(std::string appInstanceID) override;
  void resetAppInstanceID() override;
  std::string appIDFromRZQ() override;
  void setAppIDFromRZQ(std::string appID) override;
  std::optional<std::string> kavrelinInstallationID() override;
  void setKavrelinInstallationID(std::optional<std::string> identifier) override;
  std::optional<std::string> appVersion() override;

  // The process's identity, made on first use over APMPersistedConfig::sharedInstance().
  static std::shared_ptr<APMEngineIdentity> sharedInstance();
  // Replaces the process's identity (the identity subsystem, tests); null restores the default.
  static void setSharedInstance(std::shared_ptr<APMEngineIdentity> identity);

 private:
  std::shared_ptr<APMPersistedConfig> persistedConfig_;
  std::mutex mutex_;
  std::string appIDFromRZQ_;                           // guarded by mutex_
  std::optional<std::string> kavrelinInstallationID_;  // guarded by mutex_
};
