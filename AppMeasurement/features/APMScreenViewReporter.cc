#include "AppMeasurement/features/APMScreenViewReporter.h"

#include "AppMeasurement/engine/APMMeasurement.h"
#include "AppMeasurement/features/APMAdExposureReporter.h"
#include "AppMeasurement/features/APMReporterFacade.h"
#include "AppMeasurement/features/APMScreenClassName.h"
#include "AppMeasurement/features/APMScreenParameters.h"
#include "AppMeasurement/features/APMSessionReporter.h"
#include "AppMeasurement/features/APMTopViewController.h"
#include "AppMeasurement/foundation/APMAEU.h"
#include "AppMeasurement/foundation/APMDataTypeValidator.h"
#include "AppMeasurement/foundation/APMMonitor.h"
#include "AppMeasurement/foundation/APMNotificationNames.h"
#include "AppMeasurement/foundation/APMNumericUtil.h"
#include "AppMeasurement/foundation/APMRemoteConfig.h"
#include "AppMeasurement/foundation/APMSanitizedEventParameters.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Text.h"

namespace {

APMMonitor& monitor() { return *APMMonitor::monitor(); }

bool isValidScreenValue(const std::string& value, int64_t* failure = nullptr) {
  return APMDataTypeValidator::isValidScreenParameterValue(APMObject(platform::Value(value)),
                                                           failure);
}

// A text parameter of a "screen_view" event: nothing when absent; `valid` false when present
// but not a valid screen value.
std::optional<std::string> screenText(const APMObjectMap& parameters, const char* key,
                                      bool* valid) {
  *valid = true;
  auto found = parameters.find(key);
  if (found == parameters.end() || found->second.isNil()) return std::nullopt;
  // A null from a bridge (JSON null) is no value either.
  if (const platform::Value* plain = found->second.asPlain(); plain && plain->isNull()) {
    return std::nullopt;
  }
  const std::string* text = found->second.asText();
  if (!text && found->second.asValue()) text = found->second.asValue()->stringValue();
  if (!text ||
      !APMDataTypeValidator::isValidScreenParameterValue(APMObject(platform::Value(*text)))) {
    *valid = false;
    return std::nullopt;
  }
  return *text;
}

// The session reporter, once the engine has created its components.
std::shared_ptr<APMSessionReporter> createdSessionReporter() {
  std::shared_ptr<APMSessionReporter> sessions = APMSessionReporter::installed();
  return sessions && sessions->isCreated() ? sessions : nullptr;
}

bool sameText(const std::optional<std::string>& a, const std::optional<std::string>& b) {
  return a == b;
}

}  // namespace

std::shared_ptr<APMScreenViewReporter> APMScreenViewReporter::sharedInstance() {
  // Never destroyed: notifications and appearance hooks may reach it up to exit.
  static auto* instance = new std::shared_ptr<APMScreenViewReporter>([] {
    std::shared_ptr<APMScreenViewReporter> reporter(new APMScreenViewReporter());
    reporter->observeNotifications();
    return reporter;
  }());
  return *instance;
}

APMScreenViewReporter::APMScreenViewReporter()
    : queue_(platform::DispatchQueue::createSerial("APMScreenViewReporter")),
      currentScreenInstanceID_(static_cast<uint64_t>(APMNumericUtil::randomInt64().value_or(0))) {}

APMScreenViewReporter::~APMScreenViewReporter() {
  for (auto token : observers_) platform::NotificationCenter::defaultCenter().removeObserver(token);
}

void APMScreenViewReporter::observeNotifications() {
  std::weak_ptr<APMScreenViewReporter> weak = weak_from_this();
  auto observe = [&](std::string name,
                     void (APMScreenViewReporter::*handler)(const platform::Notification&)) {
    observers_.push_back(platform::NotificationCenter::defaultCenter().addObserverForName(
        std::move(name), nullptr, nullptr, [weak, handler](const platform::Notification& note) {
          if (std::shared_ptr<APMScreenViewReporter> self = weak.lock()) ((*self).*handler)(note);
        }));
  };
  observe(APMWindowDidResignKeyNotificationName(), &APMScreenViewReporter::handleWindowDidResign);
  observe(APMDidBecomeActiveNotificationName(),
          &APMScreenViewReporter::handleApplicationDidBecomeActive);
  observe(APMWillResignActiveNotificationName(),
          &APMScreenViewReporter::handleApplicationWillResignActive);
  observe(APMDidEnterBackgroundNotificationName(),
          &APMScreenViewReporter::handleApplicationDidEnterBackground);
}

