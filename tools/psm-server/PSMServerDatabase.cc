#include "tools/psm-server/PSMServerDatabase.h"

#include <openssl/nid.h>

#include <map>
#include <utility>

#include "AppMeasurement/PrivateSetMembership/Sources/NANOBytes.h"
#include "AppMeasurement/messages/NANO.h"
#include "absl/status/status.h"
#include "privacy/private_membership/blinders/shared/hashed_bucket_id.h"
#include "privacy/private_membership/common/crypto_utils.h"
#include "proto/psm.nano.h"

namespace pm = private_membership::blinders;

PSMServerDatabase::PSMServerDatabase(int32_t scheme, int32_t binCount, MembersForTag members,
                                     std::unique_ptr<::blinders::ECCommutativeCipher> cipher)
    : scheme_(scheme),
      binCount_(binCount),
      members_(std::move(members)),
      cipher_(std::move(cipher)) {}

absl::StatusOr<std::unique_ptr<PSMServerDatabase>> PSMServerDatabase::Create(
    int32_t scheme, int32_t binCount, MembersForTag members) {
  if (scheme != private_membership::kAesCtr256WithFixedIvScheme &&
      scheme != private_membership::kAesCtr256NoAuthScheme) {
    return absl::InvalidArgumentError("scheme must be 1 or 2");
  }
  if (binCount < 0 || (binCount & (binCount - 1)) != 0) {
    return absl::InvalidArgumentError("bin count must be 0 or a power of two");
  }
  auto cipher = ::blinders::ECCommutativeCipher::CreateWithRandomKey(
      NID_X9_62_prime256v1, ::blinders::ECCommutativeCipher::SHA256);
  if (!cipher.ok()) return cipher.status();
  return std::unique_ptr<PSMServerDatabase>(
      new PSMServerDatabase(scheme, binCount, std::move(members), *std::move(cipher)));
}

absl::StatusOr<std::string> PSMServerDatabase::ReEncrypt(std::string_view ciphertext) {
  std::lock_guard<std::mutex> lock(mutex_);
  return cipher_->ReEncrypt(ciphertext);
}

absl::StatusOr<std::string> PSMServerDatabase::EncryptMember(const Member& member) {
  std::string plaintext = member.identifier + member.extra;
  auto cached = encrypted_.find(plaintext);
  if (cached != encrypted_.end()) return cached->second;
  auto encrypted = cipher_->Encrypt(plaintext);
  if (!encrypted.ok()) return encrypted.status();
  encrypted_.emplace(std::move(plaintext), *encrypted);
  return encrypted;
}

absl::StatusOr<std::string> PSMServerDatabase::EncryptValue(std::string_view memberCiphertext,
                                                            std::string_view value) {
  auto key = private_membership::DeriveValueEncryptionKey(memberCiphertext, &context_);
  if (!key.ok()) return key.status();
  auto cipher = private_membership::CreateValueCipher(scheme_, *key);
  if (!cipher.ok()) return cipher.status();
  std::string plaintext(value);
  if (scheme_ == private_membership::kAesCtr256WithFixedIvScheme) {
    // Scheme 1 carries a 4-byte little-endian length in front of the value.
    const auto length = static_cast<uint32_t>(value.size());
    std::string prefix(4, '\0');
    for (int i = 0; i < 4; ++i) prefix[i] = static_cast<char>((length >> (8 * i)) & 0xFF);
    plaintext = prefix + plaintext;
  }
  return (*cipher)->Encrypt(plaintext);
}

absl::StatusOr<pm::PrivateMembershipBlindersResponse> PSMServerDatabase::Answer(
    const pm::PrivateMembershipBlindersRequest& request) {
  if (request.entries.size() > kMaxRequestEntries) {
    return absl::InvalidArgumentError("too many request entries");
  }
  const int32_t bits = request.parameters.hashed_non_sensitive_id_prefix_bit_length;
  const int32_t hashType = request.parameters.hash_type;
  std::lock_guard<std::mutex> lock(mutex_);
  pm::PrivateMembershipBlindersResponse response;
  for (const pm::PrivateMembershipBlindersRequestEntry& entry : request.entries) {
    // The set as this tag sees it, by bucket; members_ answers the same for the same tag.
    auto [tagged, fresh] = buckets_.try_emplace({entry.tag, bits, hashType});
    if (fresh && members_) {
      for (Member& member : members_(entry.tag)) {
        auto bucket = pm::ComputeHashedBucketId(member.identifier, bits, hashType, &context_);
        if (!bucket.ok()) {
          buckets_.erase(tagged);
          return bucket.status();
        }
        tagged->second.emplace(bucket->hashed_bucket_id, std::move(member));
      }
    }
    pm::EncryptedResponse encrypted;
    auto doubly = cipher_->ReEncrypt(entry.encrypted_id);
    if (!doubly.ok()) return doubly.status();
    encrypted.doubly_encrypted_ids.push_back({entry.encrypted_id, *std::move(doubly)});
    encrypted.metadata.bin_count = binCount_;
    encrypted.metadata.value_encryption_scheme = scheme_;
    pm::EncryptedBucket& bucket = binCount_ > 0 ? encrypted.second_bucket : encrypted.first_bucket;
    auto [first, last] = tagged->second.equal_range(entry.hashed_bucket_id);
    for (auto it = first; it != last; ++it) {
      const Member& member = it->second;
      auto memberCiphertext = EncryptMember(member);
      if (!memberCiphertext.ok()) return memberCiphertext.status();
      std::string id = private_membership::ComputeEncryptedIdHash(*memberCiphertext, &context_);
      if (binCount_ > 0) {
        auto bin = private_membership::ComputeBinIndex(id, binCount_);
        if (!bin.ok()) return bin.status();
        id = *std::move(bin);
      }
      if (member.values.empty()) {
        bucket.encrypted_ids.push_back(id);
        bucket.encrypted_values.emplace_back();
        continue;
      }
      for (const StoredValue& value : member.values) {
        auto encryptedValue = EncryptValue(*memberCiphertext, value.value);
        if (!encryptedValue.ok()) return encryptedValue.status();
        bucket.encrypted_ids.push_back(id);
        bucket.encrypted_values.push_back(*std::move(encryptedValue));
        bucket.metadata.push_back({value.metadata.value_or(""), value.valueKey, std::nullopt});
      }
    }
    response.encrypted_responses.push_back(std::move(encrypted));
  }
  return response;
}

