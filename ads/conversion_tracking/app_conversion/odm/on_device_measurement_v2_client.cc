#include "ads/conversion_tracking/app_conversion/odm/on_device_measurement_v2_client.h"

#include "absl/container/flat_hash_map.h"
#include "absl/status/status.h"
#include "absl/strings/escaping.h"
#include "security/util/sha256.h"

namespace ads::conversion_tracking::app_conversion::odm {

namespace pm = private_membership::blinders;

namespace {

struct Candidate {
  std::string value;
  int64_t rank = 0;
  int32_t kind = 0;
};

bool Replaces(const Candidate& fresh, const Candidate& stored) {
  if (fresh.rank != stored.rank) return fresh.rank > stored.rank;
  return fresh.kind == 1 && stored.kind == 2;
}

}  // namespace

absl::StatusOr<std::unique_ptr<OnDeviceMeasurementV2Client>> OnDeviceMeasurementV2Client::Create(
    std::string_view matching_id, std::string_view bucketed_date, std::string_view bundle_id,
    int32_t prefix_length, MetadataParser metadata_parser) {
  std::string id;
  if (!absl::WebSafeBase64Unescape(absl::string_view(matching_id.data(), matching_id.size()),
                                   &id)) {
    return absl::InvalidArgumentError("matching_id_unescape_error");
  }
  std::string joined = id;
  joined.append(":").append(bucketed_date).append(":").append(bundle_id);
  security::SHA256 hash;
  hash.Update(joined.data(), static_cast<uint64_t>(joined.size()));
  pm::PrivateMembershipBlindersParameters parameters;
  parameters.hashed_non_sensitive_id_prefix_bit_length = prefix_length;
  parameters.hash_type = pm::kBucketHashTypeSha256Alternate;
  parameters.max_hash_prefixes_count = 0;
  auto client =
      pm::PrivateMembershipBlindersMiniClient::Create({{"", id, hash.DigestString()}}, parameters);
  if (!client.ok()) return client.status();
  return std::unique_ptr<OnDeviceMeasurementV2Client>(
      new OnDeviceMeasurementV2Client(*std::move(client), std::move(metadata_parser)));
}

OnDeviceMeasurementV2Client::OnDeviceMeasurementV2Client(
    std::unique_ptr<pm::PrivateMembershipBlindersMiniClient> client, MetadataParser metadata_parser)
    : client_(std::move(client)), metadata_parser_(std::move(metadata_parser)) {}

absl::StatusOr<pm::PrivateMembershipBlindersRequest> OnDeviceMeasurementV2Client::CreateRequest() {
  return client_->CreateRequest(kUseCase);
}

absl::StatusOr<std::vector<std::string>> OnDeviceMeasurementV2Client::ProcessResponse(
    const pm::PrivateMembershipBlindersResponse& response) {
  auto results = client_->ProcessResponse(response);
  if (!results.ok()) return results.status();
  std::vector<std::string> output;
  for (const pm::PrivateMembershipBlindersResult& result : *results) {
    if (!result.is_member || result.metadata.empty() || !metadata_parser_) continue;
    absl::flat_hash_map<std::string, Candidate> selected;
    for (size_t i = 0; i < result.values.size() && i < result.metadata.size(); ++i) {
      const auto& metadata = result.metadata[i];
      if (!metadata.value_key) break;
      auto parsed = metadata_parser_(metadata.metadata);
      if (!parsed.ok()) continue;
      Candidate candidate{result.values[i], parsed->first, parsed->second};
      auto [it, fresh] = selected.try_emplace(*metadata.value_key, candidate);
      if (!fresh && Replaces(candidate, it->second)) it->second = std::move(candidate);
    }
    for (auto& [key, candidate] : selected) output.push_back(std::move(candidate.value));
  }
  return output;
}

}  // namespace ads::conversion_tracking::app_conversion::odm
