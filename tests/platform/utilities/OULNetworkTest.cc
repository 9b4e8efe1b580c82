// OULNetwork against a real HTTP server on 127.0.0.1.
#include "platform/utilities/OULNetwork.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/utilities/OULGzip.h"
#include "tests/platform/utilities/NetworkTestSupport.h"
#include "tests/support/ClosedPort.h"
#include "tests/support/TestHttpServer.h"

namespace {

using oultest::Outcome;
using testsupport::ScriptedResponse;
using testsupport::TestHttpServer;

class OULNetworkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    network_ = OULNetwork::create();
    ASSERT_NE(network_, nullptr);
    queue_ = platform::DispatchQueue::createSerial("com.orvane.test.network");
  }

  void TearDown() override {
    // Destroying the network queues every outstanding completion; once the queue has run
    // them, each outcome must have been called exactly once.
    network_.reset();
    queue_->sync([] {});
    for (const auto& outcome : outcomes_) EXPECT_EQ(outcome->callCount(), 1);
  }

  std::shared_ptr<Outcome> newOutcome() {
    outcomes_.push_back(std::make_shared<Outcome>());
    return outcomes_.back();
  }

  std::shared_ptr<Outcome> get(const std::string& url, const OULNetwork::Headers& headers = {}) {
    auto outcome = newOutcome();
    network_->getURL(url, headers, queue_, false, Outcome::recordInto(outcome, queue_));
    EXPECT_TRUE(outcome->wait());
    return outcome;
  }

  TestHttpServer server_;
  std::shared_ptr<OULNetwork> network_;
  std::shared_ptr<platform::DispatchQueue> queue_;
  std::vector<std::shared_ptr<Outcome>> outcomes_;
};

TEST_F(OULNetworkTest, GetReachesTheServerWithPathQueryAndHeaders) {
  server_.respondTo(
      "/config/app/1:123:ios:abc",
      {200, {{"ETag", "\"v7\""}, {"X-Multi", "a"}, {"X-Multi", "b"}}, "config-bytes"});
  auto outcome =
      get(server_.baseURL() + "/config/app/1:123:ios:abc?app_instance_id=42&platform=ios",
          {{"If-None-Match", "\"v6\""}, {"X-Orvane-Test", "yes"}});

  ASSERT_EQ(server_.requestCount(), 1u);
  auto request = server_.requests()[0];
  EXPECT_EQ(request.method, "GET");
  EXPECT_EQ(request.path, "/config/app/1:123:ios:abc");
  EXPECT_EQ(request.query, "app_instance_id=42&platform=ios");
  EXPECT_EQ(request.header("If-None-Match"), "\"v6\"");
  EXPECT_EQ(request.header("x-orvane-test"), "yes");
  EXPECT_TRUE(request.body.empty());

  EXPECT_TRUE(outcome->onQueue);
  EXPECT_FALSE(outcome->error.has_value());
  ASSERT_TRUE(outcome->response.has_value());
  EXPECT_EQ(outcome->response->statusCode, kOULNetworkHTTPStatusOK);
  EXPECT_EQ(outcome->response->valueForHTTPHeaderField("etag"), "\"v7\"");
  EXPECT_EQ(outcome->response->valueForHTTPHeaderField("X-Multi"), "a, b");
  EXPECT_EQ(outcome->response->expectedContentLength, 12);
  EXPECT_EQ(outcome->data, "config-bytes");
}

TEST_F(OULNetworkTest, PostSendsTheExactPayloadAndHeaders) {
  std::string payload;
  for (int i = 0; i < 300000; ++i) payload += static_cast<char>((i * 131) & 0xff);  // NULs too
  server_.respondTo("/a", {204, {}, ""});
  auto outcome = newOutcome();
  std::string id =
      network_->postURL(server_.baseURL() + "/a?x=1", {{"Content-Type", "application/x-protobuf"}},
                        payload, queue_, false, Outcome::recordInto(outcome, queue_));
  EXPECT_FALSE(id.empty());
  ASSERT_TRUE(outcome->wait());

  ASSERT_EQ(server_.requestCount(), 1u);
  auto request = server_.requests()[0];
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.target, "/a?x=1");
  EXPECT_EQ(request.header("Content-Type"), "application/x-protobuf");
  EXPECT_EQ(request.header("Content-Length"), std::to_string(payload.size()));
  EXPECT_FALSE(request.header("Expect").has_value());
  EXPECT_TRUE(request.body == payload);

  EXPECT_TRUE(outcome->onQueue);
  EXPECT_FALSE(outcome->error.has_value());
  ASSERT_TRUE(outcome->response.has_value());
  EXPECT_EQ(outcome->response->statusCode, kOULNetworkHTTPStatusNoContent);
  EXPECT_EQ(outcome->data, "");  // present and empty: an answer without a body
}

