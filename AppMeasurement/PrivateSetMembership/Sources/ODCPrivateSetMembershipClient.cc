#include "AppMeasurement/PrivateSetMembership/Sources/ODCPrivateSetMembershipClient.h"

#include <utility>

#include "AppMeasurement/PrivateSetMembership/Sources/APMSerializationUtil.h"
#include "AppMeasurement/PrivateSetMembership/Sources/ODCIdentifierHashing.h"
#include "AppMeasurement/PrivateSetMembership/Sources/ODCServiceHost.h"
#include "absl/strings/escaping.h"
#include "platform/foundation/JSONSerialization.h"

namespace pm = private_membership::blinders;

namespace {

enum InputType : int64_t { kEmail = 1, kPhone = 2, kHashedEmail = 3, kHashedPhone = 4 };

std::string webSafeBase64(std::string_view bytes) {
  return absl::WebSafeBase64Escape(absl::string_view(bytes.data(), bytes.size()));
}

}  // namespace

std::unique_ptr<ODCPrivateSetMembershipClient> ODCPrivateSetMembershipClient::make(
    std::string psmInput, std::string_view appID, int64_t inputType, int32_t prefixBitLength,
    uint32_t useCase) {
  pm::PrivateMembershipBlindersParameters parameters;
  parameters.hashed_non_sensitive_id_prefix_bit_length = prefixBitLength;
  parameters.hash_type = pm::kBucketHashTypeSha256Alternate;
  parameters.max_hash_prefixes_count = 0;
  auto blinders = pm::PrivateMembershipBlindersMiniClient::Create(
      {{std::string(appID), psmInput, psmInput}}, parameters);
  if (!blinders.ok()) return nullptr;
  std::unique_ptr<ODCPrivateSetMembershipClient> client(new ODCPrivateSetMembershipClient());
  client->blindersClient_ = *std::move(blinders);
  client->blindersUseCase_ = useCase;
  client->PSMInput_ = std::move(psmInput);
  client->appID_ = std::string(appID);
  client->inputType_ = inputType;
  client->prefixBitLength_ = prefixBitLength;
  return client;
}

std::unique_ptr<ODCPrivateSetMembershipClient> ODCPrivateSetMembershipClient::initWithEmailAddress(
    std::string_view email, std::string_view appID, int32_t prefixBitLength) {
  if (email.empty()) return nullptr;
  std::optional<std::string> normalized = ODCNormalizeEmail(email);
  if (!normalized || normalized->empty()) return nullptr;
  return make(ODCHashIdentifierWithAppID(*normalized, appID), appID, kEmail, prefixBitLength,
              kEmailUseCase);
}

std::unique_ptr<ODCPrivateSetMembershipClient> ODCPrivateSetMembershipClient::initWithPhoneNumber(
    std::string_view phone, std::string_view appID, int32_t prefixBitLength) {
  if (phone.empty()) return nullptr;
  std::optional<std::string> normalized = ODCNormalizePhoneNumber(phone);
  if (!normalized || normalized->empty()) return nullptr;
  return make(ODCHashIdentifierWithAppID(*normalized, appID), appID, kPhone, prefixBitLength,
              kPhoneUseCase);
}

std::unique_ptr<ODCPrivateSetMembershipClient>
ODCPrivateSetMembershipClient::initWithHashedEmailAddress(std::string_view digest,
                                                          std::string_view appID,
                                                          int32_t prefixBitLength) {
  if (digest.empty() || appID.empty()) return nullptr;
  std::optional<std::string> input = ODCHashHashedIdentifierWithAppID(digest, appID);
  if (!input) return nullptr;
  return make(*std::move(input), appID, kHashedEmail, prefixBitLength, kEmailUseCase);
}

std::unique_ptr<ODCPrivateSetMembershipClient>
ODCPrivateSetMembershipClient::initWithHashedPhoneNumber(std::string_view digest,
                                                         std::string_view appID,
                                                         int32_t prefixBitLength) {
  if (digest.empty() || appID.empty()) return nullptr;
  std::optional<std::string> input = ODCHashHashedIdentifierWithAppID(digest, appID);
  if (!input) return nullptr;
  return make(*std::move(input), appID, kHashedPhone, prefixBitLength, kPhoneUseCase);
}

