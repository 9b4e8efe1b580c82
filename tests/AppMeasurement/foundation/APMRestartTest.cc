// What the library keeps in user defaults outlives the process even where no caller
// synchronizes: each launch below is a process of its own on one container.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "AppMeasurement/foundation/APMDeepLinkCache.h"
#include "AppMeasurement/foundation/APMMonitor.h"
#include "AppMeasurement/foundation/APMUserDefaults.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/AppContainer.h"
#include "platform/foundation/PreferenceStore.h"
#include "platform/foundation/ProcessInfo.h"
#include "tests/support/ChildProcess.h"

namespace {

using platform::Value;

constexpr const char* kRootVariable = "KVL_RESTART_ROOT";
constexpr const char* kLink = "https://example.test/promo?campaign=spring";

// One launch of the app: its container, domain and launch arguments, and the monitor.
std::shared_ptr<APMMonitor> launch(std::vector<std::string> arguments) {
  EXPECT_TRUE(platform::AppContainer::setRoot(std::getenv(kRootVariable)).ok());
  platform::PreferenceStore::setCurrentApplicationDomain("com.example.restart");
  arguments.insert(arguments.begin(), "apm_foundation_tests");
  platform::ProcessInfo::processInfo().setArguments(std::move(arguments));
  auto monitor = APMMonitor::create(kAPMMonitorLibraryVersion);
  platform::DispatchQueue::waitUntilIdle();
  return monitor;
}

TEST(APMRestartChild, DISABLED_FirstLaunchWithDebugArgument) {
  auto monitor = launch({"-APMAnalyticsDebugEnabled"});
  EXPECT_TRUE(monitor->isDebugModeEnabled());
  APMCacheDeepLink(*APMUserDefaults::sharedUserDefaults(), kLink);
  monitor->logWithLevel(1, 12000, "Failed to open database");
  platform::DispatchQueue::waitUntilIdle();
}

TEST(APMRestartChild, DISABLED_SecondLaunchClearsMonitoringData) {
  auto monitor = launch({});
  EXPECT_TRUE(monitor->isDebugModeEnabled());  // the flag the argument stored
  auto defaults = APMUserDefaults::sharedUserDefaults();
  EXPECT_EQ(defaults->stringForKey(kAPMDeepLinkKey), kLink);
  APMUserDefaults suite(std::string(APMMonitor::kSuiteName));
  auto sample = suite.arrayForKey(APMMonitor::kHealthMonitorKey);
  ASSERT_TRUE(sample.has_value());
  EXPECT_EQ((*sample)[2], Value("1E_111500:Failed to open database"));
  monitor->clearMonitoringData();
}

TEST(APMRestartChild, DISABLED_ThirdLaunchSeesTheClearedState) {
  auto monitor = launch({});
  EXPECT_FALSE(monitor->isDebugModeEnabled());
  EXPECT_FALSE(APMUserDefaults::sharedUserDefaults()->objectForKey(APMMonitor::kDebugModeKey));
  APMUserDefaults suite(std::string(APMMonitor::kSuiteName));
  EXPECT_FALSE(suite.objectForKey(APMMonitor::kHealthMonitorKey).has_value());
  EXPECT_EQ(APMUserDefaults::sharedUserDefaults()->stringForKey(kAPMDeepLinkKey), kLink);
}

TEST(APMRestartTest, DebugFlagDeepLinkAndClearedMonitoringDataOutliveTheProcess) {
  std::string pattern = (std::filesystem::temp_directory_path() / "kvl-restart-XXXXXX");
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  const std::vector<std::pair<std::string, std::string>> variables = {{kRootVariable, pattern}};
  for (const char* child :
       {"DISABLED_FirstLaunchWithDebugArgument", "DISABLED_SecondLaunchClearsMonitoringData",
        "DISABLED_ThirdLaunchSeesTheClearedState"}) {
    EXPECT_EQ(testsupport::runThisBinary(std::string("APMRestartChild.") + child, variables), 0)
        << child;
  }
  std::error_code ignored;
  std::filesystem::remove_all(pattern, ignored);
}

}  // namespace
