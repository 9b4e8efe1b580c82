#include "platform/utilities/OULNetworkURLSession.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>

#include <algorithm>
#include <cmath>
#include <map>

#include "platform/foundation/URL.h"
#include "platform/utilities/OULNetworkConstants.h"

namespace {

void globalInit() {
  static const bool initialized = [] {
    return curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  }();
  (void)initialized;
}

constexpr int kMaximumRedirects = 10;

// What the transport rule makes of a URL, read with libcurl's own parser.
struct RuleCheck {
  enum Outcome { kAllowed, kNotAURL, kUnsupportedScheme, kInsecure } outcome = kAllowed;
  bool plainHttp = false;
  std::string host;  // as libcurl connects to it (an IPv6 literal in brackets)
  std::string port;
  std::string reason;
};

RuleCheck checkTransportRule(const std::string& url) {
  RuleCheck check;
  CURLU* handle = curl_url();
  char* scheme = nullptr;
  char* host = nullptr;
  char* port = nullptr;
  if (handle == nullptr || curl_url_set(handle, CURLUPART_URL, url.c_str(), 0) != CURLUE_OK ||
      curl_url_get(handle, CURLUPART_SCHEME, &scheme, 0) != CURLUE_OK ||
      curl_url_get(handle, CURLUPART_HOST, &host, 0) != CURLUE_OK || host[0] == '\0') {
    check.outcome = RuleCheck::kNotAURL;
    check.reason = "Not an absolute http(s) URL: " + url;
  } else {
    check.host = host;
    // libcurl hands an IPv6 zone ("[::1%25lo]") apart from the host; the loopback test reads
    // them together, as it reads the spelling in the URL.
    char* zone = nullptr;
    std::string spelling = check.host;
    if (curl_url_get(handle, CURLUPART_ZONEID, &zone, 0) == CURLUE_OK && zone != nullptr &&
        spelling.size() > 2 && spelling.back() == ']') {
      spelling.insert(spelling.size() - 1, std::string("%25") + zone);
    }
    curl_free(zone);
    if (curl_url_get(handle, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) == CURLUE_OK) {
      check.port = port;
    }
    if (strcasecmp(scheme, "https") == 0) {
      check.outcome = RuleCheck::kAllowed;
    } else if (strcasecmp(scheme, "http") != 0) {
      check.outcome = RuleCheck::kUnsupportedScheme;
      check.reason = std::string("Only http and https are allowed, not ") + scheme + ": " + url;
    } else if (!platform::URL::isLoopbackHost(spelling)) {
      check.outcome = RuleCheck::kInsecure;
      check.reason =
          "Refused before connecting: plain http is allowed only to this machine "
          "(127.0.0.1, localhost, [::1]); use https for " +
          check.host + " (" + url + ")";
    } else {
      check.plainHttp = true;
    }
  }
  curl_free(scheme);
  curl_free(host);
  curl_free(port);
  if (handle != nullptr) curl_url_cleanup(handle);
  return check;
}

bool isLoopbackAddress(const curl_sockaddr* address) {
  if (address->family == AF_INET &&
      address->addrlen >= static_cast<unsigned int>(sizeof(sockaddr_in))) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(&address->addr);
    return (ntohl(in->sin_addr.s_addr) >> 24) == 127;
  }
  if (address->family == AF_INET6 &&
      address->addrlen >= static_cast<unsigned int>(sizeof(sockaddr_in6))) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&address->addr);
    return IN6_IS_ADDR_LOOPBACK(&in6->sin6_addr);
  }
  return false;
}

bool isCredentialHeader(const std::string& name) {
  return strcasecmp(name.c_str(), "Authorization") == 0 ||
         strcasecmp(name.c_str(), "Proxy-Authorization") == 0 ||
         strcasecmp(name.c_str(), "Cookie") == 0;
}

long millisecondsFrom(double seconds) {
  if (!std::isfinite(seconds) || seconds <= 0) return 1;
  return static_cast<long>(std::min(seconds * 1000.0, 86400000.0));
}

}  // namespace

struct OULNetworkURLSession::Transfer {
  Request request;
  Done done;
  Result result;
  CURL* easy = nullptr;
  curl_slist* headerList = nullptr;
  char errorBuffer[CURL_ERROR_SIZE] = {};
  // The hop under way: its URL's rule check, and how many redirects came before it.
  RuleCheck hop;
  RuleCheck origin;  // the first hop's
  int redirects = 0;

  ~Transfer() {
    if (easy != nullptr) curl_easy_cleanup(easy);
    if (headerList != nullptr) curl_slist_free_all(headerList);
  }

