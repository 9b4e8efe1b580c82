#pragma once

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/capacitor/CAPPluginCall.h"
#include "platform/foundation/Value.h"

namespace platform {

class CAPBridge;

// Base of every plug-in. The bridge creates a plug-in, hands it to CAPBridge::registerPlugin,
// which calls load() once; then the bridge queue calls perform() for each call web code makes.
//
// The base serves the five methods every plug-in has: "addListener", "removeListener",
// "removeAllListeners", "checkPermissions" and "requestPermissions" (the last two resolve
// without data, as the runtime's base does).
//
// Listeners belong to the page that added them and go when it closes. An event sent with
// retainUntilConsumed while nobody listens for it is kept (in order, at most
// kMaxRetainedEvents per event name, the oldest dropped and logged) and handed to the first
// listener for that name. notifyListeners may be called from any thread; the listener tables
// are guarded by mutex_.
class CAPPlugin : public std::enable_shared_from_this<CAPPlugin> {
 public:
  static constexpr size_t kMaxRetainedEvents = 1000;

  // initWithBridge:pluginId:pluginName:
  CAPPlugin(std::weak_ptr<CAPBridge> bridge, std::string pluginId, std::string pluginName);
  virtual ~CAPPlugin() = default;
  CAPPlugin(const CAPPlugin&) = delete;
  CAPPlugin& operator=(const CAPPlugin&) = delete;

  // Called once by the bridge, on the thread that registers the plug-in.
  virtual void load() {}

  // Runs the plug-in's own method `name`; answers false when the plug-in has none, so that the
  // bridge can try the base methods. Called on the bridge queue.
  virtual bool performMethod(const std::string& name, const std::shared_ptr<CAPPluginCall>& call);

  // The plug-in's own method, else a base method; false when neither exists.
  bool perform(const std::string& name, const std::shared_ptr<CAPPluginCall>& call);
  static bool isBaseMethod(std::string_view name);

  std::shared_ptr<CAPBridge> bridge() const { return bridge_.lock(); }
  const std::string& pluginId() const { return pluginId_; }
  const std::string& pluginName() const { return pluginName_; }

  // Sends `eventName` with `data` to every listener of this plug-in, as saved answers to their
  // addListener calls.
  void notifyListeners(const std::string& eventName, Value::Dictionary data,
                       bool retainUntilConsumed = false);
  bool hasListeners(const std::string& eventName) const;

  // The runtime's reset of one page: its listeners go.
  void removeListenersOfPage(uint64_t pageId);

  // Base methods.
  void addListener(const std::shared_ptr<CAPPluginCall>& call);
  void removeListener(const std::shared_ptr<CAPPluginCall>& call);
  void removeAllListeners(const std::shared_ptr<CAPPluginCall>& call);
  void checkPermissions(const std::shared_ptr<CAPPluginCall>& call);
  void requestPermissions(const std::shared_ptr<CAPPluginCall>& call);

 private:
  struct Listener {
    std::shared_ptr<CAPBridgePage> page;
    std::string callbackId;
    std::string pluginId;  // as web code called it (the jsName)
  };
  void sendEvent(const Listener& listener, const Value::Dictionary& data) const;

  const std::weak_ptr<CAPBridge> bridge_;
  const std::string pluginId_;
  const std::string pluginName_;

  mutable std::mutex mutex_;
  std::map<std::string, std::vector<Listener>, std::less<>> listeners_;         // guarded by mutex_
  std::map<std::string, std::deque<Value::Dictionary>, std::less<>> retained_;  // by mutex_
};

}  // namespace platform
