#include "platform/net/RequestWait.h"

#include <utility>

namespace platform {

namespace beast = boost::beast;
using tcp = boost::asio::ip::tcp;

RequestWait::RequestWait(IdleConnections& idle, beast::tcp_stream& stream)
    : idle_(idle), stream_(stream), deadline_(stream.get_executor()) {}

void RequestWait::start(std::chrono::steady_clock::time_point due, std::shared_ptr<void> owner,
                        std::function<void()> arrived) {
  // The session removes this wait from the list before it goes, so the list never calls a
  // wait that is gone.
  id_ = idle_.add([this] { return closeIfIdle(); });
  deadline_.expires_at(due);
  deadline_.async_wait([this, weak = std::weak_ptr<void>(owner)](beast::error_code ec) {
    if (std::shared_ptr<void> alive = weak.lock(); alive && !ec) stream_.close();
  });
  stream_.socket().async_wait(
      tcp::socket::wait_read,
      [this, owner = std::move(owner), arrived = std::move(arrived)](beast::error_code ec) {
        leave();
        deadline_.cancel();
        if (!ec) arrived();  // else timed out, closed for room, or stopping
      });
}

void RequestWait::leave() {
  if (id_ == 0) return;
  idle_.remove(id_);
  id_ = 0;
}

bool RequestWait::closeIfIdle() {
  beast::error_code ec;
  if (stream_.socket().available(ec) > 0 || ec) return false;
  stream_.socket().shutdown(tcp::socket::shutdown_both, ec);
  stream_.close();  // the wait ends with operation_aborted: no answer
  return true;
}

}  // namespace platform
