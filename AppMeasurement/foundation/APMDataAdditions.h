#pragma once

#include <array>
#include <cstdint>
#include <string_view>

// Digest helpers over byte buffers (the platform's data type is a std::string of bytes).
// Stateless and thread-safe.

// The 16-byte MD5 digest of the bytes.
std::array<uint8_t, 16> apm_MD5Data(std::string_view bytes);

// The last (up to) 8 bytes read as a big-endian unsigned integer; fewer than 8 bytes give
// the big-endian value of all of them, an empty buffer 0.
uint64_t apm_64LeastSignificantBits(std::string_view bytes);

// The fingerprint of a buffer: bytes 8 to 15 of its MD5 digest read big-endian, kept as a
// signed 64-bit value with the same bits.
int64_t apm_64LSBMD5(std::string_view bytes);
