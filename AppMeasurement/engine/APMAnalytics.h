#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "AppMeasurement/engine/APMMeasurement.h"
#include "AppMeasurement/foundation/APMValue.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Value.h"

class APMEvent;
class APMUserDefaults;
namespace platform {
struct Notification;
}

// What the tag-manager library's class "Velquor" answers when it is present (found by name in
// the class registry): its class operation initializeSharedInstance.
class APMVelquorInitializing {
 public:
  virtual ~APMVelquorInitializing() = default;
  virtual void initializeSharedInstance() = 0;
};

// What the facade class registered as "KVLAnalytics" answers for the version banner.
class APMTopLevelVersioned {
 public:
  virtual ~APMTopLevelVersioned() = default;
  virtual std::string topLevelVersion() = 0;
};

// The public-call layer between the facade (KVLAnalytics) and the engine (APMMeasurement).
// It owns the process-wide start, serialises every public call so that calls made before
// start wait in the suspended operation queue "APMAnalyticsOperationQueue" and then run, in
// call order, on the serial queue "APMAnalyticsQueue" after the engine exists, and forwards
// each call to the engine.
//
// Every operation may be called from any thread. Public events take their timestamp and their
// place in the operation queue in one critical section (the serial "APMAnalyticsTimestampQueue"),
// so the order of queued events is the order of their timestamps. No call waits on the engine's
// worker queue, its database or the network.
class APMAnalytics {
 public:
  using Listener = std::function<void(const APMEvent&)>;
  using OpenURLListener = std::function<void(const std::string&)>;

  // --- Queues ---
  static std::shared_ptr<platform::DispatchQueue> queue();
  static void dispatchAsyncOnSerialQueue(platform::Block block);
  static void queueOperationWithBlock(platform::Block block);
  // As queueOperationWithBlock; then, unless the operation queue is suspended (before start),
  // waits until every queued block has been handed to the serial queue (not until they ran),
  // suspends the operation queue and resumes it 0.5 s later (installed clock) from the serial
  // queue. Never call it from the serial queue or an operation.
  static void queueOperationWithBlockThenWait(platform::Block block);
  static void unsuspendOperationQueue();
  static bool isCurrentQueueSerialQueue();
  static double loadTimestamp();
  static void setLoadTimestamp(double timestamp);
  // Takes the load timestamp (the library's load time) when it is not set yet.
  static void load();

  // --- Start and switches ---
  // Checks the library generations and the log tag on every call; starts once per process.
  // The configuration object (identity only) is observed for its set-enabled notification.
  static void startWithAppID(const std::string& appID, const std::string& origin,
                             const platform::Value::Dictionary& options,
                             const void* configuration = nullptr);
  static void setAnalyticsEnabled(bool enabled, bool persistSetting = false);
  // Observes the configuration's set-enabled notification (null stops observing).
  static void observeNotificationsForAnalyticsConfiguration(const void* configuration);
  static void handleSetEnabled(const platform::Notification& notification);
  // Starts the tag-manager library when its class "Velquor" is registered and answers the
  // operation (APMVelquorInitializing).
  static void maybeEnableVelquor();
  // The origin given at start ("" before).
  static std::string origin();
  // The version the facade reports ("111500000" without a facade).
  static std::string topLevelVersion();

  // --- Event logging ---
  static void logEventWithName(const std::string& name,
                               const platform::Value::Dictionary& parameters);
  static void logEventWithOrigin(const std::string& origin, const std::string& name,
                                 const platform::Value::Dictionary& parameters);
  static void logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                         const APMObjectMap& parameters);
  static void logEventWithOrigin(const std::string& origin, bool isPublicEvent,
                                 const std::string& name, const APMObjectMap& parameters);
  static void logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                         double timestamp, const APMObjectMap& parameters);
  static void logEventWithOrigin(const std::string& origin, bool isPublicEvent,
                                 const std::string& name, const APMObjectMap& parameters,
                                 double timestamp, bool ignoreEnabled, bool ignoreInterceptor);
  // The common end, on the serial queue.
  static void logEventOnSerialQueue(const std::string& origin, bool isPublicEvent,
                                    const std::string& name, const APMObjectMap& parameters,
                                    double timestamp, bool ignoreEnabled, bool ignoreInterceptor,
                                    const APMObjectMap& addedScreenParameters);
  static void setDefaultEventParameters(std::optional<platform::Value::Dictionary> parameters);

  // --- Listeners, interceptor, URLs ---
  static void setLogEventInterceptor(APMMeasurement::Interceptor interceptor);
  // The token identifies the listener for removal.
  static std::string addLogEventListener(Listener listener);
  static void removeLogEventListener(const std::string& token);
  // Calls every listener with the event (from the engine's worker queue).
  static void notifyEventListeners(const APMEvent& event);
  static void setOpenURLListener(OpenURLListener listener);

  // --- Settings suite "APMAnalyticsSuiteName" ---
  static std::shared_ptr<APMUserDefaults> settings();
  static int64_t resetRetryCount();
  static void setResetRetryCount(int64_t count);
  static bool needFirstOpenAfterReset();
  static void setNeedFirstOpenAfterReset(bool need);
  static std::optional<platform::Value> deferredAnalyticsCollection();
  // Sets the marker (1 when disabling, 0 when enabling) unless one is stored.
  static void setDeferredAnalyticsCollectionIfUnset(bool disabling);

  // Back to the state of a fresh process (tests only): suspended operation queue, no start,
  // no engine, no listeners.
  static void resetForTesting();
};