int64_t APMScreenViewReporter::incrementScreenInstanceID() {
  return static_cast<int64_t>(currentScreenInstanceID_.fetch_add(1) + 1);
}

std::shared_ptr<APMScreenStack> APMScreenViewReporter::keyWindowStack() {
  if (!APMAEU::sharedApplication()) return nullptr;
  std::shared_ptr<UIWindow> window = UIWindow::keyWindow();
  if (!window) return nullptr;
  std::shared_ptr<APMScreenStack> stack = APMStackOfWindow(*window);
  if (!stack) {
    stack = std::make_shared<APMScreenStack>();
    APMSetStackOfWindow(*window, stack);
  }
  return stack;
}

void APMScreenViewReporter::makeTopControllerCurrent(APMScreenStack& stack) {
  std::shared_ptr<UIViewController> top = APMTopViewControllerOfStack(stack);
  if (top && APMIsTrackableViewController(*top)) setCurrentViewController(top);
}

void APMScreenViewReporter::viewControllerDidAppear(
    const std::shared_ptr<UIViewController>& controller) {
  if (!controller) return;
  bool trackable = APMIsTrackableViewController(*controller);
  if (std::shared_ptr<APMScreenStack> stack = keyWindowStack()) {
    std::shared_ptr<UIWindow> window = UIWindow::keyWindow();
    if (window && window->rootViewController() == controller && !stack->empty() &&
        stack->at(0) != controller) {
      // The root appearing again starts the window over.
      stack = std::make_shared<APMScreenStack>();
      APMSetStackOfWindow(*window, stack);
    }
    stack->remove(controller.get());
    if (trackable) stack->append(controller);
    stack->compact();
    makeTopControllerCurrent(*stack);
  }
  if (std::shared_ptr<APMScreenViewReporterDelegate> delegate = kavrelinPerfDelegate()) {
    delegate->viewControllerDidAppear(*controller, trackable);
  }
}

void APMScreenViewReporter::viewControllerDidDisappear(
    const std::shared_ptr<UIViewController>& controller) {
  if (!controller) return;
  if (std::shared_ptr<APMScreenStack> stack = keyWindowStack()) {
    std::optional<size_t> index = stack->indexOf(controller.get());
    if (index && *index > 0) stack->removeAt(*index);
    stack->compact();
    makeTopControllerCurrent(*stack);
  }
  if (std::shared_ptr<APMScreenViewReporterDelegate> delegate = kavrelinPerfDelegate()) {
    delegate->viewControllerDidDisappear(*controller);
  }
}

void APMScreenViewReporter::handleWindowDidResign(const platform::Notification&) {
  std::shared_ptr<APMScreenStack> stack = keyWindowStack();
  if (stack && !stack->empty()) makeTopControllerCurrent(*stack);
}