TEST_F(OULNetworkTest, PostWithoutHeadersAddsNoContentTypeAndIdentifiersDiffer) {
  server_.respondTo("/sdk-exp", {200, {}, "ok"});
  auto first = newOutcome();
  auto second = newOutcome();
  std::string id1 = network_->postURL(server_.baseURL() + "/sdk-exp", "abc", queue_, false,
                                      Outcome::recordInto(first, queue_));
  std::string id2 = network_->postURL(server_.baseURL() + "/sdk-exp", "", queue_, true,
                                      Outcome::recordInto(second, queue_));
  ASSERT_TRUE(first->wait());
  ASSERT_TRUE(second->wait());
  EXPECT_FALSE(id1.empty());
  EXPECT_FALSE(id2.empty());
  EXPECT_NE(id1, id2);
  auto requests = server_.requests();
  ASSERT_EQ(requests.size(), 2u);
  for (const auto& request : requests) {
    EXPECT_EQ(request.method, "POST");
    EXPECT_FALSE(request.header("Content-Type").has_value());
  }
  std::multiset<std::string> bodies{requests[0].body, requests[1].body};
  EXPECT_EQ(bodies, (std::multiset<std::string>{"abc", ""}));
  EXPECT_EQ(second->response->statusCode, 200);
}

TEST_F(OULNetworkTest, EveryStatusPassesThroughWithItsBody) {
  struct Row {
    int64_t constant;
    int64_t expected;
    std::string body;
  };
  const Row rows[] = {
      {kOULNetworkHTTPStatusOK, 200, "fine"},
      {kOULNetworkHTTPStatusNoContent, 204, ""},
      {kOULNetworkHTTPStatusCodeNotModified, 304, ""},
      {kOULNetworkHTTPStatusCodeNotFound, 404, "missing"},
      {kOULNetworkHTTPStatusCodeCannotAcceptTraffic, 429, "slow down"},
      {kOULNetworkHTTPStatusCodeUnavailable, 503, "later"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.expected);
    EXPECT_EQ(row.constant, row.expected);
    server_.respondTo("/s", {static_cast<int>(row.expected), {}, row.body});
    auto outcome = get(server_.baseURL() + "/s");
    EXPECT_TRUE(outcome->onQueue);
    EXPECT_FALSE(outcome->error.has_value()) << outcome->error->description;
    ASSERT_TRUE(outcome->response.has_value());
    EXPECT_EQ(outcome->response->statusCode, row.expected);
    EXPECT_EQ(outcome->data, row.body);
  }
}

TEST_F(OULNetworkTest, QueuedAnswersComeInOrderBeforeThePathScript) {
  // As a retried upload sees it: refused, refused, then accepted.
  server_.respondTo("/a", {200, {}, "accepted"});
  server_.enqueue({503, {{"Retry-After", "60"}}, ""});
  server_.enqueue({429, {}, ""});
  std::vector<int64_t> statuses;
  for (int i = 0; i < 3; ++i) {
    auto outcome = newOutcome();
    network_->postURL(server_.baseURL() + "/a", "batch", queue_, false,
                      Outcome::recordInto(outcome, queue_));
    ASSERT_TRUE(outcome->wait());
    ASSERT_TRUE(outcome->response.has_value());
    statuses.push_back(outcome->response->statusCode);
    if (i == 0) {
      EXPECT_EQ(outcome->response->valueForHTTPHeaderField("Retry-After"), "60");
    }
  }
  EXPECT_EQ(statuses, (std::vector<int64_t>{kOULNetworkHTTPStatusCodeUnavailable,
                                            kOULNetworkHTTPStatusCodeCannotAcceptTraffic,
                                            kOULNetworkHTTPStatusOK}));
  // Unscripted paths answer 404.
  auto missing = get(server_.baseURL() + "/nowhere");
  EXPECT_EQ(missing->response->statusCode, kOULNetworkHTTPStatusCodeNotFound);
  EXPECT_EQ(server_.requestCount(), 4u);
}

