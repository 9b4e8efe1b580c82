#pragma once

#include <utility>  // before Asio

#include <boost/asio.hpp>
#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

// A request a server of ours refuses as malformed (Beast's parser, or the framing rules of
// platform/net/RequestFraming.h), and the start of the answer it gives.
struct MalformedRequest {
  const char* name;
  std::string bytes;
  const char* statusLine;
};

// The malformed requests every server of ours answers before closing (`host` is its Host).
inline std::vector<MalformedRequest> malformedRequests(const std::string& host) {
  return {
      {"not HTTP", "HELLO\r\n\r\n", "HTTP/1.1 400 "},
      {"bad header line", "GET / HTTP/1.1\r\nHost\r\n\r\n", "HTTP/1.1 400 "},
      {"bad content length", "POST / HTTP/1.1\r\nContent-Length: x\r\n\r\n", "HTTP/1.1 400 "},
      {"bad chunk", "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", "HTTP/1.1 400 "},
      {"headers over 8 KiB", "GET / HTTP/1.1\r\nX: " + std::string(9000, 'a') + "\r\n\r\n",
       "HTTP/1.1 431 "},
      {"body over the limit",
       "POST /a HTTP/1.1\r\nHost: " + host +
           "\r\nContent-Length: " + std::to_string(uint64_t{1} << 30) + "\r\n\r\n",
       "HTTP/1.1 413 "},
      // Framings Beast lets through. With a coding other than chunked, the body would be read as
      // the next request.
      {"a coding other than chunked",
       "POST / HTTP/1.1\r\nHost: " + host +
           "\r\nTransfer-Encoding: xchunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n",
       "HTTP/1.1 400 "},
      {"chunked, then another coding",
       "POST / HTTP/1.1\r\nHost: " + host + "\r\nTransfer-Encoding: chunked, identity\r\n\r\n",
       "HTTP/1.1 400 "},
      {"a second Host", "GET / HTTP/1.1\r\nHost: " + host + "\r\nHost: rebound.example\r\n\r\n",
       "HTTP/1.1 400 "},
      {"an absolute target naming another host",
       "GET http://rebound.example/ HTTP/1.1\r\nHost: " + host + "\r\n\r\n", "HTTP/1.1 400 "},
      {"a chunk extension of 100 KB",
       "POST / HTTP/1.1\r\nHost: " + host + "\r\nTransfer-Encoding: chunked\r\n\r\n1;" +
           std::string(100000, 'e') + "\r\nx\r\n0\r\n\r\n",
       "HTTP/1.1 400 "},
  };
}

// Writes `bytes` to 127.0.0.1:port and answers all that comes back until the server closes.
inline std::string exchangeRaw(uint16_t port, const std::string& bytes) {
  boost::asio::io_context io;
  boost::asio::ip::tcp::socket socket(io);
  socket.connect({boost::asio::ip::make_address("127.0.0.1"), port});
  boost::asio::write(socket, boost::asio::buffer(bytes));
  std::string answer;
  boost::system::error_code ec;
  char chunk[4096];
  while (!ec) answer.append(chunk, socket.read_some(boost::asio::buffer(chunk), ec));
  return answer;
}

}  // namespace testsupport
