#include "platform/uikit/UIViewController.h"

#include <algorithm>
#include <map>
#include <utility>

#include "platform/uikit/UIWindow.h"

namespace {

struct AppearanceObservers {
  std::mutex mutex;  // guards the fields below
  uint64_t nextToken = 1;
  std::map<uint64_t, UIViewController::AppearanceObserver> observers;  // in token order
};

AppearanceObservers& appearanceObservers() {
  static auto* observers = new AppearanceObservers();  // never destroyed: used up to exit
  return *observers;
}

void notifyObservers(UIViewController& controller, UIViewController::Appearance what) {
  std::vector<UIViewController::AppearanceObserver> observers;
  {
    std::lock_guard<std::mutex> lock(appearanceObservers().mutex);
    for (const auto& [token, observer] : appearanceObservers().observers) {
      observers.push_back(observer);
    }
  }
  for (const auto& observer : observers) observer(controller, what);
}

}  // namespace

UIViewController::UIViewController() : UIViewController(ClassInfo{}) {}

UIViewController::UIViewController(ClassInfo info) : info_(std::move(info)) {}

bool UIViewController::isViewLoaded() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return viewLoaded_;
}

void UIViewController::loadViewIfNeeded() {
  std::lock_guard<std::mutex> lock(mutex_);
  viewLoaded_ = true;
}

std::shared_ptr<UIWindow> UIViewController::viewWindow() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return viewLoaded_ ? window_.lock() : nullptr;
}

void UIViewController::setViewWindow(const std::shared_ptr<UIWindow>& window) {
  std::vector<std::shared_ptr<UIViewController>> moving = controllersShownWithView();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (window) viewLoaded_ = true;
    window_ = window;
    if (presented_) moving.push_back(presented_);
  }
  for (const auto& controller : moving) controller->setViewWindow(window);
}

std::shared_ptr<UIViewController> UIViewController::parentViewController() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return parent_.lock();
}

std::vector<std::shared_ptr<UIViewController>> UIViewController::childViewControllers() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return children_;
}

void UIViewController::addChildViewController(const std::shared_ptr<UIViewController>& child) {
  if (!child || child.get() == this) return;
  child->removeFromParentViewController();
  {
    std::lock_guard<std::mutex> lock(child->mutex_);
    child->parent_ = weak_from_this();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  children_.push_back(child);
}

void UIViewController::removeFromParentViewController() {
  std::shared_ptr<UIViewController> parent;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    parent = parent_.lock();
    parent_.reset();
  }
  if (!parent) return;
  std::lock_guard<std::mutex> lock(parent->mutex_);
  auto& children = parent->children_;
  children.erase(std::remove_if(children.begin(), children.end(),
                                [this](const auto& child) { return child.get() == this; }),
                 children.end());
}

std::shared_ptr<UIViewController> UIViewController::presentedViewController() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return presented_;
}

std::shared_ptr<UIViewController> UIViewController::presentingViewController() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return presenting_.lock();
}

bool UIViewController::isBeingPresented() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return beingPresented_;
}

void UIViewController::presentViewController(const std::shared_ptr<UIViewController>& controller) {
  if (!controller || controller.get() == this) return;
  std::shared_ptr<UIWindow> window;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (presented_) return;  // one presentation at a time, as on the phone
    presented_ = controller;
    window = window_.lock();
  }
  {
    std::lock_guard<std::mutex> lock(controller->mutex_);
    controller->presenting_ = weak_from_this();
    controller->beingPresented_ = true;
  }
  controller->setViewWindow(window);
  if (window) controller->appearWithShownControllers(true);
  std::lock_guard<std::mutex> lock(controller->mutex_);
  controller->beingPresented_ = false;
}

void UIViewController::dismissViewController() {
  std::shared_ptr<UIViewController> presented;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    presented = std::move(presented_);
    presented_.reset();
  }
  if (!presented) return;
  presented->setViewWindow(nullptr);
  presented->disappearWithShownControllers(true);
  std::lock_guard<std::mutex> lock(presented->mutex_);
  presented->presenting_.reset();
}

std::vector<std::shared_ptr<UIViewController>> UIViewController::controllersShownWithView() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return children_;
}

void UIViewController::appearWithShownControllers(bool animated) {
  viewDidAppear(animated);
  for (const auto& controller : controllersShownWithView()) {
    controller->appearWithShownControllers(animated);
  }
}

void UIViewController::disappearWithShownControllers(bool animated) {
  viewDidDisappear(animated);
  for (const auto& controller : controllersShownWithView()) {
    controller->disappearWithShownControllers(animated);
  }
}

void UIViewController::viewDidAppear(bool animated) {
  std::shared_ptr<UIViewController> keepAlive = weak_from_this().lock();
  didAppear(animated);
  notifyObservers(*this, Appearance::kDidAppear);
}

void UIViewController::viewDidDisappear(bool animated) {
  std::shared_ptr<UIViewController> keepAlive = weak_from_this().lock();
  didDisappear(animated);
  notifyObservers(*this, Appearance::kDidDisappear);
}

uint64_t UIViewController::addAppearanceObserver(AppearanceObserver observer) {
  std::lock_guard<std::mutex> lock(appearanceObservers().mutex);
  uint64_t token = appearanceObservers().nextToken++;
  appearanceObservers().observers.emplace(token, std::move(observer));
  return token;
}