TEST_F(OULNetworkTest, ClosedPortCompletesWithAConnectionError) {
  testsupport::ClosedPort closed;  // held: nothing else can listen there meanwhile
  uint16_t port = closed.port();
  auto outcome = newOutcome();
  std::string id = network_->postURL("http://127.0.0.1:" + std::to_string(port) + "/a", "x", queue_,
                                     false, Outcome::recordInto(outcome, queue_));
  EXPECT_FALSE(id.empty());  // the transfer was made; it failed in transport
  ASSERT_TRUE(outcome->wait());
  EXPECT_TRUE(outcome->onQueue);
  ASSERT_TRUE(outcome->error.has_value());
  EXPECT_EQ(outcome->error->domain, kOULNetworkErrorDomain);
  EXPECT_EQ(outcome->error->code, OULNetworkErrorCodeCannotConnectToHost);
  EXPECT_FALSE(outcome->response.has_value());
  EXPECT_FALSE(outcome->data.has_value());
  EXPECT_FALSE(network_->hasUploadInProgress());
}

TEST_F(OULNetworkTest, UnknownHostCompletesWithAnError) {
  // ".invalid" is reserved never to resolve (RFC 2606).
  auto outcome = get("https://no-such-host.invalid/x");
  ASSERT_TRUE(outcome->error.has_value());
  EXPECT_EQ(outcome->error->code, OULNetworkErrorCodeCannotFindHost);
  EXPECT_FALSE(outcome->response.has_value());
}

TEST_F(OULNetworkTest, StalledServerCompletesWithATimeout) {
  network_->setTimeoutInterval(0.2);
  EXPECT_DOUBLE_EQ(network_->timeoutInterval(), 0.2);
  ScriptedResponse stalled{200, {}, "too late"};
  stalled.delay = std::chrono::milliseconds(3000);  // cut short when the server stops
  server_.respondTo("/slow", stalled);
  auto outcome = get(server_.baseURL() + "/slow");
  EXPECT_TRUE(outcome->onQueue);
  ASSERT_TRUE(outcome->error.has_value());
  EXPECT_EQ(outcome->error->code, OULNetworkErrorCodeTimedOut);
  EXPECT_FALSE(outcome->response.has_value());
  EXPECT_FALSE(outcome->data.has_value());
}

TEST_F(OULNetworkTest, TimeoutIntervalFallsBackToTheDefaultForNonsense) {
  EXPECT_DOUBLE_EQ(network_->timeoutInterval(), 60);
  network_->setTimeoutInterval(5);
  network_->setTimeoutInterval(-1);
  EXPECT_DOUBLE_EQ(network_->timeoutInterval(), 60);
  network_->setTimeoutInterval(std::nan(""));
  EXPECT_DOUBLE_EQ(network_->timeoutInterval(), 60);
}

TEST_F(OULNetworkTest, UploadInProgressFromPostUntilItsCompletion) {
  // The answer is held back a little so that the upload is surely still in flight when the
  // test looks right after postURL returns.
  server_.respondTo("/a", {200, {}, "", std::chrono::milliseconds(250)});
  EXPECT_FALSE(network_->hasUploadInProgress());
  auto outcome = newOutcome();
  auto network = network_;
  bool inProgressInsideCompletion = true;
  auto record = Outcome::recordInto(outcome, queue_);
  network_->postURL(server_.baseURL() + "/a", "payload", queue_, false,
                    [&, record](const auto& response, const auto& data, const auto& error) {
                      inProgressInsideCompletion = network->hasUploadInProgress();
                      record(response, data, error);
                    });
  EXPECT_TRUE(network_->hasUploadInProgress());  // counted before postURL returns
  ASSERT_TRUE(outcome->wait());
  EXPECT_FALSE(inProgressInsideCompletion);  // cleared before the completion runs
  EXPECT_FALSE(network_->hasUploadInProgress());

  // A GET is no upload.
  auto getOutcome = newOutcome();
  network_->getURL(server_.baseURL() + "/a", {}, queue_, false,
                   Outcome::recordInto(getOutcome, queue_));
  EXPECT_FALSE(network_->hasUploadInProgress());
  ASSERT_TRUE(getOutcome->wait());
}

