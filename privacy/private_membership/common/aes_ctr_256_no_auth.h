#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "absl/status/statusor.h"
#include "privacy/private_membership/common/cipher.h"

namespace private_membership {

// Encryption scheme 2: AES-256-CTR with a random 16-byte initial counter block per encryption,
// sent in front of the ciphertext (plaintext length + 16 bytes). No authentication.
class AesCtr256NoAuth : public Cipher {
 public:
  // Invalid argument "Key size is invalid." unless the key is 32 bytes.
  static absl::StatusOr<std::unique_ptr<Cipher>> Create(std::string_view key);

  absl::StatusOr<std::string> Encrypt(std::string_view plaintext) const override;
  // IV (16 bytes) followed by the ciphertext; fewer than 16 bytes give internal
  // "Ciphertext is too short.", exactly 16 the empty value.
  absl::StatusOr<std::string> Decrypt(std::string_view ciphertext) const override;

 private:
  explicit AesCtr256NoAuth(std::string key);

  std::string key_;
};

}  // namespace private_membership
