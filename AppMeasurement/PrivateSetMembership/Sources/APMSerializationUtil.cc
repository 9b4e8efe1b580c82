#include "AppMeasurement/PrivateSetMembership/Sources/APMSerializationUtil.h"

#include <optional>
#include <utility>
#include <vector>

#include "AppMeasurement/PrivateSetMembership/Sources/NANOBytes.h"
#include "AppMeasurement/messages/NANO.h"
#include "absl/status/status.h"
#include "proto/psm.nano.h"

namespace pm = private_membership::blinders;

namespace {

void setInt32IfSet(NANOMessageBase& message, uint32_t slot, int32_t value) {
  if (value != 0) NANOSetInt32(message, slot, value);
}

void setBytesIfSet(NANOMessageBase& message, uint32_t slot, const std::string& value) {
  if (!value.empty()) NANOSetBytes(message, slot, value);
}

std::vector<std::string> bytesList(const NANOMessageBase& message, uint32_t slot) {
  std::vector<std::string> list;
  if (auto items = NANOGetArray(message, slot)) {
    list.reserve(items->size());
    for (NANOObject& item : *items) {
      if (auto* data = std::get_if<NANOData>(&item)) list.push_back(std::move(data->bytes));
    }
  }
  return list;
}

pm::EncryptedBucket bucketFrom(const NANOMessageBase& message) {
  pm::EncryptedBucket bucket;
  bucket.encrypted_ids = bytesList(message, PSMEncryptedBucket::kEncryptedId);
  bucket.encrypted_values = bytesList(message, PSMEncryptedBucket::kEncryptedValue);
  auto metadata = NANOViewMessageArray<PSMPrivateMembershipBlindersIdValuePairMetadata>(
      message, PSMEncryptedBucket::kMetadata);
  if (metadata) {
    for (const NANOMessageView& item : *metadata) {
      using M = PSMPrivateMembershipBlindersIdValuePairMetadata;
      bucket.metadata.push_back({NANOGetBytes(item, M::kMetadata).value_or(""),
                                 NANOGetBytes(item, M::kValueKey).value_or(""), std::nullopt});
    }
  }
  return bucket;
}

}  // namespace

std::string APMSerializationUtil::SerializePSMRequest(
    const pm::PrivateMembershipBlindersRequest& request) {
  using R = PSMPrivateMembershipBlindersRequest;
  using P = PSMPrivateMembershipBlindersParameters;
  using E = PSMEncryptedRequest;
  R message;
  setInt32IfSet(message, R::kUseCase, static_cast<int32_t>(request.use_case));
  if (request.number != 0) NANOSetInt64(message, R::kRequestInt64, request.number);
  P parameters;
  setInt32IfSet(parameters, P::kPrefixBitLength,
                request.parameters.hashed_non_sensitive_id_prefix_bit_length);
  setInt32IfSet(parameters, P::kHashType, request.parameters.hash_type);
  NANOSetMessage(message, R::kParameters, parameters);
  std::vector<E> entries;
  entries.reserve(request.entries.size());
  for (const pm::PrivateMembershipBlindersRequestEntry& entry : request.entries) {
    E& element = entries.emplace_back();
    setBytesIfSet(element, E::kTag, entry.tag);
    setBytesIfSet(element, E::kHashedBucketId, entry.hashed_bucket_id);
    setBytesIfSet(element, E::kEncryptedId, entry.encrypted_id);
  }
  if (!entries.empty()) NANOSetMessageArray(message, R::kEncryptedRequest, entries);
  return message.protoBuffer().value_or("");
}

absl::StatusOr<pm::PrivateMembershipBlindersResponse> APMSerializationUtil::DeserializePSMResponse(
    std::string_view bytes) {
  using ER = PSMEncryptedResponse;
  auto message = PSMPrivateMembershipBlindersResponse::initWithBuffer(bytes);
  if (!message) return absl::InternalError("Failed to deserialize PSM Response.");
  pm::PrivateMembershipBlindersResponse response;
  auto elements =
      NANOViewMessageArray<ER>(*message, PSMPrivateMembershipBlindersResponse::kEncryptedResponse);
  if (!elements) return response;
  response.encrypted_responses.reserve(elements->size());
  for (const NANOMessageView& element : *elements) {
    pm::EncryptedResponse encrypted;
    if (auto pairs = NANOViewMessageArray<PSMDoublyEncryptedId>(element, ER::kDoublyEncryptedId)) {
      encrypted.doubly_encrypted_ids.reserve(pairs->size());
      for (const NANOMessageView& pair : *pairs) {
        encrypted.doubly_encrypted_ids.push_back(
            {NANOGetBytes(pair, PSMDoublyEncryptedId::kEncryptedId).value_or(""),
             NANOGetBytes(pair, PSMDoublyEncryptedId::kDoublyEncryptedId).value_or("")});
      }
    }
    if (auto first = NANOViewMessage<PSMEncryptedBucket>(element, ER::kFirstBucket)) {
      encrypted.first_bucket = bucketFrom(*first);
    }
    if (auto second = NANOViewMessage<PSMEncryptedBucket>(element, ER::kSecondBucket)) {
      encrypted.second_bucket = bucketFrom(*second);
    }
    if (auto metadata =
            NANOViewMessage<PSMEncryptedResponseMetadata>(element, ER::kResponseMetadata)) {
      encrypted.metadata.bin_count =
          NANOGetInt32(*metadata, PSMEncryptedResponseMetadata::kBinCount);
      encrypted.metadata.value_encryption_scheme =
          NANOGetInt32(*metadata, PSMEncryptedResponseMetadata::kValueEncryptionScheme);
    }
    response.encrypted_responses.push_back(std::move(encrypted));
  }
  return response;
}
