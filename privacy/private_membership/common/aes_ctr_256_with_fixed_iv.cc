#include "privacy/private_membership/common/aes_ctr_256_with_fixed_iv.h"

#include <utility>

#include "privacy/private_membership/common/aes_ctr_256.h"
#include "privacy/private_membership/common/interop_constants.h"

namespace private_membership {

AesCtr256WithFixedIV::AesCtr256WithFixedIV(std::string key, std::string iv)
    : key_(std::move(key)), iv_(std::move(iv)) {}

absl::StatusOr<std::unique_ptr<Cipher>> AesCtr256WithFixedIV::Create(std::string_view key) {
  return CreateWithIvForTesting(key, kFixedIv);
}

absl::StatusOr<std::unique_ptr<Cipher>> AesCtr256WithFixedIV::CreateWithIvForTesting(
    std::string_view key, std::string_view iv) {
  if (key.size() != aes_ctr_256::kKeySize) {
    return absl::InvalidArgumentError("Key size is invalid.");
  }
  if (iv.size() != aes_ctr_256::kIvSize) {
    return absl::InvalidArgumentError("IV size is invalid.");
  }
  return std::unique_ptr<Cipher>(new AesCtr256WithFixedIV(std::string(key), std::string(iv)));
}

absl::StatusOr<std::string> AesCtr256WithFixedIV::Encrypt(std::string_view plaintext) const {
  std::string ciphertext(plaintext.size() + 1, '\0');
  absl::Status status =
      aes_ctr_256::Crypt(/*encrypt=*/true, key_, iv_, plaintext, ciphertext.data());
  if (!status.ok()) return status;
  ciphertext.resize(plaintext.size());
  return ciphertext;
}

absl::StatusOr<std::string> AesCtr256WithFixedIV::Decrypt(std::string_view ciphertext) const {
  if (ciphertext.data() == nullptr) return absl::InternalError("Invalid null ciphertext.");
  std::string plaintext(ciphertext.size() + 1, '\0');
  absl::Status status =
      aes_ctr_256::Crypt(/*encrypt=*/false, key_, iv_, ciphertext, plaintext.data());
  if (!status.ok()) return status;
  plaintext.resize(ciphertext.size());
  return plaintext;
}

}  // namespace private_membership
