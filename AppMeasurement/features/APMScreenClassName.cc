#include "AppMeasurement/features/APMScreenClassName.h"

#include <mutex>

#include "AppMeasurement/features/APMScreenViewReporter.h"
#include "AppMeasurement/foundation/APMMonitor.h"
#include "platform/foundation/Bundle.h"
#include "platform/runtime/ClassRegistry.h"
#include "platform/utilities/OULOSLog.h"

namespace {

// The getters' selectors, which key the associated objects.
constexpr const char* kScreenKey = "apmScreen";
constexpr const char* kStackKey = "apmStack";
constexpr const char* kSubsystem = "com.orvane.kavrelin.analytics";
constexpr const char* kCategory = "<AppMeasurement>";

template <class Kind, class Owner>
std::shared_ptr<Kind> associated(Owner& owner, const char* key, int64_t code) {
  std::shared_ptr<platform::RuntimeObject> found = owner.associatedObject(key);
  if (!found) return nullptr;
  if (auto typed = std::dynamic_pointer_cast<Kind>(found)) return typed;
  const platform::RuntimeObject& object = *found;
  APMMonitor::monitor()->logWithLevel(4, code, "Found unknown associated object",
                                      std::string(typeid(object).name()));
  owner.setAssociatedObject(key, nullptr);
  return nullptr;
}

}  // namespace

std::shared_ptr<APMScreen> APMScreenOfViewController(UIViewController& controller) {
  return associated<APMScreen>(controller, kScreenKey, 36000);
}

void APMSetScreenOfViewController(UIViewController& controller, std::shared_ptr<APMScreen> screen) {
  controller.setAssociatedObject(kScreenKey, std::move(screen));
}

std::shared_ptr<APMScreenStack> APMStackOfWindow(UIWindow& window) {
  return associated<APMScreenStack>(window, kStackKey, 38000);
}

void APMSetStackOfWindow(UIWindow& window, std::shared_ptr<APMScreenStack> stack) {
  window.setAssociatedObject(kStackKey, std::move(stack));
}

void APMInstallViewControllerAppearanceHooks() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (!APMIsScreenReportingEnabled()) {
      OULOSLogInfo(kSubsystem, kCategory, false, "I-ACS036001",
                   "Analytics screen reporting is disabled. UIViewController transitions will "
                   "not be logged.");
      return;
    }
    if (platform::ClassRegistry::shared().contains("KVLADatabase")) {
      OULOSLogWarning(kSubsystem, kCategory, false, "I-ACS036005",
                      "Detected an older version of Orvane Analytics for Kavrelin framework. "
                      "Please upgrade to the latest version of Orvane Analytics for Kavrelin.");
      return;
    }
    UIViewController::addAppearanceObserver(
        [](UIViewController& controller, UIViewController::Appearance what) {
          std::shared_ptr<UIViewController> shared = controller.weak_from_this().lock();
          if (!shared) return;  // being destroyed: nothing to track
          std::shared_ptr<APMScreenViewReporter> reporter = APMScreenViewReporter::sharedInstance();
          if (what == UIViewController::Appearance::kDidAppear) {
            reporter->viewControllerDidAppear(shared);
          } else {
            reporter->viewControllerDidDisappear(shared);
          }
        });
  });
}
