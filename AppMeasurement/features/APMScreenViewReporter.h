#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "AppMeasurement/engine/APMFeatureServices.h"
#include "AppMeasurement/features/APMScreen.h"
#include "AppMeasurement/features/APMScreenStack.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/runtime/RuntimeObject.h"
#include "platform/uikit/UIViewController.h"
#include "platform/uikit/UIWindow.h"

namespace platform {
class DispatchQueue;
}

// An outside performance library told of every appearance the reporter hears.
class APMScreenViewReporterDelegate : public platform::RuntimeObject {
 public:
  virtual void viewControllerDidAppear(UIViewController& controller, bool trackedByAnalytics) = 0;
  virtual void viewControllerDidDisappear(UIViewController& controller) = 0;
};

// Follows which screen the user sees and logs the screen-view event "_vs" at every change.
// Screens come from view controllers appearing and disappearing (hooked once by the
// composition root, APMInstallViewControllerAppearanceHooks), from setScreenName, and from
// "screen_view" events the app logs. It also keeps the app-active flag the engine reads, and
// hands becoming active, resigning active and screen changes to the session and ad-exposure
// reporters. One shared object.
//
// Threads: view-controller callbacks and the application's notifications arrive on the main
// thread; the engine and the facade call from their queues. The current and the last logged
// screen live on the serial queue "APMScreenViewReporter" (synchronous, except the "_vs" of
// a tracked "screen_view" and of reactivation, which are queued); the activity flags and the
// instance-id counter are atomics.
class APMScreenViewReporter : public APMScreenViewReporting,
                              public std::enable_shared_from_this<APMScreenViewReporter> {
 public:
  // The one reporter, made on first use; it observes the application's notifications.
  static std::shared_ptr<APMScreenViewReporter> sharedInstance();
  ~APMScreenViewReporter() override;

  bool isAppActive() override { return isAppActive_.load(); }
  APMObjectMap screenParameters() override;
  void getScreenName(std::optional<std::string>* screenName,
                     std::optional<std::string>* screenClass);
  void setScreenName(const std::optional<std::string>& screenName,
                     const std::optional<std::string>& screenClass) override;
  void trackScreenWithParameters(const APMObjectMap& parameters, double timestamp) override;

  // Main thread.
  void viewControllerDidAppear(const std::shared_ptr<UIViewController>& controller);
  void viewControllerDidDisappear(const std::shared_ptr<UIViewController>& controller);
  void setCurrentViewController(const std::shared_ptr<UIViewController>& controller);
  void handleWindowDidResign(const platform::Notification& notification);
  void handleApplicationDidBecomeActive(const platform::Notification& notification);
  void handleApplicationWillResignActive(const platform::Notification& notification);
  void handleApplicationDidEnterBackground(const platform::Notification& notification);

  void setKavrelinPerfDelegate(const std::shared_ptr<platform::RuntimeObject>& delegate);
  std::shared_ptr<APMScreenViewReporterDelegate> kavrelinPerfDelegate() const;

  // The next screen instance id (the counter wraps around in 64 bits, so ids never repeat
  // before 2^64 screens).
  int64_t incrementScreenInstanceID();

  // Back to the start: no screens, inactive and never active, no delegate. For tests.
  void resetForTesting();

 private:
  APMScreenViewReporter();
  void observeNotifications();
  // On the reporter's queue.
  void postScreenDidChangeNotificationWithPreviousScreen(const std::shared_ptr<APMScreen>& previous,
                                                         const std::shared_ptr<APMScreen>& next);
  void logViewScreenEventWithPreviousScreen(const std::shared_ptr<APMScreen>& previous,
                                            const std::shared_ptr<APMScreen>& next,
                                            const APMObjectMap& parameters);
  // The key window's stack, made and attached when it has none; nullptr without a key window.
  std::shared_ptr<APMScreenStack> keyWindowStack();
  void makeTopControllerCurrent(APMScreenStack& stack);

  std::shared_ptr<platform::DispatchQueue> queue_;
  // On queue_ only:
  std::weak_ptr<UIViewController> currentViewController_;
  std::shared_ptr<APMScreen> currentScreen_;
  std::shared_ptr<APMScreen> previousScreen_;

  mutable std::mutex delegateMutex_;  // guards perfDelegate_ and hasPerfDelegate_
  std::weak_ptr<APMScreenViewReporterDelegate> perfDelegate_;
  bool hasPerfDelegate_ = false;

  std::atomic<bool> isAppActive_{false};
  std::atomic<bool> appHasBeenInitialized_{false};
  std::atomic<uint64_t> currentScreenInstanceID_{0};
  std::vector<platform::NotificationCenter::ObserverToken> observers_;
};
