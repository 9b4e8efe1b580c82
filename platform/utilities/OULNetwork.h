#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/utilities/OULError.h"
#include "platform/utilities/OULHTTPURLResponse.h"
#include "platform/utilities/OULNetworkConstants.h"
#include "platform/utilities/OULNetworkLoggerDelegate.h"
#include "platform/utilities/OULNetworkReachabilityDelegate.h"

class OULNetworkURLSession;

// The utilities framework's HTTP client: real HTTP and HTTPS over libcurl (only those two
// protocols, redirects included), asynchronous, with completions on the queue the caller names.
//
// Requests never block the caller. The completion of every request runs exactly once, on the
// given queue (the main queue when none is given):
// - transport failure (invalid URL, unknown host, refused connection, time-out, TLS failure,
//   oversize body, network object destroyed first): response and data empty, error set;
// - any HTTP answer, whatever its status: response and data (possibly empty) set, no error.
// The body is handed over as received: no content decoding, even for "Content-Encoding: gzip".
//
// Transport rule, for every request and every redirect: https to any host, plain http only to
// this machine's loopback (127.0.0.1 and the rest of 127/8, localhost, [::1]; every spelling
// platform::URL::isLoopbackHost reads as loopback, which is what libcurl connects to for it).
// Anything else fails with OULNetworkErrorCodeSecureConnectionRequired before a connection is
// opened.
//
// Reachability: with a reachability host, the object keeps a view of whether a TCP connection
// to that host can be opened. It probes once at creation; again when a request fails to
// connect or isNetworkConnected is asked while the host counts as unreachable (unless a probe
// is already pending); and every reachability probe interval while the host stays
// unreachable. Until the first probe answers the host counts as reachable. The reachability
// delegate hears of every change. Without a host the network always counts as connected.
//
// Clocks: the probe interval is uptime of the installed platform::Clock (under a test's
// manual clock the next probe starts when the test advances time past it). The request
// time-out and the probe's own connection time-out (5 s) are libcurl's, timed by the
// system's monotonic clock: they bound real network waits, which no test clock stands in for.
//
// All methods may be called from any thread or queue. Destroying the object cancels what is
// still in flight (those completions run with OULNetworkErrorCodeCancelled).
class OULNetwork {
 public:
  using Headers = std::map<std::string, std::string>;
  // (response, body, error): see the class comment for which are set.
  using CompletionHandler = std::function<void(const std::optional<OULHTTPURLResponse>& response,
                                               const std::optional<std::string>& data,
                                               const std::optional<OULError>& error)>;

  // A network object without reachability host (init).
  static std::shared_ptr<OULNetwork> create();
  // A network object watching `host` (initWithReachabilityHost:): a host name, "host:port",
  // or an http(s) URL. A bare host is probed on port 443. Null for an empty or unusable host.
  static std::shared_ptr<OULNetwork> create(const std::string& host);

  ~OULNetwork();
  OULNetwork(const OULNetwork&) = delete;
  OULNetwork& operator=(const OULNetwork&) = delete;

  // The delegate receives the object's log lines; held weakly. Failures are logged at warning
  // level; in debug mode each request and answer also at debug level.
  void setLoggerDelegate(std::weak_ptr<OULNetworkLoggerDelegate> delegate);
  void setIsDebugModeEnabled(bool enabled);
  bool isDebugModeEnabled() const;
  // How many requests were asked for with usingBackgroundSession (they run like any other).
  uint64_t backgroundSessionRequestCount() const;

  // Time-out, in real seconds (libcurl's), of the requests started from now on (60 by
  // default). Values that are not positive and finite restore the default.
  void setTimeoutInterval(double seconds);
  double timeoutInterval() const;

  // Held weakly; an empty pointer removes the delegate.
  void setReachabilityDelegate(std::weak_ptr<OULNetworkReachabilityDelegate> delegate);
  // The current view of reachability (never blocks).
  bool isNetworkConnected();
  // Seconds of uptime by the installed platform::Clock between probes while the host is
  // unreachable (10 by default).
  void setReachabilityProbeInterval(double seconds);

  // True from a POST's start until just before its completion is queued.
  bool hasUploadInProgress() const;

  // How many requests of every network object of the process are in flight: counted from the
  // call that starts one until its completion handler has returned on its queue (so the
  // answer has been acted on, e.g. uploaded rows deleted). What the system's stand-in waits
  // for before it lets the process end (AppLifecycle). Any thread.
  static int requestsInFlight();

  // Starts a POST of `payload`. Answers the transfer's identifier, or an empty string when no
  // transfer could be made (invalid URL, or plain http to a host that is not this machine);
  // the completion runs in either case.
  // `usingBackgroundSession` is accepted for the callers' sake: every transfer here runs in
  // the process, so it changes nothing.
  std::string postURL(const std::string& url, const Headers& headers, std::string payload,
                      std::shared_ptr<platform::DispatchQueue> queue, bool usingBackgroundSession,
                      CompletionHandler completionHandler);
  std::string postURL(const std::string& url, std::string payload,
                      std::shared_ptr<platform::DispatchQueue> queue, bool usingBackgroundSession,
                      CompletionHandler completionHandler);

  // Starts a GET; answers as postURL does.
  std::string getURL(const std::string& url, const Headers& headers,
                     std::shared_ptr<platform::DispatchQueue> queue, bool usingBackgroundSession,
                     CompletionHandler completionHandler);

  // Forwarded from the application delegate for a background session. Transfers here never
  // outlive the process, so no system-held events remain to deliver: the completion handler
  // runs at once, on the calling thread.
  static void handleEventsForBackgroundURLSessionID(const std::string& sessionID,
                                                    std::function<void()> completionHandler);

 private:
  struct State;
  explicit OULNetwork(std::string probeURL);
  const std::shared_ptr<OULNetworkURLSession>& session() const;
  std::string startRequest(const std::string& method, const std::string& url,
                           const Headers& headers, std::string body,
                           std::shared_ptr<platform::DispatchQueue> queue,
                           CompletionHandler completionHandler);

  std::shared_ptr<State> state_;
};
