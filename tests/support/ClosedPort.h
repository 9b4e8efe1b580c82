#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>
#include <string>

namespace testsupport {

// A port on 127.0.0.1 that is known to be closed for as long as the object lives: bound (so no
// other process can take it) and never listening, so every connection to it is refused at
// once. For tests that need a host nothing answers on; a port merely found free and released
// could be taken by another process before the test's request goes out.
class ClosedPort {
 public:
  ClosedPort() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) throw std::runtime_error("ClosedPort: no socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      ::close(fd_);
      throw std::runtime_error("ClosedPort: cannot bind 127.0.0.1");
    }
    port_ = ntohs(address.sin_port);
  }
  ~ClosedPort() { ::close(fd_); }
  ClosedPort(const ClosedPort&) = delete;
  ClosedPort& operator=(const ClosedPort&) = delete;

  uint16_t port() const { return port_; }
  // "127.0.0.1:<port>", as a service host is configured.
  std::string host() const { return "127.0.0.1:" + std::to_string(port_); }
  // "http://127.0.0.1:<port>"
  std::string baseURL() const { return "http://" + host(); }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

// One closed port held for the whole life of the test process: where a test points a
// service host when it resets the library's global configuration, so that nothing that
// still runs afterwards (a late alarm, a worker's last block) reaches the library's default
// host, which is the user's own local service.
inline const ClosedPort& processClosedPort() {
  static const ClosedPort& port = *new ClosedPort();
  return port;
}

// The measurement library's three service hosts (a struct of config, upload and authorized
// upload hosts) all on processClosedPort().
template <typename Hosts>
Hosts processClosedHosts() {
  const std::string host = processClosedPort().host();
  return Hosts{host, host, host};
}

}  // namespace testsupport
