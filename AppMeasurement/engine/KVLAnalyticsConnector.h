#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "AppMeasurement/engine/KVLAnalyticsInterop.h"
#include "AppMeasurement/records/APMConditionalUserProperty.h"
#include "AppMeasurement/records/APMEvent.h"
#include "platform/core/KVLComponent.h"
#include "platform/dispatch/DispatchQueue.h"

// The measurement library's side of the interop protocol: registers the library with the
// platform core and offers one connector per request of the "KVLAnalyticsInterop" component.
// Events and user properties pass the lists of KVLConnectorUtils; listeners hear logged events
// per origin (delivery: the public-call serial queue, then the connector queue for the
// parameters, then the main queue). The connector logs nothing: what the lists refuse, and
// dictionary entries of the wrong type or unknown keys, are dropped silently.
//
// Every operation may be called from any thread. The listener table is guarded by a mutex;
// the measurement library's log-event listener exists exactly while the table is non-empty.
class KVLAnalyticsConnector : public KVLAnalyticsInterop,
                              public std::enable_shared_from_this<KVLAnalyticsConnector> {
 public:
  static constexpr const char* kLibraryName = "kvl-analytics";
  static constexpr const char* kLibraryVersion = "11.15.0";

  // Registers the library with the platform core (its components and its start).
  static void load();
  static std::vector<KVLComponent> componentsToRegister();
  // "com.orvane.analytics_connector.queue", made once.
  static std::shared_ptr<platform::DispatchQueue> connectorQueue();

  void setConditionalUserProperty(const platform::Value::Dictionary& property) override;
  // Clears the named property; a clear event only when a clear-event name is given.
  void clearConditionalUserProperty(
      const std::string& userPropertyName, const std::string& origin,
      const std::string& clearEventName,
      const platform::Value::Dictionary& clearEventParameters) override;
  platform::Value::Array conditionalUserProperties(const std::string& origin,
                                                   const std::string& propertyNamePrefix) override;
  int32_t maxUserProperties(const std::string& origin) override;
  void getUserPropertiesWithCallback(
      std::function<void(platform::Value::Dictionary)> callback) override;
  void logEventWithOrigin(const std::string& origin, const std::string& name,
                          const platform::Value::Dictionary& parameters) override;
  void setUserPropertyWithOrigin(const std::string& origin, const std::string& name,
                                 const platform::Value& value) override;
  void registerAnalyticsListener(std::shared_ptr<KVLAnalyticsInteropListener> listener,
                                 const std::string& origin) override;
  void unregisterAnalyticsListenerWithOrigin(const std::string& origin) override;

  // The property the dictionary describes, or nothing (the whole dictionary refused) when its
  // "value" is present and not a string, its "triggerEventName" not a string or its
  // "creationTimestamp" not a number: read otherwise, such a value would turn the property into
  // a clear or an untriggered one. A null "value" is no value (a clear). Other entries of the
  // wrong type and unknown keys are ignored.
  static std::optional<APMConditionalUserProperty> conditionalUserPropertyFromDictionary(
      const platform::Value::Dictionary& dictionary);
  // Plain numbers and strings as they are, typed values as plain ones; arrays left out.
  static platform::Value::Dictionary simplifiedParametersFromEventParameters(
      const APMValueMap& parameters);
  // Nothing when the origin or name is missing or refused.
  static std::optional<APMEvent> eventFromDictionary(const platform::Value::Dictionary& dictionary);
  static std::optional<APMEvent> eventWithOrigin(const std::string& origin,
                                                 const std::string& eventName,
                                                 const platform::Value::Dictionary& params);

 private:
  // The delivery of one logged event, on the public-call serial queue.
  void deliverEvent(const APMEvent& event);

  std::mutex mutex_;
  std::string logEventListener_;  // guarded by mutex_; "" while no listener is registered
  std::optional<std::map<std::string, std::shared_ptr<KVLAnalyticsInteropListener>>>
      listeners_;  // guarded by mutex_
};
