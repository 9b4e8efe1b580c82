#include "AppMeasurement/foundation/APMDataAdditions.h"

#include <openssl/is_boringssl.h>
#include <openssl/md5.h>

#include <cstring>

std::array<uint8_t, 16> apm_MD5Data(std::string_view bytes) {
  static_assert(MD5_DIGEST_LENGTH == 16);
  std::array<uint8_t, 16> digest{};
  MD5(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), digest.data());
  return digest;
}

uint64_t apm_64LeastSignificantBits(std::string_view bytes) {
  size_t count = bytes.size() < 8 ? bytes.size() : 8;
  uint64_t value = 0;
  for (unsigned char byte : bytes.substr(bytes.size() - count)) value = (value << 8) | byte;
  return value;
}

int64_t apm_64LSBMD5(std::string_view bytes) {
  std::array<uint8_t, 16> digest = apm_MD5Data(bytes);
  uint64_t bits = apm_64LeastSignificantBits(
      std::string_view(reinterpret_cast<const char*>(digest.data()), digest.size()));
  int64_t value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}
