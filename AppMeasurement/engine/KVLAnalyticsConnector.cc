#include "AppMeasurement/engine/KVLAnalyticsConnector.h"

#include "AppMeasurement/engine/KVLAnalyticsFacadeNames.h"

#include "AppMeasurement/engine/APMConditionalUserPropertyController.h"
#include "AppMeasurement/engine/APMMeasurementSupport.h"
#include "AppMeasurement/engine/KVLAnalytics.h"
#include "AppMeasurement/engine/KVLConnectorUtils.h"
#include "platform/core/KVLApp.h"
#include "platform/dispatch/DispatchSemaphore.h"

using platform::Value;
using Dictionary = platform::Value::Dictionary;

namespace {

constexpr double kMaxUserPropertiesWaitSeconds = 10;

// The library as the platform core sees it: the interop component, and the start of
// measurement when the default app is configured.
class ConnectorLibrary : public KVLLibrary {
 public:
  std::vector<KVLComponent> componentsToRegister() override {
    return KVLAnalyticsConnector::componentsToRegister();
  }
  void configureWithApp(KVLApp& app) override {
    KVLAnalytics::startWithConfiguration(app.analyticsConfiguration(), app.options());
  }
};

// The answers of maxUserProperties arrive here, never on the connector queue, so that a caller
// on the connector queue is not waiting for its own queue.
std::shared_ptr<platform::DispatchQueue> maxUserPropertiesQueue() {
  static std::shared_ptr<platform::DispatchQueue>& queue =
      *new std::shared_ptr<platform::DispatchQueue>(platform::DispatchQueue::createSerial(
          "com.orvane.analytics_connector.max_user_properties"));
  return queue;
}

const std::string* stringEntry(const Dictionary& dictionary, const char* key) {
  auto found = dictionary.find(key);
  return found != dictionary.end() ? found->second.asString() : nullptr;
}

// Any number, a boolean included (a boolean is a number whose value is 0 or 1, as other
// libraries hand it over); nothing for every other kind.
std::optional<double> numberEntry(const Value& value) { return value.numberAsDouble(); }

}  // namespace

void KVLAnalyticsConnector::load() {
  KVLApp::registerInternalLibrary(std::make_shared<ConnectorLibrary>(), kLibraryName,
                                  kLibraryVersion);
}

std::vector<KVLComponent> KVLAnalyticsConnector::componentsToRegister() {
  return {KVLComponent::componentWithProtocol(
      KVLAnalyticsInterop::kProtocol, [](KVLComponentContainer&, bool*) -> std::shared_ptr<void> {
        std::shared_ptr<KVLAnalyticsInterop> connector = std::make_shared<KVLAnalyticsConnector>();
        return connector;
      })};
}

std::shared_ptr<platform::DispatchQueue> KVLAnalyticsConnector::connectorQueue() {
  static std::shared_ptr<platform::DispatchQueue>& queue =
      *new std::shared_ptr<platform::DispatchQueue>(
          platform::DispatchQueue::createSerial("com.orvane.analytics_connector.queue"));
  return queue;
}

// --- Events and user properties ---

void KVLAnalyticsConnector::logEventWithOrigin(const std::string& origin, const std::string& name,
                                               const Dictionary& parameters) {
  if (!KVLConnectorUtils::isOriginAllowed(origin) ||
      !KVLConnectorUtils::shouldLogEventWithName(name, parameters)) {
    return;
  }
  Dictionary copy = parameters;
  if (name == "_cmp") {
    static const std::map<std::string, std::string, std::less<>>& kIntegrations =
        *new std::map<std::string, std::string, std::less<>>{{"kcm", "kcm_integration"},
                                                             {"kdl", "kdl_integration"},
                                                             {"kiam", "kiam_integration"},
                                                             {"krc", "krc_integration"}};
    if (auto found = kIntegrations.find(origin); found != kIntegrations.end()) {
      copy["_cis"] = Value(found->second);
    }
  } else if (name == "_ae" && origin == "trx") {
    copy["_r"] = Value(int64_t{1});
  }
  KVLAnalytics::logInternalEventWithOrigin(origin, name, APMObject::mapFromDictionary(copy));
}

void KVLAnalyticsConnector::setUserPropertyWithOrigin(const std::string& origin,
                                                      const std::string& name, const Value& value) {
  if (!KVLConnectorUtils::isOriginAllowed(origin) ||
      !KVLConnectorUtils::isUserPropertyAllowed(name, origin)) {
    return;
  }
  KVLAnalytics::sharedInstance()->setInternalUserProperty(
      value.isNull() ? std::nullopt : std::optional<APMObject>(APMObject(value)), name, origin);
}

