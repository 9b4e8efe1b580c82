#include "platform/utilities/OULNetworkURLSession.h"

#include <curl/curl.h>
#include <strings.h>

#include <algorithm>
#include <cmath>
#include <map>

#include "platform/utilities/OULNetworkConstants.h"

namespace {

void globalInit() {
  static const bool initialized = [] {
    return curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  }();
  (void)initialized;
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

  static bool hasHeader(const HeaderList& headers, std::string_view name) {
    return std::any_of(headers.begin(), headers.end(), [&](const auto& header) {
      return header.first.size() == name.size() &&
             strncasecmp(header.first.data(), name.data(), name.size()) == 0;
    });
  }

  // Prepares the easy handle; false when libcurl refuses an option (the result says why).
  bool prepare() {
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
    set(CURLOPT_URL, request.url.c_str());
    set(CURLOPT_PROTOCOLS_STR, "http,https");
    set(CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    set(CURLOPT_NOSIGNAL, 1L);
    set(CURLOPT_TIMEOUT_MS, millisecondsFrom(request.timeoutSeconds));
    set(CURLOPT_CONNECTTIMEOUT_MS, millisecondsFrom(request.timeoutSeconds));
    if (request.connectOnly) {
      set(CURLOPT_CONNECT_ONLY, 1L);
    } else {
      set(CURLOPT_FOLLOWLOCATION, 1L);
      set(CURLOPT_MAXREDIRS, 10L);
      set(CURLOPT_WRITEFUNCTION, &Transfer::onBody);
      set(CURLOPT_WRITEDATA, static_cast<void*>(this));
      set(CURLOPT_HEADERFUNCTION, &Transfer::onHeader);
      set(CURLOPT_HEADERDATA, static_cast<void*>(this));
      for (const auto& [name, value] : request.headers) {
        // "Name;" is libcurl's way of sending a header with an empty value.
        std::string line = value.empty() ? name + ";" : name + ": " + value;
        headerList = curl_slist_append(headerList, line.c_str());
      }
      // No "Expect: 100-continue" round trip, and no content type the caller did not ask for.
      headerList = curl_slist_append(headerList, "Expect:");
      if (request.method == "POST") {
        if (!hasHeader(request.headers, "Content-Type")) {
          headerList = curl_slist_append(headerList, "Content-Type:");
        }
        set(CURLOPT_POST, 1L);
        set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
        set(CURLOPT_POSTFIELDS, request.body.data());
      } else {
        set(CURLOPT_HTTPGET, 1L);
      }
      set(CURLOPT_HTTPHEADER, headerList);
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
    if (code != CURLE_OK) {
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
