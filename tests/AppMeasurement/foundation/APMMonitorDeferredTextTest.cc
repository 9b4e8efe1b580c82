// Texts that a log call builds only when a line shows them: never for a level that is not
// printed, never for encoded contexts, and, when written, the same line as a plain string.
#include <gtest/gtest.h>

#include <string>

#include "AppMeasurement/foundation/APMMonitor.h"
#include "AppMeasurement/foundation/APMUserDefaults.h"
#include "platform/utilities/OULOSLog.h"
#include "tests/AppMeasurement/foundation/MonitorTestEnvironment.h"
#include "tests/AppMeasurement/foundation/MonitorTestHooks.h"

namespace {

class APMMonitorDeferredTextTest : public testsupport::MonitorTestEnvironment {
 protected:
  void SetUp() override {
    MonitorTestEnvironment::SetUp();
    hooks = std::make_unique<testsupport::MonitorTestHooks>();
    monitor = APMMonitor::create(6, std::make_shared<APMASLLogger>(), 111500);
    settle();
  }
  void TearDown() override {
    monitor->setVerboseLoggingEnabled(false);
    monitor->setDebugModeEnabled(false);
    monitor.reset();
    MonitorTestEnvironment::TearDown();
    hooks.reset();
  }

  std::unique_ptr<testsupport::MonitorTestHooks> hooks;
  std::shared_ptr<APMMonitor> monitor;
};

TEST_F(APMMonitorDeferredTextTest, BuiltOnlyForALevelThatIsPrinted) {
  enum class Mode { kDefault, kDebug, kVerbose, kEncoded };
  struct Row {
    Mode mode;
    int level;
    bool built;
  };
  // Levels 2 and 5 are sampled but silent: the sample encodes the text as "-" unbuilt.
  const Row rows[] = {
      {Mode::kDefault, 0, true},  {Mode::kDefault, 1, true},  {Mode::kDefault, 2, false},
      {Mode::kDefault, 3, true},  {Mode::kDefault, 4, true},  {Mode::kDefault, 5, false},
      {Mode::kDefault, 6, true},  {Mode::kDefault, 7, false}, {Mode::kDefault, 8, false},
      {Mode::kDefault, 9, false}, {Mode::kDebug, 6, true},    {Mode::kDebug, 7, true},
      {Mode::kDebug, 8, false},   {Mode::kDebug, 9, false},   {Mode::kVerbose, 7, true},
      {Mode::kVerbose, 8, true},  {Mode::kVerbose, 9, false}, {Mode::kEncoded, 0, false},
      {Mode::kEncoded, 1, false}, {Mode::kEncoded, 6, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::Message()
                 << "mode " << static_cast<int>(row.mode) << ", level " << row.level);
    monitor->setDebugModeEnabled(row.mode == Mode::kDebug);
    monitor->setVerboseLoggingEnabled(row.mode == Mode::kVerbose);
    monitor->setEncodeContexts(row.mode == Mode::kEncoded);
    int builds = 0;
    monitor->logWithLevel(row.level, 24999, "Deferred", APMLogContext::deferredText([&builds] {
                            ++builds;
                            return std::string("built");
                          }));
    EXPECT_EQ(builds, row.built ? 1 : 0);
    settle();
  }
  monitor->setEncodeContexts(false);
}

TEST_F(APMMonitorDeferredTextTest, WrittenLineIsTheSameAsWithThePlainText) {
  const std::string text = "{\n    level = 12;\n    name = \"wizard\";\n}";
  auto deferred = [&] { return APMLogContext::deferredText([&] { return text; }); };
  monitor->logWithLevel(6, 23001, "Parameters", "origin", deferred());
  monitor->logWithLevel(6, 23002, "Parameters", "origin", text);
  monitor->setEncodeContexts(true);
  monitor->logWithLevel(6, 23003, "Parameters", "origin", deferred());
  monitor->logWithLevel(6, 23004, "Parameters", "origin", text);
  monitor->setEncodeContexts(false);
  settle();
  auto lineOf = [&](const std::string& code) {
    for (const std::string& line : capture.lines()) {
      size_t at = line.find("[I-ACS0" + code + "] ");
      if (at != std::string::npos) return line.substr(at + 14);
    }
    return std::string("(not written)");
  };
  EXPECT_EQ(lineOf("23001"), "NOTICE: Parameters: origin, " + text);
  EXPECT_EQ(lineOf("23001"), lineOf("23002"));
  EXPECT_EQ(lineOf("23003"), "NOTICE: Parameters: -, -");
  EXPECT_EQ(lineOf("23003"), lineOf("23004"));
}

TEST_F(APMMonitorDeferredTextTest, SampledLineEncodesTheTextAsAString) {
  int builds = 0;
  monitor->logWithLevel(2, 34001, "Silent", 250, APMLogContext::deferredText([&builds] {
                          ++builds;
                          return std::string("never");
                        }));
  settle();
  EXPECT_EQ(builds, 0);
  auto sample = APMUserDefaults(std::string(APMMonitor::kSuiteName))
                    .arrayForKey(APMMonitor::kHealthMonitorKey);
  ASSERT_TRUE(sample.has_value());
  EXPECT_EQ((*sample)[0], platform::Value("100...999,-"));
}

}  // namespace
