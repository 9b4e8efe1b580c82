#include "platform/utilities/OULNetwork.h"

#include <curl/curl.h>
#include <strings.h>

#include <atomic>
#include <cmath>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/utilities/OULNetworkURLSession.h"

namespace {

constexpr double kDefaultTimeoutSeconds = 60;
constexpr double kDefaultProbeIntervalSeconds = 10;
constexpr double kProbeTimeoutSeconds = 5;

std::atomic<int>& inFlightCounter() {
  static std::atomic<int> counter{0};
  return counter;
}

std::atomic<uint64_t>& transferCounter() {
  static std::atomic<uint64_t> counter{0};
  return counter;
}

// Percent-encodes the bytes that may not appear in a URL (controls, space, non-ASCII and
// "<>\"\\^`{|}"), so that a caller's unencoded query value still makes a valid request. A "%"
// is left alone: the caller may have encoded already.
std::string escapeURL(const std::string& url) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(url.size());
  for (unsigned char c : url) {
    bool unsafe = c <= 0x20 || c >= 0x7f || c == '"' || c == '<' || c == '>' || c == '\\' ||
                  c == '^' || c == '`' || c == '{' || c == '|' || c == '}';
    if (unsafe) {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0xf];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// The parts of an absolute http(s) URL that the network object needs.
struct ParsedURL {
  std::string scheme;
  std::string host;
  std::string port;  // empty when the URL names none
};

std::optional<ParsedURL> parseHTTPURL(const std::string& url) {
  CURLU* handle = curl_url();
  if (handle == nullptr) return std::nullopt;
  std::optional<ParsedURL> parsed;
  if (curl_url_set(handle, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK) {
    char* scheme = nullptr;
    char* host = nullptr;
    char* port = nullptr;
    curl_url_get(handle, CURLUPART_SCHEME, &scheme, 0);
    curl_url_get(handle, CURLUPART_HOST, &host, 0);
    curl_url_get(handle, CURLUPART_PORT, &port, 0);
    if (scheme != nullptr && host != nullptr && host[0] != '\0' &&
        (strcasecmp(scheme, "http") == 0 || strcasecmp(scheme, "https") == 0)) {
      parsed = ParsedURL{scheme, host, port != nullptr ? port : ""};
    }
    curl_free(scheme);
    curl_free(host);
    curl_free(port);
  }
  curl_url_cleanup(handle);
  return parsed;
}

bool isSafeHeader(const std::string& name, const std::string& value) {
  if (name.empty()) return false;
  for (char c : name) {
    if (c == ':' || c == '\r' || c == '\n' || c == '\0' || c == ' ' || c == '\t') return false;
  }
  for (char c : value) {
    if (c == '\r' || c == '\n' || c == '\0') return false;
  }
  return true;
}

OULError transportError(const OULNetworkURLSession::Result& result) {
  if (result.cancelled) {
    return {kOULNetworkErrorDomain, OULNetworkErrorCodeCancelled,
            "The request was cancelled: the network object went away"};
  }
  if (result.insecure) {
    return {kOULNetworkErrorDomain, OULNetworkErrorCodeSecureConnectionRequired, result.errorText};
  }
  if (result.tooLarge) {
    return {kOULNetworkErrorDomain, OULNetworkErrorCodeResponseTooLarge,
            "The response body exceeds the size limit"};
  }
  int64_t code = OULNetworkErrorCodeUnknown;
  switch (static_cast<CURLcode>(result.curlCode)) {
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
      code = OULNetworkErrorCodeInvalidURL;
      break;
    case CURLE_OPERATION_TIMEDOUT:
      code = OULNetworkErrorCodeTimedOut;
      break;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      code = OULNetworkErrorCodeCannotFindHost;
      break;
    case CURLE_COULDNT_CONNECT:
      code = OULNetworkErrorCodeCannotConnectToHost;
      break;
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
    case CURLE_WEIRD_SERVER_REPLY:
      code = OULNetworkErrorCodeConnectionLost;
      break;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
      code = OULNetworkErrorCodeSecureConnectionFailed;
      break;
    case CURLE_TOO_MANY_REDIRECTS:
      code = OULNetworkErrorCodeTooManyRedirects;
      break;
    default:
      break;
  }
  return {kOULNetworkErrorDomain, code, result.errorText};
}

}  // namespace

struct OULNetwork::State {
  std::mutex mutex;
  std::weak_ptr<OULNetworkLoggerDelegate> logger;
  std::weak_ptr<OULNetworkReachabilityDelegate> reachabilityDelegate;
  double timeout = kDefaultTimeoutSeconds;
  double probeInterval = kDefaultProbeIntervalSeconds;
  bool probeInFlight = false;
  std::atomic<bool> debug{false};
  std::atomic<int> uploads{0};
  std::atomic<uint64_t> backgroundSessionRequests{0};
  std::atomic<bool> connected{true};
  std::string probeURL;  // empty: no reachability host
  // Set once at construction. Shut down by the network object's destructor; the requests
  // still queued in it hold this state until they have completed.
  std::shared_ptr<OULNetworkURLSession> session;

  void log(OULLoggerLevel level, int64_t code, const std::string& message,
           std::vector<platform::Value> contexts) {
    std::shared_ptr<OULNetworkLoggerDelegate> delegate;
    {
      std::lock_guard<std::mutex> lock(mutex);
      delegate = logger.lock();
    }
    if (delegate) delegate->OULNetwork_logWithLevel(level, code, message, contexts);
  }

  // Starts a reachability probe, after `delaySeconds` of uptime by the installed clock,
  // unless one is pending or there is no host.
  static void probe(const std::shared_ptr<State>& self, double delaySeconds) {
    if (self->probeURL.empty() || self->session == nullptr) return;
    {
      std::lock_guard<std::mutex> lock(self->mutex);
      if (self->probeInFlight) return;
      self->probeInFlight = true;
    }
    if (delaySeconds > 0) {
      // By the installed clock, so that under a test's manual clock the next probe comes
      // when the test advances time past it, and never at some real moment later.
      std::weak_ptr<State> weak = self;
      platform::DispatchQueue::global()->after(delaySeconds, [weak] {
        if (auto state = weak.lock()) submitProbe(state);
      });
      return;
    }
    submitProbe(self);
  }

  static void submitProbe(const std::shared_ptr<State>& self) {
    OULNetworkURLSession::Request request;
    request.url = self->probeURL;
    request.connectOnly = true;
    request.timeoutSeconds = kProbeTimeoutSeconds;
    std::weak_ptr<State> weak = self;
    bool accepted =
        self->session->submit(std::move(request), [weak](OULNetworkURLSession::Result&& result) {
          auto state = weak.lock();
          if (!state) return;
          state->probeAnswered(state, result);
        });
    if (!accepted) {
      std::lock_guard<std::mutex> lock(self->mutex);
      self->probeInFlight = false;
    }
  }

  void probeAnswered(const std::shared_ptr<State>& self,
                     const OULNetworkURLSession::Result& result) {
    double interval;
    {
      std::lock_guard<std::mutex> lock(mutex);
      probeInFlight = false;
      interval = probeInterval;
    }
    if (result.cancelled) return;
    bool reachable = result.curlCode == CURLE_OK;
    // Keep watching until the host answers again. The next probe is pending before anyone
    // hears of the change, so that asking at once does not start another one.
    if (!reachable) probe(self, interval);
    setConnected(reachable);
  }

  void setConnected(bool reachable) {
    if (connected.exchange(reachable) == reachable) return;
    if (debug) {
      log(OULLoggerLevelDebug, kOULNetworkMessageCodeReachabilityChanged,
          "Network reachability changed. Connected", {platform::Value(reachable)});
    }
    std::shared_ptr<OULNetworkReachabilityDelegate> delegate;
    {
      std::lock_guard<std::mutex> lock(mutex);
      delegate = reachabilityDelegate.lock();
    }
    if (delegate) delegate->reachabilityDidChange();
  }
};

OULNetwork::OULNetwork(std::string probeURL) : state_(std::make_shared<State>()) {
  state_->probeURL = std::move(probeURL);
  state_->session = OULNetworkURLSession::create();
}

OULNetwork::~OULNetwork() {
  // Cancels what is in flight. Their completions are queued before this returns, except when
  // the last owner lets go on the worker thread itself (inside a delegate call): then right
  // after that call returns.
  state_->session->shutdown();
}

const std::shared_ptr<OULNetworkURLSession>& OULNetwork::session() const { return state_->session; }

std::shared_ptr<OULNetwork> OULNetwork::create() {
  return std::shared_ptr<OULNetwork>(new OULNetwork(std::string()));
}

std::shared_ptr<OULNetwork> OULNetwork::create(const std::string& host) {
  size_t begin = host.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos) return nullptr;
  std::string trimmed = host.substr(begin, host.find_last_not_of(" \t\r\n") - begin + 1);
  bool isURL = trimmed.find("://") != std::string::npos;
  auto parsed = parseHTTPURL(isURL ? trimmed : "http://" + trimmed);
  if (!parsed) return nullptr;
  std::string port = parsed->port;
  if (port.empty())
    port = (isURL && strcasecmp(parsed->scheme.c_str(), "http") == 0) ? "80" : "443";
  // Reachability is "a TCP connection can be opened": probe over plain http to the port, which
  // with libcurl's connect-only mode never sends a byte.
  std::shared_ptr<OULNetwork> network(new OULNetwork("http://" + parsed->host + ":" + port + "/"));
  State::probe(network->state_, 0);
  return network;
}

void OULNetwork::setLoggerDelegate(std::weak_ptr<OULNetworkLoggerDelegate> delegate) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->logger = std::move(delegate);
}

