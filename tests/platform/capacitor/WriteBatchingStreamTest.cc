#include "platform/capacitor/WriteBatchingStream.h"

#include <gtest/gtest.h>

#include <utility>  // before Asio

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using platform::WriteBatchingStream;

// The stream under test on one end of a loopback connection, a plain socket on the other; the
// test runs the I/O context itself. Pieces written are short, so the stream copies them.
class WriteBatchingStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tcp::acceptor acceptor(io_, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    peer_.connect(acceptor.local_endpoint());
    tcp::socket socket(io_);
    acceptor.accept(socket);
    stream_.emplace(beast::tcp_stream(std::move(socket)));
  }

  // Runs what is ready until `done` holds (it always comes without waiting on the peer here).
  template <class Predicate>
  void runUntil(Predicate done) {
    for (int i = 0; i < 10000 && !done(); ++i) {
      io_.restart();
      io_.run_one_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(done());
  }

  // Writes `text` through the stream; its first bytes and the result go to `log` once reported.
  void write(const std::string& text, std::vector<std::string>& log) {
    asio::async_write(*stream_, asio::buffer(text), [&log, text](beast::error_code ec, size_t n) {
      log.push_back(text.substr(0, 8) + (ec ? ": error" : ": " + std::to_string(n)));
    });
  }

  std::string readFromPeer(size_t size) {
    std::string got(size, '\0');
    asio::read(peer_, asio::buffer(got));
    return got;
  }

  asio::io_context io_;
  tcp::socket peer_{io_};
  std::optional<WriteBatchingStream> stream_;
};

TEST_F(WriteBatchingStreamTest, GatheredWritesAreDoneAtOnceAndLeaveTogetherOnRelease) {
  const std::string longPiece(3 * WriteBatchingStream::kCopyLimit, 'L');  // referenced, not copied
  const std::vector<std::string> pieces = {"one", "two", longPiece, "three"};
  std::vector<std::string> log;
  for (const auto& p : pieces) stream_->gather([&] { write(p, log); });
  runUntil([&] { return log.size() == pieces.size(); });
  EXPECT_EQ(log, (std::vector<std::string>{"one: 3", "two: 3", "LLLLLLLL: 3072", "three: 5"}));
  EXPECT_EQ(peer_.available(), 0u) << "nothing leaves before the release";

  std::optional<beast::error_code> released;
  stream_->release([&](beast::error_code ec) { released = ec; });
  runUntil([&] { return released.has_value(); });
  EXPECT_FALSE(*released);
  const std::string all = "onetwo" + longPiece + "three";
  // One write: everything is there by the time the release is reported.
  EXPECT_EQ(peer_.available(), all.size());
  EXPECT_EQ(readFromPeer(all.size()), all);
}

// What the WebSocket layer writes of its own (a close frame, say) while the session gathers
// must not wait for the session's release: the session may be waiting for it.
TEST_F(WriteBatchingStreamTest, AWriteNotGatheredLeavesAtOnceWithWhatWasGatheredBeforeIt) {
  std::vector<std::string> log;
  stream_->gather([&] { write("mine", log); });
  write("theirs", log);
  runUntil([&] { return log.size() == 2; });
  EXPECT_EQ(log, (std::vector<std::string>{"mine: 4", "theirs: 6"}));
  EXPECT_EQ(readFromPeer(10), "minetheirs");

  std::optional<beast::error_code> released;
  stream_->release([&](beast::error_code ec) { released = ec; });
  runUntil([&] { return released.has_value(); });
  EXPECT_FALSE(*released);
  EXPECT_EQ(peer_.available(), 0u);
}

TEST_F(WriteBatchingStreamTest, WritesWhileABatchIsUnderWayFollowItAndAreDoneOnceWritten) {
  std::vector<std::string> log;
  stream_->gather([&] { write("batch", log); });
  stream_->release(
      [&](beast::error_code ec) { log.push_back(ec ? "released: error" : "released"); });
  write("after", log);  // while the batch is under way
  runUntil([&] { return log.size() == 3; });
  EXPECT_EQ(log, (std::vector<std::string>{"batch: 5", "released", "after: 5"}));
  EXPECT_EQ(readFromPeer(10), "batchafter");
}

TEST_F(WriteBatchingStreamTest, AFailedWriteIsReportedToTheReleaseAndToTheWritersWaiting) {
  std::vector<std::string> log;
  stream_->next_layer().socket().close();
  stream_->gather([&] { write("held", log); });
  stream_->release(
      [&](beast::error_code ec) { log.push_back(ec ? "released: error" : "released"); });
  write("waiting", log);
  runUntil([&] { return log.size() == 3; });
  EXPECT_EQ(log, (std::vector<std::string>{"held: 4", "released: error", "waiting: error"}));
}