void UIViewController::removeAppearanceObserver(uint64_t token) {
  std::lock_guard<std::mutex> lock(appearanceObservers().mutex);
  appearanceObservers().observers.erase(token);
}

// --- Navigation ---

UINavigationController::UINavigationController()
    : UINavigationController(ClassInfo{"UINavigationController", "UIViewController", false}) {}

UINavigationController::UINavigationController(ClassInfo info)
    : UIViewController(std::move(info)) {}

std::vector<std::shared_ptr<UIViewController>> UINavigationController::viewControllers() const {
  return childViewControllers();
}

std::shared_ptr<UIViewController> UINavigationController::topViewController() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return children_.empty() ? nullptr : children_.back();
}

std::shared_ptr<UIViewController> UINavigationController::visibleViewController() const {
  std::shared_ptr<UIViewController> top = topViewController();
  if (!top) return nullptr;
  std::shared_ptr<UIViewController> presented = top->presentedViewController();
  return presented ? presented : top;
}

std::vector<std::shared_ptr<UIViewController>> UINavigationController::controllersShownWithView()
    const {
  std::shared_ptr<UIViewController> top = topViewController();
  if (!top) return {};
  return {top};
}

void UINavigationController::pushViewController(
    const std::shared_ptr<UIViewController>& controller) {
  if (!controller) return;
  std::shared_ptr<UIViewController> old = topViewController();
  std::shared_ptr<UIWindow> window = viewWindow();
  addChildViewController(controller);
  // Both views are in the window during the transition; the old one leaves before its
  // disappearance is announced, the new one then appears.
  controller->setViewWindow(window);
  if (old) old->setViewWindow(nullptr);
  if (!window) return;
  if (old) old->disappearWithShownControllers(true);
  controller->appearWithShownControllers(true);
}

std::shared_ptr<UIViewController> UINavigationController::popViewController() {
  std::shared_ptr<UIViewController> top;
  std::shared_ptr<UIViewController> below;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (children_.size() < 2) return nullptr;
    top = children_.back();
    below = children_[children_.size() - 2];
  }
  std::shared_ptr<UIWindow> window = viewWindow();
  below->setViewWindow(window);
  top->setViewWindow(nullptr);
  top->removeFromParentViewController();
  if (window) {
    top->disappearWithShownControllers(true);
    below->appearWithShownControllers(true);
  }
  return top;
}

// --- Tabs ---

UITabBarController::UITabBarController()
    : UITabBarController(ClassInfo{"UITabBarController", "UIViewController", false}) {}

UITabBarController::UITabBarController(ClassInfo info) : UIViewController(std::move(info)) {}

void UITabBarController::setViewControllers(
    const std::vector<std::shared_ptr<UIViewController>>& controllers) {
  for (const auto& child : childViewControllers()) {
    child->setViewWindow(nullptr);
    child->removeFromParentViewController();
  }
  for (const auto& controller : controllers) addChildViewController(controller);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    selected_ = 0;
  }
  if (std::shared_ptr<UIViewController> selected = selectedViewController()) {
    selected->setViewWindow(viewWindow());
  }
}

std::shared_ptr<UIViewController> UITabBarController::selectedViewController() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return selected_ < children_.size() ? children_[selected_] : nullptr;
}

std::vector<std::shared_ptr<UIViewController>> UITabBarController::controllersShownWithView()
    const {
  std::shared_ptr<UIViewController> selected = selectedViewController();
  if (!selected) return {};
  return {selected};
}

void UITabBarController::setSelectedIndex(size_t index) {
  std::shared_ptr<UIViewController> old = selectedViewController();
  std::shared_ptr<UIViewController> chosen;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (index >= children_.size() || index == selected_) return;
    selected_ = index;
    chosen = children_[index];
  }
  std::shared_ptr<UIWindow> window = viewWindow();
  chosen->setViewWindow(window);
  if (old) old->setViewWindow(nullptr);
  if (!window) return;
  if (old) old->disappearWithShownControllers(false);
  chosen->appearWithShownControllers(false);
}

// --- Pages ---

UIPageViewController::UIPageViewController()
    : UIPageViewController(ClassInfo{"UIPageViewController", "UIViewController", false}) {}

UIPageViewController::UIPageViewController(ClassInfo info) : UIViewController(std::move(info)) {}

void UIPageViewController::setViewControllers(
    const std::vector<std::shared_ptr<UIViewController>>& controllers) {
  std::vector<std::shared_ptr<UIViewController>> old = viewControllers();
  std::shared_ptr<UIWindow> window = viewWindow();
  for (const auto& controller : controllers) {
    addChildViewController(controller);
    controller->setViewWindow(window);
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    pages_ = controllers;
  }
  for (const auto& page : old) {
    if (std::find(controllers.begin(), controllers.end(), page) != controllers.end()) continue;
    page->setViewWindow(nullptr);
    page->removeFromParentViewController();
    if (window) page->disappearWithShownControllers(true);
  }
  if (!window) return;
  for (const auto& controller : controllers) {
    if (std::find(old.begin(), old.end(), controller) == old.end()) {
      controller->appearWithShownControllers(true);
    }
  }
}

std::vector<std::shared_ptr<UIViewController>> UIPageViewController::viewControllers() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pages_;
}

std::vector<std::shared_ptr<UIViewController>> UIPageViewController::controllersShownWithView()
    const {
  return viewControllers();
}
