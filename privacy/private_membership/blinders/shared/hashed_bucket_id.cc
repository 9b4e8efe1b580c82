#include "privacy/private_membership/blinders/shared/hashed_bucket_id.h"

#include "absl/status/status.h"
#include "privacy/private_membership/blinders/shared/crypto_utils.h"
#include "privacy/private_membership/common/crypto_utils.h"

namespace private_membership::blinders {

absl::StatusOr<HashedBucketId> ComputeHashedBucketId(std::string_view id, int32_t prefix_bit_length,
                                                     int32_t hash_type,
                                                     ::blinders::Context* context) {
  if (prefix_bit_length < 0) {
    return absl::InvalidArgumentError("Hash prefix length must be non-negative.");
  }
  if (prefix_bit_length == 0) return HashedBucketId{std::string(), 0, hash_type};
  absl::StatusOr<std::string> hash = ComputeBucketHash(hash_type, id, context);
  if (!hash.ok()) return hash.status();
  absl::StatusOr<std::string> truncated = TruncateBits(*hash, prefix_bit_length);
  if (!truncated.ok()) return truncated.status();
  return HashedBucketId{std::move(*truncated), prefix_bit_length, hash_type};
}

absl::StatusOr<HashedBucketId> ComputeHashedBucketId(const IdentifierEntry& entry,
                                                     const HashedBucketIdParameters& parameters,
                                                     ::blinders::Context* context) {
  return ComputeHashedBucketId(entry.identifier, parameters.prefix_bit_length, parameters.hash_type,
                               context);
}

}  // namespace private_membership::blinders
