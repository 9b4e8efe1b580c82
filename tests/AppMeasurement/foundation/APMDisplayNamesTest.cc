// Debug renderings of names and parameter maps.
#include "AppMeasurement/foundation/APMDisplayNames.h"

#include <gtest/gtest.h>

#include "AppMeasurement/foundation/APMMonitor.h"
#include "platform/runtime/ClassRegistry.h"
#include "tests/AppMeasurement/foundation/ParameterTestSupport.h"

namespace {

using testsupport::I;
using testsupport::S;

class DisplayNames : public testsupport::ParameterTest {
 protected:
  void setDebug(bool debug, bool registered) {
    APMMonitor::monitor()->setDebugModeEnabled(debug);
    if (registered) {
      platform::ClassRegistry::shared().registerClass("KVLAnalytics", [] { return nullptr; });
    } else {
      platform::ClassRegistry::shared().unregisterClass("KVLAnalytics");
    }
  }
  void TearDown() override {
    setDebug(false, false);
    ParameterTest::TearDown();
  }
};

TEST_F(DisplayNames, InternalNamesShowTheirPublicNameInDebugMode) {
  struct Case {
    std::string label;
    bool debug, registered;
    std::string (*render)(const APMObject&);
    APMObject name;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"event", true, true, APMEventNameForDisplay, "_vs", "screen_view (_vs)"},
      {"not debug", false, true, APMEventNameForDisplay, "_vs", "_vs"},
      {"class absent", true, false, APMEventNameForDisplay, "_vs", "_vs"},
      {"public name", true, true, APMEventNameForDisplay, "level_up", "level_up"},
      {"unknown internal", true, true, APMEventNameForDisplay, "_zz", "_zz"},
      {"kavrelin_ key only when no other", true, true, APMParameterNameForDisplay, "_sn",
       "oa_screen (_sn)"},
      {"kavrelin_ key alone", true, true, APMParameterNameForDisplay, "_ffr",
       "kavrelin_feature_rollouts (_ffr)"},
      {"user property", true, true, APMUserPropertyNameForDisplay, "_fot",
       "first_open_time (_fot)"},
      {"experiment", true, true, APMUserPropertyNameForDisplay, "_exp_12",
       "experiment_id (_exp_12)"},
      {"experiment, not debug", false, false, APMUserPropertyNameForDisplay, "_exp_12",
       "experiment_id (_exp_12)"},
      {"not a string", true, true, APMEventNameForDisplay, APMObject(5), "5"},
  };
  for (const Case& c : cases) {
    setDebug(c.debug, c.registered);
    EXPECT_EQ(c.render(c.name), c.expected) << c.label;
  }
}

TEST_F(DisplayNames, MapsRenderSortedWithErrorNames) {
  setDebug(true, true);
  APMObjectMap item{{"item_id", APMObject(S("a"))}};
  APMValueMap parameters{{"b", I(1)},
                         {"A", S("x")},
                         {"_err", I(3)},
                         {"_sn", S("Home")},
                         {"items", APMValue(APMValue::Array{APMObject(item)})}};
  EXPECT_EQ(APMDescriptionForLog(parameters),
            "{\n"
            "    oa_error (_err) = InvalidParameterName (3);\n"
            "    oa_screen (_sn) = Home;\n"
            "    A = x;\n"
            "    b = 1;\n"
            "    items = [\n"
            "    {\n"
            "        item_id = a;\n"
            "    }\n"
            "    ];\n"
            "}");
  setDebug(false, true);
  EXPECT_EQ(APMDescriptionForLog(APMObject("text")), "text");
}

}  // namespace