  static size_t onBody(char* data, size_t size, size_t count, void* user) {
    auto* self = static_cast<Transfer*>(user);
    size_t bytes = size * count;
    if (self->result.body.size() + bytes > static_cast<size_t>(kOULNetworkMaximumResponseBytes)) {
      self->result.tooLarge = true;
      return 0;  // makes libcurl stop with a write error
    }
    self->result.body.append(data, bytes);
    return bytes;
  }

  static size_t onHeader(char* data, size_t size, size_t count, void* user) {
    auto* self = static_cast<Transfer*>(user);
    size_t bytes = size * count;
    std::string_view line(data, bytes);
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
    if (line.size() >= 5 && strncasecmp(line.data(), "HTTP/", 5) == 0) {
      // A new status line: an interim answer or a redirect came before; keep only the last.
      self->result.headers.clear();
      return bytes;
    }
    size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) return bytes;
    std::string_view name = line.substr(0, colon);
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
      value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
    self->result.headers.emplace_back(std::string(name), std::string(value));
    return bytes;
  }

  // Opens every socket of the transfer. A plain-http hop may connect only to a loopback
  // address, whatever the name resolved to (and through no proxy: see applyHop).
  static curl_socket_t onOpenSocket(void* user, curlsocktype purpose, curl_sockaddr* address) {
    auto* self = static_cast<Transfer*>(user);
    if (purpose != CURLSOCKTYPE_IPCXN) return CURL_SOCKET_BAD;
    if (self->hop.plainHttp && !isLoopbackAddress(address)) {
      self->result.insecure = true;
      self->result.errorText = "Refused before connecting: plain http to " + self->hop.host +
                               " resolved to an address that is not this machine's loopback";
      return CURL_SOCKET_BAD;
    }
    return socket(address->family, address->socktype, address->protocol);
  }

  // Points the handle at `url`, whose rule check is `check`.
  CURLcode applyHop(const std::string& url, RuleCheck check) {
    hop = std::move(check);
    CURLcode code = curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    // A proxy would take plain http off this machine.
    if (code == CURLE_OK) {
      code = curl_easy_setopt(easy, CURLOPT_NOPROXY, hop.plainHttp ? "*" : nullptr);
    }
    return code;
  }

  // The request headers, without credentials once a redirect has left the first host.
  bool buildHeaderList(bool withCredentials) {
    if (headerList != nullptr) curl_slist_free_all(headerList);
    headerList = nullptr;
    for (const auto& [name, value] : request.headers) {
      if (!withCredentials && isCredentialHeader(name)) continue;
      // "Name;" is libcurl's way of sending a header with an empty value.
      std::string line = value.empty() ? name + ";" : name + ": " + value;
      headerList = curl_slist_append(headerList, line.c_str());
    }
    // No "Expect: 100-continue" round trip, and no content type the caller did not ask for.
    headerList = curl_slist_append(headerList, "Expect:");
    if (request.method == "POST" && !hasHeader(request.headers, "Content-Type")) {
      headerList = curl_slist_append(headerList, "Content-Type:");
    }
    return curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headerList) == CURLE_OK;
  }

  // After an answer: kNone when it is the final one; kFollow when it redirects and the handle
  // is set for the next hop; kRefused when the redirect may not be followed (the result says
  // why: the transport rule, a scheme other than http(s), or too many redirects).
  enum class Redirect { kNone, kFollow, kRefused };
  Redirect nextHop() {
    if (request.connectOnly) return Redirect::kNone;
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    if (status != 301 && status != 302 && status != 303 && status != 307 && status != 308) {
      return Redirect::kNone;
    }
    char* location = nullptr;
    if (curl_easy_getinfo(easy, CURLINFO_REDIRECT_URL, &location) != CURLE_OK ||
        location == nullptr) {
      return Redirect::kNone;  // a redirect status without a target is the answer
    }
    std::string next = location;
    if (redirects >= kMaximumRedirects) {
      result.curlCode = CURLE_TOO_MANY_REDIRECTS;
      result.errorText = "More than " + std::to_string(kMaximumRedirects) + " redirects";
      return Redirect::kRefused;
    }
    RuleCheck check = checkTransportRule(next);
    if (check.outcome != RuleCheck::kAllowed) {
      result.curlCode =
          check.outcome == RuleCheck::kInsecure ? CURLE_OK : CURLE_UNSUPPORTED_PROTOCOL;
      result.insecure = check.outcome == RuleCheck::kInsecure;
      result.errorText = "Redirect not followed. " + check.reason;
      return Redirect::kRefused;
    }
    ++redirects;
    bool sameOrigin = check.host == origin.host && check.port == origin.port;
    if (applyHop(next, std::move(check)) != CURLE_OK || !buildHeaderList(sameOrigin)) {
      result.curlCode = CURLE_FAILED_INIT;
      result.errorText = "cannot follow the redirect";
      return Redirect::kRefused;
    }
    // As browsers and libcurl do: 301, 302 and 303 turn a POST into a GET without body;
    // 307 and 308 repeat the request as it was.
    if (request.method == "POST" && (status == 301 || status == 302 || status == 303)) {
      request.method = "GET";
      curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
      buildHeaderList(sameOrigin);
    }
    result.body.clear();
    result.headers.clear();
    errorBuffer[0] = '\0';
    return Redirect::kFollow;
  }

  static bool hasHeader(const HeaderList& headers, std::string_view name) {
    return std::any_of(headers.begin(), headers.end(), [&](const auto& header) {
      return header.first.size() == name.size() &&
             strncasecmp(header.first.data(), name.data(), name.size()) == 0;
    });
  }

  // Prepares the easy handle; false when libcurl refuses an option (the result says why).
  bool prepare() {
    if (!request.connectOnly) {
      origin = checkTransportRule(request.url);
      if (origin.outcome != RuleCheck::kAllowed) {
        result.insecure = origin.outcome == RuleCheck::kInsecure;
        result.curlCode = result.insecure                         ? CURLE_OK
                          : origin.outcome == RuleCheck::kNotAURL ? CURLE_URL_MALFORMAT
                                                                  : CURLE_UNSUPPORTED_PROTOCOL;
        result.errorText = origin.reason;
        return false;
      }
    }
    easy = curl_easy_init();
    if (easy == nullptr) {
      result.curlCode = CURLE_FAILED_INIT;
      result.errorText = "cannot create a transfer";
      return false;
    }
    CURLcode code = CURLE_OK;
    auto set = [&](CURLoption option, auto value) {
      if (code == CURLE_OK) code = curl_easy_setopt(easy, option, value);
    };
    set(CURLOPT_PRIVATE, static_cast<void*>(this));
    set(CURLOPT_ERRORBUFFER, errorBuffer);
    set(CURLOPT_OPENSOCKETFUNCTION, &Transfer::onOpenSocket);
    set(CURLOPT_OPENSOCKETDATA, static_cast<void*>(this));
    if (code == CURLE_OK) code = applyHop(request.url, origin);
    set(CURLOPT_PROTOCOLS_STR, "http,https");
    set(CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    set(CURLOPT_NOSIGNAL, 1L);
    set(CURLOPT_TIMEOUT_MS, millisecondsFrom(request.timeoutSeconds));
    set(CURLOPT_CONNECTTIMEOUT_MS, millisecondsFrom(request.timeoutSeconds));
    if (request.connectOnly) {
      set(CURLOPT_CONNECT_ONLY, 1L);
    } else {
      // Redirects are followed here, hop by hop (nextHop), so that each one meets the
      // transport rule before it is sent.
      set(CURLOPT_WRITEFUNCTION, &Transfer::onBody);
      set(CURLOPT_WRITEDATA, static_cast<void*>(this));
      set(CURLOPT_HEADERFUNCTION, &Transfer::onHeader);
      set(CURLOPT_HEADERDATA, static_cast<void*>(this));
      if (request.method == "POST") {
        set(CURLOPT_POST, 1L);
        set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
        set(CURLOPT_POSTFIELDS, request.body.data());
      } else {
        set(CURLOPT_HTTPGET, 1L);
      }
      if (code == CURLE_OK && !buildHeaderList(true)) code = CURLE_OUT_OF_MEMORY;
    }
    if (code != CURLE_OK) {
      result.curlCode = code;
      result.errorText = curl_easy_strerror(code);
      return false;
    }
    return true;
  }

  void collect(CURLcode code) {
    result.curlCode = code;
    if (code != CURLE_OK && !result.insecure) {
      result.errorText = errorBuffer[0] != '\0' ? errorBuffer : curl_easy_strerror(code);
    }
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    result.status = status;
    curl_off_t length = -1;
    if (curl_easy_getinfo(easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK) {
      result.expectedContentLength = length;
    }
    char* effective = nullptr;
    if (curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK && effective) {
      result.effectiveURL = effective;
    }
  }

  void finish() {
    Done callback = std::move(done);
    if (callback) callback(std::move(result));
  }
};

OULNetworkURLSession::OULNetworkURLSession() {
  globalInit();
  multi_ = curl_multi_init();
}

std::shared_ptr<OULNetworkURLSession> OULNetworkURLSession::create() {
  std::shared_ptr<OULNetworkURLSession> session(new OULNetworkURLSession());
  // The thread holds the session, so the session outlives everything the thread does.
  session->worker_ = std::thread([self = session] { self->run(); });
  return session;
}

OULNetworkURLSession::~OULNetworkURLSession() {
  // Only reached once the worker has left run(): either it was joined by shutdown(), or the
  // worker itself let go of the last reference.
  if (worker_.joinable()) {
    if (worker_.get_id() == std::this_thread::get_id()) {
      worker_.detach();
    } else {
      worker_.join();
    }
  }
  if (multi_ != nullptr) curl_multi_cleanup(static_cast<CURLM*>(multi_));
}

void OULNetworkURLSession::shutdown() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  if (multi_ != nullptr) curl_multi_wakeup(static_cast<CURLM*>(multi_));
  std::lock_guard<std::mutex> lock(joinMutex_);
  if (worker_.joinable() && worker_.get_id() != std::this_thread::get_id()) worker_.join();
}

