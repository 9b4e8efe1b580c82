#include "AppMeasurement/PrivateSetMembership/Sources/APMSerializationUtil.h"

#include <string>

#include <gtest/gtest.h>

namespace {

// A length-delimited field.
std::string field(int number, const std::string& body) {
  std::string out(1, static_cast<char>(number << 3 | 2));
  for (size_t n = body.size();; n >>= 7) {
    out += static_cast<char>((n & 0x7F) | (n > 0x7F ? 0x80 : 0));
    if (n <= 0x7F) break;
  }
  return out + body;
}
std::string varint(int number, int value) {
  return std::string(1, static_cast<char>(number << 3)) + std::string(1, static_cast<char>(value));
}

TEST(APMSerializationUtilTest, ResponsesDecodeAsAbsentAndPresentFieldsSay) {
  struct Case {
    const char* name;
    std::string element;  // one EncryptedResponse
    int32_t bins;
    int32_t scheme;
    size_t firstIds;
    size_t secondIds;
  } cases[] = {
      {"no buckets, no metadata", "", 0, 1, 0, 0},
      {"field 6 only", varint(6, 9), 0, 1, 0, 0},
      {"metadata without scheme", field(7, varint(2, 4)), 4, 0, 0, 0},
      {"metadata with scheme 2", field(7, varint(3, 2)), 0, 2, 0, 0},
      {"first bucket", field(2, field(1, "a") + field(1, "")), 0, 1, 2, 0},
      {"second bucket", field(5, field(1, "b")), 0, 1, 0, 1},
  };
  for (const Case& c : cases) {
    auto response = APMSerializationUtil::DeserializePSMResponse(field(1, c.element));
    ASSERT_TRUE(response.ok()) << c.name;
    ASSERT_EQ(response->encrypted_responses.size(), 1u) << c.name;
    const auto& e = response->encrypted_responses[0];
    EXPECT_EQ(e.metadata.bin_count, c.bins) << c.name;
    EXPECT_EQ(e.metadata.value_encryption_scheme, c.scheme) << c.name;
    EXPECT_EQ(e.first_bucket.encrypted_ids.size(), c.firstIds) << c.name;
    EXPECT_EQ(e.second_bucket.encrypted_ids.size(), c.secondIds) << c.name;
    EXPECT_EQ(e.number, 0) << c.name;
  }
}

TEST(APMSerializationUtilTest, PairsAndMetadataKeepOrderAndSetEveryValueKey) {
  std::string pair1 = field(1, field(1, "e1") + field(2, "d1"));
  std::string pair2 = field(1, field(2, "d2"));
  std::string bucket =
      field(2, field(1, "x") + field(2, "v") + field(3, field(1, "m")) + field(3, field(3, "k")));
  auto response = APMSerializationUtil::DeserializePSMResponse(field(1, pair1 + pair2 + bucket));
  ASSERT_TRUE(response.ok());
  const auto& e = response->encrypted_responses.at(0);
  ASSERT_EQ(e.doubly_encrypted_ids.size(), 2u);
  EXPECT_EQ(e.doubly_encrypted_ids[0].encrypted_id, "e1");
  EXPECT_EQ(e.doubly_encrypted_ids[1].encrypted_id, "");
  EXPECT_EQ(e.doubly_encrypted_ids[1].doubly_encrypted_id, "d2");
  ASSERT_EQ(e.first_bucket.metadata.size(), 2u);
  EXPECT_EQ(e.first_bucket.metadata[0].metadata, "m");
  EXPECT_EQ(e.first_bucket.metadata[0].value_key, std::optional<std::string>(""));
  EXPECT_EQ(e.first_bucket.metadata[1].value_key, std::optional<std::string>("k"));
  EXPECT_EQ(e.first_bucket.encrypted_values, std::vector<std::string>{"v"});
}

TEST(APMSerializationUtilTest, BadBytesFailAsInternalErrorsAndEmptyBytesAreEmpty) {
  auto empty = APMSerializationUtil::DeserializePSMResponse("");
  ASSERT_TRUE(empty.ok());
  EXPECT_TRUE(empty->encrypted_responses.empty());

  std::string huge = std::string("\x0a\x86\x80\x40", 4) + "\x12\x82\x80\x40";  // lying lengths
  // A bytes element one byte over 1 MiB.
  std::string oversize = field(1, field(2, field(1, std::string(0x100001, 'x'))));
  const std::string cases[] = {"\x0a", "\x0a\x05\x0a", huge, oversize, "\xff\xff\xff\xff\xff"};
  for (const std::string& bytes : cases) {
    auto response = APMSerializationUtil::DeserializePSMResponse(bytes);
    ASSERT_FALSE(response.ok()) << bytes.size();
    EXPECT_EQ(response.status().code(), absl::StatusCode::kInternal);
    EXPECT_EQ(response.status().message(), "Failed to deserialize PSM Response.");
  }
}

}  // namespace
