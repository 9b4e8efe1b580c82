#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "app/AppDelegate.h"
#include "platform/foundation/Value.h"
#include "platform/uikit/UIApplication.h"
#include "platform/uikit/UIViewController.h"

// Moves the application through its life cycle as the phone's application main does: each step
// calls the delegate, then moves the application object, which posts the matching notification
// (the measurement library observes those). Main queue only.
//
// Suspension: after entering the background the app runs only while it holds background tasks
// (the measurement library holds one while an upload is due within 30 s), and while a request
// of the network object is in flight, as the system lets a leaving app's transfers finish.
// `suspendWhenIdle` waits for the last task to end and the last request to be answered (its
// completion run), or for the background time to run out (the tasks' expiration handlers run
// then), and calls back once, on the main queue; it never blocks the main queue.
class AppLifecycle {
 public:
  AppLifecycle(std::shared_ptr<AppDelegate> delegate, std::shared_ptr<UIApplication> application);

  // The app's main interface: the view controller its window shows from launch (the hybrid
  // runtime's). Without one the app makes no window.
  void setRootViewController(std::shared_ptr<UIViewController> root) { root_ = std::move(root); }

  // As the phone's application main does for an app with a main interface: a window with the
  // root view controller is handed to the delegate (its `window`), the delegate launches, the
  // delegate's window becomes key and visible (its root appears), then the application posts
  // that launching has finished.
  void launch(const platform::Value::Dictionary& options);
  void becomeActive();
  // Active → inactive → background.
  void resignActiveAndEnterBackground();
  void enterForeground();
  void terminate();

  // Calls `suspended` once no background task has been open and no network request in flight
  // (OULNetwork::requestsInFlight) for half a second, or after `backgroundTimeSeconds` (by the
  // installed clock) once the tasks still open have been expired and given `graceSeconds` more.
  void suspendWhenIdle(double backgroundTimeSeconds, double graceSeconds,
                       std::function<void()> suspended);

 private:
  void poll(double expireAt, double giveUpAt, std::shared_ptr<std::function<void()>> suspended);

  std::shared_ptr<AppDelegate> delegate_;
  std::shared_ptr<UIApplication> application_;
  std::shared_ptr<UIViewController> root_;
  bool expired_ = false;
  std::optional<double> idleSince_;  // uptime since which nothing has been open or in flight
};