TEST_F(OULNetworkTest, InvalidURLsAnswerAnEmptyIdentifierAndStillComplete) {
  for (std::string url :
       {"", "not a url", "ftp://127.0.0.1/x", "file:///etc/passwd", "gopher://127.0.0.1/",
        "sftp://127.0.0.1/x", "scp://127.0.0.1/x", "http://"}) {
    SCOPED_TRACE(url);
    auto outcome = newOutcome();
    std::string id =
        network_->postURL(url, "x", queue_, false, Outcome::recordInto(outcome, queue_));
    EXPECT_TRUE(id.empty());
    ASSERT_TRUE(outcome->wait());
    EXPECT_TRUE(outcome->onQueue);
    ASSERT_TRUE(outcome->error.has_value());
    EXPECT_EQ(outcome->error->code, OULNetworkErrorCodeInvalidURL);
    EXPECT_FALSE(network_->hasUploadInProgress());
  }
  EXPECT_EQ(server_.requestCount(), 0u);
}

TEST_F(OULNetworkTest, RedirectsAreFollowedOnlyToHttp) {
  server_.respondTo("/old", {302, {{"Location", "/new?k=v"}}, ""});
  server_.respondTo("/new", {200, {{"X-Final", "1"}}, "moved here"});
  auto followed = get(server_.baseURL() + "/old");
  ASSERT_FALSE(followed->error.has_value());
  EXPECT_EQ(followed->response->statusCode, 200);
  EXPECT_EQ(followed->data, "moved here");
  EXPECT_EQ(followed->response->valueForHTTPHeaderField("X-Final"), "1");
  EXPECT_FALSE(followed->response->valueForHTTPHeaderField("Location").has_value());
  EXPECT_EQ(followed->response->url, server_.baseURL() + "/new?k=v");

  server_.respondTo("/evil", {302, {{"Location", "file:///etc/passwd"}}, ""});
  auto refused = get(server_.baseURL() + "/evil");
  ASSERT_TRUE(refused->error.has_value());
  EXPECT_FALSE(refused->data.has_value());
}

TEST_F(OULNetworkTest, GzipBodyIsHandedOverAsReceived) {
  std::string plain = "{\"experiments\":[1,2,3]}";
  std::string gz = *oul_dataByGzippingData(plain, nullptr);
  server_.respondTo("/skan", {200, {{"Content-Encoding", "gzip"}}, gz});
  auto outcome = get(server_.baseURL() + "/skan", {{"Accept-Encoding", "gzip"}});
  ASSERT_FALSE(outcome->error.has_value());
  EXPECT_EQ(server_.requests()[0].header("Accept-Encoding"), "gzip");
  EXPECT_EQ(outcome->response->valueForHTTPHeaderField("content-encoding"), "gzip");
  ASSERT_TRUE(outcome->data.has_value());
  EXPECT_TRUE(*outcome->data == gz);  // not decoded on the way
  EXPECT_EQ(oul_dataByInflatingGzippedData(*outcome->data, nullptr), plain);
}

TEST_F(OULNetworkTest, UnencodedCharactersInTheURLAreEscaped) {
  server_.respondTo("/q", {200, {}, "ok"});
  auto outcome = get(server_.baseURL() + "/q?source=my app&v=1|2");
  ASSERT_FALSE(outcome->error.has_value());
  EXPECT_EQ(server_.requests()[0].target, "/q?source=my%20app&v=1%7C2");
}

TEST_F(OULNetworkTest, HeadersThatWouldSplitTheRequestAreDropped) {
  server_.respondTo("/h", {200, {}, ""});
  auto logger = std::make_shared<oultest::RecordingLogger>();
  network_->setLoggerDelegate(logger);
  const std::pair<std::string, std::string> bad[] = {
      {"X-Bad", "a\r\nX-Injected: 1"},
      {"X-Bad", "a\rX-Injected: 1"},
      {"X-Bad", "a\nX-Injected: 1"},
      {"X-Bad", std::string("a\0X-Injected: 1", 15)},
      {"Bad Name", "v"},
  };
  for (const auto& [name, value] : bad) {
    SCOPED_TRACE(name + "=" + value);
    size_t before = server_.requestCount();
    auto outcome = get(server_.baseURL() + "/h", {{"X-Good", "1"}, {name, value}});
    ASSERT_FALSE(outcome->error.has_value());
    EXPECT_EQ(outcome->response->statusCode, 200);
    ASSERT_EQ(server_.requestCount(), before + 1);
    auto request = server_.requests()[before];
    EXPECT_EQ(request.header("X-Good"), "1");
    EXPECT_FALSE(request.header(name).has_value());
    EXPECT_FALSE(request.header("X-Injected").has_value());
  }
  EXPECT_TRUE(logger->has(kOULNetworkMessageCodeInvalidURL));
}

