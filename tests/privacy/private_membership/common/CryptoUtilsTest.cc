#include "privacy/private_membership/common/crypto_utils.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <string>

#include "privacy/blinders/cpp/crypto/context.h"
#include "privacy/private_membership/common/interop_constants.h"
#include "tests/privacy/CryptoTestUtil.h"

namespace private_membership {
namespace {

using ::cryptotest::HexToBytes;

std::string Sha256(std::string_view bytes) {
  uint8_t digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), digest);
  return std::string(reinterpret_cast<const char*>(digest), sizeof(digest));
}

TEST(InteropConstantsTest, DerivedFromTheirLabelsAndDistinct) {
  EXPECT_EQ(kBucketIdPrefix, Sha256(kBucketIdLabel));
  EXPECT_EQ(kEncryptedIdPrefix, Sha256(kEncryptedIdLabel));
  EXPECT_EQ(kValueKeyPrefix, Sha256(kValueKeyLabel));
  EXPECT_EQ(kFixedIv, Sha256(kFixedIvLabel).substr(0, 16));
  EXPECT_NE(kBucketIdPrefix, kEncryptedIdPrefix);
  EXPECT_NE(kBucketIdPrefix, kValueKeyPrefix);
  EXPECT_NE(kEncryptedIdPrefix, kValueKeyPrefix);
}

TEST(CryptoUtilsTest, HashesArePrefixedSha256) {
  blinders::Context ctx;
  const std::string id = "encrypted id";
  EXPECT_EQ(ComputeEncryptedIdHash(id, &ctx), Sha256(std::string(kEncryptedIdPrefix) + id));
  EXPECT_EQ(*DeriveValueEncryptionKey(id, &ctx), Sha256(std::string(kValueKeyPrefix) + id));
  EXPECT_NE(ComputeEncryptedIdHash(id, &ctx), *DeriveValueEncryptionKey(id, &ctx));
}

struct TruncateCase {
  std::string bytes;
  int bit_length;
  std::string expected;  // empty with ok false: error
  bool ok;
};

TEST(CryptoUtilsTest, TruncateBits) {
  const TruncateCase cases[] = {
      {"\xff\xff", 12, "\xff\xf0", true},
      {"\xff\xff", 16, "\xff\xff", true},
      {"\xff\xff", 0, "", true},
      {"\xff\xff", 1, "\x80", true},
      {"\xab\xcd\xef", 13, "\xab\xc8", true},
      {"\xff\xff", 17, "", false},
      {"\xff\xff", -1, "", false},
      {"", 0, "", true},
      {"", 1, "", false},
  };
  for (const TruncateCase& c : cases) {
    auto result = TruncateBits(c.bytes, c.bit_length);
    EXPECT_EQ(result.ok(), c.ok) << c.bit_length;
    if (c.ok) {
      EXPECT_EQ(*result, c.expected) << c.bit_length;
    } else {
      EXPECT_EQ(result.status().code(), absl::StatusCode::kInvalidArgument);
      EXPECT_EQ(result.status().message(), "Truncation bit length out of bounds.");
    }
  }
  EXPECT_FALSE(TruncateBits("ab", 2147483647).ok());
}

TEST(CryptoUtilsTest, ComputeBinIndex) {
  EXPECT_EQ(*ComputeBinIndex("\xff\xff", 1), "");
  EXPECT_EQ(*ComputeBinIndex("\xff\xff", 2), "\x80");
  EXPECT_EQ(*ComputeBinIndex("\xa5\xff", 16), "\xa0");
  EXPECT_EQ(*ComputeBinIndex("\xa5\xff", 1 << 12), "\xa5\xf0");
  EXPECT_EQ(*ComputeBinIndex(std::string(32, '\x7f'), 1 << 30), std::string(3, '\x7f') + "\x7c");
  for (int bins : {0, -4, -2147483647 - 1}) {
    auto r = ComputeBinIndex("\xff", bins);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.status().message(), "Number of bins must be greater than 0.");
  }
  for (int bins : {3, 6, 2147483647}) {
    auto r = ComputeBinIndex("\xff", bins);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.status().message(), "Number of bins that is not a power of 2 isn't supported.");
  }
  // More bins than the bytes have bits.
  EXPECT_EQ(ComputeBinIndex("\xff", 512).status().message(),
            "Truncation bit length out of bounds.");
}

TEST(CryptoUtilsTest, ExtractLengthPrefixedBytes) {
  EXPECT_EQ(*ExtractLengthPrefixedBytes(HexToBytes("0300000061626364")), "abc");
  EXPECT_EQ(*ExtractLengthPrefixedBytes(HexToBytes("00000000")), "");
  EXPECT_EQ(ExtractLengthPrefixedBytes(HexToBytes("050000006162")).status().message(),
            "Incorrect bytes length.");
  EXPECT_EQ(ExtractLengthPrefixedBytes(HexToBytes("ffffffff61")).status().message(),
            "Incorrect bytes length.");
  EXPECT_EQ(ExtractLengthPrefixedBytes(HexToBytes("fcffffff61")).status().message(),
            "Incorrect bytes length.");
  for (const std::string& short_input : {std::string(), std::string("\x03\x00\x00", 3)}) {
    auto r = ExtractLengthPrefixedBytes(short_input);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.status().code(), absl::StatusCode::kInvalidArgument);
    EXPECT_EQ(r.status().message(), "Invalid bytes does not encode length.");
  }
}

}  // namespace
}  // namespace private_membership
