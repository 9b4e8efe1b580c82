#include "AppMeasurement/PrivateSetMembership/Sources/ODCPrivateSetMembershipClient.h"

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "AppMeasurement/PrivateSetMembership/Sources/APMSerializationUtil.h"
#include "AppMeasurement/PrivateSetMembership/Sources/ODCIdentifierHashing.h"
#include "AppMeasurement/PrivateSetMembership/Sources/ODCServiceHost.h"
#include "absl/strings/escaping.h"
#include "platform/foundation/JSONSerialization.h"
#include "tests/support/ClosedPort.h"
#include "tools/psm-server/PSMServerDatabase.h"

namespace {

namespace pm = private_membership::blinders;

constexpr char kAppID[] = "1:1234567890:ios:abcdef";

TEST(ODCPrivateSetMembershipClientTest, InitialisersValidateAndRecordKindAndPrefix) {
  const std::string digest(32, '\x07');
  using C = ODCPrivateSetMembershipClient;
  struct Case {
    const char* name;
    std::unique_ptr<C> client;
    int64_t inputType;  // 0: nil
    int32_t bits;
  };
  Case cases[] = {
      {"e-mail", C::initWithEmailAddress("Jane@Example.com", kAppID), 1, 14},
      {"e-mail, bits", C::initWithEmailAddress("jane@example.com", kAppID, 9), 1, 9},
      {"e-mail, empty app id", C::initWithEmailAddress("jane@example.com", ""), 1, 14},
      {"bad e-mail", C::initWithEmailAddress("jane.example.com", kAppID), 0, 0},
      {"empty e-mail", C::initWithEmailAddress("", kAppID), 0, 0},
      {"negative bits", C::initWithEmailAddress("jane@example.com", kAppID, -1), 0, 0},
      {"phone", C::initWithPhoneNumber("(650) 555-1234", kAppID), 2, 11},
      {"bad phone", C::initWithPhoneNumber("0650", kAppID), 0, 0},
      {"hashed e-mail", C::initWithHashedEmailAddress(digest, kAppID, 12), 3, 12},
      {"hashed phone", C::initWithHashedPhoneNumber(digest, kAppID, 8), 4, 8},
      {"hashed, empty app id", C::initWithHashedEmailAddress(digest, "", 12), 0, 0},
      {"hashed, empty digest", C::initWithHashedPhoneNumber("", kAppID, 12), 0, 0},
      {"hashed, short digest", C::initWithHashedPhoneNumber(digest.substr(1), kAppID, 12), 0, 0},
  };
  for (const Case& c : cases) {
    if (c.inputType == 0) {
      EXPECT_EQ(c.client, nullptr) << c.name;
      continue;
    }
    ASSERT_NE(c.client, nullptr) << c.name;
    EXPECT_EQ(c.client->inputType(), c.inputType) << c.name;
    EXPECT_EQ(c.client->prefixBitLength(), c.bits) << c.name;
  }
}

TEST(ODCPrivateSetMembershipClientTest, RequestIsBuiltOnceAndSentAsCompactJson) {
  auto client = ODCPrivateSetMembershipClient::initWithEmailAddress("jane@example.com", kAppID);
  auto first = client->payloadWithPSMRequest();
  ASSERT_TRUE(first);
  EXPECT_EQ(client->payloadWithPSMRequest(), first);
  auto json = platform::JSONSerialization::JSONObjectWithData(*first);
  ASSERT_TRUE(json.ok());
  ASSERT_EQ(json->asDictionary()->size(), 1u);
  const std::string text = *json->find("psm_request")->asString();
  EXPECT_EQ(*first, "{\"psm_request\":\"" + text + "\"}");
  EXPECT_EQ(text.find_first_of("+/="), std::string::npos);
  EXPECT_EQ(client->serializedRequestAsWebsafeBase64(), text);

  ODCServiceHost::setBaseURL("http://127.0.0.1:9/");
  EXPECT_EQ(client->PSMRequestURLWithRetryCount(3),
            "http://127.0.0.1:9/pagead/conversion/app/psm?version=1.1&retry_count=3");
  EXPECT_EQ(client->PSMRequestURLWithRetryCount(-1),
            "http://127.0.0.1:9/pagead/conversion/app/psm?version=1.1&retry_count=-1");
  ODCServiceHost::setBaseURL(testsupport::processClosedPort().baseURL());

  auto key = client->debugKey();
  ASSERT_TRUE(key);
  EXPECT_EQ(key->size(), 86u);
  std::string raw;
  ASSERT_TRUE(absl::WebSafeBase64Unescape(*key, &raw));
  EXPECT_EQ(raw.substr(0, 32), raw.substr(32));
  auto normalized = ODCNormalizeEmail("jane@example.com");
  EXPECT_EQ(raw.substr(0, 32), ODCHashIdentifierWithAppID(*normalized, kAppID));
}

// RFC 4648 section 10 vectors, in the URL alphabet without padding (what every Base64 text of
// both flows is), and the unescape that takes padding or none.
TEST(ODCPrivateSetMembershipClientTest, WebSafeBase64IsRfc4648UrlAlphabetUnpadded) {
  const std::pair<std::string, std::string> vectors[] = {
      {"", ""},           {"f", "Zg"},          {"fo", "Zm8"},          {"foo", "Zm9v"},
      {"foob", "Zm9vYg"}, {"fooba", "Zm9vYmE"}, {"foobar", "Zm9vYmFy"}, {"\xfb\xff", "-_8"}};
  for (const auto& [bytes, text] : vectors) {
    EXPECT_EQ(absl::WebSafeBase64Escape(bytes), text);
    std::string back;
    ASSERT_TRUE(absl::WebSafeBase64Unescape(text, &back));
    EXPECT_EQ(back, bytes);
  }
  std::string padded;
  ASSERT_TRUE(absl::WebSafeBase64Unescape("Zm8=", &padded));
  EXPECT_EQ(padded, "fo");
  EXPECT_FALSE(absl::WebSafeBase64Unescape("Zm+8", &padded));
}

// The server answers in-process here; psm-server over HTTP is tested beside it.
class ODCPrivateSetMembershipClientAnswerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto server = PSMServerDatabase::Create(1, 0, [](const std::string& tag) {
      std::vector<PSMServerDatabase::Member> members;
      std::string input = ODCHashIdentifierWithAppID("jane@example.com", tag);
      members.push_back({input, input, {{"conversion-jane", {}, {}}}});
      return members;
    });
    server_ = *std::move(server);
  }
  // The server's answer as the body the client reads; `mutate` edits the response first.
  std::string answerFor(
      ODCPrivateSetMembershipClient& client,
      const std::function<void(pm::PrivateMembershipBlindersResponse&)>& mutate = {}) {
    std::string bytes;
    EXPECT_TRUE(absl::WebSafeBase64Unescape(*client.serializedRequestAsWebsafeBase64(), &bytes));
    auto response = server_->AnswerSerialized(bytes);
    EXPECT_TRUE(response.ok());
    if (mutate) {
      auto record = APMSerializationUtil::DeserializePSMResponse(*response);
      EXPECT_TRUE(record.ok());
      mutate(*record);
      *response = PSMServerSerializeResponse(*record);
    }
    return "{\"psm_response\":\"" + absl::WebSafeBase64Escape(*response) + "\"}";
  }
  std::unique_ptr<PSMServerDatabase> server_;
};

