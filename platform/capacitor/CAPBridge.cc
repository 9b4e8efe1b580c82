#include "platform/capacitor/CAPBridge.h"

#include "platform/capacitor/CAPBridgeMessage.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/PlatformLog.h"

namespace platform {

std::shared_ptr<CAPBridge> CAPBridge::create() {
  return std::shared_ptr<CAPBridge>(new CAPBridge());
}

CAPBridge::CAPBridge() : queue_(DispatchQueue::createSerial("capacitor.bridge")) {}

bool CAPBridge::registerPlugin(const std::shared_ptr<CAPPlugin>& plugin) {
  auto* bridged = dynamic_cast<CAPBridgedPlugin*>(plugin.get());
  if (bridged == nullptr) {
    PlatformLog::write("Capacitor: plug-in " + plugin->pluginName() +
                       " has no bridged identity and is not loaded");
    return false;
  }
  {
    std::lock_guard lock(mutex_);
    if (!plugins_.emplace(bridged->jsName(), plugin).second) {
      PlatformLog::write("Capacitor: a plug-in named " + bridged->jsName() +
                         " is already loaded; the second is ignored");
      return false;
    }
  }
  plugin->load();
  return true;
}

std::shared_ptr<CAPPlugin> CAPBridge::plugin(std::string_view jsName) const {
  std::lock_guard lock(mutex_);
  auto it = plugins_.find(jsName);
  return it == plugins_.end() ? nullptr : it->second;
}

Value CAPBridge::pluginHeaders() const {
  std::lock_guard lock(mutex_);
  Value headers = Value::Array{};
  for (const auto& [jsName, plugin] : plugins_) {
    auto* bridged = dynamic_cast<CAPBridgedPlugin*>(plugin.get());
    Value methods = Value::Array{};
    auto add = [&](const std::string& name, const std::string& returnType) {
      Value method = Value::Dictionary{};
      method["name"] = name;
      if (returnType != CAPPluginReturnNone) method["rtype"] = returnType;
      methods.push_back(std::move(method));
    };
    add("addListener", CAPPluginReturnCallback);
    add("removeListener", CAPPluginReturnCallback);
    add("removeAllListeners", CAPPluginReturnPromise);
    add("checkPermissions", CAPPluginReturnPromise);
    add("requestPermissions", CAPPluginReturnPromise);
    for (const auto& m : bridged->pluginMethods()) add(m.name, m.returnType);
    Value header = Value::Dictionary{};
    header["name"] = jsName;
    header["methods"] = std::move(methods);
    headers.push_back(std::move(header));
  }
  return headers;
}

void CAPBridge::handleFrame(const std::shared_ptr<CAPBridgePage>& page, std::string_view frame) {
  CAPBridgeMessage message = CAPBridgeMessage::read(frame);
  switch (message.kind) {
    case CAPBridgeMessage::Kind::kUnreadable:
      PlatformLog::write("Capacitor: frame dropped: " + message.reason);
      return;
    case CAPBridgeMessage::Kind::kJsError:
      PlatformLog::write("Capacitor: JavaScript error: " + message.reason);
      return;
    case CAPBridgeMessage::Kind::kConsoleMirror:
      PlatformLog::write("Capacitor/Console: " + message.reason);
      return;
    case CAPBridgeMessage::Kind::kRefused: {
      PlatformLog::write("Capacitor: call " + message.callbackId + " refused: " + message.reason);
      CAPPluginCall(message.callbackId, message.pluginId, message.methodName, {}, page)
          .reject(message.reason);
      return;
    }
    case CAPBridgeMessage::Kind::kCall:
      break;
  }
  auto call = std::make_shared<CAPPluginCall>(
      std::move(message.callbackId), std::move(message.pluginId), std::move(message.methodName),
      std::move(message.options), page);
  // The bridge queue is woken once for the calls that arrive before it takes them.
  bool wake = false;
  bool refused = false;
  {
    std::lock_guard lock(callsMutex_);
    refused = refusing_;
    if (!refused) {
      wake = calls_.empty();
      calls_.push_back(call);
    }
  }
  // The app is leaving: what the call would hand on might not be kept, so it never gets
  // "success".
  if (refused) {
    call->rejectWithCode("The app is leaving", "UNAVAILABLE");
    return;
  }
  if (wake) queue_->async([self = shared_from_this()] { self->dispatchWaiting(); });
}

void CAPBridge::refuseNewCalls() {
  {
    std::lock_guard lock(callsMutex_);
    refusing_ = true;
  }
  // Every call read before is in calls_ by now; a wake-up for the last of them may still be on
  // its way to the queue, so they are run from here if the queue has not taken them.
  queue_->sync([self = shared_from_this()] { self->dispatchWaiting(); });
}

bool CAPBridge::refusesNewCalls() const {
  std::lock_guard lock(callsMutex_);
  return refusing_;
}

void CAPBridge::dispatchWaiting() {
  for (;;) {
    std::shared_ptr<CAPPluginCall> call;
    {
      std::lock_guard lock(callsMutex_);
      if (calls_.empty()) return;
      call = std::move(calls_.front());
      calls_.pop_front();
    }
    dispatch(call);
  }
}

void CAPBridge::dispatch(const std::shared_ptr<CAPPluginCall>& call) {
  std::shared_ptr<CAPPlugin> target = plugin(call->pluginId());
  bool listed = false;
  if (target != nullptr) {
    listed = CAPPlugin::isBaseMethod(call->methodName());
    if (!listed) {
      auto* bridged = dynamic_cast<CAPBridgedPlugin*>(target.get());
      for (const auto& m : bridged->pluginMethods()) listed |= m.name == call->methodName();
    }
  }
  // The runtime would leave an unknown call pending forever; web code gets a rejection instead.
  if (!listed || !target->perform(call->methodName(), call)) {
    call->rejectWithCode(
        "\"" + call->pluginId() + "." + call->methodName() + "()\" is not implemented on ios",
        "UNIMPLEMENTED");
  }
}

void CAPBridge::pageClosed(const std::shared_ptr<CAPBridgePage>& page) {
  std::lock_guard lock(mutex_);
  for (const auto& [name, plugin] : plugins_) plugin->removeListenersOfPage(page->pageId());
}

std::shared_ptr<CAPBridgeViewController> CAPBridge::viewController() const {
  std::lock_guard lock(mutex_);
  return viewController_;
}

void CAPBridge::setViewController(std::shared_ptr<CAPBridgeViewController> viewController) {
  std::lock_guard lock(mutex_);
  viewController_ = std::move(viewController);
}

}  // namespace platform
