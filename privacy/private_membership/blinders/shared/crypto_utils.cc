#include "privacy/private_membership/blinders/shared/crypto_utils.h"

#include "absl/status/status.h"
#include "privacy/private_membership/common/interop_constants.h"

namespace private_membership::blinders {

absl::StatusOr<std::string> ComputeBucketHash(int32_t hash_type, std::string_view bytes,
                                              ::blinders::Context* context) {
  if (hash_type != kBucketHashTypeSha256 && hash_type != kBucketHashTypeSha256Alternate) {
    return absl::InvalidArgumentError("Specified an invalid hash type.");
  }
  std::string input(kBucketIdPrefix);
  input.append(bytes);
  return context->HashSha256(input);
}

}  // namespace private_membership::blinders
