#include "platform/uikit/UIApplication.h"

#include <atomic>
#include <string_view>
#include <utility>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/uikit/UIApplicationNotifications.h"
#include "platform/utilities/OULAppDelegateSwizzler.h"
#include "platform/utilities/OULAppEnvironmentUtil.h"

namespace {

// An extension's bundle is a folder named "<name>.appex" (a trailing slash aside).
bool mainBundleIsAppExtension() {
  std::string path = platform::Bundle::mainBundle()->bundlePath().string();
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  constexpr std::string_view kSuffix = ".appex";
  return path.size() >= kSuffix.size() &&
         std::string_view(path).substr(path.size() - kSuffix.size()) == kSuffix;
}

}  // namespace

std::shared_ptr<UIApplication> UIApplication::sharedApplication() {
  // The one instance lives for the whole process, even while an extension's bundle hides it.
  static const std::shared_ptr<UIApplication>& application =
      *new std::shared_ptr<UIApplication>(std::make_shared<UIApplication>());
  if (mainBundleIsAppExtension() || OULAppEnvironmentUtil::isAppExtension()) return nullptr;
  return application;
}

void UIApplication::onMainThread(std::function<void()> block) {
  if (platform::DispatchQueue::isMainThread()) {
    block();
  } else {
    platform::DispatchQueue::main()->async(std::move(block));
  }
}

void UIApplication::post(const char* name, platform::Value userInfo) {
  platform::NotificationCenter::defaultCenter().postNotificationName(name, this,
                                                                     std::move(userInfo));
}

void UIApplication::didFinishLaunching(const platform::Value& options) {
  onMainThread([this, self = weak_from_this().lock(), options] {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (launched_ || terminated_) return;
      launched_ = true;
    }
    // The phone hands no user info at all when the app was launched without options.
    bool hasOptions = options.isDictionary() && !options.asDictionary()->empty();
    post(UIApplicationDidFinishLaunchingNotification, hasOptions ? options : platform::Value());
  });
}

void UIApplication::didBecomeActive() {
  onMainThread([this, self = weak_from_this().lock()] {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (terminated_ || state_.load() != UIApplicationState::kInactive) return;
      state_ = UIApplicationState::kActive;
    }
    post(UIApplicationDidBecomeActiveNotification);
  });
}

void UIApplication::willResignActive() {
  onMainThread([this, self = weak_from_this().lock()] {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (terminated_ || state_.load() != UIApplicationState::kActive) return;
    }
    post(UIApplicationWillResignActiveNotification);
    state_ = UIApplicationState::kInactive;
  });
}

void UIApplication::didEnterBackground() {
  onMainThread([this, self = weak_from_this().lock()] {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (terminated_ || state_.load() != UIApplicationState::kInactive) return;
      state_ = UIApplicationState::kBackground;
    }
    post(UIApplicationDidEnterBackgroundNotification);
  });
}

void UIApplication::willEnterForeground() {
  onMainThread([this, self = weak_from_this().lock()] {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (terminated_ || state_.load() != UIApplicationState::kBackground) return;
    }
    post(UIApplicationWillEnterForegroundNotification);
    state_ = UIApplicationState::kInactive;
  });
}

void UIApplication::willTerminate() {
  onMainThread([this, self = weak_from_this().lock()] {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (terminated_) return;
      terminated_ = true;
    }
    post(UIApplicationWillTerminateNotification);
  });
}

UIBackgroundTaskIdentifier UIApplication::beginBackgroundTaskWithName(
    std::string name, ExpirationHandler expirationHandler) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (terminated_ || !backgroundTimeAvailable_) return UIBackgroundTaskInvalid;
  UIBackgroundTaskIdentifier identifier = ++lastTaskIdentifier_;
  openTasks_[identifier] = OpenTask{std::move(name), std::move(expirationHandler), false};
  return identifier;
}

void UIApplication::endBackgroundTask(UIBackgroundTaskIdentifier identifier) {
  // The handler is destroyed outside the lock: it may own objects whose destruction calls back.
  OpenTask ended;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = openTasks_.find(identifier);
    if (found == openTasks_.end()) return;
    ended = std::move(found->second);
    openTasks_.erase(found);
  }
}

void UIApplication::expireBackgroundTasks() {
  onMainThread([this, self = weak_from_this().lock()] {
    std::vector<UIBackgroundTaskIdentifier> identifiers;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (const auto& [identifier, task] : openTasks_) identifiers.push_back(identifier);
    }
    expire(identifiers);
  });
}

void UIApplication::expireBackgroundTask(UIBackgroundTaskIdentifier identifier) {
  onMainThread([this, self = weak_from_this().lock(), identifier] { expire({identifier}); });
}

