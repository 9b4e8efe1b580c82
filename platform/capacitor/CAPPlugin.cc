#include "platform/capacitor/CAPPlugin.h"

#include <array>

#include "platform/foundation/PlatformLog.h"

namespace platform {

CAPPlugin::CAPPlugin(std::weak_ptr<CAPBridge> bridge, std::string pluginId, std::string pluginName)
    : bridge_(std::move(bridge)),
      pluginId_(std::move(pluginId)),
      pluginName_(std::move(pluginName)) {}

bool CAPPlugin::performMethod(const std::string&, const std::shared_ptr<CAPPluginCall>&) {
  return false;
}

bool CAPPlugin::isBaseMethod(std::string_view name) {
  static constexpr std::array<std::string_view, 5> kBase = {
      "addListener", "removeListener", "removeAllListeners", "checkPermissions",
      "requestPermissions"};
  for (auto base : kBase) {
    if (base == name) return true;
  }
  return false;
}

bool CAPPlugin::perform(const std::string& name, const std::shared_ptr<CAPPluginCall>& call) {
  if (performMethod(name, call)) return true;
  if (name == "addListener") {
    addListener(call);
  } else if (name == "removeListener") {
    removeListener(call);
  } else if (name == "removeAllListeners") {
    removeAllListeners(call);
  } else if (name == "checkPermissions") {
    checkPermissions(call);
  } else if (name == "requestPermissions") {
    requestPermissions(call);
  } else {
    return false;
  }
  return true;
}

void CAPPlugin::sendEvent(const Listener& listener, const Value::Dictionary& data) const {
  listener.page->send(CAPPluginCall::serialize(CAPPluginCall::resultFrame(
      listener.callbackId, listener.pluginId, "addListener", true, data)));
}

void CAPPlugin::notifyListeners(const std::string& eventName, Value::Dictionary data,
                                bool retainUntilConsumed) {
  std::lock_guard lock(mutex_);
  auto it = listeners_.find(eventName);
  if (it == listeners_.end() || it->second.empty()) {
    if (!retainUntilConsumed) return;
    auto& queue = retained_[eventName];
    if (queue.size() >= kMaxRetainedEvents) {
      queue.pop_front();
      PlatformLog::write("Capacitor: " + pluginId_ + " holds " +
                         std::to_string(kMaxRetainedEvents) + " unheard \"" + eventName +
                         "\" events; the oldest is dropped");
    }
    queue.push_back(std::move(data));
    return;
  }
  // Sent under the lock, so that events reach every page in the order they were notified.
  for (const Listener& listener : it->second) sendEvent(listener, data);
}

bool CAPPlugin::hasListeners(const std::string& eventName) const {
  std::lock_guard lock(mutex_);
  auto it = listeners_.find(eventName);
  return it != listeners_.end() && !it->second.empty();
}

void CAPPlugin::removeListenersOfPage(uint64_t pageId) {
  std::lock_guard lock(mutex_);
  for (auto& [name, list] : listeners_) {
    std::erase_if(list, [&](const Listener& l) { return l.page->pageId() == pageId; });
  }
}

void CAPPlugin::addListener(const std::shared_ptr<CAPPluginCall>& call) {
  // The call stays open: its callbackId carries every event. It is never answered itself.
  auto eventName = call->getString("eventName");
  if (!eventName || !call->page()) return;
  std::lock_guard lock(mutex_);
  Listener listener{call->page(), call->callbackId(), call->pluginId()};
  listeners_[*eventName].push_back(listener);
  auto retained = retained_.find(*eventName);
  if (retained != retained_.end()) {
    for (const auto& data : retained->second) sendEvent(listener, data);
    retained_.erase(retained);
  }
}

void CAPPlugin::removeListener(const std::shared_ptr<CAPPluginCall>& call) {
  auto eventName = call->getString("eventName");
  auto callbackId = call->getString("callbackId");
  if (!eventName || !callbackId || !call->page()) return;
  std::lock_guard lock(mutex_);
  auto it = listeners_.find(*eventName);
  if (it == listeners_.end()) return;
  const uint64_t pageId = call->page()->pageId();
  std::erase_if(it->second, [&](const Listener& l) {
    return l.callbackId == *callbackId && l.page->pageId() == pageId;
  });
}

void CAPPlugin::removeAllListeners(const std::shared_ptr<CAPPluginCall>& call) {
  {
    std::lock_guard lock(mutex_);
    listeners_.clear();
  }
  call->resolve();
}

void CAPPlugin::checkPermissions(const std::shared_ptr<CAPPluginCall>& call) { call->resolve(); }

void CAPPlugin::requestPermissions(const std::shared_ptr<CAPPluginCall>& call) { call->resolve(); }

}  // namespace platform
