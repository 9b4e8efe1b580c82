#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "absl/status/statusor.h"
#include "privacy/blinders/cpp/crypto/context.h"
#include "privacy/blinders/cpp/public/ec_commutative_cipher.h"
#include "privacy/private_membership/blinders/shared/crypto_utils.h"
#include "privacy/private_membership/blinders/shared/hashed_bucket_id.h"

namespace private_membership::blinders {

// The query's bucket parameters: prefix length in bits, bucket hash type (1 or 2) and the
// number of distinct buckets the request is filled up to with dummy entries (0: none).
struct PrivateMembershipBlindersParameters {
  int32_t hashed_non_sensitive_id_prefix_bit_length = 0;
  int32_t hash_type = 0;
  int32_t max_hash_prefixes_count = 0;
};

// One identifier of the request as sent: the entry's tag, its bucket and its encryption.
struct PrivateMembershipBlindersRequestEntry {
  std::string tag;
  std::string hashed_bucket_id;
  std::string encrypted_id;
};

struct PrivateMembershipBlindersRequest {
  uint32_t use_case = 0;
  std::string text;  // never filled here
  int32_t number = 0;
  PrivateMembershipBlindersParameters parameters;
  std::vector<PrivateMembershipBlindersRequestEntry> entries;
};

// What the server stored beside a value: opaque bytes and an optional value key.
struct PrivateMembershipBlindersIdValuePairMetadata {
  std::string metadata;
  std::optional<std::string> value_key;
  std::optional<std::string> extra;  // never read here
};

// Three parallel lists; a list shorter than encrypted_ids counts its missing items as absent.
struct EncryptedBucket {
  std::vector<std::string> encrypted_ids;
  std::vector<std::string> encrypted_values;
  std::vector<PrivateMembershipBlindersIdValuePairMetadata> metadata;
};

struct DoublyEncryptedId {
  std::string encrypted_id;         // echoed from the request
  std::string doubly_encrypted_id;  // under both keys
};

struct EncryptedResponseMetadata {
  int32_t bin_count = 0;
  int32_t value_encryption_scheme = 1;
};

struct EncryptedResponse {
  std::vector<DoublyEncryptedId> doubly_encrypted_ids;
  EncryptedBucket first_bucket;
  EncryptedBucket second_bucket;
  int32_t number = 0;  // never read here
  EncryptedResponseMetadata metadata;
};

struct PrivateMembershipBlindersResponse {
  std::vector<EncryptedResponse> encrypted_responses;
};

// What the answer says of one identifier of the request.
struct PrivateMembershipBlindersResult {
  IdentifierEntry entry;
  bool is_member = false;
  std::string value;                // the first decrypted value
  std::vector<std::string> values;  // every decrypted value, in bucket order
  std::vector<PrivateMembershipBlindersIdValuePairMetadata> metadata;
};

// The client half of a private-set-membership query over a commutative elliptic-curve cipher
// (P-256). The request discloses of each identifier only its bucket (a short hash prefix) and
// its encryption under a key that never leaves this object; the server's answer tells, per
// identifier, whether it is in the server's set and the values stored with it.
//
// Not synchronised: one caller at a time. ProcessResponse is meaningful only after
// CreateRequest on the same object (the key and the index of encrypted ids live here).
//
// Server answers are untrusted: malformed points, unknown schemes, bad bin counts or unequal
// lists give an invalid-argument status (or the crypto layer's). An entry answered twice gives
// two results; an answer with more doubly-encrypted ids than 1000 or the request's entry
// count, whichever is larger, is refused before any decryption, which bounds the
// elliptic-curve work an answer can cause.
class PrivateMembershipBlindersMiniClient {
 public:
  // A client for the entries (copied, caller's order kept) with a fresh random key.
  static absl::StatusOr<std::unique_ptr<PrivateMembershipBlindersMiniClient>> Create(
      std::vector<IdentifierEntry> identifier_entries,
      const PrivateMembershipBlindersParameters& parameters);

  PrivateMembershipBlindersMiniClient(const PrivateMembershipBlindersMiniClient&) = delete;
  PrivateMembershipBlindersMiniClient& operator=(const PrivateMembershipBlindersMiniClient&) =
      delete;

  // The request for the use case; fills the index of encrypted ids.
  absl::StatusOr<PrivateMembershipBlindersRequest> CreateRequest(uint32_t use_case);

  // One result per doubly-encrypted id of a real entry, in response order (an entry answered
  // twice has two).
  absl::StatusOr<std::vector<PrivateMembershipBlindersResult>> ProcessResponse(
      const PrivateMembershipBlindersResponse& response);

 private:
  struct IndexEntry {
    int32_t position = 0;
    bool real = false;
  };

  PrivateMembershipBlindersMiniClient(std::vector<IdentifierEntry> entries,
                                      const PrivateMembershipBlindersParameters& parameters,
                                      std::unique_ptr<::blinders::ECCommutativeCipher> cipher);

  // Bucket and encryption of one entry, recorded in the index and the request.
  absl::Status AddRequestEntry(const IdentifierEntry& entry, IndexEntry index_entry,
                               std::vector<std::string>* buckets,
                               std::vector<PrivateMembershipBlindersRequestEntry>* out);

  std::vector<IdentifierEntry> identifier_entries_;
  absl::flat_hash_map<std::string, IndexEntry> encrypted_id_index_;
  size_t request_entry_count_ = 0;
  PrivateMembershipBlindersParameters parameters_;
  std::unique_ptr<::blinders::ECCommutativeCipher> cipher_;
  std::unique_ptr<::blinders::Context> context_;
};

}  // namespace private_membership::blinders