std::optional<std::string> ODCPrivateSetMembershipClient::serializedRequestAsWebsafeBase64() {
  if (!serializedBlindersRequest_.empty()) return serializedBlindersRequest_;
  auto request = blindersClient_->CreateRequest(blindersUseCase_);
  if (!request.ok()) return std::nullopt;
  serializedBlindersRequest_ = webSafeBase64(APMSerializationUtil::SerializePSMRequest(*request));
  return serializedBlindersRequest_;
}

std::optional<std::string> ODCPrivateSetMembershipClient::payloadWithPSMRequest() {
  std::optional<std::string> request = serializedRequestAsWebsafeBase64();
  if (!request || request->empty()) return std::nullopt;
  platform::Value body{platform::Value::Dictionary{}};
  body["psm_request"] = *request;
  auto data = platform::JSONSerialization::dataWithJSONObject(body);
  if (!data.ok()) return std::nullopt;
  return *std::move(data);
}

std::string ODCPrivateSetMembershipClient::PSMRequestURLWithRetryCount(int32_t retryCount) {
  return ODCServiceHost::baseURL() + kRequestPath +
         "?version=1.1&retry_count=" + std::to_string(retryCount);
}

std::optional<std::string> ODCPrivateSetMembershipClient::parsedPSMValueFromResponse(
    std::optional<std::string_view> body) {
  if (!body || body->empty()) return std::nullopt;
  platform::JSONReadingOptions options;
  options.fragmentsAllowed = true;
  auto json = platform::JSONSerialization::JSONObjectWithData(*body, options);
  if (!json.ok()) return std::nullopt;
  const platform::Value::Dictionary* object = json->asDictionary();
  if (object == nullptr || object->empty()) return std::nullopt;
  const platform::Value* encoded = json->find("psm_response");
  if (encoded == nullptr || !encoded->isString()) return std::nullopt;
  // Text that does not decode reads as no bytes: an empty response, hence no match.
  std::string bytes;
  if (!absl::WebSafeBase64Unescape(*encoded->asString(), &bytes)) bytes.clear();
  auto response = APMSerializationUtil::DeserializePSMResponse(bytes);
  if (!response.ok()) return std::nullopt;
  auto results = blindersClient_->ProcessResponse(*response);
  if (!results.ok()) return std::nullopt;
  for (const pm::PrivateMembershipBlindersResult& result : *results) {
    if (result.is_member && !result.value.empty()) return webSafeBase64(result.value);
  }
  return std::nullopt;
}

std::optional<std::string> ODCPrivateSetMembershipClient::debugKey() const {
  if (PSMInput_.empty()) return std::nullopt;
  return webSafeBase64(PSMInput_ + PSMInput_);
}

using Client = APMPrivateSetMembershipClientClass::Client;

Client ODCPrivateSetMembershipClientClass::initWithEmailAddress(std::string_view email,
                                                                std::string_view appID) const {
  return ODCPrivateSetMembershipClient::initWithEmailAddress(email, appID);
}
Client ODCPrivateSetMembershipClientClass::initWithEmailAddress(std::string_view email,
                                                                std::string_view appID,
                                                                int32_t prefixBitLength) const {
  return ODCPrivateSetMembershipClient::initWithEmailAddress(email, appID, prefixBitLength);
}
Client ODCPrivateSetMembershipClientClass::initWithPhoneNumber(std::string_view phone,
                                                               std::string_view appID) const {
  return ODCPrivateSetMembershipClient::initWithPhoneNumber(phone, appID);
}
Client ODCPrivateSetMembershipClientClass::initWithPhoneNumber(std::string_view phone,
                                                               std::string_view appID,
                                                               int32_t prefixBitLength) const {
  return ODCPrivateSetMembershipClient::initWithPhoneNumber(phone, appID, prefixBitLength);
}
Client ODCPrivateSetMembershipClientClass::initWithHashedEmailAddress(
    std::string_view digest, std::string_view appID, int32_t prefixBitLength) const {
  return ODCPrivateSetMembershipClient::initWithHashedEmailAddress(digest, appID, prefixBitLength);
}
Client ODCPrivateSetMembershipClientClass::initWithHashedPhoneNumber(
    std::string_view digest, std::string_view appID, int32_t prefixBitLength) const {
  return ODCPrivateSetMembershipClient::initWithHashedPhoneNumber(digest, appID, prefixBitLength);
}
