// One loopback table through both roads: every spelling of a host that the network object
// meets in a redirect (libcurl reads it, and rewrites numeric IPv4 forms before connecting)
// gets the same answer from platform::URL::isLoopbackHost given the spelling itself.
//
// The redirect targets all carry the port of a server this test opened on every loopback
// address they can reach (127.0.0.1, 127.1.2.3 and [::1]), so a followed redirect lands here
// and nowhere else; a refused one must fail before any connection.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/foundation/URL.h"
#include "platform/utilities/OULNetwork.h"
#include "tests/platform/utilities/NetworkTestSupport.h"

namespace {

using oultest::Outcome;

struct Spelling {
  const char* host;
  bool loopback;
  bool needsIPv6 = false;  // reached only over [::1]
};

// The one table. Numeric IPv4 forms are read as inet_aton reads them (checked against it
// below); names and IPv6 literals as libcurl connects to them.
const Spelling kSpellings[] = {
    {"127.0.0.1", true},
    {"127.1", true},
    {"0177.0.0.1", true},
    {"2130706433", true},
    {"0x7f.1", true},
    {"0X7F000001", true},
    {"017700000001", true},
    {"127.000.000.001", true},
    {"127.0.1", true},
    {"0x7f.0.0.1", true},
    {"127.1.2.3", true},
    {"127.0.0.%31", true},  // libcurl decodes escapes in a host
    {"localhost", true},
    {"LOCALHOST", true},
    {"%6cocalhost", true},
    {"[::1]", true, true},
    {"[0:0:0:0:0:0:0:1]", true, true},
    {"[0::1]", true, true},
    // An octal part: 0127 is 87, so this is 87.0.0.1.
    {"0127.0.0.1", false},
    // A trailing dot, a bad digit or a part out of range: names to look up, not addresses.
    // libcurl hands "localhost." to the system's resolver too, which need not know it.
    {"127.0.0.1.", false},
    {"localhost.", false},
    {"LOCALHOST.", false},
    {"127.1.", false},
    {"08.1", false},
    {"127.0.0.09", false},
    {"127.16777216", false},
    {"0x", false},
    // Other addresses ("0" and 0.0.0.0 reach this machine on Linux, but are no loopback).
    {"0", false},
    {"0.0.0.0", false},
    {"4294967295", false},
    {"128.0.0.1", false},
    // Names that only look like this machine's.
    {"127.0.0.1.example.com", false},
    {"localhost.example.com", false},
    {"foo.localhost", false},
    {"localhost..", false},
    // IPv6: only ::1 itself, without a zone.
    {"[::ffff:127.0.0.1]", false},
    {"[::ffff:7f00:1]", false},
    {"[::127.0.0.1]", false},
    {"[::]", false},
    {"[::1%25lo]", false},
};

// A tiny HTTP server on one port of several loopback addresses: "/go/N" redirects to the
// N-th spelling of kSpellings on the same port, "/landed/N" answers 200 and is recorded.
class LandingServer {
 public:
  LandingServer() {
    for (int attempt = 0; attempt < 20 && fds_.empty(); ++attempt) tryBind();
    if (fds_.empty()) throw std::runtime_error("LandingServer: no port on every address");
    thread_ = std::thread([this] { serve(); });
  }
  ~LandingServer() {
    stop_ = true;
    thread_.join();
    for (int fd : fds_) ::close(fd);
  }

  uint16_t port() const { return port_; }
  bool hasIPv6() const { return ipv6_; }
  std::set<size_t> landed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return landed_;
  }

 private:
  static int listenOn(int family, const char* address, uint16_t port) {
    int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int on = 1;
    int result;
    if (family == AF_INET) {
      sockaddr_in in{};
      in.sin_family = AF_INET;
      in.sin_port = htons(port);
      ::inet_pton(AF_INET, address, &in.sin_addr);
      result = ::bind(fd, reinterpret_cast<sockaddr*>(&in), sizeof in);
    } else {
      ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
      sockaddr_in6 in6{};
      in6.sin6_family = AF_INET6;
      in6.sin6_port = htons(port);
      in6.sin6_addr = in6addr_loopback;
      result = ::bind(fd, reinterpret_cast<sockaddr*>(&in6), sizeof in6);
    }
    if (result != 0 || ::listen(fd, 16) != 0) {
      int saved = errno;
      ::close(fd);
      errno = saved;
      return -1;
    }
    return fd;
  }

  // The first address picks the port; the others must get the same one, or all are let go.
  void tryBind() {
    int first = listenOn(AF_INET, "127.0.0.1", 0);
    if (first < 0) return;
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    ::getsockname(first, reinterpret_cast<sockaddr*>(&bound), &length);
    const uint16_t port = ntohs(bound.sin_port);
    int second = listenOn(AF_INET, "127.1.2.3", port);
    int v6 = listenOn(AF_INET6, "::1", port);
    const bool noIPv6 = v6 < 0 && errno == EADDRNOTAVAIL;  // a machine without ::1
    if (second < 0 || (v6 < 0 && !noIPv6)) {
      for (int fd : {first, second, v6}) {
        if (fd >= 0) ::close(fd);
      }
      return;
    }
    port_ = port;
    ipv6_ = v6 >= 0;
    fds_ = {first, second};
    if (ipv6_) fds_.push_back(v6);
  }

