#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "tools/loopback-http/HttpExchange.h"

namespace loopback {

// An HTTP/1.1 server on 127.0.0.1 only, on Boost.Beast. One thread runs every connection;
// keep-alive connections are served, requests on one connection answered in order. The handler
// runs on the server's thread and must not block for long (delays are the response's `delay`).
// Bodies above 64 MiB are refused with 413.
class LoopbackHttpServer {
 public:
  using Handler = std::function<HttpResponse(const HttpRequest&)>;

  // Starts listening on 127.0.0.1:port (0 picks a free port). Throws std::runtime_error when the
  // port cannot be bound.
  LoopbackHttpServer(uint16_t port, Handler handler);
  // Stops and joins the server thread.
  ~LoopbackHttpServer();
  LoopbackHttpServer(const LoopbackHttpServer&) = delete;
  LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

  uint16_t port() const { return port_; }
  // "http://127.0.0.1:<port>"
  std::string baseURL() const;

  // Closes every connection and stops serving. Idempotent; from any thread but the server's.
  void stop();

  struct Impl;  // opaque: the Beast state, defined in the .cc

 private:
  std::unique_ptr<Impl> impl_;
  uint16_t port_ = 0;
  std::thread thread_;
};

}  // namespace loopback
