// Decoding and encoding rules, and what holds for hostile input.
#include <gtest/gtest.h>

#include <functional>

#include "AppMeasurement/messages/APMPBMessages.h"
#include "tests/support/LogCapture.h"
#include "tests/support/ProtobufWire.h"

namespace {

using testsupport::lengthDelimited;
using testsupport::varint;

// A chain of messages nested through field tag, levels deep in total, around the innermost
// bytes. Built outside-in in linear time.
std::string nestedChain(uint32_t tag, const std::string& innermost, int levels) {
  std::vector<size_t> lengths{innermost.size()};
  for (int i = 1; i < levels; ++i) {
    size_t inner = lengths.back();
    lengths.push_back(varint((tag << 3) | 2).size() + varint(inner).size() + inner);
  }
  std::string out;
  out.reserve(lengths.back());
  for (int i = levels - 1; i >= 1; --i) out += varint((tag << 3) | 2) + varint(lengths[i - 1]);
  return out + innermost;
}

// An EventParam holding a chain of nested parameters, levels deep in total.
std::string nestedParams(int levels) { return nestedChain(6, lengthDelimited(1, "leaf"), levels); }

TEST(NANOCodec, NilAndEmptyInputGiveAnEmptyMessage) {
  for (auto input : {std::optional<std::string_view>(), std::optional<std::string_view>("")}) {
    auto bundle = APMPBMeasurementBundle::initWithBuffer(input);
    ASSERT_TRUE(bundle);
    for (uint32_t slot = 0; slot < APMPBMeasurementBundle::layout().slotCount; ++slot) {
      bool repeated = APMPBMeasurementBundle::layout().codes[slot] & kNANOCodeRepeated;
      EXPECT_EQ(NANOHasField(*bundle, slot), repeated) << slot;
    }
    auto bytes = bundle->protoBuffer();
    ASSERT_TRUE(bytes.has_value());
    EXPECT_EQ(*bytes, "");
  }
}

TEST(NANOCodec, DuplicatedSingularStringKeepsTheFirstAndScalarsTheLast) {
  std::string bytes =
      lengthDelimited(2, "first") + "\x18\x05" + lengthDelimited(2, "second") + "\x18\x07";
  auto event = APMPBEvent::initWithBuffer(bytes);
  ASSERT_TRUE(event);
  EXPECT_EQ(NANOGetString(*event, APMPBEvent::kName), "first");
  EXPECT_EQ(NANOGetInt64(*event, APMPBEvent::kTimestampMillis), 7);
  EXPECT_EQ(event->protoBuffer(), lengthDelimited(2, "first") + "\x18\x07");
}

TEST(NANOCodec, RepeatedVarintsAreReadPackedAndWrittenUnpacked) {
  // status 1, 300 packed; results 2 unpacked; then status 5 unpacked.
  std::string bytes = lengthDelimited(1, varint(1) + varint(300)) + "\x10\x02" + "\x08\x05";
  auto data = APMPBResultData::initWithBuffer(bytes);
  ASSERT_TRUE(data);
  EXPECT_EQ(NANOGetArray(*data, APMPBResultData::kStatus),
            (std::vector<NANOObject>{NANONumber::fromUInt64(1), NANONumber::fromUInt64(300),
                                     NANONumber::fromUInt64(5)}));
  EXPECT_EQ(data->protoBuffer(), std::string("\x08\x01\x08\xac\x02\x08\x05\x10\x02"));
}

TEST(NANOCodec, UnknownFieldsAreDroppedAtEveryLevel) {
  std::string param = lengthDelimited(1, "p") + "\xf8\x06\x01" /* tag 111 */;
  std::string bytes =
      "\xa0\x1f\x09" /* tag 500 */ + lengthDelimited(1, param) + lengthDelimited(2, "e");
  auto event = APMPBEvent::initWithBuffer(bytes);
  ASSERT_TRUE(event);
  EXPECT_EQ(event->protoBuffer(),
            lengthDelimited(1, lengthDelimited(1, "p")) + lengthDelimited(2, "e"));
}

TEST(NANOCodec, StringsUpToOneMebibyteDecode) {
  std::string exact(kNANOMaxStringLength, 'a');
  auto ok = APMPBEvent::initWithBuffer(lengthDelimited(2, exact));
  ASSERT_TRUE(ok);
  EXPECT_EQ(NANOGetString(*ok, APMPBEvent::kName)->size(), 1048576u);

  testsupport::LogCapture log;
  EXPECT_EQ(APMPBEvent::initWithBuffer(lengthDelimited(2, exact + "a")), std::nullopt);
  EXPECT_TRUE(log.contains("Unable to process proto stream. Buffer is too big. 1048577 > 1048576"));
  EXPECT_TRUE(log.contains("<ERROR> Event decoder failed:"));
  // Inside a repeated element too.
  log.clear();
  EXPECT_EQ(
      APMPBMeasurementBundle::initWithBuffer(lengthDelimited(2, lengthDelimited(2, exact + "b"))),
      std::nullopt);
  EXPECT_TRUE(log.contains("<ERROR> Event decoder failed: Unable to decode repeated Event"));
}

TEST(NANOCodec, NestingIsLimitedToOneHundredLevels) {
  auto deepest = APMPBEventParam::initWithBuffer(nestedParams(kNANOMaxNestingDepth));
  ASSERT_TRUE(deepest);
  // Walk down to the leaf.
  APMPBEventParam level = *deepest;
  for (int i = 1; i < kNANOMaxNestingDepth; ++i) {
    auto children = NANOGetMessageArray<APMPBEventParam>(level, APMPBEventParam::kParamValue);
    ASSERT_TRUE(children && children->size() == 1);
    level = (*children)[0];
  }
  EXPECT_EQ(NANOGetString(level, APMPBEventParam::kName), "leaf");
  EXPECT_EQ(deepest->protoBuffer(), nestedParams(kNANOMaxNestingDepth));

  testsupport::LogCapture log;
  EXPECT_EQ(APMPBEventParam::initWithBuffer(nestedParams(kNANOMaxNestingDepth + 1)), std::nullopt);
  EXPECT_TRUE(
      log.contains("<ERROR> EventParam decoder failed: messages nested deeper than 100 levels"));

  // Far deeper input fails the same way, without exhausting the stack.
  log.clear();
  EXPECT_EQ(APMPBEventParam::initWithBuffer(nestedParams(200000)), std::nullopt);
  EXPECT_EQ(APMPBRuntimeEntity::initWithBuffer(nestedChain(2, "\x08\x04", 100000)), std::nullopt);
  EXPECT_TRUE(log.contains("<ERROR> RuntimeEntity decoder failed: messages nested deeper"));
}

TEST(NANOCodec, EncodingRefusesRecordsDeeperThanTheDecoderAccepts) {
  APMPBEventParam param;
  NANOSetString(param, APMPBEventParam::kName, "leaf");
  for (int i = 1; i <= kNANOMaxNestingDepth; ++i) {
    APMPBEventParam parent;
    NANOSetMessageArray(parent, APMPBEventParam::kParamValue, std::vector<APMPBEventParam>{param});
    param = std::move(parent);
  }
  testsupport::LogCapture log;
  EXPECT_EQ(param.protoBuffer(), std::nullopt);
  std::string out = "stale";
  EXPECT_EQ(NANOEncode(*param.messageInfo(), &out), kNANOEncodeFailure);
  EXPECT_EQ(out, "");
  EXPECT_EQ(NANOEncode(*param.messageInfo(), nullptr), kNANOEncodeFailure);
  EXPECT_TRUE(log.contains("nested deeper than 100 levels"));
}

TEST(NANOCodec, BundleFieldsGoOutInTagOrderNotSlotOrder) {
  APMPBMeasurementBundle bundle;
  NANOSetInt64(bundle, APMPBMeasurementBundle::kPreviousBundleStartTimestampMillis, 1);  // slot 6
  NANOSetInt64(bundle, APMPBMeasurementBundle::kPreviousBundleEndTimestampMillis, 2);    // slot 7
  NANOSetString(bundle, APMPBMeasurementBundle::kRzqAppId, "r");                         // tag 25
  NANOSetString(bundle, APMPBMeasurementBundle::kVendorDeviceId, "v");                   // tag 27
  NANOSetInt64(bundle, APMPBMeasurementBundle::kEndTimestampMillis, 3);                  // tag 6
  NANOSetString(bundle, APMPBMeasurementBundle::kPlatform, "ios");                       // tag 8
  EXPECT_EQ(bundle.protoBuffer(), std::string("\x30\x03"                                 // 6
                                              "\x38\x02"                                 // 7
                                              "\x42\x03ios"                              // 8
                                              "\xca\x01\x01r"                            // 25
                                              "\xd0\x01\x01"                             // 26
                                              "\xda\x01\x01v"));                         // 27
}

TEST(NANOCodec, AbsentOptionalFieldsAreNotWritten) {
  APMPBEvent event;
  NANOSetString(event, APMPBEvent::kName, "_e");
  NANOSetInt64(event, APMPBEvent::kTimestampMillis, 1000);
  auto bytes = event.protoBuffer();
  ASSERT_TRUE(bytes);
  EXPECT_EQ(*bytes, lengthDelimited(2, "_e") + "\x18\xe8\x07");  // no tag 4

  APMPBAudienceLeafFilterResult result;
  NANOSetBool(result, APMPBAudienceLeafFilterResult::kNewAudience, true);
  NANOSetMessage(result, APMPBAudienceLeafFilterResult::kCurrentData, APMPBResultData());
  EXPECT_EQ(result.protoBuffer(), std::string("\x12\x00\x20\x01", 4));
}

TEST(NANOCodec, ExperimentIdsKeepTheirUnsignedValues) {
  APMPBMeasurementBundle bundle;
  NANOSetArray(
      bundle, APMPBMeasurementBundle::kExperimentIds,
      std::vector<NANOObject>{NANONumber::fromUInt32(4294967295u), NANONumber::fromUInt32(7)});
  auto again = APMPBMeasurementBundle::initWithBuffer(*bundle.protoBuffer());
  ASSERT_TRUE(again);
  EXPECT_EQ(
      NANOGetArray(*again, APMPBMeasurementBundle::kExperimentIds),
      (std::vector<NANOObject>{NANONumber::fromUInt32(4294967295u), NANONumber::fromUInt32(7)}));
}

TEST(NANOCodec, DeclaredDefaultsAreNotObservable) {
  auto psm = APMPBPsmSetting::initWithBuffer("");
  ASSERT_TRUE(psm);
  EXPECT_FALSE(NANOHasField(*psm, APMPBPsmSetting::kPrefixEmail));
  EXPECT_EQ(NANOGetInt32(*psm, APMPBPsmSetting::kPrefixEmail), 0);
  auto config = APMPBMeasurementConfig::initWithBuffer("\x08\x01");
  ASSERT_TRUE(config);
  EXPECT_EQ(NANOGetMessage<APMPBPsmSetting>(*config, APMPBMeasurementConfig::kPsmSetting),
            std::nullopt);
  EXPECT_EQ(NANOGetMessage<APMPBConsentConfig>(*config, APMPBMeasurementConfig::kConsentConfig),
            std::nullopt);
  EXPECT_FALSE(NANOHasField(*config, APMPBMeasurementConfig::kField8));
}

TEST(NANOCodec, SingularSubMessagesAreReadWithTheirNestedLists) {
  // Program.ogt_activities (singular) holding two activities, the first with two statements.
  std::string activity1 =
      lengthDelimited(1, "a") + lengthDelimited(2, "\x08\x01") + lengthDelimited(2, "\x08\x04");
  std::string activity2 = lengthDelimited(1, "b");
  std::string bytes =
      lengthDelimited(2, lengthDelimited(1, activity1) + lengthDelimited(1, activity2));
  auto program = APMPBProgram::initWithBuffer(bytes);
  ASSERT_TRUE(program);
  auto activities = NANOGetMessage<APMPBOgtActivities>(*program, APMPBProgram::kOgtActivities);
  ASSERT_TRUE(activities);
  auto list = NANOGetMessageArray<APMPBOgtActivity>(*activities, APMPBOgtActivities::kActivities);
  ASSERT_TRUE(list && list->size() == 2);
  EXPECT_EQ(NANOGetString((*list)[1], APMPBOgtActivity::kName), "b");
  auto data = NANOGetMessageArray<APMPBRuntimeEntity>((*list)[0], APMPBOgtActivity::kData);
  ASSERT_TRUE(data && data->size() == 2);
  EXPECT_EQ(NANOGetInt32((*data)[1], APMPBRuntimeEntity::kType), 4);
  EXPECT_EQ(program->protoBuffer(), bytes);
}

TEST(NANOCodec, MalformedInputFailsWithALogLine) {
  const std::string inputs[] = {
      std::string("\x12\x05"
                  "abc"),                // string runs past the end
      std::string("\x0a\x03\x12\x05x"),  // element whose string runs past its end
      std::string("\x18"),               // varint missing
      std::string("\x18\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\x01"),  // varint too long
      std::string("\x1b"),                                              // group start
      std::string("\x0f"),                                              // wire type 7
  };
  for (const std::string& input : inputs) {
    testsupport::LogCapture log;
    EXPECT_EQ(APMPBEvent::initWithBuffer(input), std::nullopt);
    EXPECT_TRUE(log.contains("<ERROR> Event decoder failed:"));
  }
}

}  // namespace

