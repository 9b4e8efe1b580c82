// The bytes bundling writes straight from an event against the message encoder's bytes for the
// same event (and protoc's reading of them), and a bundle's events set from such bytes against
// the bundle the message objects make.
#include "AppMeasurement/records/APMEventEncoder.h"

#include <cmath>
#include <limits>

#include "tests/AppMeasurement/engine/EngineTestSupport.h"

namespace {

using B = APMPBMeasurementBundle;

APMEvent makeEvent(const std::string& name, double timestamp, double previous,
                   const APMValueMap& parameters, const std::string& origin = "app") {
  std::optional<APMEvent> event =
      APMEvent::create(origin, false, name, timestamp, previous, parameters);
  EXPECT_TRUE(event) << name;
  return *event;
}

// What a stored row held before the encoder wrote it: the message without its name.
std::string withoutName(const APMEvent& event) {
  APMPBEvent message = event.protoEvent();
  NANOClearField(message, APMPBEvent::kName);
  return message.protoBuffer().value_or("");
}

// One row per rule of the wire format the encoder writes by hand: varint lengths past one
// byte, negative and extreme integers (ten-byte varints), doubles bit for bit, empty and long
// strings, times absent, zero, negative and saturated, and key order.
TEST(APMEventEncoderTest, SameBytesAsTheMessageEncoder) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    const char* what;
    APMEvent event;
  } cases[] = {
      {"no parameters", makeEvent("a", 1'700'000'000.123, 0, {})},
      {"previous time kept", makeEvent("a", 1'700'000'000.5, 1'699'999'999.25, {})},
      {"previous time negative is left out", makeEvent("a", 5, -3, {})},
      {"time zero", makeEvent("a", 0, 0, {})},
      {"time negative", makeEvent("a", -12.5, 0, {})},
      {"time huge saturates", makeEvent("a", 1e300, 0, {})},
      {"time NaN", makeEvent("a", nan, 0, {})},
      {"integers", makeEvent("level_up", 1'700'000'000, 0,
                             {{"zero", APMValue(int64_t{0})},
                              {"one", APMValue(int64_t{1})},
                              {"big", APMValue(int64_t{300})},
                              {"neg", APMValue(int64_t{-1})},
                              {"min", APMValue(std::numeric_limits<int64_t>::min())},
                              {"max", APMValue(std::numeric_limits<int64_t>::max())}})},
      {"doubles", makeEvent("d", 1, 0,
                            {{"half", APMValue(0.5)},
                             {"negzero", APMValue(-0.0)},
                             {"inf", APMValue(inf)},
                             {"nan", APMValue(nan)},
                             {"tiny", APMValue(4.9e-324)}})},
      {"strings", makeEvent("s", 1, 0,
                            {{"empty", APMValue(std::string())},
                             {"long", APMValue(std::string(100, 'x'))},
                             {"unicode", APMValue(std::string("h\xC3\xA9llo \xE2\x82\xAC"))}})},
      {"internal origin and name",
       makeEvent("_e", 2, 1, {{"_et", APMValue(int64_t{1500})}}, "auto")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::optional<std::string> expected = c.event.protoEvent().protoBuffer();
    ASSERT_TRUE(expected);
    EXPECT_EQ(APMEventEncoder::encodedEvent(c.event), *expected);
    EXPECT_EQ(APMEventEncoder::encodedEventSize(c.event), expected->size());
    EXPECT_EQ(APMEventEncoder::encodedEventWithoutName(c.event), withoutName(c.event));
  }
}

// A message of more than 127 bytes per parameter and per event (two-byte lengths), read by
// protoc.
TEST(APMEventEncoderTest, ProtocReadsTheBytes) {
  APMEvent event = makeEvent("level_up", 1'700'000'000.25, 1'699'999'000,
                             {{"campaign", APMValue(std::string(120, 'c'))},
                              {"level", APMValue(int64_t{-5})},
                              {"score", APMValue(1234.5)}});
  std::string bytes = APMEventEncoder::encodedEvent(event);
  std::string decoded = enginetest::protoc("decode", "Event", bytes);
  EXPECT_NE(decoded.find("name: \"campaign\"\n  string_value: \"" + std::string(120, 'c')),
            std::string::npos)
      << decoded;
  EXPECT_NE(decoded.find("name: \"level\"\n  int_value: -5"), std::string::npos) << decoded;
  EXPECT_NE(decoded.find("name: \"score\"\n  double_value: 1234.5"), std::string::npos);
  EXPECT_NE(decoded.find("name: \"_o\"\n  string_value: \"app\""), std::string::npos);
  EXPECT_NE(decoded.find("name: \"level_up\"\ntimestamp_millis: 1700000000250\n"
                         "previous_timestamp_millis: 1699999000000"),
            std::string::npos)
      << decoded;
}

// An array parameter goes through the message (items of a map each).
TEST(APMEventEncoderTest, ArrayParametersAsTheMessageWritesThem) {
  APMValue::Array items;
  items.emplace_back(APMObjectMap{{"item_id", APMObject(platform::Value("sku"))},
                                  {"price", APMObject(platform::Value(9.5))}});
  APMEvent event = makeEvent("add_to_cart", 10, 0, {{"items", APMValue(std::move(items))}});
  EXPECT_EQ(APMEventEncoder::encodedEvent(event), event.protoEvent().protoBuffer().value());
  EXPECT_EQ(APMEventEncoder::encodedEventSize(event), event.protoEvent().protoBuffer()->size());
  EXPECT_EQ(APMEventEncoder::encodedEventWithoutName(event), withoutName(event));
}

// Events set from bytes give the bundle the messages give, with or without protocol_version
// before them, replacing the events it had.
TEST(APMEventEncoderTest, BundleEventsFromBytes) {
  std::vector<APMEvent> events{
      makeEvent("a", 1'700'000'000, 0, {{"n", APMValue(int64_t{7})}}),
      makeEvent("b", 1'700'000'001, 1'700'000'000, {{"s", APMValue(std::string(200, 'z'))}}),
  };
  std::vector<APMPBEvent> messages;
  std::vector<std::string> encoded;
  for (const APMEvent& event : events) {
    messages.push_back(event.protoEvent());
    encoded.push_back(APMEventEncoder::encodedEvent(event));
  }
  for (bool withVersion : {false, true}) {
    SCOPED_TRACE(withVersion);
    B bundle;
    if (withVersion) NANOSetInt32(bundle, B::kProtocolVersion, 1);
    NANOSetString(bundle, B::kAppId, "1:1:ios:1");
    NANOSetInt64(bundle, B::kEndTimestampMillis, 1'700'000'001'000);
    NANOSetMessageArray(bundle, B::kEvents, std::vector<APMPBEvent>{messages.back()});
    B expected = bundle;
    NANOSetMessageArray(expected, B::kEvents, messages);
    ASSERT_TRUE(APMEventEncoder::setEncodedEvents(bundle, encoded));
    EXPECT_EQ(bundle.protoBuffer().value(), expected.protoBuffer().value());
    EXPECT_TRUE(bundle == expected);
  }
}

}  // namespace
