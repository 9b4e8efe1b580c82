#include "privacy/blinders/cpp/crypto/openssl_init.h"

namespace blinders {

std::string OpenSSLErrorString() {
  char buffer[256];
  ERR_error_string_n(ERR_get_error(), buffer, sizeof(buffer));
  return std::string(buffer);
}

}  // namespace blinders