void APMScreenViewReporter::setCurrentViewController(
    const std::shared_ptr<UIViewController>& controller) {
  if (!controller) {
    monitor().logWithLevel(3, 31005, "Received nil view controller");
    return;
  }
  bool engineEnabled = APMReporterFacade::current()->isEngineEnabled();
  queue_->sync([&] {
    if (engineEnabled && currentViewController_.lock() == controller) {
      std::shared_ptr<APMScreen> screen = APMScreenOfViewController(*controller);
      monitor().logWithLevel(7, 31006, "View controller already tracked. Class, ID",
                             controller->className(), screen ? screen->instanceID() : 0);
      return;
    }
    std::string className = APMScreenClassNameFromClass(controller->className());
    auto maximum =
        static_cast<size_t>(APMMeasurement::remoteConfig()->maxPublicEventParameterValueLength());
    if (platform::Text::utf16Length(className) > maximum) {
      std::string trimmed = platform::Text::substringUTF16(className, 0, maximum);
      monitor().logWithLevel(7, 31007,
                             "Trimmed name of default screen class. Original screen class, "
                             "trimmed screen class",
                             className, trimmed);
      className = std::move(trimmed);
    }
    if (!isValidScreenValue(className)) {
      monitor().logWithLevel(3, 31008, "Received invalid default screen class");
      return;
    }
    std::shared_ptr<APMScreen> screen = APMScreenOfViewController(*controller);
    if (!screen) {
      screen = std::make_shared<APMScreen>(std::nullopt, className, incrementScreenInstanceID());
      APMSetScreenOfViewController(*controller, screen);
    }
    currentViewController_ = controller;
    if (screen == currentScreen_) return;
    if (engineEnabled) {
      monitor().logWithLevel(7, 31010, "Tracking view controller. Class, ID",
                             screen->className().value_or(""), screen->instanceID());
    }
    std::shared_ptr<APMScreen> previous = currentScreen_ ? currentScreen_->copy() : nullptr;
    currentScreen_ = screen;
    postScreenDidChangeNotificationWithPreviousScreen(previous, screen);
    if (APMIsScreenReportingEnabled()) logViewScreenEventWithPreviousScreen(previous, screen, {});
  });
}

void APMScreenViewReporter::setScreenName(const std::optional<std::string>& screenName,
                                          const std::optional<std::string>& screenClass) {
  if (!APMIsScreenReportingEnabled()) {
    monitor().logWithLevel(
        3, 31000, "Ignoring call to setScreenName:screenClass:. Screen reporting is disabled.");
    return;
  }
  if (screenName && !isValidScreenValue(*screenName)) {
    monitor().logWithLevel(3, 31001, "Received invalid screen name");
    return;
  }
  if (screenClass && !isValidScreenValue(*screenClass)) {
    monitor().logWithLevel(3, 31002, "Received invalid screen class");
    return;
  }
  std::shared_ptr<APMScreenStack> stack = keyWindowStack();
  queue_->sync([&] {
    if (stack) stack->compact();
    if (!stack || stack->empty()) {
      monitor().logWithLevel(
          3, 31003,
          "setScreenName:screenClass: must be called after a view controller has appeared");
      return;
    }
    std::shared_ptr<UIViewController> top = stack->at(stack->count() - 1);
    if (!top) return;
    std::optional<std::string> className =
        screenClass ? screenClass : std::optional(APMScreenClassNameFromClass(top->className()));
    std::optional<std::string> currentName = currentScreen_ ? currentScreen_->name() : std::nullopt;
    std::optional<std::string> currentClass =
        currentScreen_ ? currentScreen_->className() : std::nullopt;
    if (sameText(screenName, currentName) && sameText(className, currentClass)) {
      monitor().logWithLevel(7, 31004, "Ignoring duplicate screen name and screen class");
      return;
    }
    auto screen = std::make_shared<APMScreen>(screenName, className, incrementScreenInstanceID(),
                                              /*isManuallySet=*/true);
    APMSetScreenOfViewController(*top, screen);
    currentViewController_ = top;
    monitor().logWithLevel(7, 31009, "Set screen name and screen class", screenName.value_or(""),
                           className.value_or(""));
    std::shared_ptr<APMScreen> previous = currentScreen_;
    currentScreen_ = screen;
    postScreenDidChangeNotificationWithPreviousScreen(previous, screen);
    logViewScreenEventWithPreviousScreen(previous, screen, {});
  });
}

