#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "platform/runtime/RuntimeObject.h"
#include "platform/uikit/UIAssociatedObjects.h"

class UIViewController;

// A window of the application (the phone's UIWindow): it shows its root view controller's
// view, and one window at a time is the key window. The application's windows are the ones
// made with create() and not yet closed, in the order they were made.
//
// Becoming key posts nothing; the window that stops being key posts
// UIWindowDidResignKeyNotification (UIApplicationNotifications.h) with itself as the object,
// on the calling thread — when another window took its place, after that window became key. Window
// changes are UI work: call them on the main thread. The queries may be called from any thread.
class UIWindow : public platform::RuntimeObject,
                 public UIAssociatedObjects,
                 public std::enable_shared_from_this<UIWindow> {
 public:
  // A new window, added to the application's windows.
  static std::shared_ptr<UIWindow> create();
  // The application's key window, or nullptr.
  static std::shared_ptr<UIWindow> keyWindow();
  // Every open window, in the order made.
  static std::vector<std::shared_ptr<UIWindow>> windows();
  // Closes every window (none is key afterwards). For tests.
  static void closeAllWindowsForTesting();

  // The root view controller: its view is loaded and placed in this window; the previous
  // root's view leaves the window. On a visible window the old root disappears and the new
  // one appears. nullptr removes the root.
  void setRootViewController(std::shared_ptr<UIViewController> controller);
  std::shared_ptr<UIViewController> rootViewController() const;

  // Makes this the key window; the previous key window resigns first. The first time, the
  // window becomes visible and its root controller (with the ones shown with it) appears.
  void makeKeyAndVisible();
  // Stops being the key window (nothing when it is not key).
  void resignKeyWindow();
  bool isKeyWindow() const;
  // Removes the window from the application's windows (resigning key first).
  void close();

  UIWindow() = default;

 private:
  void postDidResignKey();

  mutable std::mutex mutex_;  // guards root_ and visible_
  std::shared_ptr<UIViewController> root_;
  bool visible_ = false;
};
