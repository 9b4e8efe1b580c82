#pragma once

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

// Peers of a server on 127.0.0.1:port that each send a header section announcing a body of
// `bodyBytes`, then the body but its last `heldBack` bytes, as fast as the server takes it (or,
// given `bytesPerSecond`, no faster than that each), and then nothing, or (given `dripEvery`)
// one more byte that often, never the last: what a peer does to make a server hold a body for
// as long as it waits, or, dripping, as long as a body may take. A thread pushes the bytes until
// every peer has sent them or was cut, or the object goes.
class BodyStallPeers {
 public:
  BodyStallPeers(uint16_t port, size_t count, const std::string& head, size_t bodyBytes,
                 uint64_t bytesPerSecond = 0, size_t heldBack = 1,
                 std::chrono::milliseconds dripEvery = std::chrono::milliseconds(0))
      : chunk_(size_t{64} << 10, 'b'), bytesPerSecond_(bytesPerSecond), dripEvery_(dripEvery) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (size_t i = 0; i < count; ++i) {
      int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (fd < 0) throw std::runtime_error("socket failed");
      if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
          ::send(fd, head.data(), head.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(head.size())) {
        ::close(fd);
        throw std::runtime_error("cannot reach port " + std::to_string(port));
      }
      peers_.push_back({fd, bodyBytes - heldBack, heldBack > 1 ? heldBack - 1 : 0});
    }
    thread_ = std::thread([this] { run(); });
  }
  ~BodyStallPeers() {
    stop_ = true;
    thread_.join();
    for (const Peer& peer : peers_) ::close(peer.fd);
  }
  BodyStallPeers(const BodyStallPeers&) = delete;
  BodyStallPeers& operator=(const BodyStallPeers&) = delete;

  // Whether every peer has sent all it will, or was cut.
  bool done() const { return done_; }
  // Whether every peer has sent what it sends at once (or paced), or was cut: from then on the
  // peers left hold their bodies.
  bool settled() const { return settled_; }
  // The bytes sent that the server has not read yet (still in the peers' send queues), across
  // the peers not cut: 0 once it holds all they sent.
  uint64_t unread() const { return unread_; }
  uint64_t bytesSent() const { return sent_; }
  // The peers the server has cut (closed, or answered before their bodies were whole) so far;
  // with `dripEvery`, seen within about 10 ms.
  size_t cut() const { return refused_ + dropped_; }
  // Of those, the peers turned away while they waited for room to send their bodies ("503 ...
  // the bodies of other requests are being read"): the server held no body of theirs beyond
  // what it lets every body take while it waits. A peer that waits may have put all it sends
  // into the kernel's buffers, so it looks settled until its wait runs out.
  size_t refused() const { return refused_; }
  // The peers cut otherwise: closed, timed out, or answered anything else.
  size_t dropped() const { return dropped_; }

 private:
  struct Peer {
    int fd;
    size_t left;   // of the body sent at once (or paced)
    size_t drips;  // bytes still to drip after it
    uint64_t sent = 0;
    bool closed = false;
  };

  // Whether the server has answered or closed the connection: either way the body was cut.
  static bool answeredOrClosed(int fd) {
    char byte;
    const ssize_t got = ::recv(fd, &byte, 1, MSG_DONTWAIT | MSG_PEEK);
    return got >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
  }

  // Whether the server's answer (all that came before it closed) turns the peer away for want
  // of room for its body.
  static bool refusedForRoom(int fd) {
    std::string answer(1024, '\0');
    const ssize_t got = ::recv(fd, answer.data(), answer.size(), MSG_DONTWAIT | MSG_PEEK);
    answer.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return answer.rfind("HTTP/1.1 503 ", 0) == 0 &&
           answer.find("the bodies of other requests are being read") != std::string::npos;
  }

  void close(Peer& peer) {
    peer.closed = true;
    ++(refusedForRoom(peer.fd) ? refused_ : dropped_);
  }

  // One byte more to each peer that drips and has not been cut.
  void drip() {
    for (Peer& peer : peers_) {
      if (peer.closed || peer.left != 0 || peer.drips == 0) continue;
      if (answeredOrClosed(peer.fd) ||
          ::send(peer.fd, chunk_.data(), 1, MSG_NOSIGNAL | MSG_DONTWAIT) != 1) {
        close(peer);
        continue;
      }
      --peer.drips;
      ++peer.sent;
      ++sent_;
    }
  }

  void run() {
    const auto began = std::chrono::steady_clock::now();
    auto nextDrip = began + dripEvery_;
    while (!stop_) {
      // What each peer may have sent by now.
      uint64_t allowed = UINT64_MAX;
      if (bytesPerSecond_ > 0) {
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - began);
        allowed = bytesPerSecond_ * static_cast<uint64_t>(elapsed.count()) / 1000;
      }
      std::vector<pollfd> polled;
      std::vector<Peer*> which;
      bool paced = false;
      bool dripping = false;
      settled_ = std::all_of(peers_.begin(), peers_.end(),
                             [](const Peer& peer) { return peer.closed || peer.left == 0; });
      uint64_t unread = 0;
      for (const Peer& peer : peers_) {
        int queued = 0;
        if (!peer.closed && ::ioctl(peer.fd, SIOCOUTQ, &queued) == 0) unread += queued;
      }
      unread_ = unread;
      for (Peer& peer : peers_) {
        if (peer.closed) continue;
        if (peer.left == 0) {
          dripping |= dripEvery_.count() > 0 && peer.drips > 0;
          continue;
        }
        if (peer.sent >= allowed) {
          paced = true;
          continue;
        }
        polled.push_back({peer.fd, POLLOUT, 0});
        which.push_back(&peer);
      }
      if (dripping) {
        // Seen at once rather than at the next byte dripped.
        for (Peer& peer : peers_) {
          if (!peer.closed && peer.left == 0 && answeredOrClosed(peer.fd)) close(peer);
        }
      }
      // On time whatever the others do: peers still sending, or waiting for the server to read
      // them, must not hold back the byte that keeps another's body within its deadlines.
      if (dripping && std::chrono::steady_clock::now() >= nextDrip) {
        nextDrip += dripEvery_;
        drip();
      }
      if (polled.empty()) {
        if (!paced && !dripping) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        continue;
      }
      if (::poll(polled.data(), polled.size(), 50) <= 0) continue;
      for (size_t i = 0; i < polled.size(); ++i) {
        Peer& peer = *which[i];
        if (polled[i].revents & (POLLERR | POLLHUP)) {
          close(peer);
          continue;
        }
        if ((polled[i].revents & POLLOUT) == 0) continue;
        const size_t size = static_cast<size_t>(
            std::min<uint64_t>({peer.left, chunk_.size(), allowed - peer.sent}));
        const ssize_t put = ::send(peer.fd, chunk_.data(), size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (put > 0) {
          peer.left -= static_cast<size_t>(put);
          peer.sent += static_cast<uint64_t>(put);
          sent_ += static_cast<uint64_t>(put);
        } else if (put < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
          close(peer);
        }
      }
    }
    settled_ = true;
    done_ = true;
  }

  const std::string chunk_;
  const uint64_t bytesPerSecond_;  // 0: as fast as the server takes them
  const std::chrono::milliseconds dripEvery_;
  std::vector<Peer> peers_;
  std::atomic<uint64_t> sent_{0};
  std::atomic<size_t> refused_{0};
  std::atomic<size_t> dropped_{0};
  std::atomic<bool> settled_{false};
  std::atomic<uint64_t> unread_{UINT64_MAX};
  std::atomic<bool> done_{false};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace testsupport
