// What a local peer can make the app's web host hold: places under its connection cap, and
// what the control path parses.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/capacitor/CAPWebHost.h"
#include "tests/support/KeepAlivePeers.h"
#include "tests/support/RawHttp.h"
#include "tests/support/RawPeers.h"

namespace {

namespace fs = std::filesystem;

class CAPWebHostBoundsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("cap-web-host-bounds-" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    std::ofstream(dir_ / "index.html") << "<html><head></head><body></body></html>";
    host_ = std::make_unique<platform::CAPWebHost>(platform::CAPBridge::create(), dir_, 0);
  }
  void TearDown() override {
    host_.reset();
    fs::remove_all(dir_);
  }

  std::string hostHeader() const { return "127.0.0.1:" + std::to_string(host_->port()); }

  // The status line of the answer to `head` (request line and headers) and `body`.
  std::string statusLine(const std::string& head, const std::string& body = "") {
    std::string answer = testsupport::exchangeRaw(
        host_->port(), head + "Host: " + hostHeader() + "\r\nContent-Length: " +
                           std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
    return answer.substr(0, answer.find("\r\n"));
  }

  // How long a new page's address takes to be answered (303) while the peers hold the host.
  double secondsUntilANewPageIsAnswered() {
    std::string url = host_->newPageURL();
    url = url.substr(host_->origin().size(), url.find('#') - host_->origin().size());
    const auto began = std::chrono::steady_clock::now();
    EXPECT_EQ(statusLine("GET " + url + " HTTP/1.1\r\n"), "HTTP/1.1 303 See Other");
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  }

  fs::path dir_;
  std::unique_ptr<platform::CAPWebHost> host_;
};

TEST_F(CAPWebHostBoundsTest, HalfSentRequestsHoldANewPageOutForSecondsOnly) {
  // More than the 256 connections the host holds: the last ones wait in the backlog.
  testsupport::RawPeers flood(host_->port(), 300, testsupport::RawPeers::halfRequest(hostHeader()));
  EXPECT_LT(secondsUntilANewPageIsAnswered(), 10.0);
  EXPECT_EQ(flood.waitClosed(std::chrono::seconds(40)), 300u) << "closed by the host";
}

// A peer that sends a whole header section and none of its body holds its place as long as a
// body may stall (5 s), not the minute a whole body may take.
TEST_F(CAPWebHostBoundsTest, StalledBodiesHoldANewPageOutForSecondsOnly) {
  testsupport::RawPeers flood(
      host_->port(), 300,
      "POST /_app/control HTTP/1.1\r\nHost: " + hostHeader() +
          "\r\nContent-Type: application/json\r\nContent-Length: 1000\r\n\r\n");
  EXPECT_LT(secondsUntilANewPageIsAnswered(), 10.0);
  EXPECT_EQ(flood.waitClosed(std::chrono::seconds(40)), 300u) << "closed by the host";
}

// Peers that each ask for something more often than the header deadline would keep every
// place: when the host is full, the connection that has waited longest gives way.
TEST_F(CAPWebHostBoundsTest, KeepAlivePeersGiveWayToANewPage) {
  testsupport::KeepAlivePeers peers(
      host_->port(), 300, "GET /index.html HTTP/1.1\r\nHost: " + hostHeader() + "\r\n\r\n",
      std::chrono::seconds(2), std::chrono::seconds(40));
  EXPECT_LT(secondsUntilANewPageIsAnswered(), 10.0);
  EXPECT_GT(peers.closedByServer(), 0u);
}

TEST_F(CAPWebHostBoundsTest, AControlBodyBeyondTheJsonBoundsIsRefusedUnparsed) {
  std::atomic<int> handled{0};
  host_->setControlHandler([&](const platform::Value&) {
    ++handled;
    return true;
  });
  std::string wide = "{\"action\":\"x\",\"list\":[0";
  for (int i = 0; i < 10000; ++i) wide += ",0";
  wide += "]}";
  const std::string deep =
      "{\"action\":\"x\",\"list\":" + std::string(32, '[') + std::string(32, ']') + "}";
  struct Case {
    const char* name;
    std::string body;
    const char* status;
  };
  const Case cases[] = {
      {"10,001 values", wide, "HTTP/1.1 413 Payload Too Large"},
      {"33 deep", deep, "HTTP/1.1 413 Payload Too Large"},
      {"within", "{\"action\":\"x\",\"list\":[[1,2],{\"a\":3}]}", "HTTP/1.1 204 No Content"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(statusLine("POST /_app/control HTTP/1.1\r\nX-App-Token: " + host_->token() +
                             "\r\nContent-Type: application/json\r\n",
                         c.body),
              c.status);
  }
  EXPECT_EQ(handled.load(), 1) << "only the body within the bounds reached the handler";
}

}  // namespace
