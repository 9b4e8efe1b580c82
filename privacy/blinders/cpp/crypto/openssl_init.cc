#include "privacy/blinders/cpp/crypto/openssl_init.h"

namespace blinders {

std::string OpenSSLErrorString() {
  char buffer[256];
  ERR_error_string_n(ERR_get_error(), buffer, sizeof(buffer));
  // Whatever else the failed call queued belongs to the same failure; left in the queue it
  // would be reported as the cause of some later, unrelated failure of this thread.
  ERR_clear_error();
  return std::string(buffer);
}

}  // namespace blinders
