// A packed event unpacks to the event it was packed from: every field, every kind of value, bit
// for bit, whether its bytes fit in the packed event or not, and in copies of it.
#include "AppMeasurement/records/APMPackedEvent.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "tests/AppMeasurement/foundation/ParameterTestSupport.h"

namespace {

using testsupport::D;
using testsupport::I;
using testsupport::S;

uint64_t bitsOf(double value) {
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof(bits));
  return bits;
}

class PackedEvents : public testsupport::ParameterTest {
 protected:
  // An event of the name with the typed parameters laid on as they are (no rule runs on them).
  static APMEvent make(const std::string& name, const APMValueMap& parameters,
                       double timestamp = 1700000000.25, double previousTimestamp = 0) {
    auto event = APMEvent::create("app", false, name, timestamp, previousTimestamp, APMObjectMap{});
    EXPECT_TRUE(event) << name;
    for (const auto& [key, value] : parameters) event->setParameter(key, value);
    return *event;
  }

  // Unpacks and checks the event equal to the original, each double bit for bit.
  static APMEvent expectRoundTrip(const APMEvent& event, const APMPackedEvent& packed,
                                  const std::string& label) {
    APMEvent unpacked = packed.unpack();
    EXPECT_EQ(unpacked, event) << label;
    EXPECT_EQ(unpacked.origin(), event.origin()) << label;
    EXPECT_EQ(unpacked.name(), event.name()) << label;
    EXPECT_EQ(bitsOf(unpacked.timestamp()), bitsOf(event.timestamp())) << label;
    EXPECT_EQ(bitsOf(unpacked.previousTimestamp()), bitsOf(event.previousTimestamp())) << label;
    EXPECT_EQ(unpacked.parameters().size(), event.parameters().size()) << label;
    for (const auto& [key, value] : event.parameters()) {
      const APMValue* back = unpacked.parameter(key);
      if (back == nullptr) {
        ADD_FAILURE() << label << ": " << key << " lost";
        continue;
      }
      EXPECT_EQ(back->valueType(), value.valueType()) << label << ": " << key;
      EXPECT_EQ(back->held().index(), value.held().index()) << label << ": " << key;
      if (value.held().index() == 0) {
        EXPECT_EQ(bitsOf(std::get<double>(back->held())), bitsOf(std::get<double>(value.held())))
            << label << ": " << key;
      }
    }
    return unpacked;
  }
};

TEST_F(PackedEvents, UnpackToTheEventPacked) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  APMValue items(APMValue::Array{APMObject(APMValueMap{{"item_id", S("sku")}, {"price", D(2.5)}}),
                                 APMObject(APMValueMap{{"item_id", S("other")}})});
  struct Case {
    std::string label;
    APMEvent event;
  };
  const std::vector<Case> cases = {
      {"no parameter but the origin", make("level_up", {})},
      {"numbers and texts", make("level_up", {{"level", I(12)},
                                              {"character", S("wizard")},
                                              {"score", D(1234.5)},
                                              {"campaign", S("spring_sale_2024")}})},
      {"edges of the numbers",
       make("edges", {{"min", I(std::numeric_limits<int64_t>::min())},
                      {"max", I(std::numeric_limits<int64_t>::max())},
                      {"zero", I(0)},
                      {"negative zero", D(-0.0)},
                      {"nan", D(nan)},
                      {"infinity", D(-std::numeric_limits<double>::infinity())},
                      {"tiny", D(std::numeric_limits<double>::denorm_min())}})},
      {"texts empty, with a NUL, not ASCII",
       make("texts", {{"", S("empty key")},
                      {"empty", S("")},
                      {"nul", S(std::string("a\0b", 3))},
                      {"unicode", S("caf\xC3\xA9 \xF0\x9F\x98\x80")}})},
      {"an array of items", make("purchase", {{"items", items}, {"value", D(9.99)}})},
      {"times", make("_vs", {{"_r", I(1)}, {"_dbg", I(1)}}, 1.5, 0.75)},
      // Held as the designated constructor was given them: a type that is not its value's kind,
      // and no text or array at all.
      {"odd values",
       make("odd",
            {{"int typed double", APMValue(APMValue::kTypeDouble, APMValue::Held{int64_t{7}})},
             {"null text", APMValue(APMValue::kTypeString,
                                    APMValue::Held{std::shared_ptr<const std::string>()})},
             {"null array", APMValue(APMValue::kTypeArray,
                                     APMValue::Held{std::shared_ptr<const APMValue::Array>()})},
             {"type 99", APMValue(99, APMValue::Held{1.0})}})},
  };
  for (const Case& c : cases) expectRoundTrip(c.event, APMPackedEvent(c.event), c.label);
}

TEST_F(PackedEvents, BytesThatDoNotFitAreKeptApart) {
  // Each parameter packs into more than 100 bytes: sizes on both sides of what fits inline.
  for (size_t count : {size_t{1}, size_t{4}, size_t{5}, size_t{40}}) {
    APMValueMap parameters;
    for (size_t i = 0; i < count; ++i) {
      parameters.emplace("p" + std::to_string(i),
                         S(testsupport::repeat("v", 100) + std::to_string(i)));
    }
    const std::string label = std::to_string(count) + " long texts";
    APMEvent event = make("long", parameters);
    APMPackedEvent packed(event);
    expectRoundTrip(event, packed, label);
    // A copy reads its own bytes: still whole once the original is gone.
    auto original = std::make_unique<APMPackedEvent>(event);
    APMPackedEvent copy = *original;
    original.reset();
    expectRoundTrip(event, copy, label + ", copied");
  }
}

TEST_F(PackedEvents, ArraysStaySharedAndUnpackAgainAlike) {
  APMValue items(APMValue::Array{APMObject(APMValueMap{{"item_id", S("sku")}})});
  APMEvent event = make("purchase", {{"items", items}, {"currency", S("EUR")}});
  APMPackedEvent packed(event);
  APMEvent first = packed.unpack();
  APMEvent second = packed.unpack();
  EXPECT_EQ(first, second);
  // The array is the event's own (immutable, as a copy of the event shares it).
  EXPECT_EQ(first.parameter("items")->arrayValue(), items.arrayValue());
  // An edit of an unpacked event leaves the packed one as it was.
  first.setRealtime(true);
  first.removeParameter("currency");
  EXPECT_EQ(packed.unpack(), event);
}

}  // namespace