void OULNetwork::setIsDebugModeEnabled(bool enabled) { state_->debug = enabled; }

bool OULNetwork::isDebugModeEnabled() const { return state_->debug; }

uint64_t OULNetwork::backgroundSessionRequestCount() const {
  return state_->backgroundSessionRequests.load();
}

void OULNetwork::setTimeoutInterval(double seconds) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->timeout = std::isfinite(seconds) && seconds > 0 ? seconds : kDefaultTimeoutSeconds;
}

double OULNetwork::timeoutInterval() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->timeout;
}

void OULNetwork::setReachabilityDelegate(std::weak_ptr<OULNetworkReachabilityDelegate> delegate) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->reachabilityDelegate = std::move(delegate);
}

bool OULNetwork::isNetworkConnected() {
  bool connected = state_->connected;
  if (!connected) State::probe(state_, 0);  // the answer may be stale: look again
  return connected;
}

void OULNetwork::setReachabilityProbeInterval(double seconds) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->probeInterval =
      std::isfinite(seconds) && seconds > 0 ? seconds : kDefaultProbeIntervalSeconds;
}

bool OULNetwork::hasUploadInProgress() const { return state_->uploads.load() > 0; }

int OULNetwork::requestsInFlight() { return inFlightCounter().load(); }

std::string OULNetwork::postURL(const std::string& url, const Headers& headers, std::string payload,
                                std::shared_ptr<platform::DispatchQueue> queue,
                                bool usingBackgroundSession, CompletionHandler completionHandler) {
  if (usingBackgroundSession) ++state_->backgroundSessionRequests;
  return startRequest("POST", url, headers, std::move(payload), std::move(queue),
                      std::move(completionHandler));
}

