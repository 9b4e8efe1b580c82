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
  struct Case {
    NANOObject name;
    NANOObject value;
    long code;
    std::string message;
    std::string context;
  };
  const Case cases[] = {
      {std::monostate{}, std::string("v"), 850000, "Flag name must not be nil", ""},
      {NANONumber::fromInt32(1), std::string("v"), 850001, "Flag name must be a string",
       "NSNumber"},
      {std::string("n"), NANOData{"x"}, 850002, "Flag value is invalid", "NSData"},
      {std::string("n"), std::monostate{}, 850002, "Flag value is invalid", "nil"},
  };
  for (const Case& c : cases) {
    int calls = 0;
    APMPBFlagLogger logger = [&](int level, long code, const std::string& message,
                                 const std::string& context) {
      ++calls;
      EXPECT_EQ(level, 1);
      EXPECT_EQ(code, c.code);
      EXPECT_EQ(message, c.message);
      EXPECT_EQ(context, c.context);
    };
    EXPECT_EQ(APMPBFlagCreate(c.name, c.value, logger), std::nullopt) << c.message;
    EXPECT_EQ(calls, 1) << c.message;
  }
  // Without a logger the line goes to the platform log with its code.
  testsupport::LogCapture log;
  EXPECT_EQ(APMPBFlagCreate(std::monostate{}, std::string("v")), std::nullopt);
  EXPECT_TRUE(log.contains("I-ACS850000 Flag name must not be nil"));
}

}  // namespace
