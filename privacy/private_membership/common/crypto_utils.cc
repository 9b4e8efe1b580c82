#include "privacy/private_membership/common/crypto_utils.h"

#include <string>

#include "absl/status/status.h"
#include "absl/strings/str_cat.h"
#include "privacy/private_membership/common/aes_ctr_256_no_auth.h"
#include "privacy/private_membership/common/aes_ctr_256_with_fixed_iv.h"
#include "privacy/private_membership/common/interop_constants.h"

namespace private_membership {

std::string ComputeEncryptedIdHash(std::string_view encrypted_id, ::blinders::Context* context) {
  std::string input(kEncryptedIdPrefix);
  input.append(encrypted_id);
  return context->HashSha256(input);
}

absl::StatusOr<std::string> DeriveValueEncryptionKey(std::string_view encrypted_id,
                                                     ::blinders::Context* context) {
  std::string input(kValueKeyPrefix);
  input.append(encrypted_id);
  return context->HashSha256(input);
}

absl::StatusOr<std::unique_ptr<Cipher>> CreateValueCipher(int32_t scheme, std::string_view key) {
  switch (scheme) {
    case kAesCtr256WithFixedIvScheme:
      return AesCtr256WithFixedIV::Create(key);
    case kAesCtr256NoAuthScheme:
      return AesCtr256NoAuth::Create(key);
    default:
      return absl::InvalidArgumentError(absl::StrCat("Unsupported encryption scheme: ", scheme));
  }
}

absl::StatusOr<std::string> DecryptValue(std::string_view encrypted_id,
                                         std::string_view encrypted_value, int32_t scheme,
                                         ::blinders::Context* context) {
  absl::StatusOr<std::string> key = DeriveValueEncryptionKey(encrypted_id, context);
  if (!key.ok()) return key.status();
  return DecryptValueWithKey(*key, encrypted_value, scheme);
}

absl::StatusOr<std::string> DecryptValueWithKey(std::string_view key,
                                                std::string_view encrypted_value, int32_t scheme) {
  absl::StatusOr<std::unique_ptr<Cipher>> cipher = CreateValueCipher(scheme, key);
  if (!cipher.ok()) return cipher.status();
  absl::StatusOr<std::string> plaintext = (*cipher)->Decrypt(encrypted_value);
  if (!plaintext.ok()) return plaintext.status();
  if (scheme == kAesCtr256WithFixedIvScheme) return ExtractLengthPrefixedBytes(*plaintext);
  return plaintext;
}

absl::StatusOr<std::string> ExtractLengthPrefixedBytes(std::string_view bytes) {
  if (bytes.size() < 4) {
    return absl::InvalidArgumentError("Invalid bytes does not encode length.");
  }
  const uint64_t length = uint64_t{static_cast<uint8_t>(bytes[0])} |
                          uint64_t{static_cast<uint8_t>(bytes[1])} << 8 |
                          uint64_t{static_cast<uint8_t>(bytes[2])} << 16 |
                          uint64_t{static_cast<uint8_t>(bytes[3])} << 24;
  // 64-bit arithmetic: L + 4 cannot wrap for any 32-bit L.
  if (bytes.size() < length + 4) {
    return absl::InvalidArgumentError("Incorrect bytes length.");
  }
  return std::string(bytes.substr(4, static_cast<size_t>(length)));
}

absl::StatusOr<std::string> TruncateBits(std::string_view bytes, int bit_length) {
  // Compared in 64 bits: 8 * size may not fit an int.
  if (bit_length < 0 || static_cast<uint64_t>(bit_length) > uint64_t{8} * bytes.size()) {
    return absl::InvalidArgumentError("Truncation bit length out of bounds.");
  }
  if (bit_length == 0) return std::string();
  std::string result(bytes.substr(0, (static_cast<size_t>(bit_length) + 7) / 8));
  const int remainder = bit_length % 8;
  if (remainder != 0) {
    const auto mask = static_cast<uint8_t>(0xFF << (8 - remainder));
    result.back() = static_cast<char>(static_cast<uint8_t>(result.back()) & mask);
  }
  return result;
}

absl::StatusOr<std::string> ComputeBinIndex(std::string_view bytes, int num_bins) {
  if (num_bins < 1) {
    return absl::InvalidArgumentError("Number of bins must be greater than 0.");
  }
  if ((num_bins & (num_bins - 1)) != 0) {
    return absl::InvalidArgumentError("Number of bins that is not a power of 2 isn't supported.");
  }
  int k = 0;
  while ((1 << k) < num_bins) ++k;
  return TruncateBits(bytes, k);
}

}  // namespace private_membership
