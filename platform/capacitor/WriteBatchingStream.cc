#include "platform/capacitor/WriteBatchingStream.h"

namespace platform {

namespace asio = boost::asio;
namespace beast = boost::beast;

void WriteBatchingStream::Batch::append(asio::const_buffer piece) {
  if (piece.size() == 0) return;
  const char* data = static_cast<const char*>(piece.data());
  if (piece.size() >= kCopyLimit) {
    pieces.emplace_back(data, piece.size());
    return;
  }
  copied.append(data, piece.size());
  // Short pieces in a row make one stretch of `copied`.
  if (!pieces.empty() && pieces.back().first == nullptr) {
    pieces.back().second += piece.size();
  } else {
    pieces.emplace_back(nullptr, piece.size());
  }
}

void WriteBatchingStream::Batch::clear() {
  copied.clear();
  pieces.clear();
  done.clear();
}

// Held by the pending write's handler. When the I/O context is destroyed with the write still
// pending, the handler is destroyed without running: the callbacks waiting on the write (which
// hold their owners, who hold this stream) are let go then, so that nothing is kept in a cycle.
struct WriteBatchingStream::Unwind {
  explicit Unwind(std::shared_ptr<State> s) : state(std::move(s)) {}
  Unwind(Unwind&&) noexcept = default;
  Unwind& operator=(Unwind&&) noexcept = default;
  ~Unwind() {
    if (state == nullptr) return;  // ran, or moved from
    state->next.clear();
    state->sending.clear();
  }
  std::shared_ptr<State> state;
};

void WriteBatchingStream::release(std::function<void(beast::error_code)> done) {
  state_->next.done.push_back(std::move(done));
  flush(state_);
}

void WriteBatchingStream::flush(const std::shared_ptr<State>& state) {
  // What was only gathered waits for its release; anything someone waits on goes now.
  if (state->writing || state->next.done.empty()) return;
  state->writing = true;
  std::swap(state->sending, state->next);
  // `copied` no longer grows, so the stretches can point into it now.
  state->buffers.clear();
  size_t offset = 0;
  for (const auto& [data, size] : state->sending.pieces) {
    if (data != nullptr) {
      state->buffers.emplace_back(data, size);
    } else {
      state->buffers.emplace_back(state->sending.copied.data() + offset, size);
      offset += size;
    }
  }
  asio::async_write(state->stream, state->buffers,
                    [unwind = Unwind(state)](beast::error_code ec, size_t) mutable {
                      std::shared_ptr<State> state = std::move(unwind.state);
                      state->writing = false;
                      auto done = std::move(state->sending.done);
                      state->sending.clear();
                      // The callbacks may write again: into `next`, flushed below.
                      for (auto& callback : done) {
                        if (callback) callback(ec);
                      }
                      flush(state);
                    });
}

void teardown(beast::role_type role, WriteBatchingStream& stream, beast::error_code& ec) {
  beast::websocket::teardown(role, stream.next_layer().socket(), ec);
}

}  // namespace platform