TEST_F(OULNetworkTest, ABodyPastTheSizeLimitFailsAsTooLarge) {
  server_.respondTo("/big", {200, {}, std::string(kOULNetworkMaximumResponseBytes + 1, 'b')});
  auto outcome = get(server_.baseURL() + "/big");
  ASSERT_TRUE(outcome->error.has_value());
  EXPECT_EQ(outcome->error->domain, kOULNetworkErrorDomain);
  EXPECT_EQ(outcome->error->code, OULNetworkErrorCodeResponseTooLarge);
  EXPECT_FALSE(outcome->data.has_value());
}

TEST_F(OULNetworkTest, ManyRequestsAtOnceEachCompleteOnce) {
  server_.respondTo("/n", {200, {}, "n"});
  std::vector<std::shared_ptr<Outcome>> batch;
  for (int i = 0; i < 24; ++i) {
    auto outcome = newOutcome();
    batch.push_back(outcome);
    if (i % 2 == 0) {
      network_->getURL(server_.baseURL() + "/n?i=" + std::to_string(i), {}, queue_, false,
                       Outcome::recordInto(outcome, queue_));
    } else {
      network_->postURL(server_.baseURL() + "/n", std::to_string(i), queue_, false,
                        Outcome::recordInto(outcome, queue_));
    }
  }
  for (const auto& outcome : batch) {
    ASSERT_TRUE(outcome->wait());
    EXPECT_TRUE(outcome->onQueue);
    EXPECT_EQ(outcome->data, "n");
  }
  EXPECT_EQ(server_.requestCount(), 24u);
}

TEST_F(OULNetworkTest, CompletionRunsOnTheMainQueueWhenNoQueueIsGiven) {
  server_.respondTo("/m", {200, {}, "main"});
  auto outcome = newOutcome();
  network_->getURL(server_.baseURL() + "/m", {}, nullptr, false,
                   Outcome::recordInto(outcome, platform::DispatchQueue::main()));
  // The main queue runs only when drained: drain until the completion has come through.
  for (int i = 0; i < 4000 && outcome->callCount() == 0; ++i) {
    platform::DispatchQueue::drainMain();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_EQ(outcome->callCount(), 1);
  EXPECT_TRUE(outcome->onQueue);
  EXPECT_EQ(outcome->data, "main");
}

TEST_F(OULNetworkTest, DestroyingTheNetworkCancelsWhatIsInFlight) {
  ScriptedResponse stalled{200, {}, "never"};
  stalled.delay = std::chrono::milliseconds(5000);
  server_.respondTo("/stall", stalled);
  auto outcome = newOutcome();
  network_->postURL(server_.baseURL() + "/stall", "x", queue_, false,
                    Outcome::recordInto(outcome, queue_));
  ASSERT_TRUE(server_.waitForRequests(1));
  network_.reset();
  ASSERT_TRUE(outcome->wait());
  EXPECT_TRUE(outcome->onQueue);
  ASSERT_TRUE(outcome->error.has_value());
  EXPECT_EQ(outcome->error->code, OULNetworkErrorCodeCancelled);
}

TEST_F(OULNetworkTest, DebugModeLogsRequestsAndAnswersFailuresAlways) {
  auto logger = std::make_shared<oultest::RecordingLogger>();
  network_->setLoggerDelegate(logger);
  server_.respondTo("/d", {200, {}, "abc"});

  get(server_.baseURL() + "/d");
  EXPECT_TRUE(logger->lines().empty());  // quiet outside debug mode

  network_->setIsDebugModeEnabled(true);
  EXPECT_TRUE(network_->isDebugModeEnabled());
  get(server_.baseURL() + "/d");
  auto lines = logger->lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].code, kOULNetworkMessageCodeRequestStarted);
  EXPECT_EQ(lines[0].level, OULLoggerLevelDebug);
  EXPECT_EQ(lines[0].contexts[0], platform::Value("GET"));
  EXPECT_EQ(lines[1].code, kOULNetworkMessageCodeResponseReceived);
  EXPECT_EQ(lines[1].contexts[0], platform::Value(200LL));

  network_->setIsDebugModeEnabled(false);
  testsupport::ClosedPort closed;
  get(closed.baseURL() + "/");
  lines = logger->lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[2].code, kOULNetworkMessageCodeRequestFailed);
  EXPECT_EQ(lines[2].level, OULLoggerLevelWarning);
}

