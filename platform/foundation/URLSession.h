#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class OULNetworkURLSession;

namespace platform {

class DispatchQueue;

// A request of a data task (the phone's NSURLRequest, as far as the app needs it).
struct URLRequest {
  std::string url;  // absolute http(s) URL
  std::string httpMethod = "GET";
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  double timeoutInterval = 60;  // seconds, the whole exchange
};

// The answer's status line and headers (NSHTTPURLResponse).
struct HTTPURLResponse {
  long statusCode = 0;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string url;
  // The first header of that name (case-insensitive), or nothing.
  std::optional<std::string> valueForHTTPHeaderField(const std::string& name) const;
};

// Why a task failed (an error of NSURLErrorDomain: its code and a description).
struct URLError {
  static constexpr const char* kDomain = "NSURLErrorDomain";
  static constexpr int64_t kCancelled = -999;
  static constexpr int64_t kBadURL = -1000;
  static constexpr int64_t kTimedOut = -1001;
  static constexpr int64_t kUnsupportedURL = -1002;
  static constexpr int64_t kCannotConnectToHost = -1004;
  static constexpr int64_t kNetworkConnectionLost = -1005;
  static constexpr int64_t kSecureConnectionRequired = -1022;
  static constexpr int64_t kUnknown = -1;
  int64_t code = kUnknown;
  std::string description;
};

// A task made by a session; nothing is sent until resume().
class URLSessionDataTask {
 public:
  // Sends the request (once; later calls do nothing).
  virtual void resume() = 0;
  virtual ~URLSessionDataTask() = default;
};

// The platform's URL session (NSURLSession) over the process's libcurl transfer engine.
//
// Transport rule: https to any host; plain http only to this machine (URL::isLoopbackHost:
// 127/8, localhost, [::1]) — any other http URL, and any redirect to one, fails with
// kSecureConnectionRequired without being sent.
// The completion runs once per resumed task, on the session's own serial queue
// ("com.apple.NSURLSession-delegate"), with the body and response of any answered request
// (every status, 5xx included) or with an error and neither. Time-outs are the transfer
// engine's real-time ones. Thread-safe.
class URLSession : public std::enable_shared_from_this<URLSession> {
 public:
  using CompletionHandler =
      std::function<void(std::optional<std::string> data, std::optional<HTTPURLResponse> response,
                         std::optional<URLError> error)>;

  // The process-wide session.
  static std::shared_ptr<URLSession> sharedSession();

  std::shared_ptr<URLSessionDataTask> dataTaskWithRequest(URLRequest request,
                                                          CompletionHandler completion);

  // Whether the rule above lets a request go to `url`; the error when not.
  static std::optional<URLError> transportRuleViolation(const std::string& url);

 private:
  URLSession();
  class Task;
  std::mutex mutex_;  // guards transfers_ (made on first use)
  std::shared_ptr<OULNetworkURLSession> transfers_;
  std::shared_ptr<DispatchQueue> delegateQueue_;
};

}  // namespace platform
