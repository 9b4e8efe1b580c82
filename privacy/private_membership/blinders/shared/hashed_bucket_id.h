#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "absl/status/statusor.h"
#include "privacy/blinders/cpp/crypto/context.h"

namespace private_membership::blinders {

// The bucket of an identifier: the leading bit_length bits of its bucket hash.
struct HashedBucketId {
  // ceil(bit_length / 8) bytes, the unused low bits of the last byte zero.
  std::string hashed_bucket_id;
  int32_t bit_length = 0;
  // The hash type that was asked for (1 or 2; anything when bit_length is 0).
  int32_t hash_type = 0;

  bool operator==(const HashedBucketId& other) const = default;
};

// One identifier of a private-membership query: the tag is echoed to the server, the
// identifier's bytes choose the bucket, and identifier followed by extra is what gets encrypted.
struct IdentifierEntry {
  std::string tag;
  std::string identifier;
  std::string extra;
};

// The bucket parameters of a query: prefix length in bits and bucket hash type (1 or 2).
struct HashedBucketIdParameters {
  int32_t prefix_bit_length = 0;
  int32_t hash_type = 0;
};

// The hashed bucket identifier of id. A prefix length of 0 gives {empty, 0, hash_type} without
// hashing; a negative one gives invalid argument "Hash prefix length must be non-negative.".
absl::StatusOr<HashedBucketId> ComputeHashedBucketId(std::string_view id, int32_t prefix_bit_length,
                                                     int32_t hash_type,
                                                     ::blinders::Context* context);

// The same for the entry's identifier bytes (tag and extra play no part).
absl::StatusOr<HashedBucketId> ComputeHashedBucketId(const IdentifierEntry& entry,
                                                     const HashedBucketIdParameters& parameters,
                                                     ::blinders::Context* context);

}  // namespace private_membership::blinders
