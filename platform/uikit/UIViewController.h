#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/runtime/RuntimeObject.h"
#include "platform/uikit/UIAssociatedObjects.h"

class UIWindow;

// A view controller (the phone's UIViewController) as far as the app and the measurement
// library need one: its class (name, superclass name, whether the class comes from the app's
// main bundle), whether its view is loaded and which window the view is in, its parent and
// children, what it presents, and its appearance callbacks.
//
// Appearance: viewDidAppear / viewDidDisappear run the controller's own code (the virtual
// didAppear / didDisappear) and then every appearance observer, in the order they were added
// — the stand-in of the phone's method exchange on these two methods. The containers below
// and presentation call them the way the phone does when they change what is on screen.
//
// UI work: change controllers on the main thread. The queries may be called from any thread.
class UIViewController : public platform::RuntimeObject,
                         public UIAssociatedObjects,
                         public std::enable_shared_from_this<UIViewController> {
 public:
  // What the runtime knows of the controller's class.
  struct ClassInfo {
    std::string className = "UIViewController";  // may carry a module ("App.HomeController")
    std::string superclassName = "UIResponder";
    bool fromMainBundle = true;  // false for the system frameworks' controllers
  };
  enum class Appearance { kDidAppear, kDidDisappear };
  using AppearanceObserver = std::function<void(UIViewController& controller, Appearance what)>;

  UIViewController();
  explicit UIViewController(ClassInfo info);
  ~UIViewController() override = default;
  UIViewController(const UIViewController&) = delete;
  UIViewController& operator=(const UIViewController&) = delete;

  const std::string& className() const { return info_.className; }
  const std::string& superclassName() const { return info_.superclassName; }
  bool isFromMainBundle() const { return info_.fromMainBundle; }

  // --- The view. ---
  bool isViewLoaded() const;
  void loadViewIfNeeded();
  // The window the view is in, or nullptr (not loaded, or not in a window).
  std::shared_ptr<UIWindow> viewWindow() const;
  // Places the view (loading it) in a window, or takes it out with nullptr. The controller's
  // children and what it presents move with it.
  void setViewWindow(const std::shared_ptr<UIWindow>& window);

  // --- Containment. ---
  std::shared_ptr<UIViewController> parentViewController() const;
  std::vector<std::shared_ptr<UIViewController>> childViewControllers() const;
  void addChildViewController(const std::shared_ptr<UIViewController>& child);
  void removeFromParentViewController();

  // --- Presentation. ---
  std::shared_ptr<UIViewController> presentedViewController() const;
  std::shared_ptr<UIViewController> presentingViewController() const;
  // True while a presentation of this controller is under way (until its viewDidAppear has
  // run).
  bool isBeingPresented() const;
  // Presents `controller` over this one: its view goes into this one's window and appears.
  void presentViewController(const std::shared_ptr<UIViewController>& controller);
  // Dismisses what this one presents: it disappears and leaves the window.
  void dismissViewController();

  // --- Appearance. ---
  // The controllers whose views move in and out of a window with this one's and that appear
  // with it: every child for a plain controller; a container's shown ones.
  virtual std::vector<std::shared_ptr<UIViewController>> controllersShownWithView() const;
  // Calls viewDidAppear / viewDidDisappear on this controller and then, in turn, on each
  // controller shown with it, as the phone forwards appearance into containers.
  void appearWithShownControllers(bool animated);
  void disappearWithShownControllers(bool animated);
  void viewDidAppear(bool animated);
  void viewDidDisappear(bool animated);
  // Adds an observer of every controller's appearance; answers its token (never 0).
  static uint64_t addAppearanceObserver(AppearanceObserver observer);
  static void removeAppearanceObserver(uint64_t token);

 protected:
  // The controller's own appearance code.
  virtual void didAppear(bool animated) {}
  virtual void didDisappear(bool animated) {}

  mutable std::mutex mutex_;  // guards the fields below
  std::weak_ptr<UIWindow> window_;
  bool viewLoaded_ = false;
  std::weak_ptr<UIViewController> parent_;
  std::vector<std::shared_ptr<UIViewController>> children_;
  std::shared_ptr<UIViewController> presented_;
  std::weak_ptr<UIViewController> presenting_;
  bool beingPresented_ = false;

 private:
  const ClassInfo info_;
};

// A navigation stack: the top controller is shown; pushing shows a new one over it.
class UINavigationController : public UIViewController {
 public:
  UINavigationController();
  explicit UINavigationController(ClassInfo info);
  // The stack, bottom first.
  std::vector<std::shared_ptr<UIViewController>> viewControllers() const;
  std::shared_ptr<UIViewController> topViewController() const;
  // What is presented over the top controller, else the top controller.
  std::shared_ptr<UIViewController> visibleViewController() const;
  // Pushes `controller`: the old top disappears and leaves the window, the new one appears.
  void pushViewController(const std::shared_ptr<UIViewController>& controller);
  // Pops the top controller (not the last one); answers it or nullptr.
  std::shared_ptr<UIViewController> popViewController();

 public:
  std::vector<std::shared_ptr<UIViewController>> controllersShownWithView() const override;
};

// Tabs: the selected controller is shown.
class UITabBarController : public UIViewController {
 public:
  UITabBarController();
  explicit UITabBarController(ClassInfo info);
  void setViewControllers(const std::vector<std::shared_ptr<UIViewController>>& controllers);
  std::shared_ptr<UIViewController> selectedViewController() const;
  // Selects a tab: the old one disappears, the new one appears. Out of range does nothing.
  void setSelectedIndex(size_t index);

 public:
  std::vector<std::shared_ptr<UIViewController>> controllersShownWithView() const override;

 private:
  size_t selected_ = 0;  // guarded by mutex_
};

// Pages: the controllers given last are shown.
class UIPageViewController : public UIViewController {
 public:
  UIPageViewController();
  explicit UIPageViewController(ClassInfo info);
  void setViewControllers(const std::vector<std::shared_ptr<UIViewController>>& controllers);
  std::vector<std::shared_ptr<UIViewController>> viewControllers() const;

 public:
  std::vector<std::shared_ptr<UIViewController>> controllersShownWithView() const override;

 private:
  std::vector<std::shared_ptr<UIViewController>> pages_;  // guarded by mutex_
};
