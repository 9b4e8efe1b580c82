#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

// The transfer engine under OULNetwork and platform::URLSession: one worker thread driving
// libcurl's multi interface, so any number of requests run at once without blocking their
// callers. Only http and https are allowed, and plain http only to this machine's loopback
// (transportRuleViolation), on the request and on every redirect: a request that breaks the
// rule completes with `insecure` set before any connection is opened, and a plain-http
// connection whose address turns out not to be a loopback one is never opened. Bodies are passed
// through untouched (no content decoding). The time-outs are libcurl's own, timed by the system's
// monotonic clock: they bound real network waits, which no test clock can stand in for. The session
// delays nothing by itself: whatever must wait is scheduled by the installed
// platform::Clock before it is submitted.
//
// submit() may be called from any thread. Each accepted request's `done` runs exactly once,
// on the worker thread: with the outcome, or — when the session is shut down first — with
// `cancelled` set. The worker thread keeps the session alive until it has ended, so shutdown
// may even be called from inside a `done` callback (the last owner letting go there).
class OULNetworkURLSession : public std::enable_shared_from_this<OULNetworkURLSession> {
 public:
  using HeaderList = std::vector<std::pair<std::string, std::string>>;

  struct Request {
    std::string method = "GET";  // "GET" or "POST"
    std::string url;             // absolute http(s) URL
    HeaderList headers;
    std::string body;            // sent for POST
    double timeoutSeconds = 60;  // whole exchange, connection included
    bool connectOnly = false;    // only open a connection (reachability probe)
  };

  struct Result {
    bool cancelled = false;
    int curlCode = 0;       // CURLcode; 0 is success
    std::string errorText;  // libcurl's explanation when curlCode != 0
    bool tooLarge = false;  // aborted because the body passed the size limit
    bool insecure = false;  // refused by the transport rule (errorText says why)
    std::string effectiveURL;
    long status = 0;
    HeaderList headers;  // of the final answer
    std::string body;
    int64_t expectedContentLength = -1;
  };

  using Done = std::function<void(Result&& result)>;

  // A session with its worker thread running.
  static std::shared_ptr<OULNetworkURLSession> create();
  ~OULNetworkURLSession();
  OULNetworkURLSession(const OULNetworkURLSession&) = delete;
  OULNetworkURLSession& operator=(const OULNetworkURLSession&) = delete;

  // The transport rule of every request the library and its services make: https to any
  // host, plain http only to a loopback host (platform::URL::isLoopbackHost). The URL is read
  // with libcurl's own parser, so the host tested is the one libcurl would connect to (never
  // the userinfo of "http://127.0.0.1:80@192.0.2.2/"). Nothing when `url` may be sent,
  // otherwise the reason. A reachability probe (connectOnly) sends nothing and is not held to it.
  static std::optional<std::string> transportRuleViolation(const std::string& url);

  // Queues a request. False (and `done` is dropped uncalled) once shutdown has begun.
  bool submit(Request request, Done done);

  // Stops taking requests; what is still queued or running completes as cancelled. Waits for
  // the worker thread to end, except when called on that thread (from a `done` callback):
  // then the worker ends as soon as the callback returns. Idempotent.
  void shutdown();

 private:
  struct Transfer;
  OULNetworkURLSession();
  void run();

  void* multi_ = nullptr;  // CURLM*, kept opaque so that curl.h stays out of this header
  std::mutex mutex_;
  std::vector<std::unique_ptr<Transfer>> incoming_;
  bool stopping_ = false;
  std::mutex joinMutex_;  // one joiner at a time
  std::thread worker_;
};
