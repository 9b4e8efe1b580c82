// The console threshold and the line format of the utilities framework's OS log.
#include "platform/utilities/OULOSLog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>

#include "tests/support/LogCapture.h"

namespace {

constexpr const char* kSubsystem = "com.orvane.kavrelin.analytics";
constexpr const char* kCategory = "<AppMeasurement>";

class OULOSLogTest : public ::testing::Test {
 protected:
  void SetUp() override { saved_ = OULLoggerCurrentLevel(); }
  void TearDown() override { OULSetLoggerLevel(saved_); }
  OULLoggerLevel saved_ = OULLoggerLevelNotice;
};

TEST_F(OULOSLogTest, StartsAtNotice) {
  // Relies on no other test of this binary leaving a changed level behind (each restores it).
  EXPECT_EQ(OULLoggerCurrentLevel(), OULLoggerLevelNotice);
}

TEST_F(OULOSLogTest, ThresholdDecidesWhichLevelsAreLoggable) {
  struct Row {
    OULLoggerLevel threshold;
    OULLoggerLevel level;
    bool loggable;
  };
  const Row rows[] = {
      {OULLoggerLevelNotice, OULLoggerLevelError, true},
      {OULLoggerLevelNotice, OULLoggerLevelWarning, true},
      {OULLoggerLevelNotice, OULLoggerLevelNotice, true},
      {OULLoggerLevelNotice, OULLoggerLevelInfo, false},
      {OULLoggerLevelNotice, OULLoggerLevelDebug, false},
      {OULLoggerLevelDebug, OULLoggerLevelDebug, true},
      {OULLoggerLevelDebug, OULLoggerLevelInfo, true},
      {OULLoggerLevelError, OULLoggerLevelError, true},
      {OULLoggerLevelError, OULLoggerLevelWarning, false},
      {OULLoggerLevelWarning, OULLoggerLevelNotice, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << "threshold " << row.threshold << " level " << row.level);
    OULSetLoggerLevel(row.threshold);
    EXPECT_EQ(OULIsLoggableLevel(row.level), row.loggable);

    testsupport::LogCapture capture;
    OULOSLogBasic(row.level, kSubsystem, kCategory, false, "I-ACS000123", "line %d", 1);
    EXPECT_EQ(capture.lines().size(), row.loggable ? 1u : 0u);
  }
}

TEST_F(OULOSLogTest, ThresholdOutsideTheScaleIsClamped) {
  OULSetLoggerLevel(static_cast<OULLoggerLevel>(0));
  EXPECT_EQ(OULLoggerCurrentLevel(), OULLoggerLevelError);
  EXPECT_TRUE(OULIsLoggableLevel(OULLoggerLevelError));  // errors are never silenced
  EXPECT_FALSE(OULIsLoggableLevel(OULLoggerLevelWarning));
  OULSetLoggerLevel(static_cast<OULLoggerLevel>(42));
  EXPECT_EQ(OULLoggerCurrentLevel(), OULLoggerLevelDebug);
}

TEST_F(OULOSLogTest, LineCarriesSubsystemCategoryCodeLevelAndFormattedMessage) {
  OULSetLoggerLevel(OULLoggerLevelDebug);
  testsupport::LogCapture capture;
  OULOSLogBasic(OULLoggerLevelWarning, kSubsystem, kCategory, false, "I-ACS002001",
                "Alarm %s fired after %.1f s", "Measurement timer", 2.5);
  ASSERT_EQ(capture.lines().size(), 1u);
  EXPECT_EQ(capture.lines()[0],
            "[com.orvane.kavrelin.analytics] <AppMeasurement>[I-ACS002001] WARNING: Alarm "
            "Measurement timer fired after 2.5 s");
}

TEST_F(OULOSLogTest, EachWayOfLoggingWritesItsLine) {
  OULSetLoggerLevel(OULLoggerLevelNotice);
  struct Case {
    std::function<void()> log;
    const char* line;  // nullptr: nothing written
  };
  const std::string escaped = "100%% done, %%s stays";  // as the monitor hands it over
  const Case cases[] = {
      {[] { OULOSLogError(kSubsystem, kCategory, false, "I-ACS043000", "e"); },
       "[I-ACS043000] ERROR: e"},
      {[] { OULOSLogWarning(kSubsystem, kCategory, false, "I-ACS043002", "w"); },
       "[I-ACS043002] WARNING: w"},
      {[] { OULOSLogNotice(kSubsystem, kCategory, false, "I-ACS000001", "n"); },
       "[I-ACS000001] NOTICE: n"},
      {[] { OULOSLogInfo(kSubsystem, kCategory, true, "I-ACS036001", "i"); },
       "[I-ACS036001] INFO: i"},
      {[] { OULOSLogDebug(kSubsystem, kCategory, true, "I-ACS000002", "d"); },
       "[I-ACS000002] DEBUG: d"},
      {[] { OULOSLogDebug(kSubsystem, kCategory, false, "I-ACS024001", "dropped"); }, nullptr},
      {[&] {
         OULOSLogBasic(OULLoggerLevelError, kSubsystem, kCategory, false, "I-ACS000007",
                       escaped.c_str());
       },
       "[I-ACS000007] ERROR: 100% done, %s stays"},
      {[] {
         OULOSLogBasicPreformatted(OULLoggerLevelError, "com.orvane.appads", "<OnDeviceConversion>",
                                   false, "I-ODC000001", "50%s %d");
       },
       "[com.orvane.appads] <OnDeviceConversion>[I-ODC000001] ERROR: 50%s %d"},
      {[] { OULOSLogBasic(OULLoggerLevelError, nullptr, nullptr, false, nullptr, nullptr); },
       "[] [] ERROR: "},
  };
  for (const Case& c : cases) {
    testsupport::LogCapture capture;
    c.log();
    if (c.line == nullptr) {
      EXPECT_TRUE(capture.lines().empty());
      continue;
    }
    ASSERT_EQ(capture.lines().size(), 1u) << c.line;
    const std::string line = capture.lines()[0];
    EXPECT_EQ(line.substr(line.size() - std::min(line.size(), std::strlen(c.line))), c.line);
  }
}

}  // namespace
