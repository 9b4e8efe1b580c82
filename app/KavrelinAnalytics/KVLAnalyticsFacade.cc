#include "app/KavrelinAnalytics/KVLAnalyticsFacade.h"

#include <atomic>
#include <mutex>

#include "platform/foundation/PlatformLog.h"

namespace {

class NeutralFacade : public KVLAnalyticsFacade {
 public:
  void logEventWithName(const std::string& name,
                        std::optional<platform::Value::Dictionary>) override {
    note("event " + name);
  }
  void setUserPropertyString(const std::string&, const std::string& name) override {
    note("user property " + name);
  }
  void setUserID(const std::string&) override { note("user ID"); }
  void setAnalyticsCollectionEnabled(bool) override { note("collection switch"); }
  void setSessionTimeoutInterval(double) override { note("session timeout"); }
  std::optional<std::string> appInstanceID() override { return std::nullopt; }
  void resetAnalyticsData() override { note("reset"); }

 private:
  void note(const std::string& what) {
    if (!warned_.exchange(true)) {
      platform::PlatformLog::write("KavrelinAnalytics: no measurement engine is linked; " + what +
                                   " and later calls are dropped");
    }
  }
  std::atomic<bool> warned_{false};
};

// Never destroyed: the bridge's threads call plug-ins while the process exits.
std::mutex& gMutex = *new std::mutex();
std::shared_ptr<KVLAnalyticsFacade>& gFacade =
    *new std::shared_ptr<KVLAnalyticsFacade>();  // guarded by gMutex

}  // namespace

std::shared_ptr<KVLAnalyticsFacade> KVLAnalyticsFacade::current() {
  std::lock_guard lock(gMutex);
  if (!gFacade) gFacade = std::make_shared<NeutralFacade>();
  return gFacade;
}

void KVLAnalyticsFacade::install(std::shared_ptr<KVLAnalyticsFacade> facade) {
  std::lock_guard lock(gMutex);
  gFacade = std::move(facade);
}
