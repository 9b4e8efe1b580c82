#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/runtime/RuntimeObject.h"

// The protocols through which the measurement engine drives one private-set-membership query of
// the older conversion flow. Header only: the engine includes them and finds the implementation
// by class name ("ODCPrivateSetMembershipClient") in platform::ClassRegistry, so it builds and
// runs without the library that implements them.

// One query for one user identifier. Used on one queue at a time (the engine's worker queue).
class APMPrivateSetMembershipClient {
 public:
  virtual ~APMPrivateSetMembershipClient() = default;

  // 1 e-mail address, 2 phone number, 3 hashed e-mail address, 4 hashed phone number.
  virtual int64_t inputType() const = 0;
  // The JSON request body {"psm_request": ...}; nullopt (nil) when no request can be built.
  // Built once per client: every call answers the same body.
  virtual std::optional<std::string> payloadWithPSMRequest() = 0;
  // ".../pagead/conversion/app/psm?version=1.1&retry_count=<n>" on the service host.
  virtual std::string PSMRequestURLWithRetryCount(int32_t retryCount) = 0;
  // The matched value (unpadded web-safe Base64), or nullopt (nil) when the body holds no
  // match. The body is untrusted.
  virtual std::optional<std::string> parsedPSMValueFromResponse(
      std::optional<std::string_view> body) = 0;
};

// The optional debugKey operation ("respondsToSelector" is a dynamic_cast to this).
class APMPrivateSetMembershipClientDebugKey {
 public:
  virtual ~APMPrivateSetMembershipClientDebugKey() = default;
  // Sent as "debug_psm_key" in debug runs; nullopt (nil) when there is none.
  virtual std::optional<std::string> debugKey() const = 0;
};

// The class object the registry hands out: the initialisers of a client. Each answers null
// (nil) when the identifier cannot be used. The two-argument forms use 14 prefix bits for
// e-mail addresses and 11 for phone numbers. Thread-safe.
class APMPrivateSetMembershipClientClass : public platform::RuntimeObject {
 public:
  using Client = std::shared_ptr<APMPrivateSetMembershipClient>;

  // Whether instances answer the initialiser with this selector ("initWithPhoneNumber:appID:",
  // "initWithHashedEmailAddress:appID:prefixBitLength:", ...): the engine asks before it uses
  // one, since a class of another generation may lack some. This class answers every one.
  virtual bool instancesRespondToSelector(std::string_view selector) const { return true; }

  virtual Client initWithEmailAddress(std::string_view email, std::string_view appID) const = 0;
  virtual Client initWithEmailAddress(std::string_view email, std::string_view appID,
                                      int32_t prefixBitLength) const = 0;
  virtual Client initWithPhoneNumber(std::string_view phone, std::string_view appID) const = 0;
  virtual Client initWithPhoneNumber(std::string_view phone, std::string_view appID,
                                     int32_t prefixBitLength) const = 0;
  // digest: the 32-byte SHA-256 of the canonical identifier.
  virtual Client initWithHashedEmailAddress(std::string_view digest, std::string_view appID,
                                            int32_t prefixBitLength) const = 0;
  virtual Client initWithHashedPhoneNumber(std::string_view digest, std::string_view appID,
                                           int32_t prefixBitLength) const = 0;
};
