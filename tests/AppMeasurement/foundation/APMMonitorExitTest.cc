// A process that ends while the process-wide monitor still has health-data saves queued
// must end cleanly (no queued block may run against destroyed objects), and what it
// queued must reach the disk. Each launch is a process of its own on one container.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "AppMeasurement/foundation/APMMonitor.h"
#include "AppMeasurement/foundation/APMUserDefaults.h"
#include "platform/foundation/AppContainer.h"
#include "platform/foundation/PreferenceStore.h"
#include "platform/foundation/ProcessInfo.h"
#include "tests/support/ChildProcess.h"

namespace {

constexpr const char* kRootVariable = "KVL_MONITOR_EXIT_ROOT";
// Silent but monitorable levels: every line competes for the sample, none is printed.
constexpr int kLines = 100;

void useContainer() {
  ASSERT_TRUE(platform::AppContainer::setRoot(std::getenv(kRootVariable)).ok());
  platform::PreferenceStore::setCurrentApplicationDomain("com.example.monitorexit");
  platform::ProcessInfo::processInfo().setArguments({"apm_foundation_tests"});
}

// Queues kLines health-data saves on the process-wide monitor and does not wait for them.
void logWithoutWaiting() {
  useContainer();
  std::shared_ptr<APMMonitor> monitor = APMMonitor::monitor();
  for (int i = 0; i < kLines; ++i) {
    monitor->logWithLevel(i % 2 == 0 ? 2 : 5, 12000 + i % 7, "Line " + std::to_string(i % 7),
                          APMLogContext(platform::Value(static_cast<int64_t>(i))));
  }
}

TEST(APMMonitorExitChild, DISABLED_LogsAndReturnsFromMain) { logWithoutWaiting(); }

TEST(APMMonitorExitChild, DISABLED_LogsAndExits) {
  logWithoutWaiting();
  std::exit(0);
}

TEST(APMMonitorExitChild, DISABLED_FindsEveryLineInTheSample) {
  useContainer();
  APMUserDefaults suite(std::string(APMMonitor::kSuiteName));
  auto sample = suite.arrayForKey(APMMonitor::kHealthMonitorKey);
  ASSERT_TRUE(sample.has_value());
  ASSERT_EQ(sample->size(), 4u);
  const int64_t* population = (*sample)[1].asInteger();
  ASSERT_NE(population, nullptr);
  EXPECT_EQ(*population, kLines);
}

TEST(APMMonitorExitTest, EndingWithSavesQueuedIsCleanAndKeepsEverySave) {
  for (int run = 0; run < 8; ++run) {
    const char* ending = run % 2 == 0 ? "DISABLED_LogsAndReturnsFromMain" : "DISABLED_LogsAndExits";
    std::string root = (std::filesystem::temp_directory_path() / "kvl-monitor-exit-XXXXXX");
    ASSERT_NE(mkdtemp(root.data()), nullptr);
    const std::vector<std::pair<std::string, std::string>> variables = {{kRootVariable, root}};
    EXPECT_EQ(testsupport::runThisBinary(std::string("APMMonitorExitChild.") + ending, variables),
              0)
        << ending << " (run " << run << ")";
    EXPECT_EQ(testsupport::runThisBinary("APMMonitorExitChild.DISABLED_FindsEveryLineInTheSample",
                                         variables),
              0)
        << "after " << ending << " (run " << run << ")";
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
  }
}

}  // namespace
