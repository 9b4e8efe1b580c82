#include "privacy/private_membership/common/aes_ctr_256_no_auth.h"

#include <openssl/is_boringssl.h>

#include <openssl/cipher.h>
#include <openssl/rand.h>

#include <utility>

#include "privacy/private_membership/common/aes_ctr_256.h"

namespace private_membership {

AesCtr256NoAuth::AesCtr256NoAuth(std::string key) : key_(std::move(key)) {}

absl::StatusOr<std::unique_ptr<Cipher>> AesCtr256NoAuth::Create(std::string_view key) {
  if (key.size() != aes_ctr_256::kKeySize) {
    return absl::InvalidArgumentError("Key size is invalid.");
  }
  return std::unique_ptr<Cipher>(new AesCtr256NoAuth(std::string(key)));
}

absl::StatusOr<std::string> AesCtr256NoAuth::Encrypt(std::string_view plaintext) const {
  // The context comes first, then the IV: a failed allocation draws no randomness.
  bssl::UniquePtr<EVP_CIPHER_CTX> ctx(EVP_CIPHER_CTX_new());
  if (ctx == nullptr) return absl::InternalError("Could not initialize EVP_CIPHER_CTX.");
  std::string output(aes_ctr_256::kIvSize + plaintext.size(), '\0');
  if (RAND_bytes(reinterpret_cast<uint8_t*>(output.data()), aes_ctr_256::kIvSize) != 1) {
    return absl::InternalError("Could not generate an IV.");
  }
  std::string_view iv(output.data(), aes_ctr_256::kIvSize);
  absl::Status status = aes_ctr_256::Crypt(ctx.get(), /*encrypt=*/true, key_, iv, plaintext,
                                           output.data() + aes_ctr_256::kIvSize);
  if (!status.ok()) return status;
  return output;
}

absl::StatusOr<std::string> AesCtr256NoAuth::Decrypt(std::string_view ciphertext) const {
  if (ciphertext.data() == nullptr) return absl::InternalError("Invalid null ciphertext.");
  if (ciphertext.size() < aes_ctr_256::kIvSize) {
    return absl::InternalError("Ciphertext is too short.");
  }
  std::string_view iv = ciphertext.substr(0, aes_ctr_256::kIvSize);
  std::string_view body = ciphertext.substr(aes_ctr_256::kIvSize);
  std::string plaintext(body.size(), '\0');
  absl::Status status = aes_ctr_256::Crypt(/*encrypt=*/false, key_, iv, body, plaintext.data());
  if (!status.ok()) return status;
  return plaintext;
}

}  // namespace private_membership
