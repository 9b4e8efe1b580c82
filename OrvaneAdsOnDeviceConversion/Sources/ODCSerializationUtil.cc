#include "OrvaneAdsOnDeviceConversion/Sources/ODCSerializationUtil.h"

#include "AppMeasurement/messages/NANO.h"
#include "absl/status/status.h"
#include "proto/psm.nano.h"

absl::StatusOr<std::pair<int64_t, int32_t>> ODCSerializationUtil::parseUnencryptedMetadata(
    std::string_view bytes) {
  using M = PSMOdmResponseUnencryptedMetadata;
  auto message = M::initWithBuffer(bytes);
  if (!message)
    return absl::InvalidArgumentError("Failed to deserialize the unencrypted Metadata.");
  return std::pair<int64_t, int32_t>{NANOGetInt64(*message, M::kRank),
                                     NANOGetInt32(*message, M::kKind)};
}

std::optional<std::string> ODCSerializationUtil::serializeMVs(
    const std::vector<std::string>& values) {
  PSMMVs message;
  if (!values.empty()) {
    std::vector<NANOObject> items;
    items.reserve(values.size());
    for (const std::string& value : values) items.emplace_back(NANOData{value});
    NANOSetArray(message, PSMMVs::kOdm2Values, items);
  }
  return message.protoBuffer();
}
