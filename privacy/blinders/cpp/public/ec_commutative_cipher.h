#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "absl/status/statusor.h"
#include "privacy/blinders/cpp/crypto/big_num.h"
#include "privacy/blinders/cpp/crypto/context.h"
#include "privacy/blinders/cpp/crypto/ec_group.h"
#include "privacy/blinders/cpp/crypto/ec_point.h"

namespace blinders {

// Commutative encryption of byte strings on an elliptic curve: a plaintext is hashed onto the
// curve and multiplied by a secret key. Layers of two keys commute, and Decrypt removes this
// cipher's layer. The key never leaves the object. Used by one thread at a time.
// Ciphertexts handed to Decrypt and ReEncrypt may come from anyone: bytes that are no valid
// point give an invalid-argument status.
class ECCommutativeCipher {
 public:
  // How plaintexts are hashed onto the curve.
  enum HashType : int32_t {
    SHA256 = 0,   // try-and-increment over the SHA-256 random oracle
    SHA384 = 1,   // the same over SHA-384
    SHA512 = 2,   // the same over SHA-512
    SSWU_RO = 3,  // RFC 9380 with the tag kSswuRoDomainSeparationTag (P-256 and P-384)
  };

  // The domain separation tag of hash type SSWU_RO.
  static constexpr std::string_view kSswuRoDomainSeparationTag = "ECCommutativeCipher";

  // A cipher on the curve with a fresh random key in [1, order).
  static absl::StatusOr<std::unique_ptr<ECCommutativeCipher>> CreateWithRandomKey(
      int curve_id, int32_t hash_type);

  ECCommutativeCipher(const ECCommutativeCipher&) = delete;
  ECCommutativeCipher& operator=(const ECCommutativeCipher&) = delete;

  // Compressed encoding of key times the hashed plaintext (33 bytes on P-256).
  absl::StatusOr<std::string> Encrypt(std::string_view plaintext);
  // Adds this cipher's layer to an encoded point (key times the point), so that a value that
  // another party has encrypted can be encrypted under both keys.
  absl::StatusOr<std::string> ReEncrypt(std::string_view ciphertext);
  // Removes this cipher's layer: key inverse times the decoded point.
  absl::StatusOr<std::string> Decrypt(std::string_view ciphertext);

 private:
  ECCommutativeCipher(std::unique_ptr<Context> context, ECGroup group, BigNum private_key,
                      int32_t hash_type);

  absl::StatusOr<ECPoint> HashToTheCurveInternal(std::string_view plaintext);
  absl::StatusOr<std::string> MultiplyEncoded(std::string_view ciphertext, const BigNum& scalar);

  // Declared first so that it is destroyed after everything made from it.
  std::unique_ptr<Context> context_;
  ECGroup group_;
  BigNum private_key_;
  BigNum private_key_inverse_;
  int32_t hash_type_;
};

}  // namespace blinders