TEST_F(ODCPrivateSetMembershipClientAnswerTest, MemberGetsFirstNonEmptyValueOthersNil) {
  auto member = ODCPrivateSetMembershipClient::initWithEmailAddress("Jane@Example.com", kAppID);
  auto answer = member->parsedPSMValueFromResponse(answerFor(*member));
  EXPECT_EQ(answer, absl::WebSafeBase64Escape("conversion-jane"));
  auto other = ODCPrivateSetMembershipClient::initWithEmailAddress("joe@example.com", kAppID);
  EXPECT_EQ(other->parsedPSMValueFromResponse(answerFor(*other)), std::nullopt);
  // Another client (another key) cannot read the member's answer.
  auto stranger = ODCPrivateSetMembershipClient::initWithEmailAddress("jane@example.com", kAppID);
  stranger->payloadWithPSMRequest();
  EXPECT_EQ(stranger->parsedPSMValueFromResponse(answerFor(*member)), std::nullopt);
}

// The identifier answered twice, first without a value: the second answer's value is the one.
TEST_F(ODCPrivateSetMembershipClientAnswerTest, FirstMemberWithAValueWinsAcrossEntries) {
  auto client = ODCPrivateSetMembershipClient::initWithEmailAddress("jane@example.com", kAppID);
  auto answer = client->parsedPSMValueFromResponse(
      answerFor(*client, [](pm::PrivateMembershipBlindersResponse& r) {
        pm::EncryptedResponse withoutValue = r.encrypted_responses[0];
        withoutValue.first_bucket.encrypted_values = {""};
        r.encrypted_responses.insert(r.encrypted_responses.begin(), withoutValue);
      }));
  EXPECT_EQ(answer, absl::WebSafeBase64Escape("conversion-jane"));
}

TEST_F(ODCPrivateSetMembershipClientAnswerTest, MalformedBodiesGiveNil) {
  auto client = ODCPrivateSetMembershipClient::initWithEmailAddress("jane@example.com", kAppID);
  client->payloadWithPSMRequest();
  const std::optional<std::string> bodies[] = {std::nullopt,
                                               "",
                                               "[]",
                                               "\"psm_response\"",
                                               "{}",
                                               "{\"psm_response\":5}",
                                               "{\"psm_response\":\"!!!\"}",
                                               "{\"psm_response\":\"CgA\"}",
                                               "{\"psm_response\":\"_w\"}",
                                               "{\"psm_response\":\"\"}",
                                               "not json"};
  for (const auto& body : bodies) {
    EXPECT_EQ(client->parsedPSMValueFromResponse(body), std::nullopt) << body.value_or("(nil)");
  }
}

}  // namespace
