// The monitor's pipeline, modes, launch arguments and persisted health sample.
#include "AppMeasurement/foundation/APMMonitor.h"

#include <gtest/gtest.h>

#include <mutex>

#include "AppMeasurement/foundation/APMUserDefaults.h"
#include "platform/foundation/PreferenceStore.h"
#include "platform/runtime/ClassRegistry.h"
#include "platform/utilities/OULOSLog.h"
#include "tests/AppMeasurement/foundation/MonitorTestEnvironment.h"
#include "tests/AppMeasurement/foundation/MonitorTestHooks.h"
#include "tests/AppMeasurement/foundation/PythonReference.h"

namespace {

using platform::Value;
using testsupport::countLinesWith;

// Records what reaches the console writer, then writes it as the real one does.
class RecordingLogger : public APMASLLogger {
 public:
  struct Line {
    std::string message;
    std::string tag;
    int64_t code;
    int level;
  };
  void logMessage(std::string_view message, std::string_view logTag, int64_t messageCode,
                  int logLevel) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.push_back({std::string(message), std::string(logTag), messageCode, logLevel});
    }
    APMASLLogger::logMessage(message, logTag, messageCode, logLevel);
  }
  std::vector<Line> lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Line> lines_;
};

class APMMonitorTest : public testsupport::MonitorTestEnvironment {
 protected:
  void SetUp() override {
    MonitorTestEnvironment::SetUp();
    hooks = std::make_unique<testsupport::MonitorTestHooks>();
  }
  void TearDown() override {
    monitor.reset();
    MonitorTestEnvironment::TearDown();
    hooks->setAppStoreInstall(false);
    hooks.reset();
    platform::ClassRegistry::shared().unregisterClass("KVLConfiguration");
  }

  std::shared_ptr<APMMonitor> makeMonitor() {
    logger = std::make_shared<RecordingLogger>();
    monitor = APMMonitor::create(6, logger, 111500);
    settle();
    return monitor;
  }
  std::shared_ptr<APMUserDefaults> suite() {
    return std::make_shared<APMUserDefaults>(std::string(APMMonitor::kSuiteName));
  }
  std::optional<Value> storedSample() {
    return suite()->objectForKey(APMMonitor::kHealthMonitorKey);
  }

  std::unique_ptr<testsupport::MonitorTestHooks> hooks;
  std::shared_ptr<RecordingLogger> logger;
  std::shared_ptr<APMMonitor> monitor;
};

TEST_F(APMMonitorTest, PrintingAndSamplingFollowTheLevelTable) {
  makeMonitor();
  struct Case {
    int level;
    bool printed;
    bool sampled;
  };
  // Console threshold: notices (the default).
  const Case cases[] = {{0, true, false},  {1, true, true},   {2, false, true},  {3, true, false},
                        {4, true, true},   {5, false, true},  {6, true, false},  {7, false, false},
                        {8, false, false}, {9, false, false}, {-1, false, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.level);
    monitor->clearMonitoringData();
    size_t before = logger->lines().size();
    monitor->logWithLevel(c.level, 99000 + c.level, "Level message");
    settle();
    EXPECT_EQ(logger->lines().size() - before, c.printed ? 1u : 0u);
    std::optional<Value> sample = storedSample();
    if (c.level == -1) {
      // Outside the scale: silent and monitorable, as levels above the table.
      EXPECT_TRUE(sample.has_value());
      continue;
    }
    EXPECT_EQ(sample.has_value(), c.sampled);
  }
}

