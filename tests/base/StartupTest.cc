// A program that only uses the base library (here: one KVL_CHECK) must have the whole layer set
// up before main runs, without calling anything itself. This binary never calls
// InitializeBaseLibrary.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "absl/base/internal/raw_logging.h"
#include "base/logging.h"
#include "base/orvaneinit.h"
#include "tests/support/LogCapture.h"

namespace base {
namespace {

using ::testing::ContainsRegex;

TEST(StartupTest, FlagModulesAreRegisteredBeforeMain) {
  KVL_CHECK(true);
  OrvaneInitializer* parsing = FindInitializer("module", "command_line_flags_parsing");
  OrvaneInitializer* parsed = FindInitializer("module", "command_line_flags_parsed");
  ASSERT_NE(parsing, nullptr);
  ASSERT_NE(parsed, nullptr);
  EXPECT_FALSE(parsing->done());
  EXPECT_FALSE(parsed->done());
}

TEST(StartupTest, AbseilInternalLogReachesThePlatformLog) {
  testsupport::LogCapture capture;
  ABSL_INTERNAL_LOG(WARNING, "logged by the dependency");
  ASSERT_EQ(capture.lines().size(), 1u);
  EXPECT_THAT(capture.lines()[0],
              ContainsRegex("^W[0-9]{4} .*StartupTest\\.cc:[0-9]+\\] logged by the dependency$"));
}

}  // namespace
}  // namespace base