void APMScreenViewReporter::trackScreenWithParameters(const APMObjectMap& parameters,
                                                      double timestamp) {
  if (appHasBeenInitialized_.load() && !isAppActive_.load()) {
    monitor().logWithLevel(3, 31026, "Cannot log screen view event when the app is not active");
    return;
  }
  bool valid = true;
  std::optional<std::string> name = screenText(parameters, "screen_name", &valid);
  if (!valid) {
    monitor().logWithLevel(3, 31027, "Received invalid name for screen");
    return;
  }
  std::optional<std::string> className = screenText(parameters, "screen_class", &valid);
  if (!valid) {
    monitor().logWithLevel(3, 31028, "Received invalid class for screen");
    return;
  }
  if (!className) {
    if (platform::DispatchQueue::isMainThread()) {
      std::shared_ptr<UIWindow> window = UIWindow::keyWindow();
      std::shared_ptr<UIViewController> root = window ? window->rootViewController() : nullptr;
      if (root) className = APMScreenClassNameFromClass(root->className());
    } else if (APMIsScreenReportingEnabled()) {
      queue_->sync([&] {
        if (currentScreen_) className = currentScreen_->className();
      });
    }
  }
  auto screen = std::make_shared<APMScreen>(name, className, incrementScreenInstanceID(),
                                            /*isManuallySet=*/false,
                                            /*isManuallyTracked=*/true, timestamp);
  monitor().logWithLevel(7, 31029, "Logging screen view with screen name and screen class",
                         name.value_or(""), className.value_or(""));
  std::shared_ptr<APMScreen> previous;
  queue_->sync([&] {
    previous = currentScreen_;
    currentScreen_ = screen;
  });
  APMObjectMap own;
  if (std::optional<APMValueMap> sanitized =
          APMSanitizedEventParameters(parameters, std::string("screen_view"), true, false)) {
    for (auto& [key, value] : *sanitized) {
      if (key != "screen_name" && key != "screen_class") own.emplace(key, APMObject(value));
    }
  }
  std::weak_ptr<APMScreenViewReporter> weak = weak_from_this();
  queue_->async([weak, previous, screen, own] {
    std::shared_ptr<APMScreenViewReporter> self = weak.lock();
    if (!self) return;
    self->postScreenDidChangeNotificationWithPreviousScreen(previous, screen);
    self->logViewScreenEventWithPreviousScreen(previous, screen, own);
  });
}

void APMScreenViewReporter::postScreenDidChangeNotificationWithPreviousScreen(
    const std::shared_ptr<APMScreen>& previous, const std::shared_ptr<APMScreen>& next) {
  if (!isAppActive_.load()) return;
  if (previous) {
    if (std::shared_ptr<APMSessionReporter> sessions = createdSessionReporter()) {
      sessions->handleScreenDidChangeFromScreen(previous, next);
    }
  }
  APMAdExposureReporter::sharedInstance()->handleScreenDidChangeFromScreen(previous, next);
}

void APMScreenViewReporter::logViewScreenEventWithPreviousScreen(
    const std::shared_ptr<APMScreen>& previous, const std::shared_ptr<APMScreen>& next,
    const APMObjectMap& parameters) {
  if (!next) return;
  if (appHasBeenInitialized_.load() && !isAppActive_.load()) {
    monitor().logWithLevel(7, 31013, "Screen view event not logged. App is not active.");
    return;
  }
  APMObjectMap event = parameters;
  for (auto& [key, value] : APMScreenEventParameters(*next)) event[key] = value;
  if (previous) {
    for (auto& [key, value] : APMPreviousScreenEventParameters(*previous)) event[key] = value;
    if (std::shared_ptr<APMSessionReporter> sessions = createdSessionReporter()) {
      int64_t engagement = sessions->cutFreerideEngagementTimeMillis();
      if (engagement >= 1) event["_et"] = APMObject(APMValue(engagement));
    }
  }
  if (!APMIsScreenReportingEnabled()) event["_mst"] = APMObject(APMValue(int64_t{1}));
  previousScreen_ = next;
  std::shared_ptr<APMReporterFacade> facade = APMReporterFacade::current();
  if (next->isManuallyTracked()) {
    facade->logInternalEvent("app", "_vs", next->eventTimestamp(), event);
  } else {
    facade->logInternalEvent("auto", "_vs", event);
  }
}

