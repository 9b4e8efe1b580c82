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
#include <thread>
#include <utility>
#include <vector>

namespace testsupport {

// A request as the server received it.
struct RecordedRequest {
  std::string method;                                        // "GET", "POST", ...
  std::string target;                                        // path with query, as sent: "/a?x=1"
  std::string path;                                          // target before "?"
  std::string query;                                         // target after "?" (empty when none)
  std::vector<std::pair<std::string, std::string>> headers;  // in order received
  std::string body;

  // The first header of that name (case-insensitive), or nothing.
  std::optional<std::string> header(std::string_view name) const;
};

// What the server answers to one request.
struct ScriptedResponse {
  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  // Held back this long before answering (real time: only for short, test-controlled stalls,
  // e.g. to outlast a client's time-out). The server's destructor cuts a stall short.
  std::chrono::milliseconds delay{0};
};

// A small HTTP/1.1 server on 127.0.0.1 for tests, on Boost.Beast. It listens on a free port
// (or the one given), answers each request from its script, and records every request.
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
  struct Impl;
  friend struct Impl;

  ScriptedResponse responseFor(const RecordedRequest& request);
  void record(RecordedRequest request);

  std::unique_ptr<Impl> impl_;
  uint16_t port_ = 0;
  std::thread thread_;

  mutable std::mutex mutex_;
  mutable std::condition_variable arrived_;
  std::deque<ScriptedResponse> queued_;
  std::map<std::string, ScriptedResponse> byPath_;
  std::vector<RecordedRequest> requests_;
};

}  // namespace testsupport