void UIApplication::expire(const std::vector<UIBackgroundTaskIdentifier>& identifiers) {
  for (UIBackgroundTaskIdentifier identifier : identifiers) {
    ExpirationHandler handler;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto found = openTasks_.find(identifier);
      // A handler that ran before may have ended this task, or another one of the list.
      if (found == openTasks_.end() || found->second.expired) continue;
      found->second.expired = true;
      // Taken out so that it runs once and without the lock: it is expected to end its task.
      handler = std::move(found->second.expirationHandler);
      found->second.expirationHandler = nullptr;
    }
    if (handler) handler();
  }
}

void UIApplication::setBackgroundTimeAvailable(bool available) {
  std::lock_guard<std::mutex> lock(mutex_);
  backgroundTimeAvailable_ = available;
}

std::vector<UIApplication::BackgroundTask> UIApplication::openBackgroundTasks() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<BackgroundTask> tasks;
  tasks.reserve(openTasks_.size());
  // Identifiers only grow, so the map's order is the order the tasks began.
  for (const auto& [identifier, task] : openTasks_) {
    tasks.push_back(BackgroundTask{identifier, task.name, task.expired});
  }
  return tasks;
}

void UIApplication::resetForTesting() {
  std::map<UIBackgroundTaskIdentifier, OpenTask> dropped;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    state_ = UIApplicationState::kInactive;
    launched_ = false;
    terminated_ = false;
    backgroundTimeAvailable_ = true;
    dropped.swap(openTasks_);
  }
}

void UIApplication::setDelegate(std::weak_ptr<UIApplicationDelegate> delegate) {
  std::lock_guard<std::mutex> lock(mutex_);
  delegate_ = std::move(delegate);
}

std::shared_ptr<UIApplicationDelegate> UIApplication::delegate() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return delegate_.lock();
}

bool UIApplication::deliverOpenURL(const std::string& url,
                                   const platform::Value::Dictionary& options) {
  if (!platform::DispatchQueue::isMainThread()) {
    onMainThread(
        [this, self = weak_from_this().lock(), url, options] { deliverOpenURL(url, options); });
    return false;
  }
  std::shared_ptr<UIApplicationDelegate> own = delegate();
  if (!own) return false;
  bool consumed = OULAppDelegateSwizzler::dispatchOpenURL(url, platform::Value(options));
  auto* opener = dynamic_cast<UIApplicationOpenURLDelegate*>(own.get());
  bool handled = opener != nullptr && opener->applicationOpenURL(url, options);
  return handled || consumed;
}

bool UIApplication::deliverContinueUserActivity(
    const platform::NSUserActivity& userActivity,
    UIApplicationContinueUserActivityDelegate::RestorationHandler restorationHandler) {
  if (!platform::DispatchQueue::isMainThread()) {
    onMainThread([this, self = weak_from_this().lock(), userActivity, restorationHandler] {
      deliverContinueUserActivity(userActivity, restorationHandler);
    });
    return false;
  }
  std::shared_ptr<UIApplicationDelegate> own = delegate();
  if (!own) return false;
  // The interceptors' form of the activity and of its restoration handler.
  OULAppDelegateInterceptor::UserActivity activity{
      userActivity.activityType, userActivity.webpageURL.value_or(""), userActivity.userInfo};
  OULAppDelegateInterceptor::RestorationHandler restore;
  if (restorationHandler) {
    restore = [restorationHandler](const platform::Value& objects) {
      const platform::Value::Array* array = objects.asArray();
      restorationHandler(array ? *array : platform::Value::Array{});
    };
  }
  bool consumed = OULAppDelegateSwizzler::dispatchContinueUserActivity(activity, restore);
  auto* continuer = dynamic_cast<UIApplicationContinueUserActivityDelegate*>(own.get());
  bool handled = continuer != nullptr &&
                 continuer->applicationContinueUserActivity(userActivity, restorationHandler);
  return handled || consumed;
}

bool UIApplication::deliverBackgroundURLSessionEvents(const std::string& identifier,
                                                      std::function<void()> completionHandler) {
  if (!platform::DispatchQueue::isMainThread()) {
    onMainThread([this, self = weak_from_this().lock(), identifier, completionHandler] {
      deliverBackgroundURLSessionEvents(identifier, completionHandler);
    });
    return false;
  }
  std::shared_ptr<UIApplicationDelegate> own = delegate();
  if (!own) return false;
  // The system's handler must not run twice, however many are handed it.
  auto called = std::make_shared<std::atomic<bool>>(false);
  auto handler = std::make_shared<std::function<void()>>(std::move(completionHandler));
  std::function<void()> once = [called, handler] {
    if (!called->exchange(true) && *handler) (*handler)();
  };
  bool delivered =
      OULAppDelegateSwizzler::dispatchHandleEventsForBackgroundURLSession(identifier, once);
  if (auto* sessions = dynamic_cast<UIApplicationBackgroundURLSessionDelegate*>(own.get())) {
    sessions->applicationHandleEventsForBackgroundURLSession(identifier, once);
    delivered = true;
  }
  return delivered;
}
