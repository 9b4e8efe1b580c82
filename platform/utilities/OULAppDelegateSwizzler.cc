#include "platform/utilities/OULAppDelegateSwizzler.h"

#include <atomic>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/utilities/OULOSLog.h"

namespace {

struct Registry {
  std::mutex mutex;
  bool enabled = true;
  bool installed = false;
  uint64_t nextID = 1;
  std::vector<std::pair<std::string, std::shared_ptr<OULAppDelegateInterceptor>>> interceptors;
};

Registry& registry() {
  static Registry& instance = *new Registry();
  return instance;
}

// The interceptors to call now: none while the proxy is not installed.
std::vector<std::shared_ptr<OULAppDelegateInterceptor>> activeInterceptors() {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  std::vector<std::shared_ptr<OULAppDelegateInterceptor>> out;
  if (!r.installed) return out;
  out.reserve(r.interceptors.size());
  for (const auto& entry : r.interceptors) out.push_back(entry.second);
  return out;
}

}  // namespace

bool OULAppDelegateSwizzler::isAppDelegateProxyEnabled() {
  std::lock_guard<std::mutex> lock(registry().mutex);
  return registry().enabled;
}

void OULAppDelegateSwizzler::setAppDelegateProxyEnabled(bool enabled) {
  std::lock_guard<std::mutex> lock(registry().mutex);
  registry().enabled = enabled;
}

void OULAppDelegateSwizzler::proxyOriginalDelegate() {
  {
    std::lock_guard<std::mutex> lock(registry().mutex);
    if (!registry().enabled || registry().installed) return;
    registry().installed = true;
  }
  // Outside the lock: the log's sink may be anything.
  OULOSLogDebug(kSwizzlerLogSubsystem, kSwizzlerLogCategory, false, kSwizzlerProxyInstalledCode,
                "App Delegate Proxy installed");
}

bool OULAppDelegateSwizzler::isProxyInstalled() {
  std::lock_guard<std::mutex> lock(registry().mutex);
  return registry().installed;
}

OULAppDelegateSwizzler::InterceptorID OULAppDelegateSwizzler::registerAppDelegateInterceptor(
    std::shared_ptr<OULAppDelegateInterceptor> interceptor) {
  if (!interceptor) return {};
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  InterceptorID id = "OULAppDelegateInterceptor-" + std::to_string(r.nextID++);
  r.interceptors.emplace_back(id, std::move(interceptor));
  return id;
}

void OULAppDelegateSwizzler::unregisterAppDelegateInterceptorWithID(
    const InterceptorID& interceptorID) {
  Registry& r = registry();
  std::vector<std::shared_ptr<OULAppDelegateInterceptor>> removed;
  {
    std::lock_guard<std::mutex> lock(r.mutex);
    for (auto it = r.interceptors.begin(); it != r.interceptors.end();) {
      if (it->first == interceptorID) {
        removed.push_back(std::move(it->second));
        it = r.interceptors.erase(it);
      } else {
        ++it;
      }
    }
  }
  // `removed` releases the interceptor here, outside the lock: its destructor may call back.
}

bool OULAppDelegateSwizzler::dispatchOpenURL(const std::string& url,
                                             const platform::Value& options) {
  bool consumed = false;
  for (const auto& interceptor : activeInterceptors()) {
    consumed = interceptor->applicationOpenURLOptions(url, options) || consumed;
  }
  return consumed;
}

bool OULAppDelegateSwizzler::dispatchOpenURLSourceApplication(const std::string& url,
                                                              const std::string& sourceApplication,
                                                              const platform::Value& annotation) {
  bool consumed = false;
  for (const auto& interceptor : activeInterceptors()) {
    consumed = interceptor->applicationOpenURLSourceApplicationAnnotation(url, sourceApplication,
                                                                          annotation) ||
               consumed;
  }
  return consumed;
}

bool OULAppDelegateSwizzler::dispatchContinueUserActivity(
    const OULAppDelegateInterceptor::UserActivity& userActivity,
    OULAppDelegateInterceptor::RestorationHandler restorationHandler) {
  bool consumed = false;
  for (const auto& interceptor : activeInterceptors()) {
    consumed =
        interceptor->applicationContinueUserActivity(userActivity, restorationHandler) || consumed;
  }
  return consumed;
}

bool OULAppDelegateSwizzler::dispatchHandleEventsForBackgroundURLSession(
    const std::string& identifier, OULAppDelegateInterceptor::CompletionHandler completionHandler) {
  auto interceptors = activeInterceptors();
  if (interceptors.empty()) return false;
  auto called = std::make_shared<std::atomic<bool>>(false);
  auto shared =
      std::make_shared<OULAppDelegateInterceptor::CompletionHandler>(std::move(completionHandler));
  OULAppDelegateInterceptor::CompletionHandler once = [called, shared] {
    if (!called->exchange(true) && *shared) (*shared)();
  };
  for (const auto& interceptor : interceptors) {
    interceptor->applicationHandleEventsForBackgroundURLSession(identifier, once);
  }
  return true;
}

void OULAppDelegateSwizzler::resetForTesting() {
  Registry& r = registry();
  std::vector<std::pair<std::string, std::shared_ptr<OULAppDelegateInterceptor>>> dropped;
  {
    std::lock_guard<std::mutex> lock(r.mutex);
    r.enabled = true;
    r.installed = false;
    dropped.swap(r.interceptors);
  }
  // `dropped` releases the interceptors here, outside the lock.
}
