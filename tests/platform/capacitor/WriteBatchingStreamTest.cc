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
// test runs the I/O context itself, on its own thread.
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

TEST_F(WriteBatchingStreamTest, HeldWritesAreDoneAtOnceAndLeaveTogetherOnRelease) {
  const std::string longPiece(3 * WriteBatchingStream::kCopyLimit, 'L');  // referenced, not copied
  const std::vector<std::string> pieces = {"one", "two", longPiece, "three"};
  std::vector<std::string> log;
  stream_->hold();
  for (const auto& p : pieces) write(p, log);
  runUntil([&] { return log.size() == pieces.size(); });
  EXPECT_EQ(log, (std::vector<std::string>{"one: 3", "two: 3", "LLLLLLLL: 3072", "three: 5"}));
  EXPECT_EQ(peer_.available(), 0u) << "nothing leaves while held";

  std::optional<beast::error_code> released;
  stream_->release([&](beast::error_code ec) { released = ec; });
  runUntil([&] { return released.has_value(); });
  EXPECT_FALSE(*released);
  const std::string all = "onetwo" + longPiece + "three";
  // One write: everything is there by the time the release is reported.
  EXPECT_EQ(peer_.available(), all.size());
  EXPECT_EQ(readFromPeer(all.size()), all);
}

TEST_F(WriteBatchingStreamTest, WritesWhileNotHeldFollowTheBatchUnderWayAndAreDoneOnceWritten) {
  std::vector<std::string> log;
  stream_->hold();
  write("batch", log);
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
  stream_->hold();
  write("held", log);
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
    // Far more than the (small) socket buffers take while the peer does not read: the write
    // stays pending until the I/O context goes.
    const std::string big(size_t{8} << 20, 'b');
    asio::io_context io;
    {
      tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
      tcp::socket peer(io);
      peer.open(tcp::v4());
      peer.set_option(asio::socket_base::receive_buffer_size(64 * 1024));
      peer.connect(acceptor.local_endpoint());
      tcp::socket socket(io);
      acceptor.accept(socket);
      socket.set_option(asio::socket_base::send_buffer_size(64 * 1024));
      auto session = std::make_shared<Session>();
      watch = session;
      session->stream.emplace(beast::tcp_stream(std::move(socket)));
      session->stream->hold();
      bool held = false;
      asio::async_write(*session->stream, asio::buffer(big),
                        [&](beast::error_code, size_t) { held = true; });
      while (!held) io.run_one();
      session->stream->release([session](beast::error_code) {});
      io.poll();
    }
    EXPECT_FALSE(watch.expired()) << "the write is still under way";
  }
  EXPECT_TRUE(watch.expired());
}

// Under a WebSocket stream, as the bridge host uses it: a batch of messages arrives whole and
// in order, and a message too long to copy is read back intact.
TEST_F(WriteBatchingStreamTest, WebSocketMessagesWrittenInABatchArriveInOrder) {
  websocket::stream<WriteBatchingStream> server(
      beast::tcp_stream(stream_->next_layer().release_socket()));
  websocket::stream<tcp::socket> client(std::move(peer_));
  std::optional<beast::error_code> accepted;
  server.async_accept([&](beast::error_code ec) { accepted = ec; });
  std::thread handshake([&] { client.handshake("127.0.0.1", "/"); });
  runUntil([&] { return accepted.has_value(); });
  handshake.join();
  ASSERT_FALSE(*accepted);

  const std::vector<std::string> messages = {"first", std::string(5000, 'x'), "third"};
  size_t written = 0;
  std::optional<beast::error_code> released;
  server.next_layer().hold();
  std::function<void()> next = [&] {
    server.async_write(asio::buffer(messages[written]), [&](beast::error_code ec, size_t) {
      ASSERT_FALSE(ec);
      if (++written < messages.size()) return next();
      server.next_layer().release([&](beast::error_code e) { released = e; });
    });
  };
  next();
  runUntil([&] { return released.has_value(); });
  EXPECT_FALSE(*released);
  for (const auto& expected : messages) {
    beast::flat_buffer buffer;
    client.read(buffer);
    EXPECT_EQ(beast::buffers_to_string(buffer.data()), expected);
  }
}

}  // namespace
