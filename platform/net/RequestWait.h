#pragma once

#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <chrono>
#include <functional>
#include <memory>

#include "platform/net/IdleConnections.h"

namespace platform {

// A keep-alive connection's wait for its next request. Until the first byte comes, the
// connection only waits for its socket to be readable, listed among the server's idle
// connections: a full server may close it for a new peer without losing a request, since bytes
// that came are still in the kernel's buffer. At the header deadline it is closed.
//
// A member of the connection's session, used on the server's I/O thread only.
class RequestWait {
 public:
  RequestWait(IdleConnections& idle, boost::beast::tcp_stream& stream);

  // Waits until `due`; `arrived` runs once bytes of a request can be read, and never when the
  // wait ends otherwise (the deadline, a close for room, the server stopping). `owner` is the
  // session, kept alive until then.
  void start(std::chrono::steady_clock::time_point due, std::shared_ptr<void> owner,
             std::function<void()> arrived);
  // No longer among the idle connections (the session ends). Idempotent.
  void leave();

 private:
  // Closes the connection when nothing of a request has come; answers whether it did.
  bool closeIfIdle();

  IdleConnections& idle_;
  boost::beast::tcp_stream& stream_;
  boost::asio::steady_timer deadline_;
  IdleConnections::Id id_ = 0;
};

}  // namespace platform
