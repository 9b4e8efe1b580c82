#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "platform/capacitor/CAPBridge.h"
#include "platform/net/BodyArrival.h"

namespace platform {

// Serves the app's web content on 127.0.0.1 and carries the bridge over a WebSocket on the same
// origin, as the web view and its message handler do on the phone.
//
// Who may come in, as notebook servers do it: the URL the app prints (newPageURL) carries a
// one-time secret. The first request with it is answered with a session cookie (HttpOnly,
// SameSite=Strict, named after the port) and a redirect to the bare URL; every page, script and
// socket request without that cookie is refused with 403, as is every request whose Host is not
// this server's. Another local user reading the port gets nothing.
//
// The cookie alone never opens the socket: browsers send cookies to every port of 127.0.0.1, so
// another user's listener the browser is sent to receives it. The URL also carries a socket key
// in its fragment ("#key="), which browsers never send to any server and keep across the
// redirect; the shim takes it from the address (keeping it in the tab's sessionStorage, so a
// reload still has it, and removing it from the address bar) and presents it when it opens the
// socket ("/_capacitor/bridge?key="), a request that goes to this port only.
//
// An address given on a browser's command line, which every local user reads, must be worthless
// once used: the socket's first frame, before any answer, is {"bridgeKey": "<32 hex digits>"},
// the key for the page's next socket (its reload); the shim keeps it in place of the one it had
// and answers {"bridgeKeyKept": "<that key>"}, after which the key it replaces opens nothing
// (CAPSocketKeys). That frame is the host's; every other one goes to the bridge. The first such
// acknowledgement of a line of keys spends it: every other socket opened from the line is closed
// (kKeyTakenCloseCode), the page's own when another socket acknowledged first.
//
// No page of the host may be framed (Content-Security-Policy frame-ancestors 'none' and
// X-Frame-Options DENY on every response): a frame of it in a page of another port would share
// the tab's storage, the key with it.
//
// HTTP: GET of files under the bundle folder (paths resolved with realpath and refused outside
// it). index.html gets, right after "<head>", the runtime's start-up: the window.Capacitor
// global and the socket address, the bridge shim, the bundle's native-bridge.js (the runtime's
// own file, unchanged) and window.Capacitor.PluginHeaders from the bridge. Malformed requests
// get 400 (431 for headers over 8 KiB), and so do framings Beast lets through
// (platform/net/RequestFraming.h: a Transfer-Encoding other than "chunked", a second Host, a
// target naming another host, a chunk line over 16 KiB); a request's header section must arrive
// within kHeaderDeadline (real time) and its body must keep arriving (kBodyArrival: no 5 s
// stall, 64 KiB/s on average after that, whole within 60 s), or the connection is closed.
//
// WebSocket: "/_capacitor/bridge", accepted only with the session cookie, an Origin of this
// server, a Host of this server and a live socket key (of an address whose secret was spent, or
// given by the page's previous socket). Each connection is one CAPBridgePage; text frames go to
// CAPBridge::handleFrame (but the page's "bridgeKeyKept"); binary frames close with 1002,
// frames over 4 MiB with 1009. Answers waiting for a page that does not read are
// bounded: past kMaxQueuedBytes the socket is closed with 1008. Closing is the page's reset
// (CAPBridge::pageClosed); a page that goes (tab closed or reloaded, however the browser drops
// the connection) is a normal end and is not logged.
//
// At most kMaxConnections connections at once; while a new peer waits past them, the connection
// that has waited longest for a request is closed for it (keep-alive peers give way). Running out
// of descriptors never stops it.
//
// Threads: one I/O thread runs every socket; answers may be sent from any thread and are written
// in order. The I/O thread is woken once for the answers that come before it takes them, and
// the answers that wait while a write is under way leave together in the next one (one system
// call). Construction binds and starts; destruction stops and joins.
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
  // Answers queued for one page beyond this close its socket (1008).
  static constexpr size_t kMaxQueuedBytes = size_t{16} << 20;
  static constexpr size_t kMaxConnections = 256;
  static constexpr std::chrono::seconds kHeaderDeadline{5};
  static constexpr BodyArrival::Limits kBodyArrival{};
  // The close code of a socket whose line of keys another socket spent (CAPSocketKeys): its
  // page's key opens nothing more, and the page must be opened from a new address.
  static constexpr uint16_t kKeyTakenCloseCode = 4000;

  // The page's address with a new one-time secret and a new socket key
  // ("http://127.0.0.1:<port>/?secret=<32 hex digits>#key=<32 hex digits>"). Each secret opens
  // one browser session; at most 16 unspent ones are kept (the oldest goes). Once its secret is
  // spent, the key opens sockets until a socket opened with it has kept the next key it was
  // handed; the 16 newest such lines of keys are live. Any thread.
  std::string newPageURL();

  // This run's secret for the control path (32 hexadecimal digits).
  const std::string& token() const { return token_; }

  // The app's own control path: POST "/_app/control" with the header "X-App-Token: <token>" and
  // a JSON object body (within platform::JSONBounds' defaults, else 413, before any parse).
  // {"action": "page-url"} is the host's own: it answers 200 with
  // {"url": newPageURL()}. Every other body is handed to the handler, on the I/O thread (it must
  // only queue work); it answers whether it took the request (204, else 400). Without the
  // token: 403. The session cookie is neither needed nor enough here.
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
