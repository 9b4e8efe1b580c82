#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

// Peers of a server on 127.0.0.1:port that keep their connections busy enough never to be idle
// for a header deadline: each sends `request` every `interval` and reads what comes back. A peer
// whose connection the server closes connects again at the next round, as a determined client
// would. They stop after `lifetime`, or when the object goes.
class KeepAlivePeers {
 public:
  KeepAlivePeers(uint16_t port, size_t count, std::string request,
                 std::chrono::milliseconds interval, std::chrono::seconds lifetime)
      : port_(port), request_(std::move(request)), interval_(interval) {
    for (size_t i = 0; i < count; ++i) {
      int fd = open(/*blocking=*/true);
      if (fd < 0) throw std::runtime_error("cannot reach port " + std::to_string(port));
      ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
      ::send(fd, request_.data(), request_.size(), MSG_NOSIGNAL);
      fds_.push_back(fd);
    }
    const auto end = std::chrono::steady_clock::now() + lifetime;
    thread_ = std::thread([this, end] { run(end); });
  }
  ~KeepAlivePeers() {
    stop_ = true;
    thread_.join();
    for (int fd : fds_) {
      if (fd >= 0) ::close(fd);
    }
  }
  KeepAlivePeers(const KeepAlivePeers&) = delete;
  KeepAlivePeers& operator=(const KeepAlivePeers&) = delete;

  // How many times the server closed a peer's connection.
  size_t closedByServer() const { return closed_; }

 private:
  int open(bool blocking) const {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (blocking ? 0 : SOCK_NONBLOCK), 0);
    if (fd < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port_);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
        (blocking || errno != EINPROGRESS)) {
      ::close(fd);
      return -1;
    }
    return fd;
  }

  void run(std::chrono::steady_clock::time_point end) {
    auto nextRound = std::chrono::steady_clock::now() + interval_;
    while (!stop_ && std::chrono::steady_clock::now() < end) {
      if (std::chrono::steady_clock::now() >= nextRound) {
        for (int& fd : fds_) {
          if (fd < 0) fd = open(/*blocking=*/false);
          if (fd >= 0) ::send(fd, request_.data(), request_.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        }
        nextRound += interval_;
      }
      std::vector<pollfd> polled;
      for (int fd : fds_) polled.push_back({fd, POLLIN, 0});
      // Short waits, so that stopping is prompt; answers are read as they come.
      if (::poll(polled.data(), polled.size(), 50) <= 0) continue;
      for (size_t i = 0; i < polled.size(); ++i) {
        if (polled[i].fd < 0 || polled[i].revents == 0) continue;
        char buffer[4096];
        const ssize_t got = ::recv(polled[i].fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
          ::close(fds_[i]);
          fds_[i] = -1;
          ++closed_;
        }
      }
    }
    for (int& fd : fds_) {
      if (fd >= 0) ::close(fd);
      fd = -1;
    }
  }

  const uint16_t port_;
  const std::string request_;
  const std::chrono::milliseconds interval_;
  std::vector<int> fds_;  // -1 while closed; on the thread once it runs
  std::atomic<size_t> closed_{0};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace testsupport
