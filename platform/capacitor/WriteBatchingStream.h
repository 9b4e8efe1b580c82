#pragma once

#include <utility>  // before Asio, whose awaitable.hpp uses std::exchange

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket/teardown.hpp>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// A TCP stream that can gather writes, placed under a WebSocket stream so that many frames
// leave in one system call (and one TCP segment) instead of one each.
//
// Writes started inside gather() are taken into the batch and reported done at once; release()
// sends the batch in one write and reports its result. Every other write (the WebSocket
// layer's own control frames, the handshake, the rest of a message too long for one piece) is
// sent as soon as it comes, together with what was gathered before it, and reported done once
// written: nothing the writer waits on is ever held back. Bytes leave in the order written.
//
// Copies: pieces shorter than kCopyLimit bytes are copied into the batch; longer ones are only
// referenced. A gathering writer must therefore keep the long pieces it wrote (its frames'
// payloads) alive until release() reports; any other writer keeps them alive anyway, as with
// any stream, until it is told they are written.
//
// Threads: the I/O thread of the executor only. The state lives in a shared block that pending
// writes keep alive, so the stream may be destroyed with a write under way.
class WriteBatchingStream {
 public:
  using next_layer_type = boost::beast::tcp_stream;
  using executor_type = next_layer_type::executor_type;
  static constexpr size_t kCopyLimit = 1024;

  explicit WriteBatchingStream(next_layer_type stream)
      : state_(std::make_shared<State>(std::move(stream))) {}

  executor_type get_executor() noexcept { return state_->stream.get_executor(); }
  next_layer_type& next_layer() noexcept { return state_->stream; }
  const next_layer_type& next_layer() const noexcept { return state_->stream; }

  template <class MutableBufferSequence, class ReadHandler>
  BOOST_BEAST_ASYNC_RESULT2(ReadHandler)
  async_read_some(const MutableBufferSequence& buffers, ReadHandler&& handler) {
    return state_->stream.async_read_some(buffers, std::forward<ReadHandler>(handler));
  }

  template <class ConstBufferSequence, class WriteHandler>
  BOOST_BEAST_ASYNC_RESULT2(WriteHandler)
  async_write_some(const ConstBufferSequence& buffers, WriteHandler&& handler) {
    return boost::asio::async_initiate<WriteHandler, void(boost::beast::error_code, size_t)>(
        [](auto h, const std::shared_ptr<State>& state, const ConstBufferSequence& b) {
          size_t size = 0;
          for (auto it = boost::asio::buffer_sequence_begin(b);
               it != boost::asio::buffer_sequence_end(b); ++it) {
            boost::asio::const_buffer piece = *it;
            state->next.append(piece);
            size += piece.size();
          }
          if (state->gathering) {
            boost::asio::post(
                state->stream.get_executor(),
                boost::beast::bind_front_handler(std::move(h), boost::beast::error_code{}, size));
            return;
          }
          state->next.done.push_back(
              [h = std::make_shared<decltype(h)>(std::move(h)), size,
               executor = state->stream.get_executor()](boost::beast::error_code ec) {
                boost::asio::post(executor, boost::beast::bind_front_handler(
                                                std::move(*h), ec, ec ? size_t{0} : size));
              });
          flush(state);
        },
        handler, state_, buffers);
  }

  // Calls `initiate`; the writes it starts are gathered.
  template <class Initiate>
  void gather(Initiate&& initiate) {
    struct Gathering {
      State& state;
      explicit Gathering(State& s) : state(s) { state.gathering = true; }
      ~Gathering() { state.gathering = false; }
    } gathering(*state_);
    std::forward<Initiate>(initiate)();
  }
  // Sends what was gathered; `done` gets the result once that, and all written before, is out.
  void release(std::function<void(boost::beast::error_code)> done);

 private:
  struct Batch {
    std::string copied;  // the short pieces, back to back
    // In write order: a long piece (data, size), or a stretch of `copied` (nullptr, size).
    std::vector<std::pair<const char*, size_t>> pieces;
    std::vector<std::function<void(boost::beast::error_code)>> done;
    void append(boost::asio::const_buffer piece);
    void clear();
  };
  struct State {
    explicit State(next_layer_type s) : stream(std::move(s)) {}
    next_layer_type stream;
    bool gathering = false;  // inside gather()
    bool writing = false;    // `sending` is under way
    Batch next;
    Batch sending;
    std::vector<boost::asio::const_buffer> buffers;  // `sending`'s pieces, for the write
  };
  struct Unwind;
  static void flush(const std::shared_ptr<State>& state);

  std::shared_ptr<State> state_;
};

// The WebSocket layer's closing of the connection, on the TCP stream underneath.
void teardown(boost::beast::role_type role, WriteBatchingStream& stream,
              boost::beast::error_code& ec);

template <class TeardownHandler>
void async_teardown(boost::beast::role_type role, WriteBatchingStream& stream,
                    TeardownHandler&& handler) {
  boost::beast::websocket::async_teardown(role, stream.next_layer().socket(),
                                          std::forward<TeardownHandler>(handler));
}

}  // namespace platform
