#pragma once

#include <utility>  // before Asio

#include <boost/asio.hpp>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

// A WebSocket peer written by hand, for what a browser would see on the wire: every frame as the
// server wrote it (a browser fails the connection on a masked server frame or on anything after
// the close frame), and nothing Beast's client would smooth over.
class WebSocketWire {
 public:
  struct Frame {
    uint8_t opcode = 0;  // 1 text, 2 binary, 8 close
    bool masked = false;
    std::string payload;
    // A close frame's code (0 for other frames).
    uint16_t closeCode() const {
      if (opcode != 8 || payload.size() < 2) return 0;
      return static_cast<uint16_t>(static_cast<uint8_t>(payload[0]) << 8 |
                                   static_cast<uint8_t>(payload[1]));
    }
  };

  WebSocketWire(boost::asio::io_context& io, uint16_t port) : socket_(io) {
    socket_.connect({boost::asio::ip::make_address("127.0.0.1"), port});
    socket_.set_option(boost::asio::ip::tcp::no_delay(true));
  }

  // The upgrade request a page's shim sends for the bridge socket.
  static std::string upgradeRequest(const std::string& host, const std::string& key,
                                    const std::string& cookie) {
    return "GET /_capacitor/bridge?key=" + key + " HTTP/1.1\r\nHost: " + host +
           "\r\nConnection: Upgrade\r\nUpgrade: websocket\r\nSec-WebSocket-Version: 13\r\n"
           "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nOrigin: http://" +
           host + "\r\nCookie: " + cookie + "\r\n\r\n";
  }

  // A text frame as a client writes it (masked).
  static std::string clientText(const std::string& text) { return clientFrame(1, text); }

  void write(const std::string& bytes) {
    boost::system::error_code ignored;  // the server may have gone already
    boost::asio::write(socket_, boost::asio::buffer(bytes), ignored);
  }

  // The status of the server's answer to the upgrade (0 when none came).
  int readStatus() {
    size_t end;
    while ((end = buffer_.find("\r\n\r\n")) == std::string::npos) {
      if (!fill()) return 0;
    }
    int status = buffer_.size() > 12 ? std::atoi(buffer_.c_str() + 9) : 0;
    buffer_.erase(0, end + 4);
    return status;
  }

  // The next frame; none when the connection ended first.
  std::optional<Frame> readFrame() {
    if (!need(2)) return std::nullopt;
    Frame frame;
    frame.opcode = static_cast<uint8_t>(buffer_[0]) & 0x0f;
    frame.masked = static_cast<uint8_t>(buffer_[1]) & 0x80;
    uint64_t length = static_cast<uint8_t>(buffer_[1]) & 0x7f;
    size_t at = 2;
    const size_t extra = length == 126 ? 2 : length == 127 ? 8 : 0;
    if (!need(at + extra)) return std::nullopt;
    if (extra > 0) {
      length = 0;
      for (size_t i = 0; i < extra; ++i) length = length << 8 | static_cast<uint8_t>(buffer_[at++]);
    }
    std::string mask;
    if (frame.masked) {
      if (!need(at + 4)) return std::nullopt;
      mask = buffer_.substr(at, 4);
      at += 4;
    }
    if (!need(at + length)) return std::nullopt;
    frame.payload = buffer_.substr(at, length);
    for (size_t i = 0; i < mask.size() && i < length; ++i) {
      for (size_t j = i; j < length; j += 4) frame.payload[j] ^= mask[i];
    }
    buffer_.erase(0, at + length);
    return frame;
  }

  // Every frame until the server ends the connection; a close frame is answered as a browser
  // answers it, so that the server ends it.
  std::vector<Frame> readToEnd() {
    std::vector<Frame> frames;
    bool answered = false;
    while (auto frame = readFrame()) {
      frames.push_back(*frame);
      if (frame->opcode == 8 && !std::exchange(answered, true)) {
        write(clientFrame(8, frame->payload.substr(0, 2)));
      }
    }
    return frames;
  }

  // What a browser would fail the connection for: a masked frame, anything after the close.
  static std::string faults(const std::vector<Frame>& frames) {
    std::string found;
    bool closed = false;
    for (const Frame& frame : frames) {
      if (frame.masked) found += "masked frame (opcode " + std::to_string(frame.opcode) + "); ";
      if (closed) found += "frame after the close: \"" + frame.payload + "\"; ";
      closed = closed || frame.opcode == 8;
    }
    return found;
  }

 private:
  static std::string clientFrame(uint8_t opcode, const std::string& payload) {
    std::string frame(1, static_cast<char>(0x80 | opcode));
    if (payload.size() < 126) {
      frame += static_cast<char>(0x80 | payload.size());
    } else {
      frame += static_cast<char>(0x80 | 126);
      frame += static_cast<char>(payload.size() >> 8);
      frame += static_cast<char>(payload.size() & 0xff);
    }
    const char mask[4] = {0x12, 0x34, 0x56, 0x78};
    frame.append(mask, 4);
    for (size_t i = 0; i < payload.size(); ++i)
      frame += static_cast<char>(payload[i] ^ mask[i % 4]);
    return frame;
  }

  bool need(size_t bytes) {
    while (buffer_.size() < bytes) {
      if (!fill()) return false;
    }
    return true;
  }

  bool fill() {
    char chunk[4096];
    boost::system::error_code ec;
    size_t n = socket_.read_some(boost::asio::buffer(chunk), ec);
    buffer_.append(chunk, n);
    return !ec || n > 0;
  }

  boost::asio::ip::tcp::socket socket_;
  std::string buffer_;
};

}  // namespace testsupport
