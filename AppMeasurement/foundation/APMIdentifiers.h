#pragma once

#include <memory>
#include <mutex>
#include <string>

// A thin shared front through which other components read the app IDs, the app instance ID,
// an ad event ID and the library version without holding the engine: the running engine's
// identity when there is one (APMMeasurementEngineState), else the shared identity. Failures
// answer the empty string with a log line. Any thread except the identity's own queue.
class APMIdentifiers {
 public:
  static APMIdentifiers& sharedInstance();

  std::string orvaneAppID();
  std::string analyticsAppID();
  std::string appInstanceID();
  // One random signed 64-bit integer per process, as decimal text.
  std::string adEventID();
  std::string libraryVersion();
  std::string origin() const;
  // An empty origin is refused (37004).
  void setOrigin(const std::string& origin);

 private:
  APMIdentifiers() = default;
  mutable std::mutex mutex_;
  std::string origin_;  // guarded by mutex_
};
