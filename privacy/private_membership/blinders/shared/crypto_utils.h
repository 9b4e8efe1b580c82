#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "absl/status/statusor.h"
#include "privacy/blinders/cpp/crypto/context.h"

namespace private_membership::blinders {

// The bucket hash types; both hash identically and differ only in the value they record.
inline constexpr int32_t kBucketHashTypeSha256 = 1;
inline constexpr int32_t kBucketHashTypeSha256Alternate = 2;

// SHA-256 of the bucket prefix followed by bytes (32 bytes); hash types other than 1 and 2 give
// invalid argument "Specified an invalid hash type.".
absl::StatusOr<std::string> ComputeBucketHash(int32_t hash_type, std::string_view bytes,
                                              ::blinders::Context* context);

}  // namespace private_membership::blinders
