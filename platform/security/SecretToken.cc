#include "platform/security/SecretToken.h"

#include <sys/random.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace platform {

std::string randomSecretToken() {
  unsigned char bytes[16];
  size_t filled = 0;
  while (filled < sizeof bytes) {
    ssize_t n = ::getrandom(bytes + filled, sizeof bytes - filled, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error(std::string("getrandom: ") + std::strerror(errno));
    filled += static_cast<size_t>(n);
  }
  static const char kHex[] = "0123456789abcdef";
  std::string token;
  for (unsigned char byte : bytes) {
    token += kHex[byte >> 4];
    token += kHex[byte & 15];
  }
  return token;
}

bool equalSecrets(std::string_view given, std::string_view expected) {
  if (given.size() != expected.size() || expected.empty()) return false;
  unsigned char difference = 0;
  for (size_t i = 0; i < given.size(); ++i) {
    difference |= static_cast<unsigned char>(given[i] ^ expected[i]);
  }
  return difference == 0;
}

}  // namespace platform
