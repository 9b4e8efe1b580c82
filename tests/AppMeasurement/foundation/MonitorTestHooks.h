#pragma once

#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/foundation/AppContainer.h"
#include "platform/foundation/PreferenceStore.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/utilities/OULAppEnvironmentUtil.h"

namespace testsupport {

// Gives a monitor test a fresh app container (so every preference suite starts empty) and
// control over the launch arguments; restores both afterwards.
class MonitorTestHooks {
 public:
  MonitorTestHooks() {
    char pattern[] = "/tmp/apm_monitor_XXXXXX";
    const char* made = mkdtemp(pattern);
    root_ = made ? made : "";
    previousRoot_ = platform::AppContainer::root();
    (void)platform::AppContainer::setRoot(root_);
    platform::PreferenceStore::resetForTesting();
    platform::ProcessInfo::processInfo().setArguments({"apm_foundation_tests"});
  }
  ~MonitorTestHooks() {
    platform::ProcessInfo::processInfo().resetForTesting();
    OULAppEnvironmentUtil::setConfiguration(std::nullopt);
    platform::PreferenceStore::resetForTesting();
    if (!previousRoot_.empty()) (void)platform::AppContainer::setRoot(previousRoot_);
    std::error_code ignored;
    if (!root_.empty()) std::filesystem::remove_all(root_, ignored);
  }
  MonitorTestHooks(const MonitorTestHooks&) = delete;
  MonitorTestHooks& operator=(const MonitorTestHooks&) = delete;

  void setLaunchArguments(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "apm_foundation_tests");
    platform::ProcessInfo::processInfo().setArguments(std::move(arguments));
  }
  // Makes the app an App Store install (or not) as the environment sees it.
  void setAppStoreInstall(bool appStore) {
    if (!appStore) {
      OULAppEnvironmentUtil::setConfiguration(std::nullopt);
      return;
    }
    OULAppEnvironmentUtil::Configuration configuration =
        OULAppEnvironmentUtil::defaultConfiguration();
    configuration.isFromAppStore = true;
    OULAppEnvironmentUtil::setConfiguration(configuration);
  }

  const std::filesystem::path& root() const { return root_; }

 private:
  std::filesystem::path root_;
  std::filesystem::path previousRoot_;
};

}  // namespace testsupport
