#include "privacy/private_membership/common/aes_ctr_256.h"

#include <openssl/is_boringssl.h>

#include <openssl/cipher.h>

#include <algorithm>

namespace private_membership::aes_ctr_256 {

absl::Status Crypt(bool encrypt, std::string_view key, std::string_view iv, std::string_view input,
                   char* output) {
  bssl::UniquePtr<EVP_CIPHER_CTX> ctx(EVP_CIPHER_CTX_new());
  if (ctx == nullptr) return absl::InternalError("Could not initialize EVP_CIPHER_CTX.");
  return Crypt(ctx.get(), encrypt, key, iv, input, output);
}

absl::Status Crypt(EVP_CIPHER_CTX* ctx, bool encrypt, std::string_view key, std::string_view iv,
                   std::string_view input, char* output) {
  const auto* key_bytes = reinterpret_cast<const uint8_t*>(key.data());
  const auto* iv_bytes = reinterpret_cast<const uint8_t*>(iv.data());
  int init = encrypt ? EVP_EncryptInit_ex(ctx, EVP_aes_256_ctr(), nullptr, key_bytes, iv_bytes)
                     : EVP_DecryptInit_ex(ctx, EVP_aes_256_ctr(), nullptr, key_bytes, iv_bytes);
  if (init != 1) {
    return absl::InternalError(encrypt ? "Could not initialize encryption."
                                       : "Could not initialize decryption.");
  }
  // Counter mode is a stream: feeding the input in pieces gives the same bytes as one call.
  constexpr size_t kMaxPiece = size_t{1} << 30;
  size_t done = 0;
  while (done < input.size()) {
    const size_t piece = std::min(kMaxPiece, input.size() - done);
    int out_length = 0;
    auto* out = reinterpret_cast<uint8_t*>(output + done);
    const auto* in = reinterpret_cast<const uint8_t*>(input.data() + done);
    int ok = encrypt ? EVP_EncryptUpdate(ctx, out, &out_length, in, static_cast<int>(piece))
                     : EVP_DecryptUpdate(ctx, out, &out_length, in, static_cast<int>(piece));
    if (ok != 1) return absl::InternalError(encrypt ? "Encryption failed." : "Decryption failed.");
    if (static_cast<size_t>(out_length) != piece) {
      return absl::InternalError(encrypt ? "Ciphertext is incorrect size."
                                         : "Plaintext is incorrect size.");
    }
    done += piece;
  }
  return absl::OkStatus();
}

}  // namespace private_membership::aes_ctr_256
