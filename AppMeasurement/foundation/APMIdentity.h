#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dispatch/DispatchQueue.h"

class APMDefaultIdentitySupport;
class APMPersistedConfig;
class APMRemoteConfig;

// The identifiers that go into every upload: the app instance identifier (random, persisted),
// the advertising identifier with its MD5 hash, the limited-ad-tracking flag and the
// tracking-authorisation status, the vendor identifier, the diversion key, the session
// stitching token, an ephemeral app instance identifier, the platform app ID and the app's
// version fields. Consent governs them: analytics storage denied means no app instance ID,
// vendor ID or stitching token; ad storage denied means no advertising data.
//
// All state lives on the serial queue "APMIdentityWorkerQueue". Readers schedule a refresh of
// the advertising data and then read synchronously on that queue, so they must not be called
// from it; setters are asynchronous. Each block that changes the state ends by publishing a
// snapshot of it: while no block is queued and no refresh is due, readers answer from that
// snapshot (and the persisted configuration) without the hop, and updateIdentifiers schedules
// nothing, since a refresh would stop at once. The refresh waits at most 10 ms (installed clock)
// for the advertising identifier and runs at most once per remote `adIDCacheTime`. Every identifier
// it persists (app instance identifier, hashed advertising identifier, diversion key) is written to
// disk before it is handed out, so a process killed at any moment keeps its identifiers.
class APMIdentity : public std::enable_shared_from_this<APMIdentity> {
 public:
  static constexpr const char* kZeroAdvertisingIdentifier = "00000000-0000-0000-0000-000000000000";

  // Made once over the shared persisted configuration; nullptr (logged, 20003) when that fails.
  static std::shared_ptr<APMIdentity> sharedInstance();
  // initWithPersistedConfig:. nullptr (logged, 20004) without a configuration. Without a
  // support object the shared one is used.
  static std::shared_ptr<APMIdentity> create(
      std::shared_ptr<APMPersistedConfig> persistedConfig,
      std::shared_ptr<APMDefaultIdentitySupport> support = nullptr);

  void updateIdentifiers();
  void updateIdentifiersAndWait();

  // While one lives on a thread, the identity checks whether its identifiers need a refresh
  // once (when it is made) instead of in each getter: for a caller that reads several of
  // them for one record. Scopes nest.
  class SingleRefreshCheck {
   public:
    explicit SingleRefreshCheck(APMIdentity& identity);
    ~SingleRefreshCheck();
    SingleRefreshCheck(const SingleRefreshCheck&) = delete;
    SingleRefreshCheck& operator=(const SingleRefreshCheck&) = delete;

   private:
    const APMIdentity* previous_;
  };

  int64_t appleConsentStatus();
  // Whether the identity support reports an app-data consent status at all (its tracking
  // manager is there), whatever that status is. Any thread.
  bool hasAppDataConsentStatus() const;
  bool limitedAdTracking();
  std::optional<std::string> resettableDeviceID();
  std::optional<std::string> appInstanceID();
  std::optional<std::string> hashedResettableDeviceID();
  bool hasLimitedAdTracking();
  void setAppInstanceID(std::string appInstanceID);
  std::optional<std::string> identifierForVendor();
  std::optional<std::string> appIDFromRZQ();
  // Only the first non-empty value of the process is taken (an empty one logs 20005).
  void setAppIDFromRZQ(const std::string& appID);
  bool shouldSetLastAdvertisingIDResetUserProperty();
  void setShouldSetLastAdvertisingIDResetUserProperty(bool value);
  std::optional<std::string> sessionStitchingTokenWithSessionNumber(int64_t sessionNumber,
                                                                    bool sessionExpired,
                                                                    bool userIDAvailable);
  void resetSessionStitchingToken();
  void resetSessionStitchingTokenOnWorkerQueue();
  std::string diversionKey();
  std::string ephemeralAppInstanceID();
  void resetEphemeralAppInstanceID();
  void resetEphemeralAppInstanceIDOnWorkerQueue();

  static bool isFromAppStore();
  static bool iOS14OrAbove();
  // The integer of each non-empty "."-separated field, non-digits dropped (20002 for each
  // field that lost any); a field too long for 64 bits saturates.
  static std::vector<int64_t> numericFieldsFromAppVersionNumeric(std::string_view version);
  // "111500000" without its last three characters, as an integer.
  static int64_t appMeasurementLibraryVersion();
  // 32 uppercase hexadecimal characters of a new random UUID.
  static std::string randomAppInstanceID();

  const std::string& appID() const { return appID_; }
  const std::string& appVersion() const { return appVersion_; }
  std::optional<int64_t> appVersionMajor() const { return appVersionMajor_; }
  std::optional<int64_t> appVersionMinor() const { return appVersionMinor_; }
  std::optional<int64_t> appVersionRelease() const { return appVersionRelease_; }
  std::string kavrelinInstallationID() const;
  void setKavrelinInstallationID(std::string installationID);

  const std::shared_ptr<platform::DispatchQueue>& queue() const { return queue_; }
  // Lets setAppIDFromRZQ take a value again; for tests.
  static void resetAppIDFromRZQForTesting();

 private:
  APMIdentity(std::shared_ptr<APMPersistedConfig> persistedConfig,
              std::shared_ptr<APMDefaultIdentitySupport> support);
  // What the queue holds; readers elsewhere see copies of it (snapshots).
  struct State {
    std::optional<double> lastUpdate;
    int64_t appleConsentStatus = 5;
    std::optional<std::string> advertisingIdentifier;
    bool limitedAdTracking = false;
    std::optional<bool> hasLimitedAdTracking;  // the support's answer when last asked
    std::optional<std::string> vendorIdentifier;
    std::optional<std::string> appIDFromRZQ;
    std::optional<std::string> stitchingToken;
    int64_t stitchingSessionNumber = 0;
    bool stitchingSessionExpired = false;
    std::optional<double> stitchingTokenExpiry;
    std::optional<std::string> ephemeralAppInstanceID;
  };

  void start();
  // On the queue.
  void refreshOnQueue();
  std::shared_ptr<APMRemoteConfig> remoteConfig() const;
  // Queues the block; until it has run, readers wait for the queue.
  void post(platform::Block block);
  // On the queue, at the end of every block that changes the state: a copy for readers.
  void publishOnQueue();
  // The published state when no block is queued, else nullptr. Any thread.
  std::shared_ptr<const State> settledSnapshot() const;
  // Whether a refresh now would stop at its first step.
  bool isRefreshCurrent(const State& snapshot) const;

  const std::shared_ptr<APMPersistedConfig> persistedConfig_;
  const std::shared_ptr<APMDefaultIdentitySupport> support_;
  std::shared_ptr<platform::DispatchQueue> queue_;

  State state_;  // touched only on the queue

  // Fixed at creation.
  std::optional<bool> vendorIdentifierSwitch_;
  std::string appID_;
  std::string appVersion_;
  std::optional<int64_t> appVersionMajor_, appVersionMinor_, appVersionRelease_;

  std::atomic<int64_t> queuedBlocks_{0};
  std::atomic<std::shared_ptr<const State>> snapshot_;

  mutable std::mutex installationMutex_;
  std::string kavrelinInstallationID_;  // guarded by installationMutex_
};
