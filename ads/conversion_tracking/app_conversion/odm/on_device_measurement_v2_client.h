#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "absl/status/statusor.h"
#include "privacy/private_membership/blinders/client/private_membership_blinders_mini_client.h"

namespace ads::conversion_tracking::app_conversion::odm {

// The second-generation conversion query: one identifier made from the server's matching
// configuration (the decoded matching id, bound to the date bucket and the bundle id), asked
// with use case 35, and the answer reduced to one value per value key (highest rank; on equal
// ranks a kind-1 value beats a kind-2 one). Not synchronised: one caller at a time.
class OnDeviceMeasurementV2Client {
 public:
  static constexpr uint32_t kUseCase = 35;

  // Bytes -> {rank, kind}.
  using MetadataParser =
      std::function<absl::StatusOr<std::pair<int64_t, int32_t>>(std::string_view metadata)>;

  // Invalid argument "matching_id_unescape_error" when the matching id is not web-safe
  // Base64; the mini client's errors unchanged.
  static absl::StatusOr<std::unique_ptr<OnDeviceMeasurementV2Client>> Create(
      std::string_view matching_id, std::string_view bucketed_date, std::string_view bundle_id,
      int32_t prefix_length, MetadataParser metadata_parser);

  virtual ~OnDeviceMeasurementV2Client() = default;

  absl::StatusOr<private_membership::blinders::PrivateMembershipBlindersRequest> CreateRequest();

  // The selected values of the member entries; order within an entry is not promised.
  absl::StatusOr<std::vector<std::string>> ProcessResponse(
      const private_membership::blinders::PrivateMembershipBlindersResponse& response);

 private:
  OnDeviceMeasurementV2Client(
      std::unique_ptr<private_membership::blinders::PrivateMembershipBlindersMiniClient> client,
      MetadataParser metadata_parser);

  std::unique_ptr<private_membership::blinders::PrivateMembershipBlindersMiniClient> client_;
  MetadataParser metadata_parser_;
};

}  // namespace ads::conversion_tracking::app_conversion::odm
