#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "absl/status/statusor.h"
#include "privacy/private_membership/common/cipher.h"

namespace private_membership {

// Encryption scheme 1: AES-256-CTR with one fixed initial counter block (kFixedIv) for every
// value. The ciphertext is exactly as long as the plaintext; equal plaintexts under equal keys
// give equal ciphertexts. No authentication.
class AesCtr256WithFixedIV : public Cipher {
 public:
  // Invalid argument "Key size is invalid." unless the key is 32 bytes.
  static absl::StatusOr<std::unique_ptr<Cipher>> Create(std::string_view key);
  // Test support: the same cipher with another 16-byte initial counter block, so that published
  // AES-CTR vectors can be run through it.
  static absl::StatusOr<std::unique_ptr<Cipher>> CreateWithIvForTesting(std::string_view key,
                                                                        std::string_view iv);

  absl::StatusOr<std::string> Encrypt(std::string_view plaintext) const override;
  // A null view gives internal "Invalid null ciphertext.".
  absl::StatusOr<std::string> Decrypt(std::string_view ciphertext) const override;

 private:
  AesCtr256WithFixedIV(std::string key, std::string iv);

  std::string key_;
  std::string iv_;
};

}  // namespace private_membership
