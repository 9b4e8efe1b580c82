#pragma once

#include <cstdint>
#include <string>

namespace testsupport {

// Protocol-buffer wire bytes written by hand, for tests that craft input the encoder would
// never produce.
inline std::string varint(uint64_t v) {
  std::string out;
  while (v >= 0x80) {
    out += static_cast<char>((v & 0x7F) | 0x80);
    v >>= 7;
  }
  out += static_cast<char>(v);
  return out;
}

// A field key: tag and wire type.
inline std::string key(uint32_t tag, int wireType) {
  return varint((uint64_t{tag} << 3) | static_cast<uint64_t>(wireType));
}

// A length-delimited field (wire type 2): key, length, payload.
inline std::string lengthDelimited(uint32_t tag, const std::string& payload) {
  return key(tag, 2) + varint(payload.size()) + payload;
}

}  // namespace testsupport