TEST_F(APMMonitorTest, NoticeIsPrintedOnlyWhenTheLoggerAllowsNotices) {
  makeMonitor();
  OULSetLoggerLevel(OULLoggerLevelWarning);
  monitor->logWithLevel(6, 23000, "Notice hidden");
  monitor->logWithLevel(3, 23001, "Warning shown");
  settle();
  EXPECT_FALSE(capture.contains("Notice hidden"));
  EXPECT_TRUE(capture.contains("[I-ACS023001] WARNING: Warning shown"));
  OULSetLoggerLevel(OULLoggerLevelNotice);
  monitor->logWithLevel(6, 23000, "Notice shown");
  settle();
  EXPECT_TRUE(capture.contains(
      "[com.orvane.kavrelin.analytics] <AppMeasurement>[I-ACS023000] NOTICE: Notice shown"));
}

TEST_F(APMMonitorTest, LevelNineIsDroppedOutsideVerboseMode) {
  makeMonitor();
  OULSetLoggerLevel(OULLoggerLevelDebug);
  monitor->logWithLevel(9, 1, "nine");
  monitor->logWithLevel(8, 2, "eight");
  settle();
  EXPECT_FALSE(storedSample().has_value());
  EXPECT_FALSE(capture.contains("nine"));
  EXPECT_FALSE(capture.contains("eight"));

  monitor->setVerboseLoggingEnabled(true);
  monitor->logWithLevel(9, 1, "nine");
  monitor->logWithLevel(8, 2, "eight");
  settle();
  EXPECT_TRUE(storedSample().has_value());  // sampled, never printed
  EXPECT_FALSE(capture.contains("nine"));
  EXPECT_TRUE(capture.contains("[I-ACS000002] DEBUG: eight"));
}

TEST_F(APMMonitorTest, ConsoleLinesCarryTagCodeAndTheMessageAsGiven) {
  makeMonitor();
  monitor->logWithLevel(0, 23002, "100% done %s %n %%");
  monitor->logWithLevel(0, 23006, std::string_view("before\0after", 12));  // NUL cuts nothing
  monitor->setEncodeContexts(true);
  monitor->logWithLevel(6, 23003, "Values", "abc", 42, 1234);
  monitor->setEncodeContexts(false);
  monitor->logWithLevel(6, 23004, "Values", "abc", 42, 1234);
  monitor->logWithLevel(6, 23005, "Absent", APMLogContext());
  monitor->setLogTag("<MyTag>");
  monitor->logWithLevel(1, 2001, std::nullopt);
  monitor->logWithLevel(1, 1234567, "");
  settle();
  for (const char* line :
       {"[I-ACS023002] ERROR: 100% done %s %n %%", "[I-ACS023006] ERROR: beforeafter",
        "[I-ACS023003] NOTICE: Values: -, 42, 1000...9999",
        "[I-ACS023004] NOTICE: Values: abc, 42, 1234", "[I-ACS023005] NOTICE: Absent: (nil)",
        "<MyTag>[I-ACS002001] ERROR: (Message was nil)",
        "<MyTag>[I-ACS1234567] ERROR: (Message was empty)"}) {
    EXPECT_TRUE(capture.contains(line)) << line;
  }
  EXPECT_EQ(logger->lines().back().tag, "<MyTag>");
}

TEST_F(APMMonitorTest, SampleIsPersistedInItsSuiteWithErrorContexts) {
  makeMonitor();
  double start = clock->now();
  monitor->logWithLevel(1, 12000, "Failed to open database", "secret",
                        apm_errorWithCode(3, "Transaction failed", "open,14,NA"), 5000);
  settle();
  std::optional<Value> sample = storedSample();
  ASSERT_TRUE(sample.has_value());
  EXPECT_EQ(*sample,
            Value(Value::Array{
                Value("-,com.orvane.rzq.measurement.ErrorDomain,1000...9999,open,14,NA"), Value(1),
                Value("1E_111500:Failed to open database"), Value::date(start)}));

  // A second monitor loads it from the file (what stayed in memory is forgotten) and counts
  // on from it. APMRestartTest shows the same across processes.
  monitor = nullptr;
  platform::PreferenceStore::resetForTesting();
  makeMonitor();
  monitor->setSampleRandomForTesting([](uint32_t) { return 1u; });
  monitor->logWithLevel(4, 1, "Another");
  settle();
  EXPECT_EQ((*storedSample()->asArray())[1], Value(2));
  EXPECT_EQ((*storedSample()->asArray())[2], Value("1E_111500:Failed to open database"));
}