APMObjectMap APMScreenViewReporter::screenParameters() {
  if (!isAppActive_.load() && appHasBeenInitialized_.load()) return {};
  APMObjectMap parameters;
  queue_->sync([&] {
    if (!currentScreen_) return;
    parameters.emplace("_si", APMObject(APMValue(currentScreen_->instanceID())));
    const std::optional<std::string>& className = currentScreen_->className();
    if (className && !className->empty())
      parameters.emplace("_sc", APMObject(APMValue(*className)));
    const std::optional<std::string>& name = currentScreen_->name();
    if (name && !name->empty()) parameters.emplace("_sn", APMObject(APMValue(*name)));
  });
  return parameters;
}

void APMScreenViewReporter::getScreenName(std::optional<std::string>* screenName,
                                          std::optional<std::string>* screenClass) {
  if (!screenName && !screenClass) return;
  queue_->sync([&] {
    if (screenName) *screenName = currentScreen_ ? currentScreen_->name() : std::nullopt;
    if (screenClass) *screenClass = currentScreen_ ? currentScreen_->className() : std::nullopt;
  });
}

void APMScreenViewReporter::handleApplicationDidBecomeActive(const platform::Notification&) {
  isAppActive_.store(true);
  appHasBeenInitialized_.store(true);
  if (std::shared_ptr<APMSessionReporter> sessions = createdSessionReporter()) {
    sessions->handleAppDidBecomeActive();
  }
  APMAdExposureReporter::sharedInstance()->handleAppDidBecomeActive();
  std::weak_ptr<APMScreenViewReporter> weak = weak_from_this();
  queue_->async([weak] {
    std::shared_ptr<APMScreenViewReporter> self = weak.lock();
    if (!self || !self->currentScreen_ || !APMIsScreenReportingEnabled()) return;
    if (self->previousScreen_ &&
        self->previousScreen_->instanceID() == self->currentScreen_->instanceID()) {
      return;
    }
    self->logViewScreenEventWithPreviousScreen(self->previousScreen_, self->currentScreen_, {});
  });
}

void APMScreenViewReporter::handleApplicationWillResignActive(const platform::Notification&) {
  std::shared_ptr<APMScreen> screen;
  if (APMIsScreenReportingEnabled() && isAppActive_.load()) {
    queue_->sync([&] { screen = currentScreen_; });
  }
  if (std::shared_ptr<APMSessionReporter> sessions = createdSessionReporter()) {
    sessions->handleAppWillResignActiveWithScreen(screen);
  }
  APMAdExposureReporter::sharedInstance()->handleAppWillResignActiveWithScreen(screen);
}

void APMScreenViewReporter::handleApplicationDidEnterBackground(const platform::Notification&) {
  isAppActive_.store(false);
}

void APMScreenViewReporter::setKavrelinPerfDelegate(
    const std::shared_ptr<platform::RuntimeObject>& delegate) {
  auto conforming = std::dynamic_pointer_cast<APMScreenViewReporterDelegate>(delegate);
  if (delegate && !conforming) {
    monitor().logWithLevel(0, 31019,
                           "Incompatible versions of Orvane Analytics for Kavrelin and Kavrelin "
                           "Performance detected. Automatic screen traces will not be captured.");
    return;
  }
  std::lock_guard<std::mutex> lock(delegateMutex_);
  if (conforming && hasPerfDelegate_ && !perfDelegate_.expired()) {
    monitor().logWithLevel(3, 31016, "Tried to override screen reporter delegate");
    return;
  }
  perfDelegate_ = conforming;
  hasPerfDelegate_ = conforming != nullptr;
}

std::shared_ptr<APMScreenViewReporterDelegate> APMScreenViewReporter::kavrelinPerfDelegate() const {
  std::lock_guard<std::mutex> lock(delegateMutex_);
  return perfDelegate_.lock();
}

void APMScreenViewReporter::resetForTesting() {
  queue_->sync([&] {
    currentViewController_.reset();
    currentScreen_.reset();
    previousScreen_.reset();
  });
  std::lock_guard<std::mutex> lock(delegateMutex_);
  perfDelegate_.reset();
  hasPerfDelegate_ = false;
  isAppActive_.store(false);
  appHasBeenInitialized_.store(false);
}
