#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "tools/loopback-http/HttpExchange.h"

namespace loopback {

// An HTTP/1.1 server on 127.0.0.1 only, on Boost.Beast, for the local services of ours. One I/O
// thread carries every connection; the handler runs on a small pool of handler threads, so a
// slow request never holds up another client's. Keep-alive connections are served, requests on
// one connection answered in order.
//
// What it holds from any peer (see README.md, "Untrusted input"):
//  - requests whose Host is not 127.0.0.1, localhost or [::1] with the bound port: 403 (a page
//    reached through a rebinding host name reads nothing);
//  - requests from a web page of another origin: an Origin header other than this server's own
//    ("http://127.0.0.1:<port>", "http://localhost:<port>", "http://[::1]:<port>"), or a browser's
//    "Sec-Fetch-Site" other than same-origin or none on anything but a GET or HEAD navigation:
//    403. Browsers send Origin on every request but plain GET and HEAD; the library and the
//    tools send neither header;
//  - requests under "/_control/" without this run's token in "X-Service-Token": 403 (see
//    Options::controlToken);
//  - changes under "/_control/" (any method but GET and HEAD) without a JSON content type
//    (application/json, or application/x-protobuf for encoded bytes): 415. A page of another
//    origin can only send text/plain, form or multipart bodies without the browser asking first;
//  - a request whose header section has not arrived within `headerDeadline`, or whose body
//    stops coming for `bodyProgressDeadline`, falls below `minBodyBytesPerSecond` on average
//    after that long, or is not whole within `readDeadline` (real time, platform::BodyArrival):
//    the connection is closed, so that peers which send half a request, or trickle its body,
//    free their places under the cap within seconds;
//  - request bodies held at once, across all connections: at most `maxBodyBytes` (BodyBudget),
//    taken a mebibyte at a time as a body arrives, so that a peer holds what it sent, not what
//    it declared. Given `bodyFolder`, a body past 256 KiB is kept in a file there
//    (SpillingBody), so that memory holds at most 256 KiB of each body being read, and the
//    budget bounds the disk (a body the disk will not take gets 503). A body whose next bytes do
//    not fit waits for room, unread, up to `bodyProgressDeadline` in all, then gets 503 with
//    "Retry-After: 1"; room goes first to the body that holds least (a new one before another's
//    next mebibyte); bodies up to 64 KiB always go. After a body of 1 MiB or more, or a
//    handler that says it held as much (HttpResponse::heldBytes: a gzip body inflated), what
//    the handling took is handed back to the system (malloc_trim; not in sanitizer builds);
//  - framings Beast lets through (platform/net/RequestFraming.h): a Transfer-Encoding other than
//    "chunked", a second Host, a target naming another host, a chunk line longer than the
//    connection's buffer: 400;
//  - at most `maxConnections` connections at once; past it new peers wait in the backlog, and
//    while one waits the connection that has waited longest for a request is closed for it
//    (keep-alive peers give way);
//  - header sections over 8 KiB: 431; bodies over `bodyLimit`: 413; other malformed requests:
//    400; then the connection is closed;
//  - answers not yet taken by their peers hold at most `maxUnsentBytes` in all: an answer over
//    64 KiB that would go beyond it is replaced by 503 with "Retry-After: 1" (one such answer is
//    always let through when nothing else waits, so that no answer is refused for good);
//  - running out of descriptors never stops the server: accept is retried.
// Every answer, refusals included, carries the headers that forbid framing
// (platform::kNoFramingHeaders): a page of another port of 127.0.0.1 shows none in a frame.
class LoopbackHttpServer {
 public:
  using Handler = std::function<HttpResponse(const HttpRequest&)>;

  struct Options {
    uint16_t port = 0;  // 0 picks a free port
    std::chrono::milliseconds headerDeadline{5000};
    std::chrono::milliseconds bodyProgressDeadline{5000};
    uint64_t minBodyBytesPerSecond = uint64_t{64} << 10;
    // The longest a whole body may take, and an answer may wait to be taken by its peer.
    std::chrono::milliseconds readDeadline{60000};
    // The bytes of request bodies held at once (BodyBudget): in memory, or with `bodyFolder`
    // on disk too.
    size_t maxBodyBytes = size_t{64} << 20;
    // When set, a body past SpillingBody::kInMemoryBytes is kept in an unnamed file of the
    // user's there rather than in memory (the folder is the server's owner's alone).
    std::string bodyFolder;
    size_t maxUnsentBytes = size_t{32} << 20;
    size_t maxConnections = 256;
    uint64_t bodyLimit = uint64_t{64} * 1024 * 1024;
    size_t handlerThreads = 4;
    // The token control requests ("/_control/...") must carry in "X-Service-Token". Empty: the
    // environment's KVL_SERVICE_TOKEN when set (so that scripts and tests can hand one token to
    // every service they start), else a fresh random one each start.
    std::string controlToken;
    // When set, the server writes {"url", "token", "pid"} there on start, readable by the user
    // only, and removes it when it stops: how the developer's tools learn the token.
    std::string controlFile;
  };

  // Starts listening. The handler may run on several handler threads at once: it must be
  // thread-safe. Throws std::runtime_error when the port cannot be bound.
  LoopbackHttpServer(Options options, Handler handler);
  LoopbackHttpServer(uint16_t port, Handler handler);
  // Stops and joins the server's threads.
  ~LoopbackHttpServer();
  LoopbackHttpServer(const LoopbackHttpServer&) = delete;
  LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

  uint16_t port() const { return port_; }
  // "http://127.0.0.1:<port>"
  std::string baseURL() const;
  // The token control requests must carry (Options::controlToken).
  const std::string& controlToken() const { return controlToken_; }
  // The requests after which what their handling took was handed back to the system (a body,
  // or HttpResponse::heldBytes, of 1 MiB or more), each counted before it is answered; sanitizer
  // builds count them though they hand nothing back. Any thread.
  uint64_t handBacks() const;

  // Closes every connection and stops serving. Idempotent; from any thread but the server's.
  void stop();

  struct Impl;  // opaque: the Beast state, defined in the .cc

 private:
  std::unique_ptr<Impl> impl_;
  uint16_t port_ = 0;
  std::string controlToken_;
  std::string controlFile_;
  std::thread thread_;
};

// Reads one of the command-line options every local service takes into `options`:
//   --port N                (0 picks a free one)
//   --header-deadline-ms N  how long a request's header section may take (default 5000)
//   --body-progress-ms N    how long a body may stall (default 5000)
//   --read-deadline-ms N    how long its body may take after it (default 60000)
//   --max-connections N     connections held at once (default 256)
//   --control-file FILE     where the control token is written (Options::controlFile)
// Answers false when `flag` is none of them; throws std::invalid_argument for a bad value.
bool parseServerOption(const std::string& flag, const std::string& value,
                       LoopbackHttpServer::Options* options);
// The usage lines of those options, --control-file's apart: a service without control routes
// (psm-server) has no use for it and refuses it.
extern const char* const kServerOptionsUsage;
extern const char* const kControlFileUsage;

// Whether a Host header names this machine's loopback with `port` ("127.0.0.1:8970",
// "localhost:8970", "[::1]:8970"; the name case-insensitive).
bool isLoopbackHost(std::string_view host, uint16_t port);

// Whether an Origin header is this server's own: "http://" and a loopback Host of `port`.
bool isOwnOrigin(std::string_view origin, uint16_t port);

// The header that carries the control token.
inline constexpr const char* kControlTokenHeader = "X-Service-Token";

}  // namespace loopback