TEST_F(APMMonitorTest, SuiteFileIsAPropertyListThatPythonReads) {
  makeMonitor();
  monitor->logWithLevel(2, 34001, "Failed to prepare statement", "SELECT 1", 250);
  settle();
  std::string path =
      (hooks->root() / "Library/Preferences/com.orvane.rzq.measurement.monitor.plist").string();
  std::string output = testsupport::runPython(
      "import calendar, plistlib\n"
      "with open('" +
      path +
      "', 'rb') as f:\n"
      "    d = plistlib.load(f)\n"
      "s = d['/orvane/measurement/health_monitor']\n"
      "print(s[0]); print(s[1]); print(s[2]); print(calendar.timegm(s[3].utctimetuple()))\n"
      "print(d['/orvane/measurement/monitor_migration_state'])\n");
  EXPECT_EQ(output, "-,100...999\n1\n1E_111500:Failed to prepare statement\n" +
                        std::to_string(static_cast<int64_t>(clock->now())) + "\n2\n");
}

TEST_F(APMMonitorTest, HandingOutTheSampleClearsTheSuite) {
  makeMonitor();
  monitor->logWithLevel(4, 1, "M", 7);
  settle();
  EXPECT_EQ(monitor->monitoringDataForDispatch(60, 0), std::nullopt);
  EXPECT_TRUE(storedSample().has_value());
  clock->advance(61);
  EXPECT_EQ(monitor->monitoringDataForDispatch(60, 0), "1:1W_111500:M:7");
  EXPECT_FALSE(storedSample().has_value());
  EXPECT_EQ(monitor->monitoringDataForDispatch(60, clock->now() - 61), "0:");
}

TEST_F(APMMonitorTest, ClearMonitoringDataForgetsSampleAndDebugFlag) {
  makeMonitor();
  auto app = APMUserDefaults::sharedUserDefaults();
  monitor->setDebugModeEnabled(true);
  monitor->logWithLevel(1, 1, "M");
  settle();
  ASSERT_TRUE(app->objectForKey(APMMonitor::kDebugModeKey).has_value());
  monitor->clearMonitoringData();
  EXPECT_FALSE(app->objectForKey(APMMonitor::kDebugModeKey).has_value());
  EXPECT_FALSE(storedSample().has_value());
  clock->advance(1e6);
  EXPECT_EQ(monitor->monitoringDataForDispatch(1, 0), std::nullopt);
  monitor->setDebugModeEnabled(false);
}

TEST_F(APMMonitorTest, DamagedStoredSampleLoadsEmpty) {
  suite()->setObject(Value(Value::Array{Value("c"), Value(1), Value("k")}),
                     APMMonitor::kHealthMonitorKey);
  makeMonitor();
  clock->advance(1e6);
  EXPECT_EQ(monitor->monitoringDataForDispatch(1, 0), std::nullopt);
  suite()->setObject(Value(Value::Array{Value("c"), Value(1), Value(3), Value::date(0)}),
                     APMMonitor::kHealthMonitorKey);
  monitor = nullptr;
  makeMonitor();
  EXPECT_EQ(monitor->monitoringDataForDispatch(1, 0), std::nullopt);
}

