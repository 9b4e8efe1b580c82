// View controllers and windows: appearance callbacks (the controller's own code, then the
// observers), what containers and presentation show and in which order they announce it, and
// the key window.
#include "platform/uikit/UIViewController.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/foundation/NotificationCenter.h"
#include "platform/uikit/UIApplicationNotifications.h"
#include "platform/uikit/UIWindow.h"

namespace {

// Appearances in order: "+Name" appeared, "-Name" disappeared; "own+Name" from the
// controller's own code.
std::vector<std::string>& journal() {
  static std::vector<std::string> entries;
  return entries;
}

class JournalingController : public UIViewController {
 public:
  explicit JournalingController(std::string name)
      : UIViewController(ClassInfo{name, "UIViewController", true}) {}

 protected:
  void didAppear(bool) override {
    journal().push_back("own+" + className());
    // Own code sees itself in its window already.
    if (!viewWindow()) journal().push_back("not-in-window");
  }
};

class UIViewControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    journal().clear();
    token_ = UIViewController::addAppearanceObserver(
        [](UIViewController& controller, UIViewController::Appearance what) {
          journal().push_back((what == UIViewController::Appearance::kDidAppear ? "+" : "-") +
                              controller.className());
        });
  }
  void TearDown() override {
    UIViewController::removeAppearanceObserver(token_);
    UIWindow::closeAllWindowsForTesting();
  }
  static std::shared_ptr<UIViewController> plain(const std::string& name) {
    return std::make_shared<UIViewController>(
        UIViewController::ClassInfo{name, "UIViewController", true});
  }
  uint64_t token_ = 0;
};

TEST_F(UIViewControllerTest, OwnCodeRunsBeforeTheObservers) {
  auto home = std::make_shared<JournalingController>("Home");
  std::shared_ptr<UIWindow> window = UIWindow::create();
  window->setRootViewController(home);
  EXPECT_TRUE(journal().empty());  // not visible yet
  window->makeKeyAndVisible();
  EXPECT_EQ(journal(), (std::vector<std::string>{"own+Home", "+Home"}));
  window->makeKeyAndVisible();  // already key and shown: nothing again
  EXPECT_EQ(journal().size(), 2u);
}

TEST_F(UIViewControllerTest, NavigationShowsTheTopAndAnnouncesTheOldOneFirst) {
  auto navigation = std::make_shared<UINavigationController>();
  auto home = plain("Home");
  navigation->pushViewController(home);
  std::shared_ptr<UIWindow> window = UIWindow::create();
  window->setRootViewController(navigation);
  window->makeKeyAndVisible();
  EXPECT_EQ(journal(), (std::vector<std::string>{"+UINavigationController", "+Home"}));
  journal().clear();
  auto detail = plain("Detail");
  navigation->pushViewController(detail);
  EXPECT_EQ(journal(), (std::vector<std::string>{"-Home", "+Detail"}));
  EXPECT_EQ(navigation->visibleViewController(), detail);
  EXPECT_EQ(detail->viewWindow(), window);
  EXPECT_EQ(home->viewWindow(), nullptr);
  EXPECT_TRUE(home->isViewLoaded());
  EXPECT_EQ(detail->parentViewController(), navigation);
  journal().clear();
  EXPECT_EQ(navigation->popViewController(), detail);
  EXPECT_EQ(journal(), (std::vector<std::string>{"-Detail", "+Home"}));
  EXPECT_EQ(navigation->popViewController(), nullptr);  // the last one stays
  EXPECT_EQ(detail->parentViewController(), nullptr);
}

