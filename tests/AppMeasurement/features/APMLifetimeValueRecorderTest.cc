#include "AppMeasurement/features/APMLifetimeValueRecorder.h"

#include <cmath>
#include <limits>
#include <map>

#include <gtest/gtest.h>

#include "AppMeasurement/foundation/APMUserAttribute.h"
#include "AppMeasurement/records/APMEvent.h"
#include "tests/AppMeasurement/storage/StorageTestSupport.h"
#include "tests/support/LogCapture.h"

namespace {

using storagetest::sqliteTool;

APMEvent purchase(const std::string& name, std::optional<APMValue> currency,
                  std::optional<APMValue> value) {
  APMValueMap parameters;
  if (currency) parameters.emplace("currency", *currency);
  if (value) parameters.emplace("value", *value);
  std::optional<APMEvent> event =
      APMEvent::create("app", false, name, 1'700'000'000.0, 0, parameters);
  EXPECT_TRUE(event.has_value()) << name;
  return *event;
}

class APMLifetimeValueRecorderTest : public storagetest::StorageTest {
 protected:
  // The "_ltv_" rows as the sqlite3 tool reads them: "name|value" lines in name order.
  std::string rows() {
    return sqliteTool(path_,
                      "SELECT name, value FROM user_attributes WHERE name LIKE '\\_ltv\\_%' "
                      "ESCAPE '\\' ORDER BY name");
  }
  void seed(const std::string& name, int64_t micros, double setTime) {
    APMErrorSlot error;
    ASSERT_TRUE(database_->updateUserAttribute(
        *APMUserAttribute::create("auto", name, APMValue(micros), setTime), &error));
  }
};

// One rule per row: what a single purchase does to the stored totals.
TEST_F(APMLifetimeValueRecorderTest, RecordsOnePurchasePerRule) {
  const double kHuge = 9223372036854775808.0;  // 2^63
  struct Case {
    const char* label;
    std::map<std::string, int64_t> before;
    std::string name;
    std::optional<APMValue> currency;
    std::optional<APMValue> value;
    bool answer;
    const char* code;  // a line that must be logged, or ""
    std::string after;
  };
  const std::vector<Case> cases = {
      {"not a purchase", {}, "other", APMValue("USD"), APMValue(1.0), true, "", ""},
      {"purchase adds micro-units",
       {},
       "purchase",
       APMValue("USD"),
       APMValue(2.5),
       true,
       "",
       "_ltv_USD|2500000\n"},
      {"ecommerce_purchase with an integer value",
       {{"_ltv_EUR", 1}},
       "ecommerce_purchase",
       APMValue("eur"),
       APMValue(int64_t{3}),
       true,
       "",
       "_ltv_EUR|3000001\n"},
      {"refund lowers the total",
       {{"_ltv_USD", 5000000}},
       "refund",
       APMValue("USD"),
       APMValue(2.5),
       true,
       "",
       "_ltv_USD|2500000\n"},
      {"half a micro-unit rounds away from zero",
       {},
       "purchase",
       APMValue("USD"),
       APMValue(0.0000025),
       true,
       "",
       "_ltv_USD|3\n"},
      {"negative half rounds away from zero",
       {},
       "purchase",
       APMValue("USD"),
       APMValue(-0.0000025),
       true,
       "",
       "_ltv_USD|-3\n"},
      {"_iap is already in micro-units",
       {},
       "_iap",
       APMValue("USD"),
       APMValue(int64_t{990000}),
       true,
       "",
       "_ltv_USD|990000\n"},
      {"_iap double is truncated",
       {},
       "_iap",
       APMValue("USD"),
       APMValue(990000.9),
       true,
       "",
       "_ltv_USD|990000\n"},
      {"two-letter currency",
       {},
       "purchase",
       APMValue("US"),
       APMValue(1.0),
       true,
       "I-ACS022000",
       ""},
      {"currency of another type",
       {},
       "purchase",
       APMValue(int64_t{840}),
       APMValue(1.0),
       true,
       "I-ACS022000",
       ""},
      {"no currency", {}, "purchase", std::nullopt, APMValue(1.0), true, "I-ACS022000", ""},
      {"currency that makes no attribute name",
       {},
       "purchase",
       APMValue("U$D"),
       APMValue(1.0),
       true,
       "I-ACS022000",
       ""},
      {"value of another type",
       {},
       "purchase",
       APMValue("USD"),
       APMValue("1"),
       true,
       "I-ACS022001",
       ""},
      {"1e13 units are out of bounds",
       {},
       "purchase",
       APMValue("USD"),
       APMValue(1e13),
       false,
       "I-ACS022002",
       ""},
      {"NaN e-commerce value",
       {},
       "purchase",
       APMValue("USD"),
       APMValue(std::nan("")),
       false,
       "I-ACS022002",
       ""},
      {"_iap NaN", {}, "_iap", APMValue("USD"), APMValue(std::nan("")), false, "I-ACS022002", ""},
      {"_iap 2^63 is out of range",
       {},
       "_iap",
       APMValue("USD"),
       APMValue(kHuge),
       false,
       "I-ACS022002",
       ""},
      {"_iap -2^63 fits",
       {},
       "_iap",
       APMValue("USD"),
       APMValue(-kHuge),
       true,
       "",
       "_ltv_USD|-9223372036854775808\n"},
      {"refund of -2^63 micro-units cannot be negated",
       {},
       "refund",
       APMValue("USD"),
       APMValue(-kHuge / 1e6),
       false,
       "I-ACS022002",
       ""},
      {"total past int64 keeps the attribute",
       {{"_ltv_USD", INT64_MAX - 5}},
       "_iap",
       APMValue("USD"),
       APMValue(int64_t{10}),
       true,
       "I-ACS022002",
       "_ltv_USD|9223372036854775802\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    open();
    double time = 1000;
    for (const auto& [name, micros] : c.before) seed(name, micros, time++);
    testsupport::LogCapture capture;
    APMLifetimeValueRecorder recorder([] { return 4; });
    APMEvent event = purchase(c.name, c.currency, c.value);
    EXPECT_EQ(recorder.recordLifetimeValueToDatabase(*database_, event, environment_.now()),
              c.answer);
    environment_.waitUntilIdle();
    if (*c.code) {
      EXPECT_TRUE(capture.contains(c.code));
    }
    EXPECT_EQ(rows(), c.after);
    database_.reset();
    std::filesystem::remove(path_);
  }
}

// The least recently set currency goes when a new one would pass the limit; a known one
// never evicts.
TEST_F(APMLifetimeValueRecorderTest, EvictsTheLeastRecentlySetCurrencyAtTheLimit) {
  open();
  seed("_ltv_AAA", 1, 100);
  seed("_ltv_BBB", 2, 50);  // set longest ago
  seed("_ltv_CCC", 3, 300);
  seed("_ltv_DDD", 4, 200);
  APMLifetimeValueRecorder recorder([] { return 4; });
  ASSERT_TRUE(recorder.recordLifetimeValueToDatabase(
      *database_, purchase("_iap", APMValue("AAA"), APMValue(int64_t{10})), environment_.now()));
  EXPECT_EQ(rows(), "_ltv_AAA|11\n_ltv_BBB|2\n_ltv_CCC|3\n_ltv_DDD|4\n");
  ASSERT_TRUE(recorder.recordLifetimeValueToDatabase(
      *database_, purchase("_iap", APMValue("EEE"), APMValue(int64_t{5})), environment_.now()));
  EXPECT_EQ(rows(), "_ltv_AAA|11\n_ltv_CCC|3\n_ltv_DDD|4\n_ltv_EEE|5\n");
  // The set time is the one given: the new row is now the most recent.
  EXPECT_EQ(sqliteTool(path_, "SELECT set_timestamp FROM user_attributes WHERE name='_ltv_EEE'"),
            sqliteTool(path_, "SELECT MAX(set_timestamp) FROM user_attributes"));
}

// A store that cannot be read is a failure with its own code, never a silent success.
TEST_F(APMLifetimeValueRecorderTest, StoreFailuresAnswerNo) {
  open();
  ASSERT_EQ(sqliteTool(path_, "DROP TABLE user_attributes"), "");
  testsupport::LogCapture capture;
  APMLifetimeValueRecorder recorder([] { return 4; });
  EXPECT_FALSE(recorder.recordLifetimeValueToDatabase(
      *database_, purchase("purchase", APMValue("USD"), APMValue(1.0)), environment_.now()));
  environment_.waitUntilIdle();
  EXPECT_TRUE(capture.contains("I-ACS022003"));
}

TEST(APMLifetimeValueRecorderNames, PurchaseAndAdExposureEvents) {
  struct Case {
    const char* origin;
    const char* name;
    bool purchase;
    bool ecommerce;
    bool adExposure;
  };
  for (const Case& c : std::vector<Case>{{"app", "purchase", true, true, false},
                                         {"app", "ecommerce_purchase", true, true, false},
                                         {"app", "refund", true, true, false},
                                         {"auto", "_iap", true, false, false},
                                         {"auto", "_xa", false, false, true},
                                         {"auto", "_xu", false, false, true},
                                         {"am", "other", false, false, true},
                                         {"app", "_iapx", false, false, false}}) {
    SCOPED_TRACE(c.name);
    APMEvent event = *APMEvent::create(c.origin, false, c.name, 1, 0, APMValueMap{});
    APMLifetimeValueRecorder recorder([] { return 4; });
    EXPECT_EQ(recorder.isPurchaseEvent(event), c.purchase);
    EXPECT_EQ(APMLifetimeValueRecorder::isEcommercePurchaseEvent(event), c.ecommerce);
    EXPECT_EQ(APMIsAdExposureEvent(event), c.adExposure);
  }
}

}  // namespace
