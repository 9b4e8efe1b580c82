#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "platform/capacitor/CAPBridge.h"

namespace platform {

// Serves the app's web content on 127.0.0.1 and carries the bridge over a WebSocket on the same
// origin, as the web view and its message handler do on the phone.
//
// HTTP: GET of files under the bundle folder (paths resolved with realpath and refused outside
// it). index.html gets, right after "<head>", the runtime's start-up: the window.Capacitor
// global and the socket address, the bridge shim, the bundle's native-bridge.js (the runtime's
// own file, unchanged) and window.Capacitor.PluginHeaders from the bridge.
//
// WebSocket: "/_capacitor/bridge?token=<token>", accepted only with this run's token, an Origin
// of this server and a Host of this server. Each connection is one CAPBridgePage; text frames go
// to CAPBridge::handleFrame; binary frames close with 1002, frames over 4 MiB with 1009. Closing
// is the page's reset (CAPBridge::pageClosed).
//
// Threads: one I/O thread runs every socket; answers may be sent from any thread and are written
// in order. Construction binds and starts; destruction stops and joins.
class CAPWebHost {
 public:
  // Binds 127.0.0.1:port (0 picks a free port). Throws std::runtime_error when the bundle folder
  // does not exist or the port cannot be bound.
  CAPWebHost(std::shared_ptr<CAPBridge> bridge, std::filesystem::path bundle, uint16_t port);
  ~CAPWebHost();
  CAPWebHost(const CAPWebHost&) = delete;
  CAPWebHost& operator=(const CAPWebHost&) = delete;

  uint16_t port() const { return port_; }
  // "http://127.0.0.1:<port>"
  std::string origin() const;
  // This run's secret for the socket (32 hexadecimal digits).
  const std::string& token() const { return token_; }

  // The app's own control path: POST "/_app/control" with the header "X-App-Token: <token>" and
  // a JSON object body is handed to the handler, on the I/O thread (it must only queue work);
  // it answers whether it took the request (204, else 400). Without the token: 403.
  using ControlHandler = std::function<bool(const Value& request)>;
  void setControlHandler(ControlHandler handler);

  // Closes every connection and stops serving. Idempotent.
  void stop();

  // The shim's source (CAPBridgeShim.js).
  static const char* const kBridgeShimScript;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
  uint16_t port_ = 0;
  std::string token_;
  std::thread thread_;
};

}  // namespace platform
