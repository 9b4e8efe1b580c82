#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/foundation/PlatformLog.h"
#include "tests/support/LogCapture.h"

namespace {

// Collectors nest on a thread, and a thread without one writes to the sink.
TEST(PlatformLogThreadCollector, NestsOnItsThreadOnly) {
  testsupport::LogCapture capture;
  platform::PlatformLog::ThreadCollector outer;
  platform::PlatformLog::write("one");
  {
    platform::PlatformLog::ThreadCollector inner;
    platform::PlatformLog::write("two");
    std::thread([] { platform::PlatformLog::write("elsewhere"); }).join();
    EXPECT_EQ(inner.lines(), std::vector<std::string>{"two"});
  }
  platform::PlatformLog::write("three");
  EXPECT_EQ(outer.lines(), (std::vector<std::string>{"one", "three"}));
  EXPECT_EQ(capture.lines(), std::vector<std::string>{"elsewhere"});
}

}  // namespace
