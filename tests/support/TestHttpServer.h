#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tools/loopback-http/LoopbackHttpServer.h"

namespace testsupport {

// A request as the server received it: method, target, path, query, headers, body.
using RecordedRequest = loopback::HttpRequest;

// What the server answers to one request.
struct ScriptedResponse {
  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  // Held back this long before answering (real time: only for short, test-controlled stalls,
  // e.g. to outlast a client's time-out). The server's destructor cuts a stall short.
  std::chrono::milliseconds delay{0};
};

// A small HTTP/1.1 server on 127.0.0.1 for tests: the local services' server
// (loopback::LoopbackHttpServer, one handler thread) answering each request from its script and
// recording every request. It listens on a free port (or the one given).
// Answers, in order of precedence: the queued responses (enqueue), first in first out; then
// the response set for the request's path (respondTo); else 404 with body "not scripted".
// Keep-alive connections are served; requests on one connection are answered in order.
// Thread-safe: scripting and inspection may happen while requests are being served.
class TestHttpServer {
 public:
  // Starts listening on 127.0.0.1:port (0 picks a free port). Throws std::runtime_error when
  // the port cannot be bound.
  explicit TestHttpServer(uint16_t port = 0);
  // Stops listening, closes every connection and joins the server thread.
  ~TestHttpServer();
  TestHttpServer(const TestHttpServer&) = delete;
  TestHttpServer& operator=(const TestHttpServer&) = delete;

  uint16_t port() const { return port_; }
  // "http://127.0.0.1:<port>"
  std::string baseURL() const;

  // Answers every request to `path` (query ignored) with `response` until replaced.
  void respondTo(const std::string& path, ScriptedResponse response);
  // Answers the next request (any path) with `response`; queued answers are used in order.
  void enqueue(ScriptedResponse response);

  // Every request recorded so far, in order of arrival.
  std::vector<RecordedRequest> requests() const;
  size_t requestCount() const;
  // Waits until at least `count` requests have arrived; false if `limit` passes first.
  bool waitForRequests(size_t count,
                       std::chrono::milliseconds limit = std::chrono::milliseconds(10000)) const;

  // Stops the server early (the destructor does it otherwise). Idempotent.
  void stop();

  // A port on 127.0.0.1 that nothing listens on right now (bound, then released).
  static uint16_t closedPort();

 private:
  ScriptedResponse responseFor(const RecordedRequest& request);
  void record(RecordedRequest request);

  mutable std::mutex mutex_;
  mutable std::condition_variable arrived_;
  std::deque<ScriptedResponse> queued_;
  std::map<std::string, ScriptedResponse> byPath_;
  std::vector<RecordedRequest> requests_;
  std::unique_ptr<loopback::LoopbackHttpServer> server_;  // last: stops before the script goes
  uint16_t port_ = 0;
};

}  // namespace testsupport