std::string OULNetwork::postURL(const std::string& url, std::string payload,
                                std::shared_ptr<platform::DispatchQueue> queue,
                                bool usingBackgroundSession, CompletionHandler completionHandler) {
  if (usingBackgroundSession) ++state_->backgroundSessionRequests;
  return startRequest("POST", url, Headers(), std::move(payload), std::move(queue),
                      std::move(completionHandler));
}

std::string OULNetwork::getURL(const std::string& url, const Headers& headers,
                               std::shared_ptr<platform::DispatchQueue> queue,
                               bool usingBackgroundSession, CompletionHandler completionHandler) {
  if (usingBackgroundSession) ++state_->backgroundSessionRequests;
  return startRequest("GET", url, headers, std::string(), std::move(queue),
                      std::move(completionHandler));
}

std::string OULNetwork::startRequest(const std::string& method, const std::string& url,
                                     const Headers& headers, std::string body,
                                     std::shared_ptr<platform::DispatchQueue> queue,
                                     CompletionHandler completionHandler) {
  if (!queue) queue = platform::DispatchQueue::main();
  // In flight until the completion has returned; `deliver` runs exactly once per request.
  ++inFlightCounter();
  auto deliver = [queue, completionHandler](std::optional<OULHTTPURLResponse> response,
                                            std::optional<std::string> data,
                                            std::optional<OULError> error) {
    queue->async([completionHandler, response = std::move(response), data = std::move(data),
                  error = std::move(error)] {
      if (completionHandler) completionHandler(response, data, error);
      --inFlightCounter();
    });
  };

  std::string escaped = escapeURL(url);
  if (!parseHTTPURL(escaped)) {
    state_->log(OULLoggerLevelWarning, kOULNetworkMessageCodeInvalidURL,
                "Cannot send request: invalid URL", {platform::Value(url)});
    deliver(std::nullopt, std::nullopt,
            OULError{kOULNetworkErrorDomain, OULNetworkErrorCodeInvalidURL, "Invalid URL: " + url});
    return std::string();
  }

  if (std::optional<std::string> refused = OULNetworkURLSession::transportRuleViolation(escaped)) {
    state_->log(OULLoggerLevelWarning, kOULNetworkMessageCodeInvalidURL, *refused,
                {platform::Value(url)});
    deliver(
        std::nullopt, std::nullopt,
        OULError{kOULNetworkErrorDomain, OULNetworkErrorCodeSecureConnectionRequired, *refused});
    return std::string();
  }

  OULNetworkURLSession::Request request;
  request.method = method;
  request.url = escaped;
  request.body = std::move(body);
  for (const auto& [name, value] : headers) {
    if (isSafeHeader(name, value)) {
      request.headers.emplace_back(name, value);
    } else {
      state_->log(OULLoggerLevelWarning, kOULNetworkMessageCodeInvalidURL,
                  "Dropped a request header with characters not allowed in HTTP",
                  {platform::Value(name)});
    }
  }
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    request.timeoutSeconds = state_->timeout;
  }
  std::string transferID = "com.orvane.OULNetwork.transfer." + std::to_string(++transferCounter());
  bool isPost = method == "POST";
  if (state_->debug) {
    state_->log(OULLoggerLevelDebug, kOULNetworkMessageCodeRequestStarted,
                "Sending request. Method, URL, payload size",
                {platform::Value(method), platform::Value(escaped),
                 platform::Value(static_cast<long long>(request.body.size()))});
  }
  if (isPost) ++state_->uploads;

  std::shared_ptr<State> state = state_;
  bool accepted = session()->submit(std::move(request), [state, isPost, deliver, escaped](
                                                            OULNetworkURLSession::Result&& result) {
    bool failed =
        result.cancelled || result.tooLarge || result.insecure || result.curlCode != CURLE_OK;
    if (isPost) --state->uploads;  // before the completion can look at it
    if (failed) {
      OULError error = transportError(result);
      state->log(OULLoggerLevelWarning, kOULNetworkMessageCodeRequestFailed,
                 "Network request failed. URL, error",
                 {platform::Value(escaped), platform::Value(error.description)});
      if (error.code == OULNetworkErrorCodeCannotConnectToHost ||
          error.code == OULNetworkErrorCodeCannotFindHost) {
        State::probe(state, 0);
      }
      deliver(std::nullopt, std::nullopt, std::move(error));
      return;
    }
    OULHTTPURLResponse response;
    response.url = result.effectiveURL;
    response.statusCode = result.status;
    response.allHeaderFields = std::move(result.headers);
    response.expectedContentLength = result.expectedContentLength;
    if (state->debug) {
      state->log(OULLoggerLevelDebug, kOULNetworkMessageCodeResponseReceived,
                 "Received response. Status, URL, body size",
                 {platform::Value(static_cast<long long>(result.status)), platform::Value(escaped),
                  platform::Value(static_cast<long long>(result.body.size()))});
    }
    deliver(std::move(response), std::move(result.body), std::nullopt);
  });
  if (!accepted) {
    if (isPost) --state_->uploads;
    deliver(std::nullopt, std::nullopt,
            OULError{kOULNetworkErrorDomain, OULNetworkErrorCodeCancelled,
                     "The network object is shutting down"});
    return std::string();
  }
  return transferID;
}

void OULNetwork::handleEventsForBackgroundURLSessionID(const std::string& sessionID,
                                                       std::function<void()> completionHandler) {
  if (completionHandler) completionHandler();
}