TEST_F(APMMonitorTest, MigrationMovesTheLegacySampleIntoTheSuite) {
  auto app = APMUserDefaults::sharedUserDefaults();
  Value legacy(Value::Array{Value("c"), Value(3), Value("1W_1:M"), Value::date(10)});
  app->setObject(legacy, APMMonitor::kHealthMonitorKey);
  makeMonitor();
  EXPECT_EQ(storedSample(), legacy);
  EXPECT_FALSE(app->objectForKey(APMMonitor::kHealthMonitorKey).has_value());
  EXPECT_EQ(suite()->integerForKey(APMMonitor::kMigrationStateKey), 2);
  EXPECT_EQ(monitor->monitoringDataForDispatch(1, 0), "3:1W_1:M:c");

  // Once migrated, a legacy entry written later is left alone.
  app->setObject(legacy, APMMonitor::kHealthMonitorKey);
  monitor = nullptr;
  makeMonitor();
  EXPECT_FALSE(storedSample().has_value());
  EXPECT_TRUE(app->objectForKey(APMMonitor::kHealthMonitorKey).has_value());
  app->removeObjectForKey(APMMonitor::kHealthMonitorKey);
}

TEST_F(APMMonitorTest, MigrationKeepsAnExistingSuiteSample) {
  auto app = APMUserDefaults::sharedUserDefaults();
  Value legacy(Value::Array{Value("old"), Value(3), Value("1W_1:M"), Value::date(10)});
  Value current(Value::Array{Value("new"), Value(1), Value("1E_1:N"), Value::date(20)});
  app->setObject(legacy, APMMonitor::kHealthMonitorKey);
  suite()->setObject(current, APMMonitor::kHealthMonitorKey);
  makeMonitor();
  EXPECT_EQ(storedSample(), current);
  EXPECT_FALSE(app->objectForKey(APMMonitor::kHealthMonitorKey).has_value());
}

TEST_F(APMMonitorTest, DebugModeSwitching) {
  makeMonitor();
  auto app = APMUserDefaults::sharedUserDefaults();
  monitor->setDebugModeEnabled(true);
  settle();
  EXPECT_TRUE(monitor->isDebugModeEnabled());
  EXPECT_EQ(monitor->logLevel(), 7);
  EXPECT_EQ(OULLoggerCurrentLevel(), OULLoggerLevelDebug);
  EXPECT_EQ(app->objectForKey(APMMonitor::kDebugModeKey), Value(true));
  EXPECT_TRUE(capture.contains("[I-ACS024000] DEBUG: Debug mode is on"));

  monitor->setVerboseLoggingEnabled(true);
  settle();
  EXPECT_EQ(monitor->logLevel(), 8);
  EXPECT_EQ(app->objectForKey(APMMonitor::kVerboseLoggingKey), Value(true));
  EXPECT_TRUE(capture.contains("[I-ACS024003] DEBUG: Verbose logging is on"));

  monitor->setVerboseLoggingEnabled(false);  // back to debug
  settle();
  EXPECT_EQ(monitor->logLevel(), 7);
  EXPECT_EQ(OULLoggerCurrentLevel(), OULLoggerLevelDebug);
  EXPECT_FALSE(app->objectForKey(APMMonitor::kVerboseLoggingKey).has_value());
  EXPECT_FALSE(capture.contains("I-ACS024004"));  // level 8, verbose now off

  monitor->setDebugModeEnabled(false);
  settle();
  EXPECT_FALSE(monitor->isDebugModeEnabled());
  EXPECT_EQ(monitor->logLevel(), 6);
  EXPECT_EQ(OULLoggerCurrentLevel(), OULLoggerLevelNotice);
  EXPECT_FALSE(app->objectForKey(APMMonitor::kDebugModeKey).has_value());

  monitor->setVerboseLoggingEnabled(true);
  monitor->setVerboseLoggingEnabled(false);  // debug off: back to 6
  EXPECT_EQ(monitor->logLevel(), 6);
  EXPECT_EQ(OULLoggerCurrentLevel(), OULLoggerLevelNotice);
}

