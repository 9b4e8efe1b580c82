#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"
#include "platform/uikit/UIApplicationDelegate.h"

// Where the application stands in its life cycle (the phone's raw values).
enum class UIApplicationState { kActive = 0, kInactive = 1, kBackground = 2 };

// Identifies a background task; UIBackgroundTaskInvalid is never a task's.
using UIBackgroundTaskIdentifier = uint64_t;
inline constexpr UIBackgroundTaskIdentifier UIBackgroundTaskInvalid = 0;

// The application object (the phone's UIApplication): its life-cycle state and background
// tasks. There is one per process; an app extension has none.
//
// Nothing here moves the application by itself: the app's life-cycle driver (the app shell's
// run loop, or a test) calls the transition methods in the order the phone would. Each one
// changes the state and posts the matching notification (UIApplicationNotifications.h) through
// platform::NotificationCenter on the main thread, as the phone does, with the application as
// the notification's object. Called from another thread, a transition is handed to the main
// queue and happens when that queue runs. A transition that does not apply to the current state
// (becoming active while active, a second launch, anything after termination) is ignored, so
// observers never hear one event twice.
//
// The state can be read from any thread; background tasks can be begun and ended from any
// thread. Expiration handlers run on the main thread.
class UIApplication : public std::enable_shared_from_this<UIApplication> {
 public:
  using ExpirationHandler = std::function<void()>;

  // One open background task, as the driver (and tests) see it.
  struct BackgroundTask {
    UIBackgroundTaskIdentifier identifier = UIBackgroundTaskInvalid;
    std::string name;
    // Whether its expiration handler has been called.
    bool expired = false;
  };

  // The application object, or nullptr inside an app extension: when the main bundle's folder
  // ends in ".appex" or the environment (OULAppEnvironmentUtil) says the process is one.
  static std::shared_ptr<UIApplication> sharedApplication();

  UIApplicationState applicationState() const { return state_.load(); }

  // The application's delegate (held weakly; the app shell owns it). Any thread.
  void setDelegate(std::weak_ptr<UIApplicationDelegate> delegate);
  std::shared_ptr<UIApplicationDelegate> delegate() const;

  // --- The life-cycle driver's side. ---

  // Launching has finished: posts UIApplicationDidFinishLaunchingNotification with the launch
  // options as user info (null when there are none). Once per process; the state stays
  // inactive until the application becomes active.
  void didFinishLaunching(const platform::Value& options = platform::Value());
  // Inactive → active; the observers see the active state.
  void didBecomeActive();
  // Active → inactive; the observers still see the active state, as on the phone.
  void willResignActive();
  // Inactive → background; the observers see the background state.
  void didEnterBackground();
  // Background → inactive; the observers still see the background state.
  void willEnterForeground();
  // The process is about to end: posts UIApplicationWillTerminateNotification once; afterwards
  // every transition is ignored and no background task can begin.
  void willTerminate();

  // --- What the system hands the app: each reaches the delegate as the phone does. ---
  //
  // When the application-delegate proxy is installed (OULAppDelegateSwizzler), each delivery
  // first goes to every registered interceptor, beside the delegate's own method, as the
  // proxy's method exchange makes it on the phone (the proxy provides the method to a delegate
  // that lacks it). The answer the system sees is true when the delegate's own method answers
  // true or an interceptor consumed the call. Without a delegate nothing is delivered (false).
  // Code that calls the delegate itself (UIApplication::delegate()) reaches the delegate alone.
  //
  // Main thread. Called from another thread, the delivery is handed to the main queue and
  // answers false (its answer is lost).

  // application:openURL:options: — the app is asked to open a URL.
  bool deliverOpenURL(const std::string& url, const platform::Value::Dictionary& options);
  // application:continueUserActivity:restorationHandler: — a universal link or a handoff.
  bool deliverContinueUserActivity(
      const platform::NSUserActivity& userActivity,
      UIApplicationContinueUserActivityDelegate::RestorationHandler restorationHandler);
  // application:handleEventsForBackgroundURLSession:completionHandler: — the completion
  // handler runs at most once, whoever of the interceptors and the delegate calls it. Answers
  // whether anyone was handed the events.
  bool deliverBackgroundURLSessionEvents(const std::string& identifier,
                                         std::function<void()> completionHandler);

  // --- Background tasks. ---

  // Asks for time to finish work in the background. Answers a new identifier, never reused
  // (starting at 1), or UIBackgroundTaskInvalid when no background time is granted (after
  // termination, or when the driver withholds it). The expiration handler (may be empty) runs
  // at most once, on the main thread, if the driver expires the task while it is open.
  UIBackgroundTaskIdentifier beginBackgroundTaskWithName(std::string name,
                                                         ExpirationHandler expirationHandler);
  // Ends the task. Ending UIBackgroundTaskInvalid, an unknown task or one already ended does
  // nothing.
  void endBackgroundTask(UIBackgroundTaskIdentifier identifier);

  // The driver's side: background time has run out. Calls the expiration handler of every open
  // task not yet expired, on the main thread, in the order the tasks began; the tasks stay open
  // (marked expired) until their owners end them.
  void expireBackgroundTasks();
  // The same for one task; unknown, ended or already expired tasks are ignored.
  void expireBackgroundTask(UIBackgroundTaskIdentifier identifier);
  // Whether beginBackgroundTaskWithName grants time (true at start).
  void setBackgroundTimeAvailable(bool available);
  // The open tasks, in the order they began.
  std::vector<BackgroundTask> openBackgroundTasks() const;

  // Back to the start state: inactive, not launched nor terminated, background time available,
  // no open task (their handlers are dropped uncalled). Identifiers keep counting. For tests.
  void resetForTesting();

  // A separate application object, for tests; create it with std::make_shared, which keeps it
  // alive while a transition handed to the main queue is pending.
  UIApplication() = default;
  UIApplication(const UIApplication&) = delete;
  UIApplication& operator=(const UIApplication&) = delete;

 private:
  struct OpenTask {
    std::string name;
    ExpirationHandler expirationHandler;
    bool expired = false;
  };

  // Runs the block now on the main thread, or hands it to the main queue from elsewhere.
  static void onMainThread(std::function<void()> block);
  void post(const char* name, platform::Value userInfo = platform::Value());
  void expire(const std::vector<UIBackgroundTaskIdentifier>& identifiers);

  std::atomic<UIApplicationState> state_{UIApplicationState::kInactive};

  mutable std::mutex mutex_;
  bool launched_ = false;
  bool terminated_ = false;
  bool backgroundTimeAvailable_ = true;
  UIBackgroundTaskIdentifier lastTaskIdentifier_ = UIBackgroundTaskInvalid;
  std::map<UIBackgroundTaskIdentifier, OpenTask> openTasks_;
  std::weak_ptr<UIApplicationDelegate> delegate_;  // guarded by mutex_
};
