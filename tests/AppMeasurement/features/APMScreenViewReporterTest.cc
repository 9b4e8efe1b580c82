// Screens under virtual time with the uikit stand-in: which controller becomes the current
// screen, the "_vs" events of controllers, setScreenName and logged "screen_view" events, the
// screen-reporting switch, and the application's life cycle.
#include "tests/AppMeasurement/features/ReporterTestSupport.h"

namespace {

using reportertest::Logged;
using reportertest::ReporterTest;

class ScreenViewReporter : public ReporterTest {
 protected:
  void SetUp() override {
    ReporterTest::SetUp();
    startSessions();
    becomeActive();
  }
};

TEST_F(ScreenViewReporter, PushOnNavigationLogsTheVisibleControllerWithThePreviousScreen) {
  auto navigation = std::make_shared<UINavigationController>();
  auto home = controller("App.HomeController");
  navigation->pushViewController(home);
  showInKeyWindow(navigation);
  ASSERT_EQ(screenViews().size(), 1u);
  Logged first = screenViews()[0];
  EXPECT_EQ(first.origin, "auto");
  EXPECT_EQ(first.text("_sc"), "HomeController");  // module-free
  EXPECT_FALSE(first.parameter("_pi"));

  env.advance(4);
  navigation->pushViewController(controller("App.DetailController"));
  env.waitUntilIdle();
  ASSERT_EQ(screenViews().size(), 2u);
  Logged second = screenViews()[1];
  EXPECT_EQ(second.text("_sc"), "DetailController");
  EXPECT_EQ(second.text("_pc"), "HomeController");
  EXPECT_EQ(second.integer("_pi"), first.integer("_si"));
  EXPECT_NE(second.integer("_si"), first.integer("_si"));
  // The session reporter credits the engagement to the screen that was shown.
  ASSERT_FALSE(facade->events("_e").empty());
  EXPECT_EQ(facade->events("_e").back().text("_sc"), "HomeController");
  EXPECT_EQ(facade->events("_e").back().integer("_et"), 4000);

  // Popping back shows Home's screen again, with its own id.
  navigation->popViewController();
  env.waitUntilIdle();
  ASSERT_EQ(screenViews().size(), 3u);
  EXPECT_EQ(screenViews()[2].integer("_si"), first.integer("_si"));
  std::optional<std::string> name;
  std::optional<std::string> className;
  screens->getScreenName(&name, &className);
  EXPECT_FALSE(name);
  EXPECT_EQ(className, "HomeController");
}

TEST_F(ScreenViewReporter, SystemControllersNeverBecomeTheScreen) {
  auto home = controller("HomeController");
  showInKeyWindow(home);
  facade->clear();
  struct Case {
    UIViewController::ClassInfo info;
  };
  for (const Case& c : {Case{{"_UIAlertShimController", "UIViewController", false}},
                        Case{{"UIKit.SheetHost", "_UISheetPresentationController", false}}}) {
    SCOPED_TRACE(c.info.className);
    auto hidden = std::make_shared<UIViewController>(c.info);
    home->presentViewController(hidden);
    env.waitUntilIdle();
    EXPECT_TRUE(screenViews().empty());
    home->dismissViewController();
    env.waitUntilIdle();
  }
  // The same name from the app's own bundle is the app's own business: it is tracked.
  home->presentViewController(controller("_AppPrivateController"));
  env.waitUntilIdle();
  ASSERT_EQ(screenViews().size(), 1u);
  EXPECT_EQ(screenViews()[0].text("_sc"), "_AppPrivateController");
}

TEST_F(ScreenViewReporter, SetScreenNameTwiceLogsOnce) {
  showInKeyWindow(controller("HomeController"));
  facade->clear();
  screens->setScreenName(std::string("Settings"), std::nullopt);
  screens->setScreenName(std::string("Settings"), std::nullopt);
  ASSERT_EQ(screenViews().size(), 1u);
  EXPECT_EQ(screenViews()[0].text("_sn"), "Settings");
  EXPECT_EQ(screenViews()[0].text("_sc"), "HomeController");
  EXPECT_TRUE(logged(31004));
  screens->setScreenName(std::string("Settings"), std::string("SettingsView"));
  EXPECT_EQ(screenViews().size(), 2u);
  // Invalid values are refused before anything changes.
  screens->setScreenName(std::string(""), std::nullopt);
  screens->setScreenName(std::nullopt, std::string(600, 'c'));
  EXPECT_EQ(screenViews().size(), 2u);
  EXPECT_TRUE(logged(31001));
  EXPECT_TRUE(logged(31002));
}

TEST_F(ScreenViewReporter, SetScreenNameBeforeAnyControllerIsRefused) {
  screens->setScreenName(std::string("Early"), std::nullopt);
  EXPECT_TRUE(screenViews().empty());
  EXPECT_TRUE(logged(31003));
}

TEST_F(ScreenViewReporter, ScreenViewEventBecomesVsWithOriginAppAndItsTime) {
  showInKeyWindow(controller("HomeController"));
  facade->clear();
  double loggedAt = env.now() - 3;
  screens->trackScreenWithParameters(
      APMObjectMap{{"screen_name", APMObject(platform::Value("Checkout"))},
                   {"screen_class", APMObject(platform::Value("CheckoutView"))},
                   {"step", APMObject(platform::Value(int64_t{2}))}},
      loggedAt);
  env.waitUntilIdle();
  ASSERT_EQ(screenViews().size(), 1u);
  Logged view = screenViews()[0];
  EXPECT_EQ(view.origin, "app");
  EXPECT_EQ(view.timestamp, loggedAt);
  EXPECT_EQ(view.text("_sn"), "Checkout");
  EXPECT_EQ(view.text("_sc"), "CheckoutView");
  EXPECT_EQ(view.text("_pc"), "HomeController");
  EXPECT_EQ(view.integer("step"), 2);
  EXPECT_FALSE(view.parameter("screen_name"));
  EXPECT_FALSE(view.parameter("screen_class"));
  EXPECT_FALSE(view.parameter("_mst"));
  // Without a class (absent, or null as a bridge hands it), the key window's root controller
  // names it.
  screens->trackScreenWithParameters(
      APMObjectMap{{"screen_name", APMObject(platform::Value("Receipt"))},
                   {"screen_class", APMObject(platform::Value())}},
      env.now());
  env.waitUntilIdle();
  EXPECT_EQ(screenViews().back().text("_sc"), "HomeController");
  // A bad name ends the call.
  screens->trackScreenWithParameters(
      APMObjectMap{{"screen_name", APMObject(platform::Value(int64_t{5}))}}, env.now());
  env.waitUntilIdle();
  EXPECT_EQ(screenViews().size(), 2u);
  EXPECT_TRUE(logged(31027));
}

TEST_F(ScreenViewReporter, SwitchOffMarksManualScreensAndRefusesSetScreenName) {
  useInfoPlist({{"KavrelinScreenReportingEnabled", platform::Value(false)},
                {"KavrelinAutomaticScreenReportingEnabled", platform::Value(true)}});
  EXPECT_FALSE(APMIsScreenReportingEnabled());
  screens->trackScreenWithParameters(
      APMObjectMap{{"screen_name", APMObject(platform::Value("Manual"))},
                   {"screen_class", APMObject(platform::Value("ManualView"))}},
      env.now());
  env.waitUntilIdle();
  ASSERT_EQ(screenViews().size(), 1u);
  EXPECT_EQ(screenViews()[0].integer("_mst"), 1);
  screens->setScreenName(std::string("Other"), std::nullopt);
  EXPECT_EQ(screenViews().size(), 1u);
  EXPECT_TRUE(logged(31000));

  struct Case {
    platform::Value::Dictionary keys;
    bool enabled;
  };
  const Case cases[] = {
      {{}, true},
      {{{"KavrelinAutomaticScreenReportingEnabled", platform::Value(false)}}, false},
      {{{"KavrelinScreenReportingEnabled", platform::Value("NO")}}, true},  // not a number
      {{{"KavrelinScreenReportingEnabled", platform::Value(int64_t{0})}}, false},
  };
  for (const Case& c : cases) {
    useInfoPlist(c.keys);
    EXPECT_EQ(APMIsScreenReportingEnabled(), c.enabled);
  }
}

TEST_F(ScreenViewReporter, ForegroundOnTheSameScreenLogsNothingAndAChangeWhileAwayLogsOnReturn) {
  auto navigation = std::make_shared<UINavigationController>();
  navigation->pushViewController(controller("HomeController"));
  showInKeyWindow(navigation);
  EXPECT_EQ(screens->screenParameters().count("_sc"), 1u);
  enterBackground();
  EXPECT_TRUE(screens->screenParameters().empty());  // the app was active before and is not
  returnToForeground();
  EXPECT_EQ(screenViews().size(), 1u);

  enterBackground();
  navigation->pushViewController(controller("DetailController"));
  env.waitUntilIdle();
  EXPECT_EQ(screenViews().size(), 1u);
  EXPECT_TRUE(logged(31013));
  returnToForeground();
  ASSERT_EQ(screenViews().size(), 2u);
  EXPECT_EQ(screenViews()[1].text("_sc"), "DetailController");
  EXPECT_EQ(screenViews()[1].text("_pc"), "HomeController");
}

TEST_F(ScreenViewReporter, FreedControllersOnTheStackAreDropped) {
  auto navigation = std::make_shared<UINavigationController>();
  navigation->pushViewController(controller("HomeController"));
  showInKeyWindow(navigation);
  for (int i = 0; i < 5; ++i) {
    navigation->pushViewController(controller("Step" + std::to_string(i)));
    env.waitUntilIdle();
  }
  for (int i = 0; i < 5; ++i) navigation->popViewController();  // freed: nothing holds them
  env.waitUntilIdle();
  screens->setScreenName(std::string("Back"), std::nullopt);
  EXPECT_EQ(screenViews().back().text("_sc"), "HomeController");
  std::set<int64_t> ids;
  for (const Logged& view : screenViews()) ids.insert(*view.integer("_si"));
  EXPECT_EQ(ids.size(), 7u);  // Home, five steps, the named screen (Home's return reuses its id)
}

TEST_F(ScreenViewReporter, RootAppearingAgainStartsTheStackOver) {
  auto first = controller("FirstRoot");
  std::shared_ptr<UIWindow> window = showInKeyWindow(first);
  first->presentViewController(controller("Overlay"));
  env.waitUntilIdle();
  auto second = controller("SecondRoot");
  window->setRootViewController(second);
  env.waitUntilIdle();
  EXPECT_EQ(screenViews().back().text("_sc"), "SecondRoot");
  std::shared_ptr<APMScreenStack> stack = APMStackOfWindow(*window);
  ASSERT_TRUE(stack);
  EXPECT_EQ(stack->liveTopFirst().size(), 1u);
}

TEST_F(ScreenViewReporter, AWindowResigningKeyHandsTheScreenToTheNewKeyWindow) {
  std::shared_ptr<UIWindow> main = showInKeyWindow(controller("HomeController"));
  std::shared_ptr<UIWindow> popup = showInKeyWindow(controller("PopupController"));
  ASSERT_EQ(screenViews().size(), 2u);
  main->makeKeyAndVisible();  // shown before: nothing appears, the popup window resigns
  env.waitUntilIdle();
  ASSERT_EQ(screenViews().size(), 3u);
  EXPECT_EQ(screenViews()[2].text("_sc"), "HomeController");
  EXPECT_EQ(screenViews()[2].text("_pc"), "PopupController");
}

class RecordingDelegate : public APMScreenViewReporterDelegate {
 public:
  void viewControllerDidAppear(UIViewController& controller, bool tracked) override {
    appeared.emplace_back(controller.className(), tracked);
  }
  void viewControllerDidDisappear(UIViewController& controller) override {
    disappeared.push_back(controller.className());
  }
  std::vector<std::pair<std::string, bool>> appeared;
  std::vector<std::string> disappeared;
};

TEST_F(ScreenViewReporter, PerformanceDelegateHearsAppearancesAndOnlyOneIsKept) {
  auto delegate = std::make_shared<RecordingDelegate>();
  screens->setKavrelinPerfDelegate(delegate);
  screens->setKavrelinPerfDelegate(std::make_shared<RecordingDelegate>());
  EXPECT_TRUE(logged(31016));
  screens->setKavrelinPerfDelegate(std::make_shared<platform::RuntimeObject>());
  EXPECT_TRUE(logged(31019));
  auto home = controller("HomeController");
  showInKeyWindow(home);
  home->presentViewController(std::make_shared<UIViewController>(
      UIViewController::ClassInfo{"_UIPrivate", "UIViewController", false}));
  home->dismissViewController();
  env.waitUntilIdle();
  ASSERT_EQ(delegate->appeared.size(), 2u);
  EXPECT_EQ(delegate->appeared[0], std::make_pair(std::string("HomeController"), true));
  EXPECT_EQ(delegate->appeared[1], std::make_pair(std::string("_UIPrivate"), false));
  EXPECT_EQ(delegate->disappeared, std::vector<std::string>{"_UIPrivate"});
}

}  // namespace
