#include "platform/foundation/PlatformLog.h"

#include <gtest/gtest.h>

#include "tests/support/LogCapture.h"

namespace {

TEST(PlatformLog, SinkCapturesLinesAndIsRestored) {
  {
    testsupport::LogCapture capture;
    platform::PlatformLog::write("first");
    platform::PlatformLog::write("second line");
    EXPECT_EQ(capture.lines(), (std::vector<std::string>{"first", "second line"}));
    EXPECT_TRUE(capture.contains("second"));
  }
  testsupport::LogCapture outer;
  {
    testsupport::LogCapture inner;
    platform::PlatformLog::write("inner");
    EXPECT_TRUE(inner.contains("inner"));
  }
  platform::PlatformLog::write("outer");
  EXPECT_EQ(outer.lines(), (std::vector<std::string>{"outer"}));
}

}  // namespace