TEST_F(UIViewControllerTest, PresentationIsUnderWayUntilItsAppearanceRan) {
  auto home = plain("Home");
  std::shared_ptr<UIWindow> window = UIWindow::create();
  window->setRootViewController(home);
  window->makeKeyAndVisible();
  auto sheet = plain("Sheet");
  bool presentingSeen = false;
  uint64_t token = UIViewController::addAppearanceObserver(
      [&](UIViewController& controller, UIViewController::Appearance) {
        if (&controller == sheet.get()) presentingSeen = controller.isBeingPresented();
      });
  home->presentViewController(sheet);
  UIViewController::removeAppearanceObserver(token);
  EXPECT_TRUE(presentingSeen);
  EXPECT_FALSE(sheet->isBeingPresented());
  EXPECT_EQ(home->presentedViewController(), sheet);
  EXPECT_EQ(sheet->presentingViewController(), home);
  EXPECT_EQ(sheet->viewWindow(), window);
  journal().clear();
  home->dismissViewController();
  EXPECT_EQ(journal(), (std::vector<std::string>{"-Sheet"}));
  EXPECT_EQ(sheet->viewWindow(), nullptr);
  EXPECT_EQ(home->presentedViewController(), nullptr);
}

TEST_F(UIViewControllerTest, TabsAndPagesShowTheirChosenControllers) {
  auto tabs = std::make_shared<UITabBarController>();
  auto first = plain("First");
  auto second = plain("Second");
  tabs->setViewControllers({first, second});
  std::shared_ptr<UIWindow> window = UIWindow::create();
  window->setRootViewController(tabs);
  window->makeKeyAndVisible();
  EXPECT_EQ(journal(), (std::vector<std::string>{"+UITabBarController", "+First"}));
  EXPECT_EQ(second->viewWindow(), nullptr);
  journal().clear();
  tabs->setSelectedIndex(1);
  tabs->setSelectedIndex(7);  // out of range: nothing
  EXPECT_EQ(journal(), (std::vector<std::string>{"-First", "+Second"}));
  EXPECT_EQ(tabs->selectedViewController(), second);

  auto pages = std::make_shared<UIPageViewController>();
  auto one = plain("One");
  auto two = plain("Two");
  window->setRootViewController(pages);
  journal().clear();
  pages->setViewControllers({one});
  pages->setViewControllers({two});
  EXPECT_EQ(journal(), (std::vector<std::string>{"+One", "-One", "+Two"}));
  EXPECT_EQ(pages->viewControllers(), std::vector<std::shared_ptr<UIViewController>>{two});
}

TEST_F(UIViewControllerTest, OneKeyWindowAndTheResigningOnePosts) {
  std::vector<const void*> resigned;
  auto token = platform::NotificationCenter::defaultCenter().addObserverForName(
      UIWindowDidResignKeyNotification, nullptr, nullptr,
      [&](const platform::Notification& note) { resigned.push_back(note.object); });
  std::shared_ptr<UIWindow> first = UIWindow::create();
  std::shared_ptr<UIWindow> second = UIWindow::create();
  first->makeKeyAndVisible();
  EXPECT_EQ(UIWindow::keyWindow(), first);
  second->makeKeyAndVisible();
  EXPECT_EQ(UIWindow::keyWindow(), second);
  EXPECT_FALSE(first->isKeyWindow());
  EXPECT_EQ(resigned, std::vector<const void*>{first.get()});
  second->close();
  EXPECT_EQ(UIWindow::keyWindow(), nullptr);
  EXPECT_EQ(UIWindow::windows(), std::vector<std::shared_ptr<UIWindow>>{first});
  platform::NotificationCenter::defaultCenter().removeObserver(token);
}

TEST_F(UIViewControllerTest, ContainmentCyclesAndSelfAreRefused) {
  auto a = plain("A");
  a->addChildViewController(a);
  a->presentViewController(a);
  EXPECT_TRUE(a->childViewControllers().empty());
  EXPECT_EQ(a->presentedViewController(), nullptr);
  auto b = plain("B");
  a->addChildViewController(b);
  a->addChildViewController(b);  // moves, never twice
  EXPECT_EQ(a->childViewControllers().size(), 1u);
  b->removeFromParentViewController();
  EXPECT_TRUE(a->childViewControllers().empty());
}

}  // namespace
