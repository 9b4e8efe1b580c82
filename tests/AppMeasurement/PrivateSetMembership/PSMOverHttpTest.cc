// The older-flow client against psm-server over real HTTP (libcurl to Beast on 127.0.0.1).
#include <future>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "AppMeasurement/PrivateSetMembership/Sources/APMSerializationUtil.h"
#include "AppMeasurement/PrivateSetMembership/Sources/ODCIdentifierHashing.h"
#include "AppMeasurement/PrivateSetMembership/Sources/ODCPrivateSetMembershipClient.h"
#include "AppMeasurement/PrivateSetMembership/Sources/ODCServiceHost.h"
#include "absl/strings/escaping.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/JSONSerialization.h"
#include "platform/utilities/OULNetwork.h"
#include "security/util/sha256.h"
#include "tests/support/ClosedPort.h"
#include "tools/psm-server/PSMServer.h"

namespace {

namespace pm = private_membership::blinders;
constexpr char kAppID[] = "1:1234567890:ios:abcdef";

struct Reply {
  int64_t status = 0;
  std::string body;
};

Reply post(const std::string& url, const std::string& body) {
  static auto network = OULNetwork::create();
  static auto queue = platform::DispatchQueue::createSerial("psm.test");
  std::promise<Reply> done;
  network->postURL(url, body, queue, false,
                   [&](const auto& response, const auto& data, const auto& error) {
                     Reply reply;
                     if (!error && response) reply = {response->statusCode, data.value_or("")};
                     done.set_value(reply);
                   });
  return done.get_future().get();
}

class PSMOverHttpTest : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    PSMServerConfig config;
    config.scheme = GetParam();
    config.members = {
        {PSMServerConfig::OlderFlowMember::Kind::Email, "Jane.Doe@Example.com", "value-mail"},
        {PSMServerConfig::OlderFlowMember::Kind::Phone, "+1 650 555 1234", "value-phone"},
    };
    for (int i = 0; i < 100; i += 3) {
      config.members.push_back({PSMServerConfig::OlderFlowMember::Kind::Email,
                                "user" + std::to_string(i) + "@example.com",
                                "v" + std::to_string(i)});
    }
    auto server = PSMServer::start(std::move(config));
    ASSERT_TRUE(server.ok()) << server.status();
    server_ = *std::move(server);
    ODCServiceHost::setBaseURL(server_->baseURL());
  }
  void TearDown() override {
    ODCServiceHost::setBaseURL(testsupport::processClosedPort().baseURL());
  }

  std::optional<std::string> query(APMPrivateSetMembershipClient& client) {
    auto payload = client.payloadWithPSMRequest();
    if (!payload) return std::nullopt;
    Reply reply = post(client.PSMRequestURLWithRetryCount(0), *payload);
    EXPECT_EQ(reply.status, 200);
    return client.parsedPSMValueFromResponse(reply.body);
  }

  std::unique_ptr<PSMServer> server_;
};

TEST_P(PSMOverHttpTest, OlderFlowClientsAnswerMembersWithTheirValue) {
  ODCPrivateSetMembershipClientClass clients;
  security::SHA256 hash;
  hash.Update("+16505551234", uint64_t{12});
  const std::string phoneDigest = hash.DigestString();
  struct Case {
    const char* name;
    APMPrivateSetMembershipClientClass::Client client;
    std::optional<std::string> expected;
  } cases[] = {
      {"e-mail", clients.initWithEmailAddress("jane.doe@example.com", kAppID), "value-mail"},
      {"e-mail, other bits", clients.initWithEmailAddress("jane.doe@example.com", kAppID, 3),
       "value-mail"},
      {"phone", clients.initWithPhoneNumber("(650) 555-1234", kAppID), std::nullopt},
      {"phone with country", clients.initWithPhoneNumber("+1 (650) 555-1234", kAppID),
       "value-phone"},
      {"hashed phone", clients.initWithHashedPhoneNumber(phoneDigest, kAppID, 11), "value-phone"},
      {"other e-mail", clients.initWithEmailAddress("john@example.com", kAppID), std::nullopt},
  };
  for (Case& c : cases) {
    ASSERT_NE(c.client, nullptr) << c.name;
    auto value = query(*c.client);
    std::optional<std::string> decoded;
    if (value) {
      std::string raw;
      ASSERT_TRUE(absl::WebSafeBase64Unescape(*value, &raw));
      decoded = raw;
    }
    EXPECT_EQ(decoded, c.expected) << c.name;
  }
}

TEST_P(PSMOverHttpTest, HundredIdentifiersWithDummiesAnswerTrueExactlyForMembers) {
  std::vector<pm::IdentifierEntry> entries;
  for (int i = 0; i < 100; ++i) {
    std::string input =
        ODCHashIdentifierWithAppID("user" + std::to_string(i) + "@example.com", kAppID);
    entries.push_back({kAppID, input, input});
  }
  auto client = pm::PrivateMembershipBlindersMiniClient::Create(entries, {6, 2, 64});
  ASSERT_TRUE(client.ok());
  auto request = (*client)->CreateRequest(3);
  ASSERT_TRUE(request.ok());
  EXPECT_GT(request->entries.size(), 100u);
  std::string body =
      "{\"psm_request\":\"" +
      absl::WebSafeBase64Escape(APMSerializationUtil::SerializePSMRequest(*request)) + "\"}";
  Reply reply =
      post(server_->baseURL() + "/pagead/conversion/app/psm?version=1.1&retry_count=0", body);
  ASSERT_EQ(reply.status, 200);
  auto json = platform::JSONSerialization::JSONObjectWithData(reply.body);
  std::string bytes;
  ASSERT_TRUE(absl::WebSafeBase64Unescape(*json->find("psm_response")->asString(), &bytes));
  auto response = APMSerializationUtil::DeserializePSMResponse(bytes);
  ASSERT_TRUE(response.ok());
  auto results = (*client)->ProcessResponse(*response);
  ASSERT_TRUE(results.ok()) << results.status();
  ASSERT_EQ(results->size(), 100u);
  for (size_t i = 0; i < entries.size(); ++i) {
    const auto& result = *std::find_if(results->begin(), results->end(), [&](const auto& r) {
      return r.entry.identifier == entries[i].identifier;
    });
    EXPECT_EQ(result.is_member, i % 3 == 0) << i;
    if (i % 3 == 0) {
      EXPECT_EQ(result.value, "v" + std::to_string(i));
    }
  }
}

TEST_P(PSMOverHttpTest, MalformedRequestsGetBadRequest) {
  const std::string path = server_->baseURL() + "/pagead/conversion/app/psm";
  for (const std::string body : {"", "[]", "{\"psm_request\":7}", "{\"psm_request\":\"***\"}",
                                 "{\"psm_request\":\"CgMKAQE\"}"}) {
    EXPECT_EQ(post(path, body).status, 400) << body;
  }
}

INSTANTIATE_TEST_SUITE_P(Schemes, PSMOverHttpTest, ::testing::Values(1, 2));

}  // namespace