absl::StatusOr<std::string> PSMServerDatabase::AnswerSerialized(std::string_view requestBytes) {
  auto request = PSMServerDeserializeRequest(requestBytes);
  if (!request.ok()) return request.status();
  auto response = Answer(*request);
  if (!response.ok()) return response.status();
  return PSMServerSerializeResponse(*response);
}

absl::StatusOr<pm::PrivateMembershipBlindersRequest> PSMServerDeserializeRequest(
    std::string_view bytes) {
  using R = PSMPrivateMembershipBlindersRequest;
  using P = PSMPrivateMembershipBlindersParameters;
  using E = PSMEncryptedRequest;
  auto message = R::initWithBuffer(bytes);
  if (!message) return absl::InvalidArgumentError("request does not decode");
  pm::PrivateMembershipBlindersRequest request;
  request.use_case = static_cast<uint32_t>(NANOGetInt32(*message, R::kUseCase));
  if (auto parameters = NANOViewMessage<P>(*message, R::kParameters)) {
    request.parameters.hashed_non_sensitive_id_prefix_bit_length =
        NANOGetInt32(*parameters, P::kPrefixBitLength);
    request.parameters.hash_type = NANOGetInt32(*parameters, P::kHashType);
  }
  if (auto entries = NANOViewMessageArray<E>(*message, R::kEncryptedRequest)) {
    if (entries->size() > PSMServerDatabase::kMaxRequestEntries) {
      return absl::InvalidArgumentError("too many request entries");
    }
    for (const NANOMessageView& entry : *entries) {
      request.entries.push_back({NANOGetBytes(entry, E::kTag).value_or(""),
                                 NANOGetBytes(entry, E::kHashedBucketId).value_or(""),
                                 NANOGetBytes(entry, E::kEncryptedId).value_or("")});
    }
  }
  return request;
}

namespace {

void setBytesList(NANOMessageBase& message, uint32_t slot, const std::vector<std::string>& list) {
  std::vector<NANOObject> items;
  items.reserve(list.size());
  for (const std::string& bytes : list) items.emplace_back(NANOData{bytes});
  NANOSetArray(message, slot, items);
}

PSMEncryptedBucket bucketMessage(const pm::EncryptedBucket& bucket) {
  using B = PSMEncryptedBucket;
  using M = PSMPrivateMembershipBlindersIdValuePairMetadata;
  B message;
  setBytesList(message, B::kEncryptedId, bucket.encrypted_ids);
  setBytesList(message, B::kEncryptedValue, bucket.encrypted_values);
  std::vector<M> metadata;
  for (const auto& item : bucket.metadata) {
    M& record = metadata.emplace_back();
    if (!item.metadata.empty()) NANOSetBytes(record, M::kMetadata, item.metadata);
    if (item.value_key) NANOSetBytes(record, M::kValueKey, *item.value_key);
  }
  if (!metadata.empty()) NANOSetMessageArray(message, B::kMetadata, metadata);
  return message;
}

}  // namespace

std::string PSMServerSerializeResponse(const pm::PrivateMembershipBlindersResponse& response) {
  using ER = PSMEncryptedResponse;
  using D = PSMDoublyEncryptedId;
  using MD = PSMEncryptedResponseMetadata;
  std::vector<ER> elements;
  for (const pm::EncryptedResponse& encrypted : response.encrypted_responses) {
    ER& element = elements.emplace_back();
    std::vector<D> pairs;
    for (const pm::DoublyEncryptedId& pair : encrypted.doubly_encrypted_ids) {
      D& message = pairs.emplace_back();
      NANOSetBytes(message, D::kEncryptedId, pair.encrypted_id);
      NANOSetBytes(message, D::kDoublyEncryptedId, pair.doubly_encrypted_id);
    }
    if (!pairs.empty()) NANOSetMessageArray(element, ER::kDoublyEncryptedId, pairs);
    if (!encrypted.first_bucket.encrypted_ids.empty()) {
      NANOSetMessage(element, ER::kFirstBucket, bucketMessage(encrypted.first_bucket));
    }
    if (!encrypted.second_bucket.encrypted_ids.empty()) {
      NANOSetMessage(element, ER::kSecondBucket, bucketMessage(encrypted.second_bucket));
    }
    MD metadata;
    if (encrypted.metadata.bin_count != 0) {
      NANOSetInt32(metadata, MD::kBinCount, encrypted.metadata.bin_count);
    }
    NANOSetInt32(metadata, MD::kValueEncryptionScheme, encrypted.metadata.value_encryption_scheme);
    NANOSetMessage(element, ER::kResponseMetadata, metadata);
  }
  PSMPrivateMembershipBlindersResponse message;
  if (!elements.empty()) {
    NANOSetMessageArray(message, PSMPrivateMembershipBlindersResponse::kEncryptedResponse,
                        elements);
  }
  return message.protoBuffer().value_or("");
}
