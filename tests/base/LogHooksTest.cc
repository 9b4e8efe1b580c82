#include "base/log_hooks.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "absl/base/internal/raw_logging.h"
#include "base/base_init.h"
#include "tests/support/LogCapture.h"

namespace base {
namespace {

using ::testing::ContainsRegex;
using ::testing::HasSubstr;

class LogHooksTest : public ::testing::Test {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    InitializeBaseLibrary();
  }
  void TearDown() override {
    LogSettings::SetMinLogLevel(0);
    LogSettings::SetQuietRawLog(false);
    LogSettings::SetRawLogThreshold(2);
  }
};

TEST_F(LogHooksTest, InternalLogGoesToThePlatformLog) {
  testsupport::LogCapture capture;
  ABSL_INTERNAL_LOG(WARNING, "from abseil");
  ASSERT_EQ(capture.lines().size(), 1u);
  EXPECT_THAT(capture.lines()[0],
              ContainsRegex("^W[0-9]{4} .*LogHooksTest\\.cc:[0-9]+\\] from abseil$"));
  capture.clear();
  InternalLogFunction(static_cast<absl::LogSeverity>(-3), "f.cc", 1, "low");
  InternalLogFunction(static_cast<absl::LogSeverity>(17), "f.cc", 2, "high");
  ASSERT_EQ(capture.lines().size(), 2u);
  EXPECT_EQ(capture.lines()[0][0], 'I');
  EXPECT_EQ(capture.lines()[1][0], 'E');
}

TEST_F(LogHooksTest, RawLogFilterAndPrefix) {
  char storage[256];
  auto run = [&](absl::LogSeverity severity) {
    char* buffer = storage;
    int size = sizeof(storage);
    bool keep = RawLogFilterAndPrefix(severity, "/some/dir/raw.cc", 42, &buffer, &size);
    return std::make_tuple(keep, std::string(storage, buffer - storage), size);
  };
  auto [keep, prefix, size] = run(absl::LogSeverity::kWarning);
  EXPECT_TRUE(keep);
  EXPECT_THAT(prefix, ContainsRegex("^W[0-9]{4} .* raw\\.cc:42\\] $"));
  EXPECT_EQ(size, static_cast<int>(sizeof(storage) - prefix.size()));

  LogSettings::SetMinLogLevel(2);
  EXPECT_FALSE(std::get<0>(run(absl::LogSeverity::kWarning)));
  EXPECT_TRUE(std::get<0>(run(absl::LogSeverity::kError)));
  LogSettings::SetMinLogLevel(0);

  LogSettings::SetQuietRawLog(true);
  LogSettings::SetRawLogThreshold(1);
  EXPECT_FALSE(std::get<0>(run(absl::LogSeverity::kInfo)));
  EXPECT_TRUE(std::get<0>(run(absl::LogSeverity::kWarning)));
  LogSettings::SetRawLogThreshold(3);
  EXPECT_FALSE(std::get<0>(run(absl::LogSeverity::kWarning)));
  EXPECT_TRUE(std::get<0>(run(absl::LogSeverity::kError)));  // errors always pass

  // A buffer too small for the prefix is filled, never overrun.
  char tiny[6];
  char* buffer = tiny;
  int tiny_size = sizeof(tiny);
  EXPECT_TRUE(RawLogFilterAndPrefix(absl::LogSeverity::kError, "x.cc", 1, &buffer, &tiny_size));
  EXPECT_EQ(buffer - tiny, 5);
  EXPECT_EQ(tiny_size, 1);
}

TEST_F(LogHooksTest, RawLogUsesThePrefix) {
  ::testing::internal::CaptureStderr();
  ABSL_RAW_LOG(ERROR, "raw %d", 7);
  std::string written = ::testing::internal::GetCapturedStderr();
  EXPECT_THAT(written, ContainsRegex("E[0-9]{4} .*LogHooksTest\\.cc:[0-9]+\\] raw 7"));
}

TEST_F(LogHooksTest, RawFatalWritesAStackTraceAndAborts) {
  EXPECT_FALSE(LogSettings::RawLogAborting());
  EXPECT_DEATH(ABSL_RAW_LOG(FATAL, "raw fatal"), HasSubstr("*** Check failure stack trace: ***"));
  EXPECT_DEATH(ABSL_RAW_CHECK(1 + 1 == 3, "arithmetic"),
               HasSubstr("Check 1 + 1 == 3 failed: arithmetic"));
}

}  // namespace
}  // namespace base
