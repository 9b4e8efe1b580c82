#pragma once

#include <utility>  // before Asio, whose awaitable.hpp uses std::exchange

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace platform {

// The accept loop of a server of ours on 127.0.0.1. It never stops accepting for good: when
// accept fails (out of descriptors, EMFILE/ENFILE, or any other error) it logs once, waits
// `retryDelay` (real time, on the server's io_context) and accepts again. It holds at most
// `maxConnections` connections at once, and never more than leave the descriptors open at its
// start and 32 more free under the process's limit (RLIMIT_NOFILE), so that its own connections
// cannot take every descriptor: at the cap
// it stops accepting (new peers wait in the kernel's backlog) until a connection ends. While a
// peer waits there, the server is asked to make room (MakeRoom): it closes a connection that
// sits idle, waiting for a request, so that keep-alive peers cannot keep a new one out.
//
// Each accepted socket comes with a Slot: the connection keeps it for its whole life, and
// releasing it (from any thread) frees the place. Everything else runs on the io_context's
// thread; construct and start before the thread runs, or on it.
class LoopbackAcceptor {
 public:
  struct Limits {
    size_t maxConnections = 256;
    std::chrono::milliseconds retryDelay{100};
  };
  using Slot = std::shared_ptr<void>;
  using OnAccept = std::function<void(boost::asio::ip::tcp::socket socket, Slot slot)>;
  // At the cap with a peer waiting in the backlog: closes one idle connection (its slot then
  // frees the place) and answers true, or answers false when none is idle (asked again after
  // `retryDelay`). On the io_context's thread.
  using MakeRoom = std::function<bool()>;

  // Binds 127.0.0.1:port (0 picks a free port) and listens. `name` prefixes the log lines.
  // Throws std::runtime_error when the port cannot be bound.
  LoopbackAcceptor(boost::asio::io_context& io, uint16_t port, Limits limits, std::string name);
  ~LoopbackAcceptor();
  LoopbackAcceptor(const LoopbackAcceptor&) = delete;
  LoopbackAcceptor& operator=(const LoopbackAcceptor&) = delete;

  uint16_t port() const { return port_; }

  // Starts the loop; `onAccept` runs on the io_context's thread for each connection, and
  // `makeRoom` (when given) at the cap while a peer waits.
  void start(OnAccept onAccept, MakeRoom makeRoom = {});
  // Stops accepting and closes the listening socket (on the io_context's thread, or after it
  // has stopped). Connections already accepted are the server's to close.
  void close();

  // The next `count` accepts fail as if the process had run out of descriptors (the peer is
  // dropped): tests drive the retry with it, since really running out of descriptors also
  // starves the sanitizers' own checks.
  static void failNextAcceptsForTesting(int count);

  struct State;

 private:
  std::shared_ptr<State> state_;
  uint16_t port_ = 0;
};

}  // namespace platform
