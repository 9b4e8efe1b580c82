// The console threshold and the line format of the utilities framework's OS log.
#include "platform/utilities/OULOSLog.h"

#include <gtest/gtest.h>

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

TEST_F(OULOSLogTest, LevelShorthandsUseTheirLevels) {
  OULSetLoggerLevel(OULLoggerLevelDebug);
  testsupport::LogCapture capture;
  OULOSLogError(kSubsystem, kCategory, false, "I-ACS043000", "e");
  OULOSLogWarning(kSubsystem, kCategory, false, "I-ACS043002", "w");
  OULOSLogNotice(kSubsystem, kCategory, false, "I-ACS000001", "n");
  OULOSLogInfo(kSubsystem, kCategory, false, "I-ACS036001", "i");
  OULOSLogDebug(kSubsystem, kCategory, false, "I-ACS000002", "d");
  auto lines = capture.lines();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_NE(lines[0].find("[I-ACS043000] ERROR: e"), std::string::npos);
  EXPECT_NE(lines[1].find("[I-ACS043002] WARNING: w"), std::string::npos);
  EXPECT_NE(lines[2].find("[I-ACS000001] NOTICE: n"), std::string::npos);
  EXPECT_NE(lines[3].find("[I-ACS036001] INFO: i"), std::string::npos);
  EXPECT_NE(lines[4].find("[I-ACS000002] DEBUG: d"), std::string::npos);
}

TEST_F(OULOSLogTest, ForceWritesALineBelowTheThreshold) {
  OULSetLoggerLevel(OULLoggerLevelNotice);
  testsupport::LogCapture capture;
  OULOSLogBasic(OULLoggerLevelDebug, kSubsystem, kCategory, true, "I-ACS024000",
                "Debug mode is on");
  OULOSLogBasic(OULLoggerLevelDebug, kSubsystem, kCategory, false, "I-ACS024001", "dropped");
  ASSERT_EQ(capture.lines().size(), 1u);
  EXPECT_TRUE(capture.contains("I-ACS024000"));
  EXPECT_FALSE(capture.contains("I-ACS024001"));
}

TEST_F(OULOSLogTest, EscapedPercentWithoutArgumentsComesOutSingle) {
  // The monitor doubles every "%" of a ready message and passes no arguments.
  OULSetLoggerLevel(OULLoggerLevelNotice);
  testsupport::LogCapture capture;
  std::string escaped = "100%% done, %%s stays";
  OULOSLogBasic(OULLoggerLevelError, kSubsystem, kCategory, false, "I-ACS000007", escaped.c_str());
  ASSERT_EQ(capture.lines().size(), 1u);
  EXPECT_NE(capture.lines()[0].find(": 100% done, %s stays"), std::string::npos);
}

TEST_F(OULOSLogTest, PreformattedMessageIsTakenAsIs) {
  OULSetLoggerLevel(OULLoggerLevelNotice);
  testsupport::LogCapture capture;
  OULOSLogBasicPreformatted(OULLoggerLevelError, "com.orvane.appads", "<OnDeviceConversion>", false,
                            "I-ODC000001", "50%s %d");
  ASSERT_EQ(capture.lines().size(), 1u);
  EXPECT_EQ(capture.lines()[0],
            "[com.orvane.appads] <OnDeviceConversion>[I-ODC000001] ERROR: 50%s %d");
}

TEST_F(OULOSLogTest, NullTextsCountAsEmpty) {
  OULSetLoggerLevel(OULLoggerLevelNotice);
  testsupport::LogCapture capture;
  OULOSLogBasic(OULLoggerLevelError, nullptr, nullptr, false, nullptr, nullptr);
  ASSERT_EQ(capture.lines().size(), 1u);
  EXPECT_EQ(capture.lines()[0], "[] [] ERROR: ");
}

TEST_F(OULOSLogTest, LongMessageIsNotCut) {
  OULSetLoggerLevel(OULLoggerLevelNotice);
  testsupport::LogCapture capture;
  std::string big(100000, 'x');
  OULOSLogError(kSubsystem, kCategory, false, "I-ACS000008", "%s!", big.c_str());
  ASSERT_EQ(capture.lines().size(), 1u);
  EXPECT_NE(capture.lines()[0].find(big + "!"), std::string::npos);
}

}  // namespace