namespace {

TEST(NANOCodec, ExperimentAndConversionValueEdgeCases) {
  // A client property without custom properties carries no tag 5.
  APMPBClientProperty client;
  NANOSetString(client, APMPBClientProperty::kName, "sdk");
  NANOSetArray(client, APMPBClientProperty::kCustomProperties, std::vector<NANOObject>{});
  EXPECT_EQ(client.protoBuffer(), std::string("\x0a\x03sdk"));

  // A response with both lists empty has no snapshot to read.
  auto response = APMPBExperimentResponse::initWithBuffer("");
  ASSERT_TRUE(response);
  EXPECT_TRUE(
      NANOGetMessageArray<APMPBSnapshot>(*response, APMPBExperimentResponse::kSnapshots)->empty());
  EXPECT_TRUE(
      NANOGetMessageArray<APMPBSdkResponse>(*response, APMPBExperimentResponse::kSdkResponses)
          ->empty());

  // An empty conversion-value answer decodes to an empty answer without status.
  auto answer = APMPBSkAdNetworkConversionValueResponse::initWithBuffer("");
  ASSERT_TRUE(answer);
  EXPECT_FALSE(NANOHasField(*answer, APMPBSkAdNetworkConversionValueResponse::kStatus));
  EXPECT_FALSE(NANOHasField(*answer, APMPBSkAdNetworkConversionValueResponse::kLockWindow));

  // The request as the engine fills it.
  APMPBSkAdNetworkConversionValueRequest request;
  NANOSetInt64(request, APMPBSkAdNetworkConversionValueRequest::kLibraryVersion, 111500);
  NANOSetString(request, APMPBSkAdNetworkConversionValueRequest::kSkanVersion, "4.0");
  EXPECT_EQ(request.protoBuffer(), std::string("\x08\x8c\xe7\x06\x22\x03"
                                               "4.0"));
}

}  // namespace

