#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace testsupport {

// Peers of a server on 127.0.0.1:port that each sent `bytes` and then read nothing: with the
// start of a request only, what a peer does to hold a server's places; with a whole request,
// a peer that leaves its answer unread. Each has a small receive buffer, so that the kernel
// takes little of an answer for it. Open while the object lives.
class RawPeers {
 public:
  RawPeers(uint16_t port, size_t count, const std::string& bytes) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (size_t i = 0; i < count; ++i) {
      int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (fd < 0) throw std::runtime_error("socket failed");
      fds_.push_back(fd);
      int small = 4096;
      ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
      timeval limit{30, 0};
      ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
      if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
          ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) !=
              static_cast<ssize_t>(bytes.size())) {
        throw std::runtime_error("cannot reach port " + std::to_string(port));
      }
    }
  }
  // A request whose header section never ends.
  static std::string halfRequest(const std::string& host) {
    return "GET / HTTP/1.1\r\nHost: " + host + "\r\nX-Half: ";
  }
  ~RawPeers() {
    for (int fd : fds_) ::close(fd);
  }
  RawPeers(const RawPeers&) = delete;
  RawPeers& operator=(const RawPeers&) = delete;

  // Reads the first `size` bytes of the answer on each connection (at most 30 s each); answers
  // how many had them.
  size_t readStartOfEach(size_t size) {
    size_t answered = 0;
    std::string start(size, '\0');
    for (int fd : fds_) {
      answered += ::recv(fd, start.data(), size, MSG_WAITALL) == static_cast<ssize_t>(size);
    }
    return answered;
  }

  // Waits, at most `limit`, for the server to close every connection (end of stream or reset);
  // answers how many it closed.
  size_t waitClosed(std::chrono::seconds limit) {
    std::vector<pollfd> open;
    for (int fd : fds_) open.push_back({fd, POLLIN, 0});
    size_t closed = 0;
    const auto giveUp = std::chrono::steady_clock::now() + limit;
    while (closed < open.size()) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          giveUp - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      if (::poll(open.data(), open.size(), static_cast<int>(left.count())) <= 0) continue;
      for (pollfd& p : open) {
        if (p.fd < 0 || p.revents == 0) continue;
        char buffer[512];
        const ssize_t got = ::recv(p.fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
          p.fd = -1;  // poll skips it from now on
          ++closed;
        }
      }
    }
    return closed;
  }

 private:
  std::vector<int> fds_;
};

}  // namespace testsupport
