#include "ads/conversion_tracking/app_conversion/odm/on_device_measurement_v2_client.h"

#include <algorithm>

#include <gtest/gtest.h>

#include "OrvaneAdsOnDeviceConversion/Sources/ODCSerializationUtil.h"
#include "absl/strings/escaping.h"
#include "security/util/sha256.h"
#include "tools/psm-server/PSMServerDatabase.h"

namespace ads::conversion_tracking::app_conversion::odm {
namespace {

namespace pm = private_membership::blinders;

std::string metadata(int64_t rank, int32_t kind) {
  // Field 1 varint, field 2 varint (small values).
  return std::string{0x08, static_cast<char>(rank), 0x10, static_cast<char>(kind)};
}

struct Stored {
  std::string value;
  int64_t rank;
  int32_t kind;
  std::optional<std::string> key;
};

// Runs the client against a server holding one install with the values; `mutate` edits the
// decrypted-side response record first.
std::vector<std::string> query(
    const std::vector<Stored>& values,
    const std::function<void(pm::PrivateMembershipBlindersResponse&)>& mutate = {}) {
  const std::string id = "matching-id";
  security::SHA256 hash;
  const std::string joined = id + ":2026-12-07:com.example.app";
  hash.Update(joined.data(), static_cast<uint64_t>(joined.size()));
  PSMServerDatabase::Member member{id, hash.DigestString(), {}};
  for (const Stored& v : values)
    member.values.push_back({v.value, metadata(v.rank, v.kind), v.key});
  auto server = PSMServerDatabase::Create(
      2, 0, [&](const std::string&) { return std::vector<PSMServerDatabase::Member>{member}; });
  auto client = OnDeviceMeasurementV2Client::Create(
      absl::WebSafeBase64Escape(id), "2026-12-07", "com.example.app", 12,
      &ODCSerializationUtil::parseUnencryptedMetadata);
  EXPECT_TRUE(client.ok());
  auto request = (*client)->CreateRequest();
  EXPECT_EQ(request->use_case, 35u);
  EXPECT_EQ(request->parameters.hash_type, 2);
  EXPECT_EQ(request->entries.size(), 1u);
  EXPECT_EQ(request->entries[0].tag, "");
  auto response = (*server)->Answer(*request);
  if (mutate) mutate(*response);
  auto out = (*client)->ProcessResponse(*response);
  if (!out.ok()) return {"error: " + std::string(out.status().message())};
  std::sort(out->begin(), out->end());
  return *out;
}

TEST(OnDeviceMeasurementV2ClientTest, SelectsOneValuePerKeyByRankThenKind) {
  struct Case {
    const char* name;
    std::vector<Stored> values;
    std::vector<std::string> expected;
  } cases[] = {
      {"higher rank wins", {{"r5", 5, 1, "k"}, {"r7", 7, 1, "k"}}, {"r7"}},
      {"higher rank first", {{"r7", 7, 2, "k"}, {"r5", 5, 1, "k"}}, {"r7"}},
      {"equal rank: kind 1 replaces kind 2", {{"k2", 5, 2, "k"}, {"k1", 5, 1, "k"}}, {"k1"}},
      {"equal rank: kind 2 keeps kind 1", {{"k1", 5, 1, "k"}, {"k2", 5, 2, "k"}}, {"k1"}},
      {"two keys", {{"a", 1, 1, "k1"}, {"b", 1, 1, "k2"}}, {"a", "b"}},
      {"no value", {}, {}},
  };
  for (const Case& c : cases) EXPECT_EQ(query(c.values), c.expected) << c.name;
}

TEST(OnDeviceMeasurementV2ClientTest, MetadataShapesThatEndOrSkipCollection) {
  const std::vector<Stored> three = {{"a", 1, 1, "k1"}, {"b", 1, 1, "k2"}, {"c", 1, 1, "k3"}};
  auto bucket = [](pm::PrivateMembershipBlindersResponse& r) -> pm::EncryptedBucket& {
    return r.encrypted_responses[0].first_bucket;
  };
  struct Case {
    const char* name;
    std::function<void(pm::PrivateMembershipBlindersResponse&)> mutate;
    std::vector<std::string> expected;
  } cases[] = {
      {"a value without key ends the entry",
       [&](auto& r) { bucket(r).metadata[1].value_key.reset(); },
       {"a"}},
      {"undecodable metadata skips that value",
       [&](auto& r) { bucket(r).metadata[1].metadata = "\xff"; },
       {"a", "c"}},
      {"no metadata records, nothing", [&](auto& r) { bucket(r).metadata.clear(); }, {}},
      {"fewer records than values", [&](auto& r) { bucket(r).metadata.resize(2); }, {"a", "b"}},
  };
  for (const Case& c : cases) EXPECT_EQ(query(three, c.mutate), c.expected) << c.name;
}

// The identifier answered twice: each answer is a result entry with its own selection, so the
// key shared across them gives a value from each (within one entry rank 7 would win).
TEST(OnDeviceMeasurementV2ClientTest, SameKeyInTwoResultEntriesGivesTwoValues) {
  auto split = [](pm::PrivateMembershipBlindersResponse& r) {
    r.encrypted_responses.push_back(r.encrypted_responses[0]);
    for (size_t keep = 0; keep < 2; ++keep) {
      pm::EncryptedBucket& b = r.encrypted_responses[keep].first_bucket;
      b = {{b.encrypted_ids[keep]}, {b.encrypted_values[keep]}, {b.metadata[keep]}};
    }
  };
  EXPECT_EQ(query({{"r5", 5, 1, "k"}, {"r7", 7, 1, "k"}}, split),
            (std::vector<std::string>{"r5", "r7"}));
}

TEST(OnDeviceMeasurementV2ClientTest, BadMatchingIdAndBadPrefixFailCreation) {
  auto bad = OnDeviceMeasurementV2Client::Create("***", "d", "b", 12, nullptr);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.status().message(), "matching_id_unescape_error");
  EXPECT_FALSE(OnDeviceMeasurementV2Client::Create("YQ", "d", "b", -1, nullptr).ok());
  EXPECT_EQ(ODCSerializationUtil::parseUnencryptedMetadata("")->first, 0);
  EXPECT_FALSE(ODCSerializationUtil::parseUnencryptedMetadata("\x08").ok());
}

}  // namespace
}  // namespace ads::conversion_tracking::app_conversion::odm
