#include "privacy/private_membership/blinders/client/private_membership_blinders_mini_client.h"

#include <algorithm>
#include <climits>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tools/psm-server/PSMServerDatabase.h"

namespace private_membership::blinders {
namespace {

TEST(MiniClientTest, CreateChecksParametersInOrder) {
  const std::string bits = "hashed_non_sensitive_id_prefix_bit_length must be non-negative.";
  const std::string hash = "Hash Type must be declared.";
  const std::string max =
      "Max hash prefixes count must be less than or equal to "
      "2^hashed_non_sensitive_id_prefix_bit_length.";
  struct Case {
    int32_t bitLength, hashType, maxCount;
    std::string error;  // empty: created
  } cases[] = {
      {0, 1, 1, ""},
      {0, 1, 2, max},
      {-1, 0, 0, bits},
      {14, 0, 0, hash},
      {14, 3, 0, hash},
      {14, 2, 0, ""},
      {30, 2, 1 << 30, ""},
      {30, 2, (1 << 30) + 1, max},
      // At 31 bits and more every int32 count fits (2^31 exceeds them all).
      {31, 1, INT32_MAX, ""},
      {32, 1, 5, ""},
      {40, 2, 3, ""},
  };
  for (const Case& c : cases) {
    auto client =
        PrivateMembershipBlindersMiniClient::Create({}, {c.bitLength, c.hashType, c.maxCount});
    if (c.error.empty()) {
      EXPECT_TRUE(client.ok()) << c.bitLength << " " << client.status();
    } else {
      ASSERT_FALSE(client.ok()) << c.bitLength;
      EXPECT_EQ(client.status().code(), absl::StatusCode::kInvalidArgument);
      EXPECT_EQ(client.status().message(), c.error);
    }
  }
}

TEST(MiniClientTest, RequestKeepsOrderWithoutDummiesAndSortsWithThem) {
  std::vector<IdentifierEntry> entries = {
      {"t1", "zeta", "x"}, {"t2", "alpha", "y"}, {"t3", "mid", "z"}};
  struct Case {
    int32_t maxCount;
    size_t minimumEntries;
    bool sorted;
  } cases[] = {{0, 3, false}, {1, 3, true}, {16, 16, true}};
  for (const Case& c : cases) {
    auto client = PrivateMembershipBlindersMiniClient::Create(entries, {8, 2, c.maxCount});
    ASSERT_TRUE(client.ok());
    auto request = (*client)->CreateRequest(35);
    ASSERT_TRUE(request.ok());
    EXPECT_EQ(request->use_case, 35u);
    EXPECT_GE(request->entries.size(), c.minimumEntries);
    std::set<std::string> buckets;
    for (const auto& e : request->entries) {
      buckets.insert(e.hashed_bucket_id);
      EXPECT_EQ(e.hashed_bucket_id.size(), 1u);
      EXPECT_EQ(e.encrypted_id.size(), 33u);
    }
    EXPECT_GE(buckets.size(), static_cast<size_t>(c.maxCount));
    if (c.sorted) {
      EXPECT_TRUE(std::is_sorted(request->entries.begin(), request->entries.end(),
                                 [](auto& a, auto& b) { return a.encrypted_id < b.encrypted_id; }));
    } else {
      EXPECT_EQ(request->entries[0].tag, "t1");
      EXPECT_EQ(request->entries[2].tag, "t3");
    }
  }
  auto empty = PrivateMembershipBlindersMiniClient::Create({}, {0, 1, 0});
  EXPECT_TRUE((*empty)->CreateRequest(0)->entries.empty());
  auto oneDummy = PrivateMembershipBlindersMiniClient::Create({}, {0, 1, 1});
  EXPECT_EQ((*oneDummy)->CreateRequest(0)->entries.size(), 1u);
}

// 100 identifiers against a server holding every third of them, with dummies, in both value
// schemes and in bin mode: exactly the members answer true, with their values.
TEST(MiniClientTest, AnswersExactlyForMembersInEveryServerMode) {
  std::vector<IdentifierEntry> entries;
  std::vector<PSMServerDatabase::Member> members;
  for (int i = 0; i < 100; ++i) {
    std::string id = "identifier-" + std::to_string(i);
    entries.push_back({"tag", id, "extra"});
    if (i % 3 == 0) members.push_back({id, "extra", {{"value-" + std::to_string(i), "m", "k"}}});
  }
  struct Case {
    int32_t scheme, bins, maxCount;
  } cases[] = {{1, 0, 0}, {2, 0, 128}, {2, 4, 0}, {2, 1, 0}};
  for (const Case& c : cases) {
    auto server =
        PSMServerDatabase::Create(c.scheme, c.bins, [&](const std::string&) { return members; });
    ASSERT_TRUE(server.ok());
    auto client = PrivateMembershipBlindersMiniClient::Create(entries, {7, 1, c.maxCount});
    auto request = (*client)->CreateRequest(3);
    ASSERT_TRUE(request.ok());
    auto response = (*server)->Answer(*request);
    ASSERT_TRUE(response.ok()) << response.status();
    auto results = (*client)->ProcessResponse(*response);
    ASSERT_TRUE(results.ok()) << results.status();
    ASSERT_EQ(results->size(), 100u) << c.scheme << c.bins;
    for (const auto& result : *results) {
      const int i = std::stoi(result.entry.identifier.substr(11));
      if (c.bins >= 1) {
        // In bin mode a bin-mate counts as a member (its value then fails to decrypt as
        // garbage under scheme 2, so only members are checked here).
        if (i % 3 == 0) {
          EXPECT_TRUE(result.is_member) << i;
        }
        continue;
      }
      EXPECT_EQ(result.is_member, i % 3 == 0) << i << " scheme " << c.scheme;
      if (i % 3 == 0) {
        EXPECT_EQ(result.value, "value-" + std::to_string(i));
        ASSERT_EQ(result.metadata.size(), 1u);
        EXPECT_EQ(result.metadata[0].value_key, std::optional<std::string>("k"));
      }
    }
  }
}

// Kept as the exchange defines it: in bin mode the bucket lists bins, so a bin-mate of a member
// counts as a member; under scheme 1 the member's value then fails to decrypt under the
// bin-mate's key and fails the whole answer, under scheme 2 it decrypts to garbage.
TEST(MiniClientTest, BinMatesOfMembersArePinned) {
  for (int32_t scheme : {1, 2}) {
    auto server = PSMServerDatabase::Create(scheme, 1, [](const std::string&) {
      return std::vector<PSMServerDatabase::Member>{{"member", "", {{"value", {}, {}}}}};
    });
    auto client = *PrivateMembershipBlindersMiniClient::Create({{"", "stranger", ""}}, {0, 1, 0});
    auto response = (*server)->Answer(*client->CreateRequest(3));
    ASSERT_TRUE(response.ok());
    auto results = client->ProcessResponse(*response);
    if (scheme == 1) {
      EXPECT_FALSE(results.ok());
    } else {
      ASSERT_TRUE(results.ok());
      EXPECT_TRUE((*results)[0].is_member);
      EXPECT_NE((*results)[0].value, "value");
    }
  }
}

class MiniClientResponseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto server = PSMServerDatabase::Create(1, 0, [](const std::string&) {
      return std::vector<PSMServerDatabase::Member>{
          {"member", "", {{"v1", {}, {}}, {"v2", {}, {}}}}};
    });
    server_ = *std::move(server);
    client_ = *PrivateMembershipBlindersMiniClient::Create({{"", "member", ""}, {"", "other", ""}},
                                                           {10, 2, 0});
    request_ = *client_->CreateRequest(7);
    response_ = *server_->Answer(request_);
  }
  std::unique_ptr<PSMServerDatabase> server_;
  std::unique_ptr<PrivateMembershipBlindersMiniClient> client_;
  PrivateMembershipBlindersRequest request_;
  PrivateMembershipBlindersResponse response_;
};

