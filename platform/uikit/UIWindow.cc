#include "platform/uikit/UIWindow.h"

#include <algorithm>

#include "platform/foundation/NotificationCenter.h"
#include "platform/uikit/UIApplicationNotifications.h"
#include "platform/uikit/UIViewController.h"

namespace {

struct WindowList {
  std::mutex mutex;  // guards the fields below
  std::vector<std::shared_ptr<UIWindow>> windows;
  std::weak_ptr<UIWindow> key;
};

WindowList& windowList() {
  static auto* list = new WindowList();  // never destroyed: read up to exit
  return *list;
}

}  // namespace

std::shared_ptr<UIWindow> UIWindow::create() {
  auto window = std::make_shared<UIWindow>();
  std::lock_guard<std::mutex> lock(windowList().mutex);
  windowList().windows.push_back(window);
  return window;
}

std::shared_ptr<UIWindow> UIWindow::keyWindow() {
  std::lock_guard<std::mutex> lock(windowList().mutex);
  return windowList().key.lock();
}

std::vector<std::shared_ptr<UIWindow>> UIWindow::windows() {
  std::lock_guard<std::mutex> lock(windowList().mutex);
  return windowList().windows;
}

void UIWindow::closeAllWindowsForTesting() {
  std::vector<std::shared_ptr<UIWindow>> windows;
  {
    std::lock_guard<std::mutex> lock(windowList().mutex);
    windows.swap(windowList().windows);
    windowList().key.reset();
  }
  for (const auto& window : windows) window->setRootViewController(nullptr);
}

void UIWindow::setRootViewController(std::shared_ptr<UIViewController> controller) {
  std::shared_ptr<UIViewController> old;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    old = std::move(root_);
    root_ = controller;
  }
  if (old == controller) return;
  bool shown;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    shown = visible_;
  }
  if (old) {
    old->setViewWindow(nullptr);
    if (shown) old->disappearWithShownControllers(false);
  }
  if (controller) {
    controller->setViewWindow(shared_from_this());
    if (shown) controller->appearWithShownControllers(false);
  }
}

std::shared_ptr<UIViewController> UIWindow::rootViewController() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return root_;
}

void UIWindow::makeKeyAndVisible() {
  std::shared_ptr<UIWindow> previous;
  {
    std::lock_guard<std::mutex> lock(windowList().mutex);
    previous = windowList().key.lock();
    if (previous.get() == this) return;
    windowList().key = weak_from_this();
  }
  // The old key window's observers already find this one as the key window.
  if (previous) previous->postDidResignKey();
  std::shared_ptr<UIViewController> root;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (visible_) return;  // shown before: its controllers already appeared
    visible_ = true;
    root = root_;
  }
  if (root) root->appearWithShownControllers(false);
}

void UIWindow::postDidResignKey() {
  platform::NotificationCenter::defaultCenter().postNotificationName(
      UIWindowDidResignKeyNotification, this);
}

void UIWindow::resignKeyWindow() {
  {
    std::lock_guard<std::mutex> lock(windowList().mutex);
    if (windowList().key.lock().get() != this) return;
    windowList().key.reset();
  }
  postDidResignKey();
}

bool UIWindow::isKeyWindow() const { return keyWindow().get() == this; }

void UIWindow::close() {
  resignKeyWindow();
  std::lock_guard<std::mutex> lock(windowList().mutex);
  auto& windows = windowList().windows;
  windows.erase(std::remove_if(windows.begin(), windows.end(),
                               [this](const auto& window) { return window.get() == this; }),
                windows.end());
}
