// The URL session against the measurement service (its own process): answers of every status
// arrive with their body, a reset connection is an error, completions run on the session's
// queue, and plain http goes only to this machine.
#include "platform/foundation/URLSession.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <mutex>

#include "platform/dispatch/DispatchQueue.h"
#include "tests/support/ServiceProcess.h"

namespace {

using platform::URLError;
using platform::URLSession;

struct Outcome {
  std::optional<std::string> data;
  std::optional<platform::HTTPURLResponse> response;
  std::optional<URLError> error;
  std::string queue;
};

// Sends one request and waits (real time: a real exchange) for its completion.
Outcome exchange(platform::URLRequest request) {
  std::mutex mutex;
  std::condition_variable done;
  std::optional<Outcome> outcome;
  URLSession::sharedSession()
      ->dataTaskWithRequest(
          std::move(request),
          [&](std::optional<std::string> data, std::optional<platform::HTTPURLResponse> response,
              std::optional<URLError> error) {
            std::shared_ptr<platform::DispatchQueue> queue = platform::DispatchQueue::current();
            std::lock_guard<std::mutex> lock(mutex);
            outcome = Outcome{std::move(data), std::move(response), std::move(error),
                              queue ? queue->label() : ""};
            done.notify_all();
          })
      ->resume();
  std::unique_lock<std::mutex> lock(mutex);
  done.wait_for(lock, std::chrono::seconds(30), [&] { return outcome.has_value(); });
  return outcome.value_or(Outcome{});
}

class URLSessionTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    data_ = std::filesystem::temp_directory_path() / ("kvl-urlsession-" + std::to_string(getpid()));
    service_ = new testsupport::ServiceProcess(
        KVL_TEST_SERVICE, std::vector<std::string>{"--port", "0", "--data", data_.string()});
  }
  static void TearDownTestSuite() {
    delete service_;
    std::error_code ignored;
    std::filesystem::remove_all(data_, ignored);
  }
  static platform::URLRequest post(const std::string& token) {
    platform::URLRequest request;
    request.url = service_->baseURL() + "/api/v1/";
    request.httpMethod = "POST";
    request.headers = {{"Content-Type", "text/plain"}};
    request.body = token;
    request.timeoutInterval = 10;
    return request;
  }
  static inline testsupport::ServiceProcess* service_ = nullptr;
  static inline std::filesystem::path data_;
};

TEST_F(URLSessionTest, AnswersOfEveryStatusArriveWithTheirBody) {
  struct Case {
    const char* token;
    long status;
    const char* bodyStart;
  };
  for (Case c : {Case{"attributed", 200, "{\"attribution\":true"}, Case{"server-error", 503, "try"},
                 Case{"nobody-knows-me", 404, "unknown"}}) {
    SCOPED_TRACE(c.token);
    Outcome outcome = exchange(post(c.token));
    ASSERT_FALSE(outcome.error) << outcome.error->description;
    ASSERT_TRUE(outcome.response);
    EXPECT_EQ(outcome.response->statusCode, c.status);
    ASSERT_TRUE(outcome.data);
    EXPECT_EQ(outcome.data->rfind(c.bodyStart, 0), 0u) << *outcome.data;
    EXPECT_EQ(outcome.queue, "com.apple.NSURLSession-delegate");
  }
}

TEST_F(URLSessionTest, AResetConnectionIsAnError) {
  Outcome outcome = exchange(post("reset"));
  ASSERT_TRUE(outcome.error);
  EXPECT_EQ(outcome.error->code, URLError::kNetworkConnectionLost);
  EXPECT_FALSE(outcome.response);
  EXPECT_FALSE(outcome.data);
}

TEST_F(URLSessionTest, PlainHttpOnlyToThisMachine) {
  struct Case {
    const char* url;
    std::optional<int64_t> refused;
  };
  const Case cases[] = {
      {"https://api-adservices.example.com/api/v1/", std::nullopt},
      {"http://127.0.0.1:1/x", std::nullopt},
      {"http://localhost:1/x", std::nullopt},
      {"http://[::1]:1/x", std::nullopt},
      {"http://api-adservices.example.com/api/v1/", URLError::kSecureConnectionRequired},
      {"http://127.0.0.1.example.com/x", URLError::kSecureConnectionRequired},
      {"ftp://127.0.0.1/x", URLError::kUnsupportedURL},
      {"not a url", URLError::kBadURL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    std::optional<URLError> refused = URLSession::transportRuleViolation(c.url);
    EXPECT_EQ(refused ? std::optional(refused->code) : std::nullopt, c.refused);
  }
  // A refused request is never sent: the completion gets the error.
  platform::URLRequest request;
  request.url = "http://api-adservices.example.com/api/v1/";
  Outcome outcome = exchange(request);
  ASSERT_TRUE(outcome.error);
  EXPECT_EQ(outcome.error->code, URLError::kSecureConnectionRequired);
}

}  // namespace