void KVLAnalyticsConnector::getUserPropertiesWithCallback(
    std::function<void(Dictionary)> callback) {
  KVLAnalytics::userPropertiesIncludingInternal(
      true, connectorQueue(), [callback = std::move(callback)](Dictionary properties) {
        Dictionary allowed;
        for (auto& [name, value] : properties) {
          if (KVLConnectorUtils::isUserPropertyAllowedForQuery(name)) allowed.emplace(name, value);
        }
        if (callback) callback(std::move(allowed));
      });
}

int32_t KVLAnalyticsConnector::maxUserProperties(const std::string& origin) {
  // Shared with the callback, which may come after the wait gave up.
  struct Answer {
    std::atomic<int32_t> count{0};
    platform::DispatchSemaphore arrived;
  };
  auto answer = std::make_shared<Answer>();
  KVLAnalytics::sharedInstance()->maxUserPropertiesForOrigin(origin, maxUserPropertiesQueue(),
                                                             [answer](int32_t count) {
                                                               answer->count.store(count);
                                                               answer->arrived.signal();
                                                             });
  if (!answer->arrived.wait(kMaxUserPropertiesWaitSeconds)) return 0;
  return answer->count.load();
}

// --- Conditional user properties ---

std::optional<APMConditionalUserProperty>
KVLAnalyticsConnector::conditionalUserPropertyFromDictionary(const Dictionary& dictionary) {
  KVLAConditionalUserProperty property;
  for (const auto& [key, value] : dictionary) {
    if (key == "name" || key == "origin") {
      const std::string* text = value.asString();
      if (text == nullptr) continue;
      (key == "name" ? property.name : property.origin) = *text;
    } else if (key == "triggerEventName") {
      // Without a trigger the property is set at once: a trigger that is not a string, null
      // included, refuses the dictionary rather than reading as none.
      const std::string* text = value.asString();
      if (text == nullptr) return std::nullopt;
      property.triggerEventName = *text;
    } else if (key == "value") {
      if (value.isNull()) continue;
      const std::string* text = value.asString();
      if (text == nullptr) return std::nullopt;
      property.value = APMValue(*text);
    } else if (key == "creationTimestamp") {
      // The controller stamps its own creation time; an explicit null is no time at all, as
      // for "value". A time of another kind is still refused whole.
      if (value.isNull()) continue;
      std::optional<double> number = numberEntry(value);
      if (!number) return std::nullopt;
      property.creationTimestamp = *number;
    } else if (key == "triggerTimeout" || key == "timeToLive" || key == "triggeredTimestamp") {
      // Left at 0, a timeout is refused by the controller as an invalid interval (11000,
      // 11001); the triggered time is the controller's own.
      std::optional<double> number = numberEntry(value);
      if (!number) continue;
      (key == "triggerTimeout" ? property.triggerTimeout
       : key == "timeToLive"   ? property.timeToLive
                               : property.triggeredTimestamp) = *number;
    } else if (key == "active") {
      if (value.isNumber()) property.active = value.numberAsBool().value_or(false);
    } else if (key == "triggeredEvent" || key == "timedOutEvent" || key == "expiredEvent") {
      const Dictionary* event = value.asDictionary();
      if (event == nullptr) continue;
      (key == "triggeredEvent"  ? property.triggeredEvent
       : key == "timedOutEvent" ? property.timedOutEvent
                                : property.expiredEvent) = eventFromDictionary(*event);
    }
  }
  return property;
}

void KVLAnalyticsConnector::setConditionalUserProperty(const Dictionary& dictionary) {
  if (dictionary.empty()) return;
  std::optional<APMConditionalUserProperty> property =
      conditionalUserPropertyFromDictionary(dictionary);
  // Refused silently, as the connector refuses everything else.
  if (!property) return;
  APMConditionalUserPropertyController::sharedInstance()->setConditionalUserProperty(
      &*property, property->name);
}

void KVLAnalyticsConnector::clearConditionalUserProperty(const std::string& userPropertyName,
                                                         const std::string& origin,
                                                         const std::string& clearEventName,
                                                         const Dictionary& clearEventParameters) {
  std::optional<APMEvent> clearEvent;
  if (!clearEventName.empty()) {
    Dictionary first;
    if (!clearEventParameters.empty()) first.insert(*clearEventParameters.begin());
    clearEvent = eventWithOrigin(origin, clearEventName, first);
  }
  APMConditionalUserPropertyController::sharedInstance()
      ->clearConditionalUserPropertyWithClearEvent(std::move(clearEvent), userPropertyName);
}

Value::Array KVLAnalyticsConnector::conditionalUserProperties(
    const std::string& origin, const std::string& propertyNamePrefix) {
  std::optional<std::vector<APMConditionalUserProperty>> properties =
      APMConditionalUserPropertyController::sharedInstance()
          ->conditionalUserPropertiesWithNamePrefix(Value(propertyNamePrefix), Value(origin));
  Value::Array answer;
  for (const APMConditionalUserProperty& property :
       properties.value_or(std::vector<APMConditionalUserProperty>{})) {
    if (property.name.empty() || !property.value || !property.value->isString()) continue;
    answer.push_back(Value(Dictionary{{"name", Value(property.name)},
                                      {"value", Value(*property.value->stringValue())}}));
  }
  return answer;
}

