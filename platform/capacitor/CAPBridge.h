#pragma once

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/capacitor/CAPBridgePage.h"
#include "platform/capacitor/CAPBridgeViewController.h"
#include "platform/capacitor/CAPBridgedPlugin.h"
#include "platform/capacitor/CAPPlugin.h"
#include "platform/foundation/Value.h"

namespace platform {

class DispatchQueue;

// The native side of the runtime's bridge: the plug-ins, keyed by the name web code reaches
// them by (jsName), and the reading of web code's call frames.
//
// Threads: handleFrame is called from the socket's thread; every plug-in method runs on one
// serial bridge queue (never the main queue, since a plug-in may wait on the main queue or on
// the measurement engine); the queue is woken once for the calls that come before it takes
// them, and runs them in the order they came. Answers go from any thread straight to the page
// (CAPBridgePage).
// Registration happens at start-up, before the first frame; the plug-in table is read-only
// after that and guarded by mutex_ all the same.
class CAPBridge : public std::enable_shared_from_this<CAPBridge> {
 public:
  static std::shared_ptr<CAPBridge> create();

  // Adds a plug-in (it must adopt CAPBridgedPlugin) under its jsName and calls its load() once,
  // on this thread. A second plug-in with the same jsName is logged and ignored.
  bool registerPlugin(const std::shared_ptr<CAPPlugin>& plugin);
  std::shared_ptr<CAPPlugin> plugin(std::string_view jsName) const;

  // The headers the runtime's JavaScript builds its plug-in proxies from:
  // [{name: jsName, methods: [{name, rtype?}]}], the five base methods first ("addListener"
  // and "removeListener" as callbacks, the other three promises), then the plug-in's table in
  // its order; a "none" method has no rtype.
  Value pluginHeaders() const;

  // Reads one text frame from `page` and runs the call on the bridge queue. Never throws;
  // every frame with a readable callbackId is answered (see CAPBridgeMessage).
  void handleFrame(const std::shared_ptr<CAPBridgePage>& page, std::string_view frame);

  // The runtime's reset of a page: its listeners go. Pending calls answer into nothing.
  void pageClosed(const std::shared_ptr<CAPBridgePage>& page);

  // The app is leaving: from now on every call read is rejected at once ("UNAVAILABLE"); the
  // calls read before run as usual. Returns once they have run (each has been answered, or is
  // left to answer from another queue, and what it handed on is queued there). Idempotent. Not
  // from the bridge queue.
  void refuseNewCalls();
  bool refusesNewCalls() const;

  const std::shared_ptr<DispatchQueue>& queue() const { return queue_; }
  std::shared_ptr<CAPBridgeViewController> viewController() const;
  void setViewController(std::shared_ptr<CAPBridgeViewController> viewController);

 private:
  CAPBridge();
  void dispatch(const std::shared_ptr<CAPPluginCall>& call);
  // On the bridge queue: runs the waiting calls in the order they came, until none waits.
  void dispatchWaiting();

  const std::shared_ptr<DispatchQueue> queue_;
  mutable std::mutex mutex_;
  std::map<std::string, std::shared_ptr<CAPPlugin>, std::less<>> plugins_;  // guarded by mutex_
  std::shared_ptr<CAPBridgeViewController> viewController_;                 // guarded by mutex_
  mutable std::mutex callsMutex_;
  std::deque<std::shared_ptr<CAPPluginCall>> calls_;  // read, not yet run; guarded by callsMutex_
  bool refusing_ = false;                             // guarded by callsMutex_
};

}  // namespace platform