// A session owns its stream, and the callback it waits with owns the session: a cycle that
// only the end of the write breaks. When the write never ends, the I/O context's end must.
TEST(WriteBatchingStreamLifetimeTest, ACallbackWaitingOnAWriteNeverDoneIsLetGoWithTheIOContext) {
  struct Session {
    std::optional<WriteBatchingStream> stream;
  };
  std::weak_ptr<Session> watch;
  {
    asio::io_context io;
    {
      tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
      tcp::socket peer(io);
      peer.connect(acceptor.local_endpoint());
      tcp::socket socket(io);
      acceptor.accept(socket);
      // The peer does not read: once the socket buffers are full, a write stays pending until
      // the I/O context goes.
      socket.non_blocking(true);
      const std::string fill(64 * 1024, 'f');
      for (beast::error_code ec; !ec;) socket.write_some(asio::buffer(fill), ec);
      auto session = std::make_shared<Session>();
      watch = session;
      session->stream.emplace(beast::tcp_stream(std::move(socket)));
      session->stream->gather([&] {
        asio::async_write(*session->stream, asio::buffer(std::string_view("answer")),
                          [](beast::error_code, size_t) {});
      });
      session->stream->release([session](beast::error_code) {});
      io.poll();
    }
    EXPECT_FALSE(watch.expired()) << "the write is still under way";
  }
  EXPECT_TRUE(watch.expired());
}

// Under a WebSocket stream, as the bridge host uses it.
class WriteBatchingWebSocketTest : public WriteBatchingStreamTest {
 protected:
  void SetUp() override {
    WriteBatchingStreamTest::SetUp();
    server_.emplace(beast::tcp_stream(stream_->next_layer().release_socket()));
    // A client that never gets what it waits for fails instead of hanging.
    timeval limit{20, 0};
    ::setsockopt(peer_.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    client_.emplace(std::move(peer_));
    std::optional<beast::error_code> accepted;
    server_->async_accept([&](beast::error_code ec) { accepted = ec; });
    std::thread handshake([&] { client_->handshake("127.0.0.1", "/"); });
    runUntil([&] { return accepted.has_value(); });
    handshake.join();
    ASSERT_FALSE(*accepted);
  }
  std::optional<websocket::stream<WriteBatchingStream>> server_;
  std::optional<websocket::stream<tcp::socket>> client_;
};

// A batch of messages arrives whole and in order, a long one intact.
TEST_F(WriteBatchingWebSocketTest, MessagesWrittenInABatchArriveInOrder) {
  const std::vector<std::string> messages = {"first", std::string(5000, 'x'),
                                             std::string(200000, 'y'), "fourth"};
  size_t written = 0;
  std::optional<beast::error_code> released;
  std::function<void()> next = [&] {
    server_->next_layer().gather([&] {
      server_->async_write(asio::buffer(messages[written]), [&](beast::error_code ec, size_t) {
        ASSERT_FALSE(ec);
        if (++written < messages.size()) return next();
        server_->next_layer().release([&](beast::error_code e) { released = e; });
      });
    });
  };
  next();
  std::thread io([&] { runUntil([&] { return released.has_value(); }); });
  for (const auto& expected : messages) {
    beast::flat_buffer buffer;
    client_->read(buffer);
    EXPECT_EQ(beast::buffers_to_string(buffer.data()), expected);
  }
  io.join();
  EXPECT_FALSE(*released);
}

// The host's close of a page that reads too slowly: the close starts while an answer is
// gathered and before the batch is released. Both reach the page, and the page's reply to the
// close ends it.
TEST_F(WriteBatchingWebSocketTest, ACloseStartedWhileABatchIsGatheredIsSentAndAnswered) {
  std::optional<beast::error_code> written;
  std::optional<beast::error_code> closed;
  server_->next_layer().gather([&] {
    server_->async_write(asio::buffer(std::string_view("last answer")),
                         [&](beast::error_code ec, size_t) { written = ec; });
  });
  server_->async_close(websocket::close_code::policy_error,
                       [&](beast::error_code ec) { closed = ec; });
  std::thread io([&] { runUntil([&] { return closed.has_value(); }); });
  beast::flat_buffer buffer;
  beast::error_code ec;
  client_->read(buffer, ec);
  EXPECT_FALSE(ec) << ec.message();
  EXPECT_EQ(beast::buffers_to_string(buffer.data()), "last answer");
  client_->read(buffer, ec);
  EXPECT_EQ(ec, websocket::error::closed) << ec.message();
  EXPECT_EQ(client_->reason().code, websocket::close_code::policy_error);
  io.join();
  ASSERT_TRUE(written.has_value());
  EXPECT_FALSE(*written);
  EXPECT_FALSE(*closed) << closed->message();
}

}  // namespace