TEST_F(OULNetworkTest, LoggerDelegateIsHeldWeakly) {
  auto logger = std::make_shared<oultest::RecordingLogger>();
  network_->setLoggerDelegate(logger);
  network_->setIsDebugModeEnabled(true);
  logger.reset();
  server_.respondTo("/w", {200, {}, ""});
  auto outcome = get(server_.baseURL() + "/w");  // must not touch the dead delegate
  EXPECT_FALSE(outcome->error.has_value());
}

TEST(OULNetworkBackgroundTest, BackgroundSessionEventsCompleteAtOnce) {
  int calls = 0;
  OULNetwork::handleEventsForBackgroundURLSessionID("com.orvane.session", [&] { ++calls; });
  EXPECT_EQ(calls, 1);
  OULNetwork::handleEventsForBackgroundURLSessionID("com.orvane.session", nullptr);  // no crash
}

}  // namespace

namespace {

// Holds the only reference to a network object and lets go of it inside a log call, which
// runs on the network's worker thread.
class OwningLogger : public OULNetworkLoggerDelegate {
 public:
  void OULNetwork_logWithLevel(OULLoggerLevel level, int64_t messageCode,
                               const std::string& message,
                               const std::vector<platform::Value>& contexts) override {
    if (messageCode != kOULNetworkMessageCodeResponseReceived) return;
    std::shared_ptr<OULNetwork> last;
    {
      std::lock_guard<std::mutex> lock(mutex);
      last = std::move(network);
      releasedOnThread = std::this_thread::get_id();
    }
    last.reset();  // the network object's destructor runs here, on its own worker thread
  }
  std::mutex mutex;
  std::shared_ptr<OULNetwork> network;
  std::thread::id releasedOnThread;
};

TEST(OULNetworkLifetimeTest, LastOwnerMayLetGoOnTheWorkerThread) {
  TestHttpServer server;
  ScriptedResponse shortStall{200, {}, "first"};
  shortStall.delay = std::chrono::milliseconds(200);
  ScriptedResponse longStall{200, {}, "never"};
  longStall.delay = std::chrono::milliseconds(10000);
  server.respondTo("/short", shortStall);
  server.respondTo("/long", longStall);

  auto queue = platform::DispatchQueue::createSerial("com.orvane.test.lifetime");
  auto logger = std::make_shared<OwningLogger>();
  auto first = std::make_shared<Outcome>();
  auto second = std::make_shared<Outcome>();
  {
    auto network = OULNetwork::create();
    network->setIsDebugModeEnabled(true);
    network->setLoggerDelegate(logger);
    network->getURL(server.baseURL() + "/long", {}, queue, false,
                    Outcome::recordInto(second, queue));
    network->getURL(server.baseURL() + "/short", {}, queue, false,
                    Outcome::recordInto(first, queue));
    std::lock_guard<std::mutex> lock(logger->mutex);
    logger->network = std::move(network);
  }
  ASSERT_TRUE(first->wait());
  ASSERT_TRUE(second->wait());
  EXPECT_EQ(first->data, "first");
  ASSERT_TRUE(second->error.has_value());
  EXPECT_EQ(second->error->code, OULNetworkErrorCodeCancelled);
  queue->sync([] {});
  EXPECT_EQ(first->callCount(), 1);
  EXPECT_EQ(second->callCount(), 1);
  std::lock_guard<std::mutex> lock(logger->mutex);
  EXPECT_EQ(logger->network, nullptr);
  EXPECT_NE(logger->releasedOnThread, std::this_thread::get_id());
}

}  // namespace