TEST_F(MiniClientResponseTest, ValuesInBucketOrderAndNonMembersAnswerFalse) {
  auto results = client_->ProcessResponse(response_);
  ASSERT_TRUE(results.ok());
  ASSERT_EQ(results->size(), 2u);
  EXPECT_TRUE((*results)[0].is_member);
  EXPECT_EQ((*results)[0].value, "v1");
  EXPECT_EQ((*results)[0].values, (std::vector<std::string>{"v1", "v2"}));
  EXPECT_FALSE((*results)[1].is_member);
  EXPECT_TRUE((*results)[1].values.empty());
}

TEST_F(MiniClientResponseTest, HostileAnswersFailOrMatchAsDocumented) {
  using Mutation = void (*)(PrivateMembershipBlindersResponse&);
  struct Case {
    const char* name;
    Mutation mutate;
    bool ok;
    const char* error;
  } cases[] = {
      {"unknown echoed id",
       [](auto& r) { r.encrypted_responses[0].doubly_encrypted_ids[0].encrypted_id = "nope"; },
       false, "Processed response does not correspond to created request."},
      // Off-curve points throughout: the message shows nothing was decrypted.
      {"more pairs than 1000",
       [](auto& r) {
         DoublyEncryptedId pair = r.encrypted_responses[0].doubly_encrypted_ids[0];
         pair.doubly_encrypted_id = std::string(33, 'x');
         r.encrypted_responses[0].doubly_encrypted_ids.assign(1001, pair);
       },
       false, "Processed response does not correspond to created request."},
      {"off-curve point",
       [](auto& r) {
         r.encrypted_responses[0].doubly_encrypted_ids[0].doubly_encrypted_id =
             std::string(33, 'x');
       },
       false, nullptr},
      {"infinity",
       [](auto& r) {
         r.encrypted_responses[0].doubly_encrypted_ids[0].doubly_encrypted_id =
             std::string(1, '\0');
       },
       false, nullptr},
      {"wrong-length point",
       [](auto& r) {
         r.encrypted_responses[0].doubly_encrypted_ids[0].doubly_encrypted_id =
             std::string("\x02", 1) + std::string(20, '\x01');
       },
       false, nullptr},
      {"lying length prefix in a scheme-1 value",
       [](auto& r) {
         r.encrypted_responses[0].first_bucket.encrypted_values[0] = std::string(20, '\x5a');
       },
       false, nullptr},
      {"bin count 3", [](auto& r) { r.encrypted_responses[0].metadata.bin_count = 3; }, false,
       nullptr},
      {"scheme 0", [](auto& r) { r.encrypted_responses[0].metadata.value_encryption_scheme = 0; },
       false, nullptr},
      {"short value list",
       [](auto& r) { r.encrypted_responses[0].first_bucket.encrypted_values.resize(1); }, true,
       nullptr},
      {"empty id matches any key",
       [](auto& r) {
         auto& b = r.encrypted_responses[1].first_bucket;
         b.encrypted_ids = {""};
         b.encrypted_values = {""};
       },
       true, nullptr},
  };
  for (const Case& c : cases) {
    PrivateMembershipBlindersResponse response = response_;
    c.mutate(response);
    auto results = client_->ProcessResponse(response);
    EXPECT_EQ(results.ok(), c.ok) << c.name << " " << results.status();
    if (!c.ok && c.error) {
      EXPECT_EQ(results.status().message(), c.error) << c.name;
    }
  }
  // The empty bucket id made the non-member a member without a value.
  PrivateMembershipBlindersResponse response = response_;
  response.encrypted_responses[1].first_bucket.encrypted_ids = {""};
  response.encrypted_responses[1].first_bucket.encrypted_values = {""};
  auto results = client_->ProcessResponse(response);
  ASSERT_TRUE(results.ok());
  EXPECT_TRUE((*results)[1].is_member);
  EXPECT_TRUE((*results)[1].value.empty());
}

}  // namespace
}  // namespace private_membership::blinders
