// Ad exposure under virtual time: the one-second floor, counts per unit, the unit limit, the
// cut at a screen change and while the app was away. (The refusals' messages are of a level
// that is never printed: the tests check what is, and is not, logged as events.)
#include "tests/AppMeasurement/features/ReporterTestSupport.h"

namespace {

using reportertest::Logged;
using reportertest::ReporterTest;

class AdExposureReporter : public ReporterTest {
 protected:
  void SetUp() override {
    ReporterTest::SetUp();
    becomeActive();
    facade->clear();
  }
  void begin(const std::string& id) {
    ads->beginAdUnitExposure(id);
    env.waitUntilIdle();
  }
};

TEST_F(AdExposureReporter, ExposuresUnderASecondAreNotLogged) {
  struct Case {
    double shown;
    bool logged;
  };
  for (Case c : {Case{0.8, false}, Case{1.5, true}, Case{0.999, false}, Case{1.0, true}}) {
    SCOPED_TRACE(c.shown);
    facade->clear();
    begin("banner");
    env.advance(c.shown);
    ads->endAdUnitExposure("banner");
    ASSERT_EQ(facade->events("_xu").size(), c.logged ? 1u : 0u);
    ASSERT_EQ(facade->events("_xa").size(), c.logged ? 1u : 0u);
    if (!c.logged) continue;
    Logged unit = facade->events("_xu")[0];
    EXPECT_EQ(unit.origin, "am");
    EXPECT_EQ(unit.text("_ai"), "banner");
    EXPECT_EQ(unit.integer("_xt"), static_cast<int64_t>(c.shown * 1000));
    EXPECT_EQ(facade->events("_xa")[0].integer("_xt"), static_cast<int64_t>(c.shown * 1000));
  }
}

TEST_F(AdExposureReporter, AUnitBegunTwiceNeedsTwoEnds) {
  begin("banner");
  begin("banner");
  env.advance(2);
  ads->endAdUnitExposure("banner");
  EXPECT_TRUE(facade->events().empty());
  ads->endAdUnitExposure("banner");
  EXPECT_EQ(facade->events("_xu").size(), 1u);
  ads->endAdUnitExposure("banner");  // unknown by now
  ads->beginAdUnitExposure("");
  ads->endAdUnitExposure("");
  EXPECT_EQ(facade->events().size(), 2u);
}

TEST_F(AdExposureReporter, AScreenChangeCreditsTheOldScreen) {
  begin("banner");
  env.advance(2);
  auto before = std::make_shared<APMScreen>("Home", "HomeController", 41);
  auto after = std::make_shared<APMScreen>("Detail", "DetailController", 42);
  ads->handleScreenDidChangeFromScreen(before, after);
  ASSERT_EQ(facade->events("_xu").size(), 1u);
  EXPECT_EQ(facade->events("_xu")[0].text("_sc"), "HomeController");
  EXPECT_EQ(facade->events("_xu")[0].integer("_si"), 41);
  EXPECT_EQ(facade->events("_xu")[0].integer("_xt"), 2000);
  EXPECT_EQ(facade->events("_xa")[0].text("_sn"), "Home");
  env.advance(1.5);
  ads->endAdUnitExposure("banner");
  ASSERT_EQ(facade->events("_xu").size(), 2u);
  EXPECT_EQ(facade->events("_xu")[1].integer("_xt"), 1500);  // measured from the change
}

TEST_F(AdExposureReporter, TheHundredAndFirstUnitIsIgnored) {
  for (int i = 0; i < 100; ++i) ads->beginAdUnitExposure("unit" + std::to_string(i));
  env.waitUntilIdle();
  begin("unit100");
  begin("unit7");  // refused too, though tracked
  env.advance(2);
  ads->endAdUnitExposure("unit100");
  ads->endAdUnitExposure("unit7");  // one begin counted: this end logs it
  EXPECT_EQ(facade->events("_xu").size(), 1u);
}

TEST_F(AdExposureReporter, TimeInTheBackgroundIsNotCounted) {
  begin("banner");
  env.advance(2);
  enterBackground();  // resigning cuts: 2 s credited
  ASSERT_EQ(facade->events("_xu").size(), 1u);
  EXPECT_EQ(facade->events("_xu")[0].integer("_xt"), 2000);
  env.advance(600);
  returnToForeground();
  env.advance(1.5);
  ads->endAdUnitExposure("banner");
  ASSERT_EQ(facade->events("_xu").size(), 2u);
  EXPECT_EQ(facade->events("_xu")[1].integer("_xt"), 1500);
}

TEST_F(AdExposureReporter, NothingWhileDisabledOrInactive) {
  ads->setReportingEnabled(false);
  begin("banner");
  env.advance(2);
  ads->endAdUnitExposure("banner");
  EXPECT_TRUE(facade->events().empty());
}

}  // namespace