bool OULNetworkURLSession::submit(Request request, Done done) {
  auto transfer = std::make_unique<Transfer>();
  transfer->request = std::move(request);
  transfer->done = std::move(done);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return false;
    incoming_.push_back(std::move(transfer));
  }
  if (multi_ != nullptr) curl_multi_wakeup(static_cast<CURLM*>(multi_));
  return true;
}

void OULNetworkURLSession::run() {
  auto* multi = static_cast<CURLM*>(multi_);
  std::map<CURL*, std::unique_ptr<Transfer>> active;

  auto startTransfer = [&](std::unique_ptr<Transfer> transfer) {
    if (multi == nullptr || !transfer->prepare()) {
      if (multi == nullptr) {
        transfer->result.curlCode = CURLE_FAILED_INIT;
        transfer->result.errorText = "no transfer engine";
      }
      transfer->finish();
      return;
    }
    CURLMcode added = curl_multi_add_handle(multi, transfer->easy);
    if (added != CURLM_OK) {
      transfer->result.curlCode = CURLE_FAILED_INIT;
      transfer->result.errorText = curl_multi_strerror(added);
      transfer->finish();
      return;
    }
    CURL* key = transfer->easy;
    active.emplace(key, std::move(transfer));
  };

  while (true) {
    std::vector<std::unique_ptr<Transfer>> arrived;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) break;
      arrived.swap(incoming_);
    }
    for (auto& transfer : arrived) startTransfer(std::move(transfer));

    if (multi == nullptr) break;
    int running = 0;
    curl_multi_perform(multi, &running);
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
      if (message->msg != CURLMSG_DONE) continue;
      CURL* easy = message->easy_handle;
      CURLcode code = message->data.result;
      curl_multi_remove_handle(multi, easy);
      auto it = active.find(easy);
      if (it == active.end()) continue;
      if (code == CURLE_OK) {
        Transfer::Redirect redirect = it->second->nextHop();
        if (redirect == Transfer::Redirect::kFollow) {
          if (curl_multi_add_handle(multi, easy) == CURLM_OK) continue;
          it->second->result.curlCode = CURLE_FAILED_INIT;
          it->second->result.errorText = "cannot follow the redirect";
          redirect = Transfer::Redirect::kRefused;
        }
        if (redirect == Transfer::Redirect::kRefused) {
          auto transfer = std::move(it->second);
          active.erase(it);
          transfer->finish();
          continue;
        }
      }
      auto transfer = std::move(it->second);
      active.erase(it);
      transfer->collect(code);
      transfer->finish();
    }

    // Woken early by new requests and by shutdown (curl_multi_wakeup).
    curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
  }

  // Shutting down: every request not yet finished completes as cancelled.
  std::vector<std::unique_ptr<Transfer>> leftovers;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    leftovers.swap(incoming_);
  }
  for (auto& [easy, transfer] : active) {
    curl_multi_remove_handle(multi, easy);
    leftovers.push_back(std::move(transfer));
  }
  for (auto& transfer : leftovers) {
    transfer->result = Result{};
    transfer->result.cancelled = true;
    transfer->finish();
  }
}

std::optional<std::string> OULNetworkURLSession::transportRuleViolation(const std::string& url) {
  RuleCheck check = checkTransportRule(url);
  if (check.outcome == RuleCheck::kAllowed) return std::nullopt;
  return check.reason;
}
