#pragma once

#include <atomic>
#include <mutex>
#include <set>
#include <string>

// The social-login SDK's settings (Settings.shared). Safe from any thread: the switches are
// atomics, the logging behaviours are guarded by mutex_. The app identifier and the service
// address come from the main bundle's Info.plist ("FacebookAppID"; "FacebookServiceURL",
// default the local login-and-link service http://127.0.0.1:8972).
class FBSDKSettings {
 public:
  static FBSDKSettings& shared();

  std::atomic<bool> isAutoLogAppEventsEnabled{true};
  std::atomic<bool> isAdvertiserTrackingEnabled{false};
  std::atomic<bool> isAdvertiserIDCollectionEnabled{true};

  void enableLoggingBehavior(const std::string& behavior);
  bool isLoggingBehaviorEnabled(const std::string& behavior) const;

  std::string appID() const;
  std::string serviceURL() const;

 private:
  mutable std::mutex mutex_;
  std::set<std::string> loggingBehaviors_;  // guarded by mutex_
};

inline constexpr const char* FBSDKLoggingBehaviorAppEvents = "app_events";
