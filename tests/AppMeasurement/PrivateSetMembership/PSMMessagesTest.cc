#include <cstdio>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "AppMeasurement/PrivateSetMembership/Sources/APMSerializationUtil.h"
#include "AppMeasurement/PrivateSetMembership/Sources/NANOBytes.h"
#include "AppMeasurement/messages/NANO.h"
#include "proto/psm.nano.h"

namespace {

namespace pm = private_membership::blinders;

// Runs protoc on the schema, input on a file, output collected.
std::string protoc(const std::string& mode, const std::string& message, const std::string& input,
                   int* status) {
  char path[] = "/tmp/psm_protoc_XXXXXX";
  int fd = mkstemp(path);
  close(fd);
  std::ofstream(path, std::ios::binary) << input;
  std::string command = std::string(KVL_TEST_PROTOC) + " -I" + KVL_TEST_PROTO_DIR + " --" + mode +
                        "=psm." + message + " psm.proto < " + path + " 2>&1";
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
  *status = pclose(pipe);
  std::remove(path);
  return output;
}

std::string hex(const std::string& bytes) {
  std::string out;
  char cell[3];
  for (unsigned char c : bytes) {
    std::snprintf(cell, sizeof cell, "%02x", c);
    out += cell;
  }
  return out;
}

pm::PrivateMembershipBlindersRequest sampleRequest() {
  pm::PrivateMembershipBlindersRequest request;
  request.use_case = 7;
  request.parameters = {14, 2, 0};
  request.entries = {{"app", std::string("\x80\x01", 2), std::string(33, '\x02')},
                     {"", "", std::string("\x00\xff", 2)}};
  return request;
}

TEST(PSMMessagesTest, ProtocDecodesOurRequestWithoutUnknownFieldsAndEncodesItBack) {
  std::string ours = APMSerializationUtil::SerializePSMRequest(sampleRequest());
  int status = 0;
  std::string text = protoc("decode", "PrivateMembershipBlindersRequest", ours, &status);
  ASSERT_EQ(status, 0) << text;
  EXPECT_NE(text.find("use_case: 7"), std::string::npos) << text;
  EXPECT_NE(text.find("hash_type: 2"), std::string::npos) << text;
  EXPECT_NE(text.find("prefix_bit_length: 14"), std::string::npos) << text;
  EXPECT_NE(text.find("tag: \"app\""), std::string::npos) << text;
  // Unknown fields print as bare numbers ("6: ...").
  for (const char* unknown : {"\n4:", "\n6:", " 4:", " 6:"}) {
    EXPECT_EQ(text.find(unknown), std::string::npos) << text;
  }
  std::string back = protoc("encode", "PrivateMembershipBlindersRequest", text, &status);
  ASSERT_EQ(status, 0);
  EXPECT_EQ(hex(back), hex(ours));
}

TEST(PSMMessagesTest, ProtocDecodesEveryResponseMessageWeWrite) {
  PSMPrivateMembershipBlindersIdValuePairMetadata metadata;
  NANOSetBytes(metadata, PSMPrivateMembershipBlindersIdValuePairMetadata::kValueKey, "k");
  PSMEncryptedBucket bucket;
  NANOSetArray(bucket, PSMEncryptedBucket::kEncryptedId, std::vector<NANOObject>{NANOData{"id"}});
  NANOSetArray(bucket, PSMEncryptedBucket::kEncryptedValue, std::vector<NANOObject>{NANOData{"v"}});
  NANOSetMessageArray(bucket, PSMEncryptedBucket::kMetadata, std::vector{metadata});
  PSMEncryptedResponse element;
  NANOSetMessage(element, PSMEncryptedResponse::kSecondBucket, bucket);
  NANOSetInt32(element, PSMEncryptedResponse::kResponseInt32, -1);
  PSMEncryptedResponseMetadata responseMetadata;
  NANOSetInt32(responseMetadata, PSMEncryptedResponseMetadata::kBinCount, 4);
  NANOSetMessage(element, PSMEncryptedResponse::kResponseMetadata, responseMetadata);
  PSMPrivateMembershipBlindersResponse response;
  NANOSetMessageArray(response, PSMPrivateMembershipBlindersResponse::kEncryptedResponse,
                      std::vector{element});
  PSMMVs mvs;
  NANOSetArray(mvs, PSMMVs::kOdm2Values, std::vector<NANOObject>{NANOData{"a"}, NANOData{""}});
  PSMOdmResponseUnencryptedMetadata unencrypted;
  NANOSetInt64(unencrypted, PSMOdmResponseUnencryptedMetadata::kRank, -5);
  NANOSetInt32(unencrypted, PSMOdmResponseUnencryptedMetadata::kKind, 2);

  struct Case {
    const char* name;
    const NANOMessageBase* message;
    const char* expected;
  } cases[] = {
      {"PrivateMembershipBlindersResponse", &response, "bin_count: 4"},
      {"EncryptedResponse", &element, "response_int32: -1"},
      {"MVs", &mvs, "odm2_values: \"\""},
      {"OdmResponseUnencryptedMetadata", &unencrypted, "rank: -5"},
  };
  for (const Case& c : cases) {
    std::string ours = c.message->protoBuffer().value();
    int status = 0;
    std::string text = protoc("decode", c.name, ours, &status);
    ASSERT_EQ(status, 0) << c.name << text;
    EXPECT_NE(text.find(c.expected), std::string::npos) << c.name << text;
    std::string back = protoc("encode", c.name, text, &status);
    EXPECT_EQ(hex(back), hex(ours)) << c.name;
  }
}

TEST(PSMMessagesTest, SlotlessAndUnknownFieldsFromProtocAreDroppedOnDecode) {
  struct Case {
    const char* message;
    const char* text;      // what protoc encodes
    const char* expected;  // what our re-encoding must equal (protoc-encoded)
  } cases[] = {
      {"PrivateMembershipBlindersRequest",
       "use_case: 7 request_text: \"dropped\" parameters { hash_type: 2 parameters_int32: 9 }",
       "use_case: 7 parameters { hash_type: 2 }"},
      {"PrivateMembershipBlindersParameters", "parameters_int32: -3 prefix_bit_length: 11",
       "prefix_bit_length: 11"},
  };
  for (const Case& c : cases) {
    int status = 0;
    std::string wire = protoc("encode", c.message, c.text, &status);
    ASSERT_EQ(status, 0) << wire;
    std::string expected = protoc("encode", c.message, c.expected, &status);
    std::optional<std::string> ours;
    if (std::string(c.message) == "PrivateMembershipBlindersRequest") {
      auto decoded = PSMPrivateMembershipBlindersRequest::initWithBuffer(wire);
      ASSERT_TRUE(decoded);
      ours = decoded->protoBuffer();
    } else {
      auto decoded = PSMPrivateMembershipBlindersParameters::initWithBuffer(wire);
      ASSERT_TRUE(decoded);
      ours = decoded->protoBuffer();
    }
    EXPECT_EQ(hex(ours.value()), hex(expected)) << c.message;
  }
  // Field 99 is in no schema: skipped.
  std::string withUnknown = std::string("\x08\x05", 2) + std::string("\x98\x06\x01", 3);
  auto parameters = PSMPrivateMembershipBlindersParameters::initWithBuffer(withUnknown);
  ASSERT_TRUE(parameters);
  EXPECT_EQ(parameters->protoBuffer().value(), "");
}

TEST(PSMMessagesTest, WireBytesOfDefaultsUseCaseAndHashType) {
  struct Case {
    uint32_t useCase;
    int32_t hashType;
    std::string expected;
  } cases[] = {
      {0, 0, std::string("\x12\x00", 2)},
      {7, 0, std::string("\x12\x00\x18\x07", 4)},
      {0, 2, std::string("\x12\x02\x10\x02", 4)},
      // An unsigned varint: 0xFFFFFFFF takes five bytes, not the ten of a signed one.
      {0xFFFFFFFFu, 0, std::string("\x12\x00\x18\xff\xff\xff\xff\x0f", 8)},
  };
  for (const Case& c : cases) {
    pm::PrivateMembershipBlindersRequest request;
    request.use_case = c.useCase;
    request.parameters.hash_type = c.hashType;
    EXPECT_EQ(hex(APMSerializationUtil::SerializePSMRequest(request)), hex(c.expected));
  }
  pm::PrivateMembershipBlindersRequest emptyEntry;
  emptyEntry.entries.push_back({});
  EXPECT_EQ(hex(APMSerializationUtil::SerializePSMRequest(emptyEntry)), "0a001200");
}

TEST(PSMMessagesTest, BytesAccessorsKeepAbsentApartFromEmpty) {
  PSMDoublyEncryptedId pair;
  EXPECT_EQ(NANOGetBytes(pair, PSMDoublyEncryptedId::kEncryptedId), std::nullopt);
  NANOSetBytes(pair, PSMDoublyEncryptedId::kEncryptedId, "");
  EXPECT_EQ(NANOGetBytes(pair, PSMDoublyEncryptedId::kEncryptedId), std::optional<std::string>(""));
  EXPECT_EQ(hex(pair.protoBuffer().value()), "0a00");
  NANOSetBytes(pair, PSMDoublyEncryptedId::kEncryptedId, std::string("\0x", 2));
  EXPECT_EQ(NANOGetBytes(pair, PSMDoublyEncryptedId::kEncryptedId), std::string("\0x", 2));
  NANOSetBytes(pair, PSMDoublyEncryptedId::kEncryptedId, std::nullopt);
  EXPECT_EQ(NANOGetBytes(pair, PSMDoublyEncryptedId::kEncryptedId), std::nullopt);
  // Slots that are not singular bytes are refused and left alone.
  PSMEncryptedBucket bucket;
  NANOSetBytes(bucket, PSMEncryptedBucket::kEncryptedId, "x");
  NANOSetBytes(bucket, 7, "x");
  EXPECT_EQ(bucket.protoBuffer().value(), "");
  EXPECT_EQ(NANOGetBytes(bucket, PSMEncryptedBucket::kEncryptedId), std::nullopt);
}

TEST(PSMMessagesTest, AbsentBucketsStayAbsentAfterDecode) {
  auto element = PSMEncryptedResponse::initWithBuffer(std::string("\x30\x05", 2));
  ASSERT_TRUE(element);
  EXPECT_FALSE(NANOHasField(*element, PSMEncryptedResponse::kFirstBucket));
  EXPECT_FALSE(NANOHasField(*element, PSMEncryptedResponse::kSecondBucket));
  EXPECT_EQ(NANOGetInt32(*element, PSMEncryptedResponse::kResponseInt32), 5);
  EXPECT_FALSE(PSMMVs::initWithMessageInfo(element->messageInfo()));
}

}  // namespace