  void serve() {
    std::vector<pollfd> polled;
    for (int fd : fds_) polled.push_back({fd, POLLIN, 0});
    while (!stop_) {
      if (::poll(polled.data(), polled.size(), 20) <= 0) continue;
      for (const pollfd& p : polled) {
        if ((p.revents & POLLIN) == 0) continue;
        int client = ::accept4(p.fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (client >= 0) answer(client);
      }
    }
  }

  void answer(int client) {
    timeval limit{5, 0};
    ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::string request;
    char chunk[1024];
    while (request.find("\r\n\r\n") == std::string::npos) {
      ssize_t got = ::recv(client, chunk, sizeof chunk, 0);
      if (got <= 0) break;
      request.append(chunk, static_cast<size_t>(got));
    }
    // "GET /go/3 HTTP/1.1": the path is the request line's second word.
    size_t start = request.find(' ') + 1;
    std::string path = request.substr(start, request.find(' ', start) - start);
    std::string reply = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    if (path.rfind("/go/", 0) == 0) {
      size_t index = std::stoul(path.substr(4));
      reply = "HTTP/1.1 302 Found\r\nLocation: http://" + std::string(kSpellings[index].host) +
              ":" + std::to_string(port_) + "/landed/" + std::to_string(index) +
              "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    } else if (path.rfind("/landed/", 0) == 0) {
      std::lock_guard<std::mutex> lock(mutex_);
      landed_.insert(std::stoul(path.substr(8)));
      reply = "HTTP/1.1 200 OK\r\nContent-Length: 6\r\nConnection: close\r\n\r\nlanded";
    }
    ssize_t sent = ::send(client, reply.data(), reply.size(), MSG_NOSIGNAL);
    (void)sent;
    ::close(client);
  }

  std::vector<int> fds_;
  uint16_t port_ = 0;
  bool ipv6_ = false;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::set<size_t> landed_;  // guarded by mutex_
  std::thread thread_;
};

TEST(LoopbackSpellingTest, TheNetworkObjectFollowsARedirectExactlyWhereIsLoopbackHostSaysLoopback) {
  LandingServer server;
  auto network = OULNetwork::create();
  auto queue = platform::DispatchQueue::createSerial("com.orvane.test.loopback-spelling");
  const std::string base = "http://127.0.0.1:" + std::to_string(server.port());
  for (size_t i = 0; i < std::size(kSpellings); ++i) {
    const Spelling& s = kSpellings[i];
    SCOPED_TRACE(s.host);
    EXPECT_EQ(platform::URL::isLoopbackHost(s.host), s.loopback) << "isLoopbackHost";
    if (s.needsIPv6 && !server.hasIPv6()) continue;

    auto outcome = std::make_shared<Outcome>();
    network->getURL(base + "/go/" + std::to_string(i), {}, queue, false,
                    Outcome::recordInto(outcome, queue));
    ASSERT_TRUE(outcome->wait());
    std::lock_guard<std::mutex> lock(outcome->mutex);
    if (s.loopback) {
      if (outcome->error) {
        ADD_FAILURE() << "not followed: " << outcome->error->description;
        continue;
      }
      EXPECT_EQ(outcome->response->statusCode, 200);
      EXPECT_TRUE(server.landed().contains(i)) << "the redirect was not followed here";
    } else {
      if (!outcome->error) {
        ADD_FAILURE() << "followed, status " << outcome->response->statusCode;
        continue;
      }
      EXPECT_EQ(outcome->error->code, OULNetworkErrorCodeSecureConnectionRequired)
          << outcome->error->description;
      EXPECT_FALSE(server.landed().contains(i));
    }
  }
}

// The numeric forms against the system's own reader: every spelling built from these parts is
// loopback exactly when inet_aton reads it as an address in 127/8.
TEST(LoopbackSpellingTest, NumericFormsAreReadAsInetAtonReadsThem) {
  const char* parts[] = {"127", "0177", "0x7f",  "0X7F",     "0",          "00",
                         "1",   "01",   "255",   "0xff",     "256",        "0400",
                         "08",  "0x",   "65535", "16777215", "2130706433", "4294967296"};
  size_t compared = 0;
  for (const char* a : parts) {
    for (const char* b : parts) {
      for (const char* c : parts) {
        for (const std::string& spelling :
             {std::string(a), std::string(a) + "." + b, std::string(a) + "." + b + "." + c,
              std::string(a) + "." + b + "." + c + ".1"}) {
          in_addr address{};
          const bool system =
              ::inet_aton(spelling.c_str(), &address) == 1 && (ntohl(address.s_addr) >> 24) == 127;
          EXPECT_EQ(platform::URL::isLoopbackHost(spelling), system) << spelling;
          ++compared;
        }
      }
    }
  }
  EXPECT_GT(compared, 1000u);
}

}  // namespace
