#include "app/KavrelinAnalytics/KavrelinAnalytics.h"

#include "app/KavrelinAnalytics/KVLAnalyticsFacade.h"
#include "platform/core/KVLApp.h"
#include "platform/dispatch/DispatchQueue.h"

using platform::CAPPluginCall;
using platform::Value;
using Call = std::shared_ptr<CAPPluginCall>;

std::vector<platform::CAPPluginMethod> KavrelinAnalytics::pluginMethods() const {
  return {{"setUserId", "promise"},
          {"setUserProperty", "promise"},
          {"getAppInstanceId", "promise"},
          {"setScreenName", "promise"},
          {"reset", "promise"},
          {"logEvent", "promise"},
          {"setCollectionEnabled", "promise"},
          {"setSessionTimeoutDuration", "promise"},
          {"enable", "promise"},
          {"disable", "promise"}};
}

void KavrelinAnalytics::load() {
  if (KVLApp::defaultApp() == nullptr) KVLApp::configure();
}

bool KavrelinAnalytics::performMethod(const std::string& name, const Call& call) {
  using Method = void (KavrelinAnalytics::*)(const Call&);
  static const std::pair<const char*, Method> kMethods[] = {
      {"setUserId", &KavrelinAnalytics::setUserId},
      {"setUserProperty", &KavrelinAnalytics::setUserProperty},
      {"getAppInstanceId", &KavrelinAnalytics::getAppInstanceId},
      {"setScreenName", &KavrelinAnalytics::setScreenName},
      {"reset", &KavrelinAnalytics::reset},
      {"logEvent", &KavrelinAnalytics::logEvent},
      {"setCollectionEnabled", &KavrelinAnalytics::setCollectionEnabled},
      {"setSessionTimeoutDuration", &KavrelinAnalytics::setSessionTimeoutDuration},
      {"enable", &KavrelinAnalytics::enable},
      {"disable", &KavrelinAnalytics::disable}};
  for (const auto& [method, body] : kMethods) {
    if (name == method) {
      (this->*body)(call);
      return true;
    }
  }
  return false;
}

void KavrelinAnalytics::setUserId(const Call& call) {
  auto userId = call->getString("userId");
  if (!userId) return call->reject("userId property is missing");
  KVLAnalyticsFacade::current()->setUserID(*userId);
  call->resolve();
}

void KavrelinAnalytics::setUserProperty(const Call& call) {
  auto name = call->getString("name");
  if (!name) return call->reject("name property is missing");
  auto value = call->getString("value");
  if (!value) return call->reject("value property is missing");
  KVLAnalyticsFacade::current()->setUserPropertyString(*value, *name);
  call->resolve();
}

void KavrelinAnalytics::getAppInstanceId(const Call& call) {
  auto id = KVLAnalyticsFacade::current()->appInstanceID();
  call->resolve({{"instanceId", id ? Value(*id) : Value()}});
}

void KavrelinAnalytics::setScreenName(const Call& call) {
  auto screenName = call->getString("screenName");
  if (!screenName) return call->reject("screenName property is missing");
  auto nameOverride = call->getString("nameOverride");
  Value::Dictionary parameters{{"screen_name", Value(*screenName)},
                               {"screen_class", nameOverride ? Value(*nameOverride) : Value()}};
  platform::DispatchQueue::main()->async([parameters = std::move(parameters)] {
    KVLAnalyticsFacade::current()->logEventWithName("screen_view", parameters);
  });
  call->resolve();
}

void KavrelinAnalytics::reset(const Call& call) {
  KVLAnalyticsFacade::current()->resetAnalyticsData();
  call->resolve();
}

namespace {

// The quantity as an integer: an integer, a real with a whole value that fits int64 (a whole value
// beyond it has no integer to store), or a boolean, which is a number object on the platform as a
// page's true is once it crossed the bridge: 1 or 0.
std::optional<int64_t> wholeQuantity(const Value& quantity) {
  if (quantity.isBool()) return quantity.numberAsInteger();
  if (const int64_t* i = quantity.asInteger()) return *i;
  if (const double* d = quantity.asReal()) return platform::wholeInteger(*d);
  return std::nullopt;
}

}  // namespace

void KavrelinAnalytics::logEvent(const Call& call) {
  auto name = call->getString("name");
  if (!name || name->empty()) return call->reject("Event name is required and can't be empty");
  auto params = call->getObject("params");
  if (!params || params->empty()) {
    KVLAnalyticsFacade::current()->logEventWithName(*name, std::nullopt);
    return call->resolve();
  }
  auto items = params->find("items");
  if (items != params->end() && items->second.isArray()) {
    const Value::Array& elements = *items->second.asArray();
    bool allObjects = true;
    for (const Value& element : elements) allObjects &= element.isDictionary();
    if (allObjects) {
      Value::Array rebuilt;
      rebuilt.reserve(elements.size());
      for (const Value& element : elements) {
        Value item = element;
        if (const Value* quantity = item.find("quantity")) {
          auto whole = wholeQuantity(*quantity);
          if (!whole) return call->reject("Item quantity must be specified as an integer value");
          item["quantity"] = *whole;
        }
        rebuilt.push_back(std::move(item));
      }
      items->second = std::move(rebuilt);
    }
  }
  KVLAnalyticsFacade::current()->logEventWithName(*name, std::move(*params));
  call->resolve();
}

void KavrelinAnalytics::setCollectionEnabled(const Call& call) {
  KVLAnalyticsFacade::current()->setAnalyticsCollectionEnabled(
      call->getBool("enabled").value_or(false));
  call->resolve();
}

void KavrelinAnalytics::setSessionTimeoutDuration(const Call& call) {
  auto duration = call->getInt("duration").value_or(1800);
  KVLAnalyticsFacade::current()->setSessionTimeoutInterval(static_cast<double>(duration));
  call->resolve();
}

void KavrelinAnalytics::enable(const Call& call) {
  KVLAnalyticsFacade::current()->setAnalyticsCollectionEnabled(true);
  call->resolve();
}

void KavrelinAnalytics::disable(const Call& call) {
  KVLAnalyticsFacade::current()->setAnalyticsCollectionEnabled(false);
  call->resolve();
}
