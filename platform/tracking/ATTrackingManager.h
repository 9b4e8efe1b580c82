#pragma once

#include <functional>
#include <mutex>

#include "platform/runtime/RuntimeObject.h"

namespace platform {

// The app-tracking-transparency framework (ATTrackingManager). The status is what the user
// answered: 0 not determined, 1 restricted, 2 denied, 3 authorised. Code that must work without
// the framework finds the class by name ("ATTrackingManager") in the ClassRegistry; the
// composition root registers it (registerClass) when the app "links" it.
//
// The answer a request gets is configuration (the app's launch settings, tests). Thread-safe.
class ATTrackingManager : public RuntimeObject {
 public:
  static constexpr const char* kClassName = "ATTrackingManager";
  static int trackingAuthorizationStatus();
  // Asks the user (once: a determined status is answered as it is); the completion runs on the
  // caller's thread with the status.
  static void requestTrackingAuthorization(const std::function<void(int status)>& completion);
  // The status as set; for tests and the app's launch settings.
  static void setTrackingAuthorizationStatus(int status);
  // What the user answers the next request (3 authorised unless configured).
  static void setRequestAnswer(int status);
  // Registers the class by name in the shared ClassRegistry.
  static void registerInRuntime();
  static void unregisterFromRuntime();
};

}  // namespace platform