TEST_F(APMMonitorTest, SOTMDebugModeIsNotPersisted) {
  makeMonitor();
  auto app = APMUserDefaults::sharedUserDefaults();
  monitor->setSOTMDebugModeEnabled(true);
  settle();
  EXPECT_TRUE(monitor->isDebugModeEnabled());
  EXPECT_EQ(monitor->logLevel(), 7);
  EXPECT_EQ(OULLoggerCurrentLevel(), OULLoggerLevelDebug);
  EXPECT_FALSE(app->objectForKey(APMMonitor::kDebugModeKey).has_value());
  EXPECT_TRUE(capture.contains("[I-ACS024006] DEBUG: SOTM debug mode is on"));
  monitor->setSOTMDebugModeEnabled(false);
  EXPECT_FALSE(monitor->isDebugModeEnabled());
  EXPECT_EQ(monitor->logLevel(), 6);
  EXPECT_EQ(OULLoggerCurrentLevel(), OULLoggerLevelNotice);
}

struct LaunchCase {
  std::vector<std::string> arguments;
  bool storedDebug;
  bool storedVerbose;
  bool debug;
  bool verbose;
  int level;
};

TEST_F(APMMonitorTest, LaunchArgumentsAndPersistedFlags) {
  const LaunchCase cases[] = {
      {{}, false, false, false, false, 6},
      {{"-APMAnalyticsDebugEnabled"}, false, false, true, false, 7},
      {{"-KVLAnalyticsDebugEnabled"}, false, false, true, false, 7},
      {{"-KVLDebugEnabled"}, false, false, true, false, 7},
      {{"-noAPMAnalyticsDebugEnabled", "-APMAnalyticsDebugEnabled"}, false, false, false, false, 6},
      {{"-noKVLAnalyticsDebugEnabled"}, true, false, false, false, 6},
      {{"-KVLDebugDisabled", "-KVLDebugEnabled"}, false, false, false, false, 6},
      {{}, true, false, true, false, 7},
      {{"-APMAnalyticsVerboseLoggingEnabled"}, false, false, false, true, 8},
      {{"-KVLAnalyticsVerboseLoggingEnabled"}, false, false, false, true, 8},
      {{}, false, true, false, true, 8},
      {{"-APMAnalyticsVerboseLoggingDisabled", "-APMAnalyticsVerboseLoggingEnabled"},
       false,
       true,
       false,
       false,
       6},
      {{"-KVLAnalyticsVerboseLoggingDisabled"}, true, true, true, false, 7},
      {{"-APMAnalyticsDebugEnabled", "-APMAnalyticsVerboseLoggingEnabled"},
       false,
       false,
       true,
       true,
       8},
  };
  auto app = APMUserDefaults::sharedUserDefaults();
  for (size_t i = 0; i < std::size(cases); ++i) {
    const auto& c = cases[i];
    SCOPED_TRACE(i);
    if (c.storedDebug) app->setObject(Value(true), APMMonitor::kDebugModeKey);
    if (c.storedVerbose) app->setObject(Value(true), APMMonitor::kVerboseLoggingKey);
    hooks->setLaunchArguments(c.arguments);
    makeMonitor();
    EXPECT_EQ(monitor->isDebugModeEnabled(), c.debug);
    EXPECT_EQ(monitor->isVerboseLoggingEnabled(), c.verbose);
    EXPECT_EQ(monitor->logLevel(), c.level);
    EXPECT_FALSE(monitor->coreDebugFlag());
    // Switching off leaves nothing persisted for the next case.
    monitor->setVerboseLoggingEnabled(false);
    monitor->setDebugModeEnabled(false);
    monitor = nullptr;
    OULSetLoggerLevel(OULLoggerLevelNotice);
  }
}

