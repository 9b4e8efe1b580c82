#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <tuple>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "absl/status/statusor.h"
#include "privacy/blinders/cpp/crypto/context.h"
#include "privacy/blinders/cpp/public/ec_commutative_cipher.h"
#include "privacy/private_membership/blinders/client/private_membership_blinders_mini_client.h"

// The server half of a private-set-membership query, for our own psm-server, the tests and the
// benchmark. It holds its own commutative key: each encrypted id of a request is re-encrypted
// under it, and each bucket lists, for the members of that bucket, the hash of their encryption
// under the key (or its bin index in bin mode) beside their values encrypted under the key
// derived from that encryption.
//
// Thread-safe (one lock around the cipher and its cache).
class PSMServerDatabase {
 public:
  struct StoredValue {
    std::string value;
    std::optional<std::string> metadata;  // bytes sent beside the value
    std::optional<std::string> valueKey;
  };
  // A member of the set: what the client hashes into a bucket (identifier) and encrypts
  // (identifier followed by extra), with the values it answers.
  struct Member {
    std::string identifier;
    std::string extra;
    std::vector<StoredValue> values;
  };
  // The members as the request's entry tag (the older flow's app id) sees them.
  using MembersForTag = std::function<std::vector<Member>(const std::string& tag)>;

  // Requests with more entries than this are refused (each costs an elliptic-curve operation).
  static constexpr size_t kMaxRequestEntries = 10000;

  // scheme: 1 or 2; binCount 0 answers in the first bucket, a power of two in the second.
  static absl::StatusOr<std::unique_ptr<PSMServerDatabase>> Create(int32_t scheme, int32_t binCount,
                                                                   MembersForTag members);

  // One encrypted response per request entry, in request order.
  absl::StatusOr<private_membership::blinders::PrivateMembershipBlindersResponse> Answer(
      const private_membership::blinders::PrivateMembershipBlindersRequest& request);
  // The same from and to wire bytes.
  absl::StatusOr<std::string> AnswerSerialized(std::string_view requestBytes);

  // Adds the server's layer to a client's ciphertext.
  absl::StatusOr<std::string> ReEncrypt(std::string_view ciphertext);

 private:
  PSMServerDatabase(int32_t scheme, int32_t binCount, MembersForTag members,
                    std::unique_ptr<::blinders::ECCommutativeCipher> cipher);
  // The member's plaintext under the server key (cached; the key never changes).
  absl::StatusOr<std::string> EncryptMember(const Member& member);
  absl::StatusOr<std::string> EncryptValue(std::string_view memberCiphertext,
                                           std::string_view value);

  const int32_t scheme_;
  const int32_t binCount_;
  const MembersForTag members_;
  std::mutex mutex_;
  std::unique_ptr<::blinders::ECCommutativeCipher> cipher_;  // guarded by mutex_
  ::blinders::Context context_;                              // guarded by mutex_
  std::unordered_map<std::string, std::string> encrypted_;   // guarded by mutex_
  // Members by bucket, per (tag, prefix bits, hash type) as requests ask; guarded by mutex_.
  std::map<std::tuple<std::string, int32_t, int32_t>, std::multimap<std::string, Member>> buckets_;
};

// Server-side conversions of the PSM wire messages (the mirror of APMSerializationUtil).
absl::StatusOr<private_membership::blinders::PrivateMembershipBlindersRequest>
PSMServerDeserializeRequest(std::string_view bytes);
std::string PSMServerSerializeResponse(
    const private_membership::blinders::PrivateMembershipBlindersResponse& response);
