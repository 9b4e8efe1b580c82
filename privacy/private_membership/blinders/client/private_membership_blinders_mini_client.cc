#include "privacy/private_membership/blinders/client/private_membership_blinders_mini_client.h"

#include <openssl/nid.h>

#include <algorithm>
#include <utility>

#include "absl/container/flat_hash_set.h"
#include "absl/status/status.h"
#include "privacy/private_membership/common/crypto_utils.h"

namespace private_membership::blinders {

namespace {

constexpr int kCurveId = NID_X9_62_prime256v1;
constexpr int32_t kHashToCurveType = ::blinders::ECCommutativeCipher::SHA256;
constexpr int kDummyBytes = 32;
// The pairs one response may carry when its request had fewer entries: room for a server that
// answers an entry more than once, while the decryptions they cost (a scalar multiplication
// each) stay within about a second.
constexpr size_t kMaxResponsePairs = 1000;

// Whether `count` distinct buckets exist at `bit_length` bits. At 31 bits and more every
// int32 count fits: 2^bit_length exceeds the int32 range.
bool MaxCountFits(int32_t count, int32_t bit_length) {
  if (bit_length >= 31) return true;
  return int64_t{count} <= (int64_t{1} << bit_length);
}

// Whether the bucket's encrypted id is the leading part of the key.
bool MatchesKey(const std::string& encrypted_id, const std::string& key) {
  return encrypted_id.size() <= key.size() &&
         key.compare(0, encrypted_id.size(), encrypted_id) == 0;
}

}  // namespace

absl::StatusOr<std::unique_ptr<PrivateMembershipBlindersMiniClient>>
PrivateMembershipBlindersMiniClient::Create(std::vector<IdentifierEntry> identifier_entries,
                                            const PrivateMembershipBlindersParameters& parameters) {
  if (parameters.hashed_non_sensitive_id_prefix_bit_length < 0) {
    return absl::InvalidArgumentError(
        "hashed_non_sensitive_id_prefix_bit_length must be non-negative.");
  }
  if (parameters.hash_type != kBucketHashTypeSha256 &&
      parameters.hash_type != kBucketHashTypeSha256Alternate) {
    return absl::InvalidArgumentError("Hash Type must be declared.");
  }
  if (!MaxCountFits(parameters.max_hash_prefixes_count,
                    parameters.hashed_non_sensitive_id_prefix_bit_length)) {
    return absl::InvalidArgumentError(
        "Max hash prefixes count must be less than or equal to "
        "2^hashed_non_sensitive_id_prefix_bit_length.");
  }
  auto cipher = ::blinders::ECCommutativeCipher::CreateWithRandomKey(kCurveId, kHashToCurveType);
  if (!cipher.ok()) return cipher.status();
  return std::unique_ptr<PrivateMembershipBlindersMiniClient>(
      new PrivateMembershipBlindersMiniClient(std::move(identifier_entries), parameters,
                                              std::move(*cipher)));
}

PrivateMembershipBlindersMiniClient::PrivateMembershipBlindersMiniClient(
    std::vector<IdentifierEntry> entries, const PrivateMembershipBlindersParameters& parameters,
    std::unique_ptr<::blinders::ECCommutativeCipher> cipher)
    : identifier_entries_(std::move(entries)),
      parameters_(parameters),
      cipher_(std::move(cipher)),
      context_(std::make_unique<::blinders::Context>()) {
  encrypted_id_index_.max_load_factor(1.0f);
}

absl::Status PrivateMembershipBlindersMiniClient::AddRequestEntry(
    const IdentifierEntry& entry, IndexEntry index_entry, std::vector<std::string>* buckets,
    std::vector<PrivateMembershipBlindersRequestEntry>* out) {
  auto bucket =
      ComputeHashedBucketId(entry.identifier, parameters_.hashed_non_sensitive_id_prefix_bit_length,
                            parameters_.hash_type, context_.get());
  if (!bucket.ok()) return bucket.status();
  std::string plaintext = entry.identifier + entry.extra;
  auto encrypted = cipher_->Encrypt(plaintext);
  if (!encrypted.ok()) return encrypted.status();
  encrypted_id_index_.try_emplace(*encrypted, index_entry);
  buckets->push_back(bucket->hashed_bucket_id);
  out->push_back({entry.tag, bucket->hashed_bucket_id, *std::move(encrypted)});
  return absl::OkStatus();
}

absl::StatusOr<PrivateMembershipBlindersRequest> PrivateMembershipBlindersMiniClient::CreateRequest(
    uint32_t use_case) {
  std::vector<PrivateMembershipBlindersRequestEntry> entries;
  std::vector<std::string> bucket_list;
  for (size_t i = 0; i < identifier_entries_.size(); ++i) {
    absl::Status status = AddRequestEntry(identifier_entries_[i], {static_cast<int32_t>(i), true},
                                          &bucket_list, &entries);
    if (!status.ok()) return status;
  }
  if (parameters_.max_hash_prefixes_count >= 1) {
    absl::flat_hash_set<std::string> buckets(bucket_list.begin(), bucket_list.end());
    while (buckets.size() < static_cast<size_t>(parameters_.max_hash_prefixes_count)) {
      IdentifierEntry dummy{"", context_->RandomBytes(kDummyBytes),
                            context_->RandomBytes(kDummyBytes)};
      bucket_list.clear();
      absl::Status status = AddRequestEntry(dummy, {0, false}, &bucket_list, &entries);
      if (!status.ok()) return status;
      buckets.insert(bucket_list.front());
    }
    // Sorted by ciphertext, the dummies cannot be told from the real entries by position.
    std::sort(entries.begin(), entries.end(),
              [](const auto& a, const auto& b) { return a.encrypted_id < b.encrypted_id; });
  }
  request_entry_count_ = entries.size();
  PrivateMembershipBlindersRequest request;
  request.use_case = use_case;
  request.parameters = parameters_;
  request.entries = std::move(entries);
  return request;
}

absl::StatusOr<std::vector<PrivateMembershipBlindersResult>>
PrivateMembershipBlindersMiniClient::ProcessResponse(
    const PrivateMembershipBlindersResponse& response) {
  size_t pairs = 0;
  for (const EncryptedResponse& encrypted : response.encrypted_responses) {
    pairs += encrypted.doubly_encrypted_ids.size();
  }
  // Every pair costs a decryption on the curve. An entry may be answered more than once (each
  // answer is a result of its own), so the count is not tied to the request's; it is capped
  // before any decryption, so that a flood of pairs cannot buy unbounded curve work.
  if (pairs > std::max(kMaxResponsePairs, request_entry_count_)) {
    return absl::InvalidArgumentError("Processed response does not correspond to created request.");
  }
  std::vector<PrivateMembershipBlindersResult> results;
  for (const EncryptedResponse& encrypted : response.encrypted_responses) {
    for (const DoublyEncryptedId& pair : encrypted.doubly_encrypted_ids) {
      auto reencrypted = cipher_->Decrypt(pair.doubly_encrypted_id);
      if (!reencrypted.ok()) return reencrypted.status();
      auto found = encrypted_id_index_.find(pair.encrypted_id);
      if (found == encrypted_id_index_.end()) {
        return absl::InvalidArgumentError(
            "Processed response does not correspond to created request.");
      }
      if (!found->second.real) continue;

      std::string key = ComputeEncryptedIdHash(*reencrypted, context_.get());
      const EncryptedBucket* bucket = &encrypted.first_bucket;
      if (encrypted.metadata.bin_count >= 1) {
        auto bin = ComputeBinIndex(key, encrypted.metadata.bin_count);
        if (!bin.ok()) return bin.status();
        key = *std::move(bin);
        bucket = &encrypted.second_bucket;
      }

      PrivateMembershipBlindersResult result;
      result.entry = identifier_entries_[found->second.position];
      for (size_t j = 0; j < bucket->encrypted_ids.size(); ++j) {
        if (!MatchesKey(bucket->encrypted_ids[j], key)) continue;
        result.is_member = true;
        if (j < bucket->encrypted_values.size() && !bucket->encrypted_values[j].empty()) {
          auto value = DecryptValue(*reencrypted, bucket->encrypted_values[j],
                                    encrypted.metadata.value_encryption_scheme, context_.get());
          if (!value.ok()) return value.status();
          if (result.values.empty()) result.value = *value;
          result.values.push_back(*std::move(value));
        }
        if (j < bucket->metadata.size()) result.metadata.push_back(bucket->metadata[j]);
      }
      results.push_back(std::move(result));
    }
  }
  return results;
}

}  // namespace private_membership::blinders
