#include "OrvaneAdsOnDeviceConversion/Sources/ODCLogger.h"

#include "tests/OrvaneAdsOnDeviceConversion/ODCTestSupport.h"

namespace {

using ODCLoggerTest = odctest::ODCTest;

TEST_F(ODCLoggerTest, ErrorsCarryDomainCodeAndAreLoggedWithTheirCode) {
  OULError error = ODCErrorWithCode(42, "Something 100% odd.");
  EXPECT_EQ(error.domain, "com.orvane.ads.OnDeviceConversion.ErrorDomain");
  EXPECT_EQ(error.code, 42);
  EXPECT_EQ(error.description, "Something 100% odd.");
  EXPECT_TRUE(logs_.contains(
      "[com.orvane.appads] <OnDeviceConversion>[I-ODC000042] ERROR: Something 100% odd."));
  EXPECT_EQ(ODCErrorWithCode(7, "").description, "");
}

TEST_F(ODCLoggerTest, JsonReaderAnswersOnlyObjects) {
  struct Case {
    std::optional<std::string> data;
    int64_t code;  // 0: an object
  } cases[] = {{std::nullopt, 2000}, {"[1]", 2001},    {"\"text\"", 2001}, {"7", 2001},
               {"{", 3840},          {"{\"a\":1}", 0}, {"{}", 0}};
  for (const Case& c : cases) {
    std::optional<OULError> error;
    auto object = ODCJSONObjectFromData(c.data, &error);
    if (c.code == 0) {
      EXPECT_TRUE(object && object->isDictionary()) << *c.data;
      EXPECT_FALSE(error);
    } else {
      EXPECT_FALSE(object) << c.data.value_or("(nil)");
      ASSERT_TRUE(error);
      EXPECT_EQ(error->code, c.code) << c.data.value_or("(nil)");
    }
  }
  platform::Value body{platform::Value::Dictionary{}};
  body["psm_request"] = "a-b_c";
  body["odmed"] = "";
  EXPECT_EQ(ODCDataFromJSONObject(body), "{\"odmed\":\"\",\"psm_request\":\"a-b_c\"}");
  EXPECT_EQ(ODCDataFromJSONObject(platform::Value(std::nan(""))), std::nullopt);
}

}  // namespace
