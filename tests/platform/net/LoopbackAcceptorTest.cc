#include "platform/net/LoopbackAcceptor.h"

#include <gtest/gtest.h>

#include <utility>  // before Asio

#include <atomic>
#include <boost/asio.hpp>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "tests/support/LogCapture.h"

namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

// An acceptor on its own I/O thread that keeps what it accepted until told to let go.
class AcceptorTest : public ::testing::Test {
 protected:
  void start(size_t maxConnections, platform::LoopbackAcceptor::MakeRoom makeRoom = {}) {
    acceptor_ = std::make_unique<platform::LoopbackAcceptor>(
        io_, 0, platform::LoopbackAcceptor::Limits{maxConnections, std::chrono::milliseconds(10)},
        "test");
    acceptor_->start(
        [this](tcp::socket socket, platform::LoopbackAcceptor::Slot slot) {
          std::lock_guard lock(mutex_);
          accepted_.push_back({std::move(socket), std::move(slot)});
        },
        std::move(makeRoom));
    thread_ = std::thread([this] { io_.run(); });
  }
  void TearDown() override {
    asio::post(io_, [this] {
      acceptor_->close();
      accepted_.clear();
    });
    work_.reset();
    thread_.join();
  }

  size_t acceptedCount() {
    std::lock_guard lock(mutex_);
    return accepted_.size();
  }
  // Waits (bounded) until `count` connections have been accepted.
  bool waitForAccepted(size_t count) {
    auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (acceptedCount() < count && std::chrono::steady_clock::now() < giveUp) {
      std::this_thread::yield();
    }
    return acceptedCount() >= count;
  }
  void releaseFirst() {
    asio::post(io_, [this] {
      std::lock_guard lock(mutex_);
      accepted_.erase(accepted_.begin());
    });
  }
  tcp::socket connect() {
    tcp::socket socket(client_);
    socket.connect({asio::ip::make_address("127.0.0.1"), acceptor_->port()});
    return socket;
  }

  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> work_ = asio::make_work_guard(io_);
  asio::io_context client_;
  std::unique_ptr<platform::LoopbackAcceptor> acceptor_;
  std::thread thread_;
  std::mutex mutex_;
  struct Held {
    tcp::socket socket;
    platform::LoopbackAcceptor::Slot slot;
  };
  std::vector<Held> accepted_;  // guarded by mutex_
};

TEST_F(AcceptorTest, AcceptingGoesOnAfterRunningOutOfDescriptors) {
  testsupport::LogCapture log;
  platform::LoopbackAcceptor::failNextAcceptsForTesting(3);
  start(8);
  // The first three peers are dropped as an exhausted process would drop them; the loop keeps
  // accepting, and logs the streak once.
  std::vector<tcp::socket> peers;
  for (int i = 0; i < 4; ++i) peers.push_back(connect());
  ASSERT_TRUE(waitForAccepted(1));
  size_t logged = 0;
  for (const std::string& line : log.lines()) {
    logged +=
        line.find("accept failed (Too many open files); retrying every 10 ms") != std::string::npos;
  }
  EXPECT_EQ(logged, 1u) << testing::PrintToString(log.lines());
}

TEST_F(AcceptorTest, AtTheCapNewPeersWaitUntilAConnectionEnds) {
  testsupport::LogCapture log;
  start(2);
  std::vector<tcp::socket> peers;
  for (int i = 0; i < 3; ++i) peers.push_back(connect());
  ASSERT_TRUE(waitForAccepted(2));
  auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!log.contains("2 connections open") && std::chrono::steady_clock::now() < giveUp) {
    std::this_thread::yield();
  }
  ASSERT_TRUE(log.contains("2 connections open"));
  EXPECT_EQ(acceptedCount(), 2u) << "the third waits in the backlog";
  const uint16_t third = peers.back().local_endpoint().port();
  releaseFirst();
  giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  bool thirdTaken = false;
  while (!thirdTaken && std::chrono::steady_clock::now() < giveUp) {
    std::lock_guard lock(mutex_);
    for (const Held& held : accepted_) thirdTaken |= held.socket.remote_endpoint().port() == third;
  }
  EXPECT_TRUE(thirdTaken);
}

// Keep-alive peers would hold every place for as long as they like: at the cap, a peer waiting
// in the backlog makes the acceptor ask the server to close an idle connection, and ask again
// while there is none.
TEST_F(AcceptorTest, AtTheCapAWaitingPeerAsksTheServerToMakeRoom) {
  std::atomic<int> asked{0};
  start(2, [this, &asked] {
    if (++asked == 1) return false;  // nothing idle yet
    std::lock_guard lock(mutex_);
    accepted_.erase(accepted_.begin());  // its slot goes with it
    return true;
  });
  std::vector<tcp::socket> peers;
  for (int i = 0; i < 2; ++i) peers.push_back(connect());
  ASSERT_TRUE(waitForAccepted(2));
  EXPECT_EQ(asked.load(), 0) << "full, but nobody waits";
  peers.push_back(connect());
  const uint16_t third = peers.back().local_endpoint().port();
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  bool thirdTaken = false;
  while (!thirdTaken && std::chrono::steady_clock::now() < giveUp) {
    std::lock_guard lock(mutex_);
    for (const Held& held : accepted_) thirdTaken |= held.socket.remote_endpoint().port() == third;
  }
  EXPECT_TRUE(thirdTaken);
  EXPECT_EQ(asked.load(), 2) << "asked again after answering that nothing was idle";
}

}  // namespace
