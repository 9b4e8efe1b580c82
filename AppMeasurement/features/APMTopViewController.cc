#include "AppMeasurement/features/APMTopViewController.h"

#include "AppMeasurement/features/APMScreenClassName.h"
#include "AppMeasurement/features/APMScreenParameters.h"
#include "AppMeasurement/foundation/APMMonitor.h"
#include "platform/uikit/UIWindow.h"

namespace {

constexpr int kMaxContainerDepth = 64;

bool isShown(const UIViewController& controller) {
  return controller.isViewLoaded() && controller.viewWindow() != nullptr;
}

bool isContainer(const std::shared_ptr<UIViewController>& controller) {
  return dynamic_cast<UINavigationController*>(controller.get()) ||
         dynamic_cast<UITabBarController*>(controller.get()) ||
         dynamic_cast<UIPageViewController*>(controller.get());
}

// One step down from a controller to what it shows.
std::shared_ptr<UIViewController> shownBy(const std::shared_ptr<UIViewController>& controller) {
  if (auto* navigation = dynamic_cast<UINavigationController*>(controller.get())) {
    return navigation->visibleViewController();
  }
  if (auto* tabs = dynamic_cast<UITabBarController*>(controller.get())) {
    return tabs->selectedViewController();
  }
  if (auto* pages = dynamic_cast<UIPageViewController*>(controller.get())) {
    std::vector<std::shared_ptr<UIViewController>> shown = pages->viewControllers();
    return shown.empty() ? nullptr : shown.front();
  }
  if (std::shared_ptr<UIViewController> presented = controller->presentedViewController()) {
    return presented;
  }
  return controller->isBeingPresented() ? controller : nullptr;
}

}  // namespace

bool APMIsTrackableViewController(const UIViewController& controller) {
  if (!controller.isFromMainBundle()) {
    if (APMScreenClassNameFromClass(controller.className()).starts_with("_") ||
        APMScreenClassNameFromClass(controller.superclassName()).starts_with("_")) {
      return false;
    }
  }
  std::shared_ptr<UIWindow> window = controller.viewWindow();
  return controller.isViewLoaded() && window && window == UIWindow::keyWindow();
}

std::shared_ptr<UIViewController> APMTopViewControllerOfStack(APMScreenStack& stack) {
  std::vector<std::shared_ptr<UIViewController>> topFirst = stack.liveTopFirst();
  for (const auto& controller : topFirst) {
    std::shared_ptr<APMScreen> screen = APMScreenOfViewController(*controller);
    if (screen && screen->isManuallySet() && isShown(*controller)) return controller;
  }
  for (const auto& controller : topFirst) {
    if (!isShown(*controller)) continue;
    if (APMScreenOfViewController(*controller)) return controller;
    std::shared_ptr<UIViewController> start = controller;
    if (std::shared_ptr<UIViewController> parent = controller->parentViewController()) {
      std::vector<std::shared_ptr<UIViewController>> children = parent->childViewControllers();
      bool siblingHidden = false;
      for (const auto& child : children) {
        if (child != controller && !isShown(*child)) siblingHidden = true;
      }
      if (children.size() > 1 && siblingHidden) {
        start = parent;
        if (APMScreenOfViewController(*parent)) return parent;
      }
    }
    std::shared_ptr<UIViewController> shown = shownBy(start);
    // Bounded: containers that (wrongly) contain each other must not hold the main thread.
    for (int depth = 0; shown && isContainer(shown) && depth < kMaxContainerDepth; ++depth) {
      shown = shownBy(shown);
    }
    if (shown && isContainer(shown)) shown = nullptr;
    if (shown && isShown(*shown)) return shown;
  }
  stack.compact();
  if (!stack.empty()) return stack.at(0);
  APMMonitor::monitor()->logWithLevel(5, 31011, "Root view controller not found");
  return nullptr;
}
