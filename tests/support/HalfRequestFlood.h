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

// Connections to 127.0.0.1:port that each sent the start of a request and never its end: what
// a peer does to hold a server's places. Open while the object lives.
class HalfRequestFlood {
 public:
  HalfRequestFlood(uint16_t port, size_t count, const std::string& host) {
    const std::string half = "GET / HTTP/1.1\r\nHost: " + host + "\r\nX-Half: ";
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (size_t i = 0; i < count; ++i) {
      int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (fd < 0) throw std::runtime_error("socket failed");
      fds_.push_back(fd);
      if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
          ::send(fd, half.data(), half.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(half.size())) {
        throw std::runtime_error("cannot reach port " + std::to_string(port));
      }
    }
  }
  ~HalfRequestFlood() {
    for (int fd : fds_) ::close(fd);
  }
  HalfRequestFlood(const HalfRequestFlood&) = delete;
  HalfRequestFlood& operator=(const HalfRequestFlood&) = delete;

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
