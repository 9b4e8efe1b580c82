#include "platform/foundation/Value.h"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "platform/foundation/JSONSerialization.h"
#include "platform/foundation/PropertyListSerialization.h"

namespace {

using platform::Value;

TEST(Value, KindsStayApart) {
  EXPECT_TRUE(Value(true).isBool());
  EXPECT_TRUE(Value(1).isInteger());
  EXPECT_TRUE(Value(1.0).isReal());
  EXPECT_TRUE(Value("x").isString());
  EXPECT_NE(Value(true), Value(1));
  EXPECT_NE(Value(1), Value(1.0));
  EXPECT_NE(Value("a"), Value::bytes("a"));
  EXPECT_EQ(Value(), Value(nullptr));
}

TEST(Value, NumericReadingSaturatesAndRefusesNan) {
  EXPECT_EQ(Value(std::nan("")).numberAsInteger(), 0);
  EXPECT_EQ(Value(1e300).numberAsInteger(), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(Value(-1e300).numberAsInteger(), std::numeric_limits<int64_t>::min());
  EXPECT_EQ(Value(-2.9).numberAsInteger(), -2);
  EXPECT_EQ(Value(true).numberAsDouble(), 1.0);
  EXPECT_FALSE(Value("1").numberAsDouble().has_value());
}

TEST(Value, DictionaryAndArrayBuildingIsDeep) {
  Value v;
  v["a"]["b"] = 3;
  v["list"].push_back("x");
  Value copy = v;
  v["a"]["b"] = 4;
  ASSERT_NE(copy.find("a"), nullptr);
  EXPECT_EQ(*copy.find("a")->find("b"), Value(3));
  EXPECT_EQ(copy.find("list")->asArray()->size(), 1u);
  EXPECT_EQ(copy.find("missing"), nullptr);
  EXPECT_EQ(Value(1).find("a"), nullptr);
}

TEST(Value, RealDescriptionIsTheShortestRoundTrip) {
  EXPECT_EQ(Value(0.1).description(), "0.1");
  EXPECT_EQ(Value(3.0).description(), "3");
  EXPECT_EQ(Value(-2.5).description(), "-2.5");
  EXPECT_EQ(Value(1.0 / 3).description(), "0.3333333333333333");
  EXPECT_EQ(std::stod(Value(1e300).description()), 1e300);
  EXPECT_EQ(Value(std::nan("")).description(), "nan");
}

// An object is held by reference: copies share it, equality is identity, a null object is the
// null value, and neither JSON nor a property list can carry one.
TEST(Value, ObjectsAreSharedByReferenceAndHaveNoSerialForm) {
  auto object = std::make_shared<platform::RuntimeObject>();
  Value held(object);
  Value::Dictionary options{{"object", held}};
  Value copy(options);
  ASSERT_TRUE(copy.find("object")->isObject());
  EXPECT_EQ(copy.find("object")->asObject()->get(), object.get());
  EXPECT_EQ(held, Value(object));
  EXPECT_NE(held, Value(std::make_shared<platform::RuntimeObject>()));
  EXPECT_TRUE(Value(platform::Value::Object()).isNull());
  EXPECT_FALSE(platform::JSONSerialization::dataWithJSONObject(copy).ok());
  EXPECT_FALSE(platform::PropertyListSerialization::dataWithPropertyList(
                   copy, platform::PropertyListSerialization::Format::Binary)
                   .ok());
}

}  // namespace
