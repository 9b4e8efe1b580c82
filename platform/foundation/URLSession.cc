#include "platform/foundation/URLSession.h"

#include <curl/curl.h>
#include <strings.h>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/URL.h"
#include "platform/utilities/OULNetworkURLSession.h"

namespace platform {

namespace {

URLError errorFromTransfer(const OULNetworkURLSession::Result& result) {
  URLError error;
  switch (result.curlCode) {
    case CURLE_OPERATION_TIMEDOUT:
      error.code = URLError::kTimedOut;
      break;
    case CURLE_COULDNT_CONNECT:
    case CURLE_COULDNT_RESOLVE_HOST:
      error.code = URLError::kCannotConnectToHost;
      break;
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
      error.code = URLError::kNetworkConnectionLost;
      break;
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
      error.code = URLError::kBadURL;
      break;
    default:
      error.code = URLError::kUnknown;
  }
  if (result.insecure) error.code = URLError::kSecureConnectionRequired;
  if (result.cancelled) error.code = URLError::kCancelled;
  error.description = result.cancelled ? "cancelled" : result.errorText;
  return error;
}

}  // namespace

std::optional<std::string> HTTPURLResponse::valueForHTTPHeaderField(const std::string& name) const {
  for (const auto& [key, value] : headers) {
    if (key.size() == name.size() && strncasecmp(key.c_str(), name.c_str(), name.size()) == 0) {
      return value;
    }
  }
  return std::nullopt;
}

class URLSession::Task : public URLSessionDataTask {
 public:
  Task(std::shared_ptr<URLSession> session, URLRequest request, CompletionHandler completion)
      : session_(std::move(session)),
        request_(std::move(request)),
        completion_(std::move(completion)) {}

  void resume() override {
    CompletionHandler completion;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (resumed_) return;
      resumed_ = true;
      completion = std::move(completion_);
    }
    std::shared_ptr<DispatchQueue> queue = session_->delegateQueue_;
    auto finish = [queue, completion](std::optional<std::string> data,
                                      std::optional<HTTPURLResponse> response,
                                      std::optional<URLError> error) {
      if (!completion) return;
      queue->async([completion, data = std::move(data), response = std::move(response),
                    error = std::move(error)] { completion(data, response, error); });
    };
    if (std::optional<URLError> refused = transportRuleViolation(request_.url)) {
      finish(std::nullopt, std::nullopt, std::move(refused));
      return;
    }
    std::shared_ptr<OULNetworkURLSession> transfers;
    {
      std::lock_guard<std::mutex> lock(session_->mutex_);
      if (!session_->transfers_) session_->transfers_ = OULNetworkURLSession::create();
      transfers = session_->transfers_;
    }
    OULNetworkURLSession::Request transfer;
    transfer.method = request_.httpMethod;
    transfer.url = request_.url;
    transfer.headers = request_.headers;
    transfer.body = request_.body;
    transfer.timeoutSeconds = request_.timeoutInterval;
    bool accepted =
        transfers->submit(std::move(transfer), [finish](OULNetworkURLSession::Result&& result) {
          if (result.cancelled || result.insecure || result.curlCode != CURLE_OK ||
              result.status == 0) {
            finish(std::nullopt, std::nullopt, errorFromTransfer(result));
            return;
          }
          HTTPURLResponse response;
          response.statusCode = result.status;
          response.headers = std::move(result.headers);
          response.url = std::move(result.effectiveURL);
          finish(std::move(result.body), std::move(response), std::nullopt);
        });
    if (!accepted) {
      finish(std::nullopt, std::nullopt, URLError{URLError::kCancelled, "session shut down"});
    }
  }

 private:
  std::shared_ptr<URLSession> session_;
  const URLRequest request_;
  std::mutex mutex_;  // guards resumed_ and completion_
  bool resumed_ = false;
  CompletionHandler completion_;
};

URLSession::URLSession()
    : delegateQueue_(DispatchQueue::createSerial("com.apple.NSURLSession-delegate")) {}

std::shared_ptr<URLSession> URLSession::sharedSession() {
  // Never destroyed: tasks may complete while the process exits.
  static auto* session = new std::shared_ptr<URLSession>(new URLSession());
  return *session;
}

std::shared_ptr<URLSessionDataTask> URLSession::dataTaskWithRequest(URLRequest request,
                                                                    CompletionHandler completion) {
  return std::make_shared<Task>(shared_from_this(), std::move(request), std::move(completion));
}

std::optional<URLError> URLSession::transportRuleViolation(const std::string& url) {
  std::optional<URL> parsed = URL::URLWithString(url);
  if (!parsed || parsed->host().empty()) return URLError{URLError::kBadURL, "bad URL: " + url};
  if (parsed->scheme() == "https") return std::nullopt;
  if (parsed->scheme() != "http") {
    return URLError{URLError::kUnsupportedURL, "unsupported scheme: " + parsed->scheme()};
  }
  if (parsed->isLoopback()) return std::nullopt;
  return URLError{URLError::kSecureConnectionRequired,
                  "plain http is allowed only to this machine: " + url};
}

}  // namespace platform
