// The parameters that describe a screen on every event.
#include "AppMeasurement/features/APMScreenParameters.h"
#include "tests/AppMeasurement/features/ReporterTestSupport.h"

namespace {

using reportertest::ReporterTest;

class ScreenParameters : public ReporterTest {};

TEST_F(ScreenParameters, ClassNameDecidesWhatTheScreenCarries) {
  struct Case {
    std::optional<std::string> name;
    std::optional<std::string> className;
    std::vector<std::string> keys;
    int code;  // the message logged, or 0
  };
  const Case cases[] = {
      {"Home", "HomeController", {"_sc", "_si", "_sn"}, 0},
      {std::nullopt, "HomeController", {"_sc", "_si"}, 0},
      {"Home", std::nullopt, {"_si"}, 31014},
      {"Home", "", {"_si"}, 31015},
      {"Home", std::string(501, 'c'), {"_si"}, 31015},  // above the remote maximum of 500
      {std::string(501, 'n'), "HomeController", {"_sc", "_si"}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.className.value_or("(none)").substr(0, 20));
    capture.clear();
    APMObjectMap parameters = APMScreenEventParameters(APMScreen(c.name, c.className, 7));
    std::vector<std::string> keys;
    for (const auto& [key, value] : parameters) keys.push_back(key);
    EXPECT_EQ(keys, c.keys);
    EXPECT_EQ(parameters.at("_si").asValue()->int64Value(), 7);
    if (c.code != 0) {
      EXPECT_TRUE(logged(c.code));
    }
  }
  APMObjectMap previous = APMPreviousScreenEventParameters(APMScreen("Home", "", 9));
  EXPECT_EQ(previous.size(), 2u);
  EXPECT_EQ(previous.at("_pn").asValue()->description(), "Home");
}

TEST_F(ScreenParameters, ModuleFreeClassNames) {
  const std::pair<const char*, const char*> cases[] = {
      {"App.HomeController", "HomeController"},
      {"HomeController", "HomeController"},
      {"A.B.C", "C"},
      {"Trailing.", "Trailing."},
      {".Leading", "Leading"},
      {"", ""},
  };
  for (const auto& [given, expected] : cases) {
    EXPECT_EQ(APMScreenClassNameFromClass(given), expected) << given;
  }
}

}  // namespace
