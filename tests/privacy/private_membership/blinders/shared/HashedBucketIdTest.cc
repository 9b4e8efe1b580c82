#include "privacy/private_membership/blinders/shared/hashed_bucket_id.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <string>

#include "privacy/blinders/cpp/crypto/context.h"
#include "privacy/private_membership/blinders/shared/crypto_utils.h"
#include "privacy/private_membership/common/interop_constants.h"

namespace private_membership::blinders {
namespace {

std::string BucketHash(std::string_view id) {
  std::string input = std::string(kBucketIdPrefix) + std::string(id);
  uint8_t digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const uint8_t*>(input.data()), input.size(), digest);
  return std::string(reinterpret_cast<const char*>(digest), sizeof(digest));
}

class HashedBucketIdTest : public ::testing::Test {
 protected:
  ::blinders::Context ctx_;
  const std::string id_ = "user@example.com";
};

TEST_F(HashedBucketIdTest, ZeroPrefixNeedsNoHash) {
  auto result = ComputeHashedBucketId(id_, 0, 7, &ctx_);
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(*result, (HashedBucketId{"", 0, 7}));
}

TEST_F(HashedBucketIdTest, Errors) {
  auto negative = ComputeHashedBucketId(id_, -1, 1, &ctx_);
  EXPECT_EQ(negative.status().code(), absl::StatusCode::kInvalidArgument);
  EXPECT_EQ(negative.status().message(), "Hash prefix length must be non-negative.");
  auto bad_type = ComputeHashedBucketId(id_, 1, 7, &ctx_);
  EXPECT_EQ(bad_type.status().code(), absl::StatusCode::kInvalidArgument);
  EXPECT_EQ(bad_type.status().message(), "Specified an invalid hash type.");
  auto too_long = ComputeHashedBucketId(id_, 257, 1, &ctx_);
  EXPECT_EQ(too_long.status().code(), absl::StatusCode::kInvalidArgument);
  EXPECT_EQ(too_long.status().message(), "Truncation bit length out of bounds.");
  for (int type : {0, 3, -1}) {
    EXPECT_EQ(ComputeBucketHash(type, id_, &ctx_).status().message(),
              "Specified an invalid hash type.");
  }
}

TEST_F(HashedBucketIdTest, PrefixesOfTheBucketHash) {
  const std::string hash = BucketHash(id_);
  EXPECT_EQ(*ComputeBucketHash(1, id_, &ctx_), hash);

  auto thirteen = ComputeHashedBucketId(id_, 13, 1, &ctx_);
  ASSERT_TRUE(thirteen.ok());
  ASSERT_EQ(thirteen->hashed_bucket_id.size(), 2u);
  EXPECT_EQ(thirteen->hashed_bucket_id[0], hash[0]);
  EXPECT_EQ(static_cast<uint8_t>(thirteen->hashed_bucket_id[1]),
            static_cast<uint8_t>(hash[1]) & 0xf8);
  EXPECT_EQ(static_cast<uint8_t>(thirteen->hashed_bucket_id[1]) & 0x07, 0);
  EXPECT_EQ(thirteen->bit_length, 13);
  EXPECT_EQ(thirteen->hash_type, 1);

  auto whole = ComputeHashedBucketId(id_, 256, 2, &ctx_);
  ASSERT_TRUE(whole.ok());
  EXPECT_EQ(whole->hashed_bucket_id, hash);
  EXPECT_EQ(whole->hash_type, 2);
}

TEST_F(HashedBucketIdTest, EntryOverloadHashesTheIdentifierOnly) {
  const IdentifierEntry entry{"tag", id_, "extra"};
  for (int bits : {0, 5, 13, 256}) {
    auto direct = ComputeHashedBucketId(id_, bits, 2, &ctx_);
    auto from_entry = ComputeHashedBucketId(entry, HashedBucketIdParameters{bits, 2}, &ctx_);
    ASSERT_TRUE(direct.ok() && from_entry.ok());
    EXPECT_EQ(*from_entry, *direct);
  }
  auto other = ComputeHashedBucketId(IdentifierEntry{"x", id_ + "!", "extra"},
                                     HashedBucketIdParameters{256, 1}, &ctx_);
  ASSERT_TRUE(other.ok());
  EXPECT_NE(other->hashed_bucket_id, BucketHash(id_));
  auto bad = ComputeHashedBucketId(entry, HashedBucketIdParameters{-1, 1}, &ctx_);
  EXPECT_EQ(bad.status().message(), "Hash prefix length must be non-negative.");
}

}  // namespace
}  // namespace private_membership::blinders
