// When the health sample reaches the disk: a burst of sampled lines is written once, when
// the save interval has passed (the suite in memory is current at once); entering the
// background writes what is pending; an orderly exit does too, and the next process reads it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "AppMeasurement/foundation/APMMonitor.h"
#include "AppMeasurement/foundation/APMUserDefaults.h"
#include "platform/dispatch/Clock.h"
#include "platform/foundation/AppContainer.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/PreferenceStore.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/uikit/UIApplicationNotifications.h"
#include "tests/AppMeasurement/foundation/MonitorTestEnvironment.h"
#include "tests/AppMeasurement/foundation/MonitorTestHooks.h"
#include "tests/AppMeasurement/foundation/PythonReference.h"
#include "tests/support/ChildProcess.h"

namespace {

constexpr int kLines = 1000;

// The suite's file as another program reads it: the sample's population, or "none".
std::string populationOnDisk(const std::filesystem::path& file) {
  return testsupport::runPython(
      "import plistlib\n"
      "try:\n"
      "    with open('" +
      file.string() +
      "', 'rb') as f:\n"
      "        d = plistlib.load(f)\n"
      "except FileNotFoundError:\n"
      "    d = {}\n"
      "s = d.get('/orvane/measurement/health_monitor')\n"
      "print(s[1] if s else 'none')\n");
}

// Every write of a preference file replaces it (a new file renamed over the old one).
ino_t inodeOf(const std::filesystem::path& file) {
  struct stat status {};
  return ::stat(file.c_str(), &status) == 0 ? status.st_ino : 0;
}

class APMMonitorSaveTest : public testsupport::MonitorTestEnvironment {
 protected:
  void SetUp() override {
    MonitorTestEnvironment::SetUp();
    hooks = std::make_unique<testsupport::MonitorTestHooks>();
    monitor = APMMonitor::create(6, std::make_shared<APMASLLogger>(), 111500);
    settle();  // start-up writes the migration state
    file = hooks->root() / "Library/Preferences/com.orvane.rzq.measurement.monitor.plist";
  }
  void TearDown() override {
    monitor.reset();
    MonitorTestEnvironment::TearDown();
    hooks.reset();
  }

  void logBurst() {
    for (int i = 0; i < kLines; ++i) monitor->logWithLevel(2, 34001, "Burst line", i);
    settle();
  }
  int64_t populationInMemory() {
    auto sample = APMUserDefaults(std::string(APMMonitor::kSuiteName))
                      .arrayForKey(APMMonitor::kHealthMonitorKey);
    return sample ? *(*sample)[1].asInteger() : 0;
  }

  std::unique_ptr<testsupport::MonitorTestHooks> hooks;
  std::shared_ptr<APMMonitor> monitor;
  std::filesystem::path file;
};

TEST_F(APMMonitorSaveTest, BurstIsWrittenAtItsFirstLineThenOnceWhenTheIntervalHasPassed) {
  logBurst();
  EXPECT_EQ(populationInMemory(), kLines);   // readers of the suite see every line at once
  EXPECT_EQ(populationOnDisk(file), "1\n");  // the first line, written at once; no other
  ino_t first = inodeOf(file);

  clock->advance(APMMonitor::kSampleSaveInterval);
  settle();
  EXPECT_NE(inodeOf(file), first);
  EXPECT_EQ(populationOnDisk(file), std::to_string(kLines) + "\n");

  // Within the interval after that write a line waits; after a quiet interval it does not.
  monitor->logWithLevel(5, 34002, "Later line");
  settle();
  EXPECT_EQ(populationOnDisk(file), std::to_string(kLines) + "\n");
  clock->advance(APMMonitor::kSampleSaveInterval);
  settle();
  EXPECT_EQ(populationOnDisk(file), std::to_string(kLines + 1) + "\n");
  clock->advance(APMMonitor::kSampleSaveInterval);
  monitor->logWithLevel(5, 34002, "Quiet line");
  settle();
  EXPECT_EQ(populationOnDisk(file), std::to_string(kLines + 2) + "\n");
}

TEST_F(APMMonitorSaveTest, EnteringTheBackgroundOrTerminatingWritesWhatIsPending) {
  struct Row {
    const char* notification;
    const char* onDiskBefore;  // the burst's first line was written at once the first time
    const char* onDiskAfter;
  };
  const Row rows[] = {{UIApplicationDidEnterBackgroundNotification, "1\n", "1000\n"},
                      {UIApplicationWillTerminateNotification, "1000\n", "2000\n"}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.notification);
    logBurst();
    EXPECT_EQ(populationOnDisk(file), row.onDiskBefore);
    platform::NotificationCenter::defaultCenter().postNotificationName(row.notification);
    settle();  // no time passes
    EXPECT_EQ(populationOnDisk(file), row.onDiskAfter);
  }
}

TEST_F(APMMonitorSaveTest, ReleasingTheMonitorWritesWhatIsPending) {
  logBurst();
  monitor.reset();
  // What the store held in memory is forgotten: only the file remains.
  platform::PreferenceStore::resetForTesting();
  EXPECT_EQ(populationOnDisk(file), std::to_string(kLines) + "\n");
  EXPECT_EQ(populationInMemory(), kLines);
}

// --- Across processes: each launch is a process of its own on one container. ---

constexpr const char* kRootVariable = "KVL_MONITOR_SAVE_ROOT";

void useContainer() {
  ASSERT_TRUE(platform::AppContainer::setRoot(std::getenv(kRootVariable)).ok());
  platform::PreferenceStore::setCurrentApplicationDomain("com.example.monitorsave");
  platform::ProcessInfo::processInfo().setArguments({"apm_foundation_tests"});
}

// Logs a burst on the process-wide monitor, lets every queue finish (the write now waits
// only for the interval, which never passes: time stands still here) and exits in order.
TEST(APMMonitorSaveChild, DISABLED_LogsABurstAndExits) {
  useContainer();
  platform::Clock::install(std::make_shared<platform::ManualClock>());
  std::shared_ptr<APMMonitor> monitor = APMMonitor::monitor();
  for (int i = 0; i < kLines; ++i) monitor->logWithLevel(1, 12000, "Exit line", i);
  platform::DispatchQueue::waitUntilIdle();
  std::exit(0);
}

TEST(APMMonitorSaveChild, DISABLED_ReadsTheBurstAndHandsItOut) {
  useContainer();
  std::shared_ptr<APMMonitor> monitor = APMMonitor::create(kAPMMonitorLibraryVersion);
  std::optional<std::string> text = monitor->monitoringDataForDispatch(-1, 0);
  ASSERT_TRUE(text.has_value());
  EXPECT_EQ(text->substr(0, text->find(':')), std::to_string(kLines));
  EXPECT_NE(text->find("1E_111500:Exit line"), std::string::npos) << *text;
}

TEST(APMMonitorSaveRestartTest, ExitWritesThePendingSampleAndTheNextLaunchReadsIt) {
  std::string root = (std::filesystem::temp_directory_path() / "kvl-monitor-save-XXXXXX");
  ASSERT_NE(mkdtemp(root.data()), nullptr);
  const std::vector<std::pair<std::string, std::string>> variables = {{kRootVariable, root}};
  EXPECT_EQ(
      testsupport::runThisBinary("APMMonitorSaveChild.DISABLED_LogsABurstAndExits", variables), 0);
  EXPECT_EQ(testsupport::runThisBinary("APMMonitorSaveChild.DISABLED_ReadsTheBurstAndHandsItOut",
                                       variables),
            0);
  std::error_code ignored;
  std::filesystem::remove_all(root, ignored);
}

}  // namespace
