#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "AppMeasurement/PrivateSetMembership/Sources/APMPrivateSetMembershipClient.h"
#include "privacy/private_membership/blinders/client/private_membership_blinders_mini_client.h"

// One private-set-membership query of the older conversion flow, for one user identifier.
// The identifier is normalised and bound to the app id (ODCIdentifierHashing.h); only that
// digest takes part in the query, encrypted under the mini client's key, which lives and dies
// with this object: only the object that made a request can read its answer.
//
// No lock: one queue at a time (the engine's worker queue). The request is built once, on first
// use, and reused by every later call.
class ODCPrivateSetMembershipClient final : public APMPrivateSetMembershipClient,
                                            public APMPrivateSetMembershipClientDebugKey {
 public:
  static constexpr int32_t kEmailPrefixBitLength = 14;
  static constexpr int32_t kPhonePrefixBitLength = 11;
  static constexpr uint32_t kEmailUseCase = 3;
  static constexpr uint32_t kPhoneUseCase = 7;
  static constexpr const char* kRequestPath = "/pagead/conversion/app/psm";

  // nullptr (nil) for an empty identifier or one that does not normalise, or a mini client
  // that cannot be made (a negative prefix bit length).
  static std::unique_ptr<ODCPrivateSetMembershipClient> initWithEmailAddress(
      std::string_view email, std::string_view appID,
      int32_t prefixBitLength = kEmailPrefixBitLength);
  static std::unique_ptr<ODCPrivateSetMembershipClient> initWithPhoneNumber(
      std::string_view phone, std::string_view appID,
      int32_t prefixBitLength = kPhonePrefixBitLength);
  // digest: SHA-256 of the canonical identifier (32 bytes; shorter ones give nullptr, as do an
  // empty digest and an empty app id).
  static std::unique_ptr<ODCPrivateSetMembershipClient> initWithHashedEmailAddress(
      std::string_view digest, std::string_view appID, int32_t prefixBitLength);
  static std::unique_ptr<ODCPrivateSetMembershipClient> initWithHashedPhoneNumber(
      std::string_view digest, std::string_view appID, int32_t prefixBitLength);

  int64_t inputType() const override { return inputType_; }
  int32_t prefixBitLength() const { return prefixBitLength_; }

  // The serialised request in unpadded web-safe Base64; nullopt when it cannot be made.
  std::optional<std::string> serializedRequestAsWebsafeBase64();
  std::optional<std::string> payloadWithPSMRequest() override;
  std::string PSMRequestURLWithRetryCount(int32_t retryCount) override;
  std::optional<std::string> parsedPSMValueFromResponse(
      std::optional<std::string_view> body) override;
  // The app-bound digest twice, unpadded web-safe Base64 (86 characters).
  std::optional<std::string> debugKey() const override;

 private:
  ODCPrivateSetMembershipClient() = default;

  static std::unique_ptr<ODCPrivateSetMembershipClient> make(std::string psmInput,
                                                             std::string_view appID,
                                                             int64_t inputType,
                                                             int32_t prefixBitLength,
                                                             uint32_t useCase);

  std::unique_ptr<private_membership::blinders::PrivateMembershipBlindersMiniClient>
      blindersClient_;
  uint32_t blindersUseCase_ = 0;
  std::string serializedBlindersRequest_;
  std::string PSMInput_;
  std::string appID_;
  int64_t inputType_ = 0;
  int32_t prefixBitLength_ = 0;
};

// The class object registered as "ODCPrivateSetMembershipClient".
class ODCPrivateSetMembershipClientClass final : public APMPrivateSetMembershipClientClass {
 public:
  Client initWithEmailAddress(std::string_view email, std::string_view appID) const override;
  Client initWithEmailAddress(std::string_view email, std::string_view appID,
                              int32_t prefixBitLength) const override;
  Client initWithPhoneNumber(std::string_view phone, std::string_view appID) const override;
  Client initWithPhoneNumber(std::string_view phone, std::string_view appID,
                             int32_t prefixBitLength) const override;
  Client initWithHashedEmailAddress(std::string_view digest, std::string_view appID,
                                    int32_t prefixBitLength) const override;
  Client initWithHashedPhoneNumber(std::string_view digest, std::string_view appID,
                                   int32_t prefixBitLength) const override;
};
