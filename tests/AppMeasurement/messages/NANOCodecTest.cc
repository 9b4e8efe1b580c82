// Decoding and encoding rules, and what holds for hostile input.
#include <gtest/gtest.h>

#include "AppMeasurement/messages/APMPBMessages.h"
#include "tests/AppMeasurement/messages/MessageTestSupport.h"
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

// Decoded, then encoded again. Field order, packing and unsigned values of filled messages are
// compared with protoc's bytes by ProtocRoundTripTest; these are the rules protoc's output
// never exercises.
TEST(NANOCodec, DecodeThenEncode) {
  struct Case {
    const char* message;
    std::string input;
    std::string output;
  };
  const std::string activity1 =
      lengthDelimited(1, "a") + lengthDelimited(2, "\x08\x01") + lengthDelimited(2, "\x08\x04");
  const std::string program = lengthDelimited(
      2, lengthDelimited(1, activity1) + lengthDelimited(1, lengthDelimited(1, "b")));
  const Case cases[] = {
      {"MeasurementBundle", "", ""},
      // A repeated singular string keeps the first, a scalar the last.
      {"Event",
       lengthDelimited(2, "first") + "\x18\x05" + lengthDelimited(2, "second") + "\x18\x07",
       lengthDelimited(2, "first") + "\x18\x07"},
      // Packed and unpacked elements of one list join, written unpacked.
      {"ResultData", lengthDelimited(1, varint(1) + varint(300)) + "\x10\x02\x08\x05",
       "\x08\x01\x08\xac\x02\x08\x05\x10\x02"},
      // Unknown fields are dropped at every level.
      {"Event",
       "\xa0\x1f\x09" + lengthDelimited(1, lengthDelimited(1, "p") + "\xf8\x06\x01") +
           lengthDelimited(2, "e"),
       lengthDelimited(1, lengthDelimited(1, "p")) + lengthDelimited(2, "e")},
      // Fields go out in tag order whatever their slots and arrival order.
      {"MeasurementBundle", std::string("\xda\x01\x01v\xd0\x01\x01\x42\x03ios\x38\x02\x30\x03"),
       std::string("\x30\x03\x38\x02\x42\x03ios\xd0\x01\x01\xda\x01\x01v")},
      // An empty sub-message is present; declared defaults add nothing.
      {"AudienceLeafFilterResult", std::string("\x12\x00\x20\x01", 4),
       std::string("\x12\x00\x20\x01", 4)},
      {"MeasurementConfig", "\x08\x01", "\x08\x01"},
      // Lists inside a singular sub-message.
      {"Program", program, program},
  };
  for (const Case& c : cases) {
    auto decoded =
        NANODynamicMessage::initWithBuffer(*messagetest::layoutNamed(c.message), c.input);
    ASSERT_TRUE(decoded) << c.message;
    EXPECT_EQ(decoded->protoBuffer(), c.output) << c.message;
  }
  // Absent input is an empty message whose lists are present.
  auto bundle = APMPBMeasurementBundle::initWithBuffer(std::nullopt);
  ASSERT_TRUE(bundle);
  EXPECT_TRUE(NANOHasField(*bundle, APMPBMeasurementBundle::kEvents));
  EXPECT_FALSE(NANOHasField(*bundle, APMPBMeasurementBundle::kAppId));
}

TEST(NANOCodec, MalformedInputFailsWithALogLine) {
  struct Case {
    const char* message;
    std::string input;
    std::string line;
  };
  const Case cases[] = {
      {"Event",
       "\x12\x05"
       "abc",
       "Event decoder failed:"},                                // string past the end
      {"Event", "\x0a\x03\x12\x05x", "Event decoder failed:"},  // element's string past its end
      {"Event", "\x18", "Event decoder failed:"},               // varint missing
      {"Event", "\x18\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\x01", "Event decoder failed:"},
      {"Event", "\x1b", "Event decoder failed:"},  // group start
      {"Event", "\x0f", "Event decoder failed:"},  // wire type 7
      // Known fields on the wrong wire type: a string as a varint would read its byte as text.
      {"Event", "\x10\x41", "Event decoder failed: wrong wire type"},
      {"Event", std::string("\x0d\x01\x02\x03\x04", 5), "Event decoder failed: wrong wire type"},
      {"ResultData", std::string("\x0d\x01\x00\x00\x00", 5),
       "ResultData decoder failed: wrong wire type"},
      // In a singular sub-message: one line, the parent's, with the sub-message's reason.
      {"Program", "\x12\x02\x08\x01", "Program decoder failed: wrong wire type"},
      {"Program", "\x12\x01\x0f", "Program decoder failed:"},  // wire type 7 inside
  };
  for (const Case& c : cases) {
    testsupport::LogCapture log;
    EXPECT_EQ(NANODynamicMessage::initWithBuffer(*messagetest::layoutNamed(c.message), c.input),
              std::nullopt)
        << c.line;
    EXPECT_TRUE(log.contains("<ERROR> " + c.line)) << c.line;
    // The wire-type lines end with the reason; a singular sub-message adds no line of its own.
    if (c.line.ends_with("wrong wire type")) {
      EXPECT_FALSE(log.contains("wrong wire type for")) << c.line;
    }
    if (std::string(c.message) == "Program") {
      EXPECT_EQ(log.lines().size(), 1u) << c.line;
    }
  }
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

}  // namespace
