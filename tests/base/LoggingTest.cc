#include "base/logging.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "base/fatal_message.h"
#include "tests/support/LogCapture.h"

namespace base {
namespace {

using ::testing::ContainsRegex;
using ::testing::HasSubstr;

class LoggingTest : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(LoggingTest, NormalizeSeverity) {
  const std::pair<int, LogSeverity> cases[] = {
      {-100, LogSeverity::kInfo}, {-1, LogSeverity::kInfo},    {0, LogSeverity::kInfo},
      {1, LogSeverity::kWarning}, {2, LogSeverity::kError},    {3, LogSeverity::kFatal},
      {4, LogSeverity::kError},   {1000, LogSeverity::kError},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(NormalizeSeverity(in), out) << in;
}

TEST_F(LoggingTest, LinesCarryThePrefix) {
  testsupport::LogCapture capture;
  KVL_LOG(kWarning, "something odd");
  ASSERT_EQ(capture.lines().size(), 1u);
  EXPECT_THAT(capture.lines()[0],
              ContainsRegex("^W[0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{6} +[0-9]+ "
                            "LoggingTest\\.cc:[0-9]+\\] something odd$"));
  EXPECT_EQ(LogPrefix(LogSeverity::kError, "a\\b/c.cc", 7).substr(0, 1), "E");
  EXPECT_THAT(LogPrefix(LogSeverity::kInfo, "dir\\file.cc", 12), HasSubstr(" file.cc:12] "));
  EXPECT_THAT(LogPrefix(LogSeverity::kInfo, nullptr, 1), HasSubstr(" :1] "));
}

TEST_F(LoggingTest, FormatLogPrefixTruncatesSafely) {
  char small[8];
  int length = FormatLogPrefix(small, sizeof(small), LogSeverity::kInfo, "file.cc", 1);
  EXPECT_GT(length, 8);
  EXPECT_EQ(std::string(small).size(), 7u);
}

TEST_F(LoggingTest, ChecksPassQuietly) {
  testsupport::LogCapture capture;
  int evaluations = 0;
  KVL_CHECK(++evaluations == 1) << "never shown";
  EXPECT_EQ(evaluations, 1);
  EXPECT_TRUE(capture.lines().empty());
}

TEST_F(LoggingTest, FailedCheckLogsExpressionMessageAndLocation) {
  int value = 3;
  EXPECT_DEATH(KVL_CHECK(value == 4) << "value was " << value,
               ContainsRegex("F[0-9]{4} .*LoggingTest\\.cc:[0-9]+\\] Check failed: value == 4 "
                             "value was 3"));
  EXPECT_DEATH(KVL_CHECK(value > 10), HasSubstr("Check failed: value > 10"));
  EXPECT_DEATH(LogFatal("x.cc", 5, "fatal words"), HasSubstr("x.cc:5] fatal words"));
}

TEST_F(LoggingTest, FatalMessageRecord) {
  ResetFatalMessageForTesting();
  EXPECT_EQ(RecordedFatalMessage(), "");
  RecordFatalMessage("first\n");
  EXPECT_EQ(RecordedFatalMessage(), "first\n");
  RecordFatalMessage("second");  // only the first fatal message is kept
  EXPECT_EQ(RecordedFatalMessage(), "first\n");

  ResetFatalMessageForTesting();
  RecordFatalMessage("no line feed");
  EXPECT_EQ(RecordedFatalMessage(), "no line feed\n");
  ResetFatalMessageForTesting();
  RecordFatalMessage("its own line feed\n\n");  // one of them is replaced, not kept
  EXPECT_EQ(RecordedFatalMessage(), "its own line feed\n");

  ResetFatalMessageForTesting();
  const std::string long_message(600, 'm');
  RecordFatalMessage(long_message);
  EXPECT_EQ(RecordedFatalMessage(), std::string(511, 'm') + "\n");

  ResetFatalMessageForTesting();
  RecordFatalMessage("");
  EXPECT_EQ(RecordedFatalMessage(), "\n");
  ResetFatalMessageForTesting();
}

}  // namespace
}  // namespace base
