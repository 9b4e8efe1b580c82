#pragma once

#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "tools/loopback-http/HttpExchange.h"
#include "tools/loopback-http/RequestLog.h"

namespace loopback {

// An answer a test or a developer puts in front of a path, replacing or holding back what the
// service would answer there.
struct ScriptedAnswer {
  std::optional<int> status;  // when set, answers this instead of the route
  std::string body;           // with `status`: the body answered
  std::vector<std::pair<std::string, std::string>> headers;  // with `status`: extra headers
  std::chrono::milliseconds delay{0};                        // holds the answer back
  bool silent = false;                                       // never answers
  int times = -1;  // how many requests it applies to; -1: until cleared
};

// Routes of a local service, answers scripted per path, and a record of every request.
//
// Control endpoints, for tests and developers (never recorded):
//   POST   /_control/script    {"path": "/a", "status": 503, "body": "...", "body_base64": "...",
//                               "headers": {"Name": "value"}, "delay_ms": 100, "silent": true,
//                               "times": 1}
//          Scripts for one path queue up in order; each applies `times` requests.
//   DELETE /_control/script    removes every scripted answer
//   GET    /_control/requests?after=N&limit=M
//                              the recent requests as JSON, oldest first, those after sequence
//                              N (default 0), at most M (default: all it keeps):
//                              [{"sequence", "method", "target", "path", "query",
//                                "headers": [[name, value], ...], "body_size", "body_truncated",
//                                "body_base64"}]
//                              It keeps the last 1000 requests (32 MiB in all), each body cut at
//                              1 MiB (RequestLog); page with `after` = the last sequence read.
//   DELETE /_control/requests  forgets them
// Other "/_control/" paths go to the service's routes, unrecorded. Every control request needs
// the run's token, and changes (every method but GET) a JSON content type; LoopbackHttpServer
// refuses them otherwise.
//
// Thread-safe: routes run on the server's handler threads, several at once, while tests script
// and read from theirs; a route that keeps state guards it.
class ScriptedService {
 public:
  using Route = std::function<HttpResponse(const HttpRequest&)>;

  // Adds a route. `path` matches exactly, or as a prefix when it ends with "/". The longest
  // matching path wins. Unrouted requests answer 404.
  void route(const std::string& method, const std::string& path, Route handler);

  // Puts `answer` in front of requests to `path` (exact), after those already scripted there.
  void script(const std::string& path, ScriptedAnswer answer);
  void clearScripts();

  // The requests it still keeps (see RequestLog), oldest first.
  std::vector<HttpRequest> requests() const;

  // The handler to give LoopbackHttpServer.
  HttpResponse handle(const HttpRequest& request);

 private:
  std::optional<HttpResponse> control(const HttpRequest& request);
  HttpResponse routed(const HttpRequest& request) const;
  std::optional<ScriptedAnswer> takeScript(const std::string& path);
  std::optional<uint64_t> queryNumber(std::string_view query, std::string_view name) const;

  struct Entry {
    std::string method;
    std::string path;
    Route handler;
  };
  std::vector<Entry> routes_;  // set up before serving; read-only afterwards

  mutable std::mutex mutex_;
  // Guarded by mutex_:
  std::map<std::string, std::deque<ScriptedAnswer>> scripts_;
  RequestLog log_;  // thread-safe on its own
};

// Base64 of bytes (standard alphabet, padded) and back; nullopt for malformed text.
std::string base64Encode(std::string_view bytes);
std::optional<std::string> base64Decode(std::string_view text);

}  // namespace loopback
