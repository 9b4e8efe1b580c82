#pragma once

#include <string>
#include <string_view>

#include "absl/status/statusor.h"

namespace private_membership {

// A value cipher of the private-membership exchange. Implementations hold no shared state and
// do not authenticate: a wrong key or an altered ciphertext is not detected.
class Cipher {
 public:
  virtual ~Cipher() = default;
  virtual absl::StatusOr<std::string> Encrypt(std::string_view plaintext) const = 0;
  virtual absl::StatusOr<std::string> Decrypt(std::string_view ciphertext) const = 0;
};

}  // namespace private_membership
