#pragma once

#include <openssl/is_boringssl.h>

#include <openssl/base.h>

#include <string>
#include <string_view>

#include "absl/status/status.h"

// AES-256-CTR through BoringSSL's cipher interface, shared by the two value ciphers.
namespace private_membership::aes_ctr_256 {

inline constexpr size_t kKeySize = 32;
inline constexpr size_t kIvSize = 16;

// Encrypts (encrypt true) or decrypts input with the key and the initial counter block iv,
// writing exactly input.size() bytes to output. Long inputs are fed in pieces, so no length is
// ever narrowed to the library's int. The messages are those of the value ciphers.
absl::Status Crypt(bool encrypt, std::string_view key, std::string_view iv, std::string_view input,
                   char* output);
// The same with a cipher context the caller made (and checked) beforehand, for a cipher whose
// steps make the context before anything else.
absl::Status Crypt(EVP_CIPHER_CTX* ctx, bool encrypt, std::string_view key, std::string_view iv,
                   std::string_view input, char* output);

}  // namespace private_membership::aes_ctr_256
