#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "absl/status/statusor.h"
#include "privacy/blinders/cpp/crypto/context.h"
#include "privacy/private_membership/common/cipher.h"

// Byte-level tools of the private-membership exchange: the stored hash of an encrypted
// identifier, value-key derivation, value decryption, length prefixes, bit truncation and bin
// selection. Every input may come from the server; bad input gives a status, never a crash.
// Functions that hash use the caller's context, which must not be used concurrently.
namespace private_membership {

// The value encryption schemes.
inline constexpr int32_t kAesCtr256WithFixedIvScheme = 1;
inline constexpr int32_t kAesCtr256NoAuthScheme = 2;

// SHA-256 of the encrypted-identifier prefix followed by encrypted_id (32 bytes).
std::string ComputeEncryptedIdHash(std::string_view encrypted_id, ::blinders::Context* context);

// SHA-256 of the value-key prefix followed by encrypted_id: the 32-byte value key.
absl::StatusOr<std::string> DeriveValueEncryptionKey(std::string_view encrypted_id,
                                                     ::blinders::Context* context);

// The value cipher of a scheme (1: AesCtr256WithFixedIV, 2: AesCtr256NoAuth).
absl::StatusOr<std::unique_ptr<Cipher>> CreateValueCipher(int32_t scheme, std::string_view key);

// The plain value stored with encrypted_id: DecryptValueWithKey under the derived key.
absl::StatusOr<std::string> DecryptValue(std::string_view encrypted_id,
                                         std::string_view encrypted_value, int32_t scheme,
                                         ::blinders::Context* context);

// Decrypts with the scheme's cipher; scheme 1 plaintexts carry a length prefix that is removed.
absl::StatusOr<std::string> DecryptValueWithKey(std::string_view key,
                                                std::string_view encrypted_value, int32_t scheme);

// A 4-byte little-endian length L, then L bytes of value, then anything: returns the value.
absl::StatusOr<std::string> ExtractLengthPrefixedBytes(std::string_view bytes);

// The leading bit_length bits of bytes in ceil(bit_length / 8) bytes, low bits of the last
// byte cleared.
absl::StatusOr<std::string> TruncateBits(std::string_view bytes, int bit_length);

// The leading log2(num_bins) bits of bytes; num_bins must be a positive power of two.
absl::StatusOr<std::string> ComputeBinIndex(std::string_view bytes, int num_bins);

}  // namespace private_membership
