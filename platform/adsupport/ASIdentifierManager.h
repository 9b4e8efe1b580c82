#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/runtime/RuntimeObject.h"

namespace platform {

// The advertising-identifier framework (ASIdentifierManager). Code that must work without it
// finds the class by name ("ASIdentifierManager") in the ClassRegistry; the composition root
// registers it when the app "links" it.
//
// The identifier, the tracking flag and how long an answer takes are configuration (tests, the
// app's launch settings). A configured delay is spent in a semaphore wait by the installed
// clock, so a slow provider is slow in virtual time too. Thread-safe.
class ASIdentifierManager : public RuntimeObject {
 public:
  static constexpr const char* kClassName = "ASIdentifierManager";
  static constexpr const char* kZeroIdentifier = "00000000-0000-0000-0000-000000000000";

  static std::shared_ptr<ASIdentifierManager> sharedManager();

  // The identifier as uppercase UUID text; the all-zero identifier when none is configured.
  std::string advertisingIdentifier() const;
  bool isAdvertisingTrackingEnabled() const;

  void setAdvertisingIdentifier(std::optional<std::string> identifier);
  void setAdvertisingTrackingEnabled(bool enabled);
  // Each advertisingIdentifier() call first waits this long (0 for none).
  void setAnswerDelay(double seconds);

  static void registerInRuntime();
  static void unregisterFromRuntime();

 private:
  mutable std::mutex mutex_;
  std::optional<std::string> identifier_;
  bool trackingEnabled_ = true;
  double delay_ = 0;
};

}  // namespace platform