std::optional<APMEvent> KVLAnalyticsConnector::eventFromDictionary(const Dictionary& dictionary) {
  const std::string* origin = stringEntry(dictionary, "origin");
  const std::string* name = stringEntry(dictionary, "name");
  if (origin == nullptr || name == nullptr) return std::nullopt;
  double timestamp = apm_engine::now();
  if (auto found = dictionary.find("timestamp"); found != dictionary.end()) {
    if (std::optional<double> number = numberEntry(found->second)) timestamp = *number;
  }
  Dictionary parameters;
  if (auto found = dictionary.find("parameters"); found != dictionary.end()) {
    if (const Dictionary* given = found->second.asDictionary()) parameters = *given;
  }
  return KVLAEvent::create(*origin, false, *name, timestamp, 0,
                           APMObject::mapFromDictionary(parameters));
}

std::optional<APMEvent> KVLAnalyticsConnector::eventWithOrigin(const std::string& origin,
                                                               const std::string& eventName,
                                                               const Dictionary& params) {
  return KVLAEvent::create(origin, false, eventName, apm_engine::now(), 0,
                           APMObject::mapFromDictionary(params));
}

Dictionary KVLAnalyticsConnector::simplifiedParametersFromEventParameters(
    const APMValueMap& parameters) {
  Dictionary simple;
  for (const auto& [name, value] : parameters) {
    if (value.isDouble())
      simple.emplace(name, Value(value.doubleValue()));
    else if (value.isInt64())
      simple.emplace(name, Value(value.int64Value()));
    else if (value.isString())
      simple.emplace(name, Value(*value.stringValue()));
  }
  return simple;
}

// --- Listeners ---

void KVLAnalyticsConnector::registerAnalyticsListener(
    std::shared_ptr<KVLAnalyticsInteropListener> listener, const std::string& origin) {
  if (!listener || !KVLConnectorUtils::isListenerOriginAllowed(origin)) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!logEventListener_.empty() && listeners_) {
    (*listeners_)[origin] = std::move(listener);
    return;
  }
  listeners_.emplace();
  (*listeners_)[origin] = std::move(listener);
  std::weak_ptr<KVLAnalyticsConnector> weakSelf = weak_from_this();
  logEventListener_ = KVLAnalytics::addLogEventListener([weakSelf](const APMEvent& event) {
    if (std::shared_ptr<KVLAnalyticsConnector> self = weakSelf.lock()) self->deliverEvent(event);
  });
}

void KVLAnalyticsConnector::unregisterAnalyticsListenerWithOrigin(const std::string& origin) {
  std::string token;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (listeners_) {
      listeners_->erase(origin);
      if (!listeners_->empty()) return;
    }
    token = std::move(logEventListener_);
    logEventListener_.clear();
    listeners_.reset();
  }
  // With no listener there is no token: the measurement library logs the removal of a nil one.
  KVLAnalytics::removeLogEventListener(token);
}

void KVLAnalyticsConnector::deliverEvent(const APMEvent& event) {
  if (!KVLConnectorUtils::isEventNameAllowedForListeners(event.name())) return;
  std::shared_ptr<KVLAnalyticsInteropListener> target;
  bool broadcast = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!listeners_) return;
    if (auto own = listeners_->find(event.origin()); own != listeners_->end()) {
      target = own->second;
    } else if (KVLConnectorUtils::isAppOrigin(event.origin())) {
      broadcast = true;
    } else if (KVLConnectorUtils::isEventNameAllowedForListenerOrigin(event.name(), "trx")) {
      auto trx = listeners_->find("trx");
      if (trx == listeners_->end()) return;
      target = trx->second;
    } else {
      return;
    }
  }
  std::weak_ptr<KVLAnalyticsConnector> weakSelf = weak_from_this();
  connectorQueue()->async([weakSelf, event, target, broadcast] {
    Dictionary parameters = simplifiedParametersFromEventParameters(event.parameters());
    platform::DispatchQueue::main()->async(
        [weakSelf, name = event.name(), parameters, target, broadcast] {
          if (!broadcast) {
            target->messageTriggered(name, parameters);
            return;
          }
          std::shared_ptr<KVLAnalyticsConnector> self = weakSelf.lock();
          if (!self) return;
          std::vector<std::shared_ptr<KVLAnalyticsInteropListener>> everyone;
          {
            std::lock_guard<std::mutex> lock(self->mutex_);
            if (self->listeners_) {
              for (const auto& [origin, listener] : *self->listeners_) everyone.push_back(listener);
            }
          }
          for (const auto& listener : everyone) listener->messageTriggered(name, parameters);
        });
  });
}
