#include <gtest/gtest.h>

#include "AppMeasurement/messages/APMPBMessages.h"
#include "tests/support/LogCapture.h"

namespace {

TEST(APMPBFlag, ValueIsTheFirstPresentInFixedOrder) {
  EXPECT_EQ(APMPBFlagGetValue(nullptr), NANOObject{});
  APMPBFlag flag;
  EXPECT_EQ(APMPBFlagGetValue(&flag), NANOObject{});
  NANOSetBool(flag, APMPBFlag::kBoolValue, true);
  EXPECT_EQ(APMPBFlagGetValue(&flag), NANOObject{NANONumber::fromBool(true)});
  NANOSetString(flag, APMPBFlag::kStringValue, "s");
  EXPECT_EQ(APMPBFlagGetValue(&flag), NANOObject{std::string("s")});
  NANOSetDouble(flag, APMPBFlag::kDoubleValue, 1.5);
  EXPECT_EQ(APMPBFlagGetValue(&flag), NANOObject{NANONumber::fromDouble(1.5)});
  NANOSetInt64(flag, APMPBFlag::kIntValue, -4);
  EXPECT_EQ(APMPBFlagGetValue(&flag), NANOObject{NANONumber::fromInt64(-4)});
}

TEST(APMPBFlag, CreatePutsEachKindOfValueInItsField) {
  auto text = APMPBFlagCreate(std::string("n"), std::string("v"));
  ASSERT_TRUE(text);
  EXPECT_EQ(NANOGetString(*text, APMPBFlag::kName), "n");
  EXPECT_EQ(NANOGetString(*text, APMPBFlag::kStringValue), "v");

  auto real = APMPBFlagCreate(std::string("n"), NANONumber::fromDouble(2.5));
  ASSERT_TRUE(real);
  EXPECT_EQ(NANOGetDouble(*real, APMPBFlag::kDoubleValue), 2.5);
  EXPECT_FALSE(NANOHasField(*real, APMPBFlag::kIntValue));

  auto boolean = APMPBFlagCreate(std::string("n"), NANONumber::fromBool(true));
  ASSERT_TRUE(boolean);
  EXPECT_EQ(NANOGetInt64(*boolean, APMPBFlag::kIntValue), 1);
  EXPECT_FALSE(NANOHasField(*boolean, APMPBFlag::kBoolValue));
  EXPECT_EQ(boolean->protoBuffer(), std::string("\x0a\x01n\x10\x01", 5));
}

TEST(APMPBFlag, CreateRefusesBadNamesAndValues) {
  struct Logged {
    long code;
    std::string message;
    std::string context;
  };
  std::vector<Logged> logged;
  APMPBFlagLogger logger = [&](int level, long code, const std::string& message,
                               const std::string& context) {
    EXPECT_EQ(level, 1);
    logged.push_back({code, message, context});
  };
  EXPECT_EQ(APMPBFlagCreate(std::monostate{}, std::string("v"), logger), std::nullopt);
  EXPECT_EQ(APMPBFlagCreate(NANONumber::fromInt32(1), std::string("v"), logger), std::nullopt);
  EXPECT_EQ(APMPBFlagCreate(std::string("n"), NANOData{"x"}, logger), std::nullopt);
  EXPECT_EQ(APMPBFlagCreate(std::string("n"), std::monostate{}, logger), std::nullopt);
  ASSERT_EQ(logged.size(), 4u);
  EXPECT_EQ(logged[0].code, 850000);
  EXPECT_EQ(logged[0].message, "Flag name must not be nil");
  EXPECT_EQ(logged[1].code, 850001);
  EXPECT_EQ(logged[1].message, "Flag name must be a string");
  EXPECT_EQ(logged[1].context, "NSNumber");
  EXPECT_EQ(logged[2].code, 850002);
  EXPECT_EQ(logged[2].message, "Flag value is invalid");
  EXPECT_EQ(logged[3].context, "nil");

  testsupport::LogCapture log;
  EXPECT_EQ(APMPBFlagCreate(std::monostate{}, std::string("v")), std::nullopt);
  EXPECT_TRUE(log.contains("I-ACS850000 Flag name must not be nil"));
}

}  // namespace
