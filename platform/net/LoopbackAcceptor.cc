#include "platform/net/LoopbackAcceptor.h"

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <boost/asio.hpp>
#include <filesystem>
#include <stdexcept>

#include "platform/foundation/PlatformLog.h"

namespace platform {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

namespace {
std::atomic<int> forcedFailures{0};
}  // namespace

void LoopbackAcceptor::failNextAcceptsForTesting(int count) { forcedFailures = count; }

struct LoopbackAcceptor::State : std::enable_shared_from_this<State> {
  State(asio::io_context& context, Limits l, std::string n)
      : io(context),
        acceptor(context),
        retry(context),
        watchRetry(context),
        limits(l),
        name(std::move(n)) {}

  asio::io_context& io;
  tcp::acceptor acceptor;
  asio::steady_timer retry;
  asio::steady_timer watchRetry;  // the backlog watch's own, apart from the accept retry's
  Limits limits;
  std::string name;
  OnAccept onAccept;
  MakeRoom makeRoom;
  // All on the io_context's thread:
  size_t open = 0;         // connections holding a slot
  bool accepting = false;  // an accept or a retry is pending
  bool failing = false;    // the last accept failed (logged once per streak)
  bool atCapLogged = false;
  bool watching = false;            // at the cap, waiting for a peer to show in the backlog
  std::atomic<bool> closed{false};  // also read by slot deleters on other threads

  void acceptNext() {
    if (closed || accepting) return;
    if (open >= limits.maxConnections) {
      if (!atCapLogged) {
        PlatformLog::write(name + ": " + std::to_string(open) +
                           " connections open, the most it holds; new ones wait");
        atCapLogged = true;
      }
      watchBacklog();
      return;  // a released slot starts accepting again
    }
    accepting = true;
    acceptor.async_accept(
        [self = shared_from_this()](boost::system::error_code ec, tcp::socket socket) {
          self->accepting = false;
          if (self->closed || ec == asio::error::operation_aborted) return;
          if (!ec && forcedFailures.load() > 0 && forcedFailures.fetch_sub(1) > 0) {
            ec = asio::error::no_descriptors;  // the peer is dropped with `socket`
          }
          if (ec) return self->backOff(ec);
          self->failing = false;
          ++self->open;
          std::weak_ptr<State> weak = self;
          // The deleter may run on any thread; the count is only touched on the io thread.
          Slot slot(static_cast<void*>(nullptr), [weak](void*) {
            // Once closed, the io_context may be on its way out: nothing more is posted to it.
            if (auto state = weak.lock(); state && !state->closed) {
              asio::post(state->io, [state] {
                --state->open;
                state->atCapLogged = false;
                state->acceptNext();
              });
            }
          });
          self->onAccept(std::move(socket), std::move(slot));
          self->acceptNext();
        });
  }

  // At the cap: once a peer waits in the backlog, the server closes an idle connection for it.
  // When none is idle, it is asked again a little later (a connection may have gone idle).
  void watchBacklog() {
    if (!makeRoom || watching || closed) return;
    watching = true;
    acceptor.async_wait(
        tcp::acceptor::wait_read, [self = shared_from_this()](boost::system::error_code ec) {
          if (self->closed || ec == asio::error::operation_aborted) {
            self->watching = false;
            return;
          }
          if (!ec && self->open >= self->limits.maxConnections && self->makeRoom()) {
            self->watching = false;  // the freed slot accepts the peer
            return;
          }
          self->watchRetry.expires_after(self->limits.retryDelay);
          self->watchRetry.async_wait([self](boost::system::error_code waitError) {
            self->watching = false;
            if (!waitError && self->open >= self->limits.maxConnections) self->watchBacklog();
          });
        });
  }

  void backOff(const boost::system::error_code& ec) {
    if (!failing) {
      PlatformLog::write(name + ": accept failed (" + ec.message() + "); retrying every " +
                         std::to_string(limits.retryDelay.count()) + " ms");
      failing = true;
    }
    accepting = true;
    retry.expires_after(limits.retryDelay);
    retry.async_wait([self = shared_from_this()](boost::system::error_code waitError) {
      self->accepting = false;
      if (!waitError) self->acceptNext();
    });
  }
};

namespace {

// Connections never take the descriptors the process needs for anything else: the cap leaves
// what is open at start and this many more free under the process's descriptor limit.
constexpr rlim_t kSpareDescriptors = 32;

rlim_t openDescriptors() {
  std::error_code ec;
  rlim_t count = 0;
  for (std::filesystem::directory_iterator it("/proc/self/fd", ec), end; !ec && it != end;
       it.increment(ec)) {
    ++count;
  }
  return count;
}

LoopbackAcceptor::Limits withinDescriptorLimit(LoopbackAcceptor::Limits limits) {
  rlimit descriptors{};
  if (::getrlimit(RLIMIT_NOFILE, &descriptors) == 0 && descriptors.rlim_cur != RLIM_INFINITY) {
    rlim_t taken = openDescriptors() + kSpareDescriptors;
    rlim_t room = descriptors.rlim_cur > taken ? descriptors.rlim_cur - taken : 1;
    limits.maxConnections = std::min<size_t>(limits.maxConnections, std::max<rlim_t>(room, 1));
  }
  return limits;
}

}  // namespace

LoopbackAcceptor::LoopbackAcceptor(asio::io_context& io, uint16_t port, Limits limits,
                                   std::string name)
    : state_(std::make_shared<State>(io, withinDescriptorLimit(limits), std::move(name))) {
  tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), port);
  boost::system::error_code ec;
  state_->acceptor.open(endpoint.protocol(), ec);
  if (!ec) state_->acceptor.set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) state_->acceptor.bind(endpoint, ec);
  if (!ec) state_->acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(port) + ": " +
                             ec.message());
  }
  port_ = state_->acceptor.local_endpoint().port();
}

LoopbackAcceptor::~LoopbackAcceptor() { close(); }

void LoopbackAcceptor::start(OnAccept onAccept, MakeRoom makeRoom) {
  state_->onAccept = std::move(onAccept);
  state_->makeRoom = std::move(makeRoom);
  state_->acceptNext();
}

void LoopbackAcceptor::close() {
  state_->closed = true;
  boost::system::error_code ignored;
  state_->retry.cancel();
  state_->watchRetry.cancel();
  state_->acceptor.close(ignored);
}

}  // namespace platform
