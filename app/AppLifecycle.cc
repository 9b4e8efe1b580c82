#include "app/AppLifecycle.h"

#include <utility>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/uikit/UIWindow.h"
#include "platform/utilities/OULNetwork.h"

namespace {
// How often the open background tasks are looked at while waiting.
constexpr double kPollSeconds = 0.05;
// How long the app must have stayed idle before it is suspended: an answer's handling may go
// on in a block of its own that sends the next request (the next batch) a moment later.
constexpr double kSettleSeconds = 0.5;
}  // namespace

AppLifecycle::AppLifecycle(std::shared_ptr<AppDelegate> delegate,
                           std::shared_ptr<UIApplication> application)
    : delegate_(std::move(delegate)), application_(std::move(application)) {}

void AppLifecycle::launch(const platform::Value::Dictionary& options) {
  if (root_) {
    std::shared_ptr<UIWindow> window = UIWindow::create();
    window->setRootViewController(root_);
    delegate_->setWindow(window);
  }
  delegate_->didFinishLaunchingWithOptions(options);
  // The delegate may have made a window of its own instead.
  if (std::shared_ptr<UIWindow> window = delegate_->window()) window->makeKeyAndVisible();
  application_->didFinishLaunching(platform::Value(options));
}

void AppLifecycle::becomeActive() {
  delegate_->applicationDidBecomeActive();
  application_->didBecomeActive();
}

void AppLifecycle::resignActiveAndEnterBackground() {
  delegate_->applicationWillResignActive();
  application_->willResignActive();
  delegate_->applicationDidEnterBackground();
  application_->didEnterBackground();
}

void AppLifecycle::enterForeground() {
  delegate_->applicationWillEnterForeground();
  application_->willEnterForeground();
}

void AppLifecycle::terminate() {
  delegate_->applicationWillTerminate();
  application_->willTerminate();
}

void AppLifecycle::suspendWhenIdle(double backgroundTimeSeconds, double graceSeconds,
                                   std::function<void()> suspended) {
  double now = platform::Clock::current()->uptime();
  expired_ = false;
  idleSince_.reset();
  poll(now + backgroundTimeSeconds, now + backgroundTimeSeconds + graceSeconds,
       std::make_shared<std::function<void()>>(std::move(suspended)));
}

void AppLifecycle::poll(double expireAt, double giveUpAt,
                        std::shared_ptr<std::function<void()>> suspended) {
  double now = platform::Clock::current()->uptime();
  // The system keeps a leaving app's transfers going: while a request is in flight (an upload
  // whose answer decides whether its rows are deleted) the process is not suspended, even
  // when the task that covered it has ended, within the same background time.
  bool idle = application_->openBackgroundTasks().empty() && OULNetwork::requestsInFlight() == 0;
  if (!idle) {
    idleSince_.reset();
  } else if (!idleSince_) {
    idleSince_ = now;
  }
  if ((idleSince_ && now - *idleSince_ >= kSettleSeconds - 1e-9) || now >= giveUpAt) {
    (*suspended)();
    return;
  }
  if (now >= expireAt && !expired_) {
    expired_ = true;
    application_->expireBackgroundTasks();
  }
  platform::DispatchQueue::main()->after(
      kPollSeconds, [this, expireAt, giveUpAt, suspended] { poll(expireAt, giveUpAt, suspended); });
}
