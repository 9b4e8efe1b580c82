#pragma once

#include <string>
#include <string_view>

#include "absl/status/statusor.h"
#include "privacy/private_membership/blinders/client/private_membership_blinders_mini_client.h"

// Converts between the mini client's records and the PSM wire messages. Stateless; any thread.
class APMSerializationUtil {
 public:
  // The encoded "PrivateMembershipBlindersRequest". Defaults stay absent (0, empty bytes, empty
  // lists), except the parameters, which are always written (an empty sub-message when both
  // values are 0). The max hash-prefixes count and the text are never sent. Empty bytes when
  // encoding fails.
  static std::string SerializePSMRequest(
      const private_membership::blinders::PrivateMembershipBlindersRequest& request);

  // The response record of an encoded "PrivateMembershipBlindersResponse". Absent buckets give
  // empty lists; an absent metadata message gives bin count 0 and scheme 1, a present one reads
  // its absent fields as 0; every value metadata record has its value key set. Bytes that do
  // not decode give internal "Failed to deserialize PSM Response.".
  static absl::StatusOr<private_membership::blinders::PrivateMembershipBlindersResponse>
  DeserializePSMResponse(std::string_view bytes);
};
