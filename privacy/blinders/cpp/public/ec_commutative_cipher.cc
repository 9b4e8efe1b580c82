#include "privacy/blinders/cpp/public/ec_commutative_cipher.h"

#include <utility>

#include "absl/status/status.h"

namespace blinders {

ECCommutativeCipher::ECCommutativeCipher(std::unique_ptr<Context> context, ECGroup group,
                                         BigNum private_key, int32_t hash_type)
    : context_(std::move(context)),
      group_(std::move(group)),
      private_key_(std::move(private_key)),
      // The order is prime, so key^(order - 2) is the key's inverse modulo the order.
      private_key_inverse_(
          private_key_.ModExp(group_.GetOrder() - context_->Two(), group_.GetOrder())),
      hash_type_(hash_type) {}

absl::StatusOr<std::unique_ptr<ECCommutativeCipher>> ECCommutativeCipher::CreateWithRandomKey(
    int curve_id, int32_t hash_type) {
  auto context = std::make_unique<Context>();
  absl::StatusOr<ECGroup> group = ECGroup::CreateGroup(curve_id, context.get());
  if (!group.ok()) return group.status();
  // Read as unsigned, so that negative types are rejected too.
  if (static_cast<uint32_t>(hash_type) >= 4) {
    return absl::InvalidArgumentError("Invalid hash type.");
  }
  BigNum private_key = group->GeneratePrivateKey();
  return std::unique_ptr<ECCommutativeCipher>(new ECCommutativeCipher(
      std::move(context), std::move(*group), std::move(private_key), hash_type));
}

absl::StatusOr<ECPoint> ECCommutativeCipher::HashToTheCurveInternal(std::string_view plaintext) {
  switch (hash_type_) {
    case SHA256:
      return group_.HashToCurveSha256(plaintext);
    case SHA384:
      return group_.HashToCurveSha384(plaintext);
    case SHA512:
      return group_.HashToCurveSha512(plaintext);
    case SSWU_RO:
      return group_.HashToCurveSswuRo(plaintext, kSswuRoDomainSeparationTag);
    default:
      return absl::InvalidArgumentError("Invalid hash type.");
  }
}

absl::StatusOr<std::string> ECCommutativeCipher::Encrypt(std::string_view plaintext) {
  absl::StatusOr<ECPoint> hashed = HashToTheCurveInternal(plaintext);
  if (!hashed.ok()) return hashed.status();
  absl::StatusOr<ECPoint> encrypted = hashed->Mul(private_key_);
  if (!encrypted.ok()) return encrypted.status();
  return encrypted->ToBytes();
}

absl::StatusOr<std::string> ECCommutativeCipher::MultiplyEncoded(std::string_view ciphertext,
                                                                 const BigNum& scalar) {
  absl::StatusOr<ECPoint> point = group_.CreateECPoint(ciphertext);
  if (!point.ok()) return point.status();
  absl::StatusOr<ECPoint> result = point->Mul(scalar);
  if (!result.ok()) return result.status();
  return result->ToBytes();
}

absl::StatusOr<std::string> ECCommutativeCipher::ReEncrypt(std::string_view ciphertext) {
  return MultiplyEncoded(ciphertext, private_key_);
}

absl::StatusOr<std::string> ECCommutativeCipher::Decrypt(std::string_view ciphertext) {
  return MultiplyEncoded(ciphertext, private_key_inverse_);
}

}  // namespace blinders