TEST_F(APMMonitorTest, AppStoreInstallIgnoresDebugSwitches) {
  auto app = APMUserDefaults::sharedUserDefaults();
  app->setObject(Value(true), APMMonitor::kVerboseLoggingKey);
  hooks->setLaunchArguments({"-APMAnalyticsDebugEnabled"});
  hooks->setAppStoreInstall(true);
  makeMonitor();
  EXPECT_FALSE(monitor->isDebugModeEnabled());
  EXPECT_FALSE(monitor->isVerboseLoggingEnabled());
  EXPECT_EQ(monitor->logLevel(), 6);
  monitor->setDebugModeEnabled(true);  // taken as off
  EXPECT_FALSE(monitor->isDebugModeEnabled());
  EXPECT_EQ(monitor->logLevel(), 6);
  EXPECT_FALSE(app->objectForKey(APMMonitor::kDebugModeKey).has_value());
  monitor->setVerboseLoggingEnabled(true);
  EXPECT_EQ(monitor->logLevel(), 6);
  EXPECT_FALSE(app->objectForKey(APMMonitor::kVerboseLoggingKey).has_value());
}

TEST_F(APMMonitorTest, CoreDebugArgumentGovernsTheUtilitiesLevel) {
  platform::ClassRegistry::shared().registerClass<platform::RuntimeObject>("KVLConfiguration");
  hooks->setLaunchArguments({"-KVLDebugEnabled"});
  OULSetLoggerLevel(OULLoggerLevelWarning);
  makeMonitor();
  EXPECT_TRUE(monitor->coreDebugFlag());
  EXPECT_TRUE(monitor->isDebugModeEnabled());
  EXPECT_EQ(monitor->logLevel(), 7);
  EXPECT_EQ(OULLoggerCurrentLevel(), OULLoggerLevelWarning);  // left to the core
  monitor->setDebugModeEnabled(false);
  EXPECT_EQ(OULLoggerCurrentLevel(), OULLoggerLevelWarning);

  // Without the core's configuration class the argument is the library's own.
  platform::ClassRegistry::shared().unregisterClass("KVLConfiguration");
  monitor = nullptr;
  makeMonitor();
  EXPECT_FALSE(monitor->coreDebugFlag());
  EXPECT_EQ(OULLoggerCurrentLevel(), OULLoggerLevelDebug);
  monitor->setDebugModeEnabled(false);
}

TEST_F(APMMonitorTest, LogsFromManyThreadsAreAllWritten) {
  makeMonitor();
  std::vector<std::shared_ptr<platform::DispatchQueue>> queues;
  for (int q = 0; q < 4; ++q) {
    queues.push_back(platform::DispatchQueue::createSerial("q" + std::to_string(q)));
    queues.back()->async([this, q] {
      for (int i = 0; i < 50; ++i) monitor->logWithLevel(4, 100 + q, "Parallel", i);
    });
  }
  settle();
  EXPECT_EQ(countLinesWith(capture.lines(), "Parallel"), 200u);
  EXPECT_EQ((*storedSample()->asArray())[1], Value(200));
}

TEST_F(APMMonitorTest, CallsFromTheMonitorQueueRunInline) {
  makeMonitor();
  monitor->logWithLevel(1, 1, "M");
  std::optional<std::string> text;
  bool done = false;
  clock->advance(100);
  monitor->monitorQueue()->async([&] {
    text = monitor->monitoringDataForDispatch(10, 0);
    monitor->clearMonitoringData();
    done = true;
  });
  settle();
  EXPECT_TRUE(done);
  EXPECT_EQ(text, "1:1E_111500:M");
}

TEST_F(APMMonitorTest, QueuedWorkOutlivingTheMonitorDoesNothing) {
  makeMonitor();
  for (int i = 0; i < 20; ++i) monitor->logWithLevel(1, 1, "Late", i);
  monitor = nullptr;
  settle();
  // Whatever ran before the monitor went away was written; nothing crashed after.
  EXPECT_LE(countLinesWith(capture.lines(), "Late"), 20u);
}

TEST_F(APMMonitorTest, ProcessMonitorUsesTheLibraryVersion) {
  auto shared = APMMonitor::monitor();
  ASSERT_TRUE(shared);
  EXPECT_EQ(shared, APMMonitor::monitor());
  EXPECT_EQ(shared->logTag(), "<AppMeasurement>");
}

}  // namespace