namespace {

TEST(NANOCodec, KnownFieldsOnTheWrongWireTypeFailTheDecode) {
  struct Case {
    std::string input;
    std::function<bool(const std::string&)> decodes;
    std::string line;
  };
  auto event = [](const std::string& b) { return APMPBEvent::initWithBuffer(b).has_value(); };
  auto data = [](const std::string& b) { return APMPBResultData::initWithBuffer(b).has_value(); };
  auto program = [](const std::string& b) { return APMPBProgram::initWithBuffer(b).has_value(); };
  const Case cases[] = {
      // name (string) as a varint: would otherwise read the varint's byte as the text.
      {"\x10\x41", event, "<ERROR> Event decoder failed: wrong wire type for field name"},
      // params (messages) as a 32-bit value.
      {std::string("\x0d\x01\x02\x03\x04", 5), event,
       "<ERROR> Event decoder failed: wrong wire type for field params"},
      // status (repeated uint64) as a 32-bit value.
      {std::string("\x0d\x01\x00\x00\x00", 5), data,
       "<ERROR> ResultData decoder failed: wrong wire type for field status"},
      // A list inside a singular sub-message: ogt_activities { activities: varint }.
      {"\x12\x02\x08\x01", program,
       "<ERROR> OgtActivities decoder failed: wrong wire type for field activities"},
  };
  for (const Case& c : cases) {
    testsupport::LogCapture log;
    EXPECT_FALSE(c.decodes(c.input)) << c.line;
    EXPECT_TRUE(log.contains(c.line)) << c.line;
  }
  // The packed form of a repeated scalar is the one length-delimited form accepted.
  EXPECT_TRUE(data(std::string("\x0a\x02\x01\x02", 4)));
}

}  // namespace
