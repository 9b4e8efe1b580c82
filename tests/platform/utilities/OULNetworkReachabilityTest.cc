// Reachability of the network object's host, watched by real connection attempts on loopback.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "platform/utilities/OULNetwork.h"
#include "tests/platform/utilities/NetworkTestSupport.h"
#include "tests/support/DispatchTestEnvironment.h"
#include "tests/support/TestHttpServer.h"

namespace {

using testsupport::TestHttpServer;

class CountingReachabilityDelegate : public OULNetworkReachabilityDelegate {
 public:
  void reachabilityDidChange() override {
    std::lock_guard<std::mutex> lock(mutex_);
    ++changes_;
    changed_.notify_all();
  }
  // Waits for the change count to reach `count` (an event; the limit is only a safety net).
  bool waitForChanges(int count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(20), [&] { return changes_ >= count; });
  }
  int changes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return changes_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int changes_ = 0;
};

TEST(OULNetworkReachabilityTest, UnusableHostsGiveNoNetworkObject) {
  EXPECT_EQ(OULNetwork::create(""), nullptr);
  EXPECT_EQ(OULNetwork::create("   "), nullptr);
  EXPECT_EQ(OULNetwork::create("ftp://example.test"), nullptr);
  EXPECT_EQ(OULNetwork::create("http://"), nullptr);
  EXPECT_TRUE(OULNetwork::create()->isNetworkConnected());  // no host: counts as connected
}

TEST(OULNetworkReachabilityTest, ListeningHostStaysConnected) {
  TestHttpServer server;
  auto network = OULNetwork::create("127.0.0.1:" + std::to_string(server.port()));
  ASSERT_NE(network, nullptr);
  auto delegate = std::make_shared<CountingReachabilityDelegate>();
  network->setReachabilityDelegate(delegate);
  // A request to the same host proves the first probe has long been answered.
  auto queue = platform::DispatchQueue::createSerial("com.orvane.test.reach");
  auto outcome = std::make_shared<oultest::Outcome>();
  network->getURL(server.baseURL() + "/", {}, queue, false,
                  oultest::Outcome::recordInto(outcome, queue));
  ASSERT_TRUE(outcome->wait());
  EXPECT_TRUE(network->isNetworkConnected());
  EXPECT_EQ(delegate->changes(), 0);
  EXPECT_EQ(server.requestCount(), 1u);  // the probe connected but sent no request
}

TEST(OULNetworkReachabilityTest, ClosedHostIsProbedAgainWhenTheClockPassesTheInterval) {
  // The interval runs by the installed clock: nothing waits for it in real time.
  testsupport::DispatchTestEnvironment env;
  uint16_t port = TestHttpServer::closedPort();
  auto delegate = std::make_shared<CountingReachabilityDelegate>();
  auto network = OULNetwork::create("http://127.0.0.1:" + std::to_string(port) + "/a");
  ASSERT_NE(network, nullptr);
  // The default interval (10 s): the probe at creation may answer, and schedule the next one,
  // before a setter here could change it.
  network->setReachabilityDelegate(delegate);
  // The first probe may have answered before the delegate was set: ask until it has.
  if (network->isNetworkConnected()) {
    ASSERT_TRUE(delegate->waitForChanges(1));
  }
  EXPECT_FALSE(network->isNetworkConnected());
  int before = delegate->changes();

  TestHttpServer server(port);  // the host comes up on the same port
  env.advance(9);               // the next probe is not due yet
  EXPECT_FALSE(network->isNetworkConnected());
  EXPECT_EQ(delegate->changes(), before);
  env.advance(1);
  ASSERT_TRUE(delegate->waitForChanges(before + 1));
  EXPECT_TRUE(network->isNetworkConnected());
}

TEST(OULNetworkReachabilityTest, FailedConnectionMarksTheHostUnreachable) {
  auto server = std::make_unique<TestHttpServer>();
  uint16_t port = server->port();
  auto network = OULNetwork::create("127.0.0.1:" + std::to_string(port));
  auto delegate = std::make_shared<CountingReachabilityDelegate>();
  network->setReachabilityDelegate(delegate);
  network->setReachabilityProbeInterval(3600);  // only the failure itself may trigger a probe
  auto queue = platform::DispatchQueue::createSerial("com.orvane.test.reach2");
  auto ok = std::make_shared<oultest::Outcome>();
  network->getURL(server->baseURL() + "/", {}, queue, false,
                  oultest::Outcome::recordInto(ok, queue));
  ASSERT_TRUE(ok->wait());
  EXPECT_TRUE(network->isNetworkConnected());

  server.reset();  // the host goes away
  auto failed = std::make_shared<oultest::Outcome>();
  network->getURL("http://127.0.0.1:" + std::to_string(port) + "/", {}, queue, false,
                  oultest::Outcome::recordInto(failed, queue));
  ASSERT_TRUE(failed->wait());
  ASSERT_TRUE(failed->error.has_value());
  ASSERT_TRUE(delegate->waitForChanges(1));
  EXPECT_FALSE(network->isNetworkConnected());
}

}  // namespace
