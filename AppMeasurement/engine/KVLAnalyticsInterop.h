#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/foundation/Value.h"

// What another library of the platform registers, per origin, to hear about logged events:
// the event's name and its parameters as plain values. Called on the main queue.
class KVLAnalyticsInteropListener {
 public:
  virtual ~KVLAnalyticsInteropListener() = default;
  virtual void messageTriggered(const std::string& name,
                                const platform::Value::Dictionary& parameters) = 0;
};

// The measurement library as the platform's other libraries (messaging, in-app messaging,
// dynamic links, remote configuration, crash reporting) reach it: the component offered for
// the protocol "KVLAnalyticsInterop" in the platform core's container. Callable from any
// thread; dictionaries come from other libraries and are checked, never trusted.
class KVLAnalyticsInterop {
 public:
  static constexpr const char* kProtocol = "KVLAnalyticsInterop";

  virtual ~KVLAnalyticsInterop() = default;
  // Keys are the property's field names (name, origin, value, triggerEventName, triggerTimeout,
  // timeToLive, triggeredEvent, timedOutEvent, expiredEvent, creationTimestamp, active,
  // triggeredTimestamp); the events are dictionaries of origin, name, timestamp, parameters.
  virtual void setConditionalUserProperty(const platform::Value::Dictionary& property) = 0;
  virtual void clearConditionalUserProperty(
      const std::string& userPropertyName, const std::string& origin,
      const std::string& clearEventName,
      const platform::Value::Dictionary& clearEventParameters) = 0;
  // [{"name": ..., "value": ...}] of the stored properties with string values.
  virtual platform::Value::Array conditionalUserProperties(
      const std::string& origin, const std::string& propertyNamePrefix) = 0;
  // Blocks the caller up to 10 s (installed clock); 0 when no answer came.
  virtual int32_t maxUserProperties(const std::string& origin) = 0;
  virtual void getUserPropertiesWithCallback(
      std::function<void(platform::Value::Dictionary)> callback) = 0;
  virtual void logEventWithOrigin(const std::string& origin, const std::string& name,
                                  const platform::Value::Dictionary& parameters) = 0;
  virtual void setUserPropertyWithOrigin(const std::string& origin, const std::string& name,
                                         const platform::Value& value) = 0;
  virtual void registerAnalyticsListener(std::shared_ptr<KVLAnalyticsInteropListener> listener,
                                         const std::string& origin) = 0;
  virtual void unregisterAnalyticsListenerWithOrigin(const std::string& origin) = 0;
};
