#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/utilities/OULOSLog.h"
#include "tests/support/DispatchTestEnvironment.h"
#include "tests/support/LogCapture.h"

namespace testsupport {

// Counts the lines that contain the text.
inline size_t countLinesWith(const std::vector<std::string>& lines, const std::string& text) {
  size_t count = 0;
  for (const auto& line : lines) count += line.find(text) != std::string::npos;
  return count;
}

// A test with virtual time, captured console lines and the default console threshold.
class MonitorTestEnvironment : public ::testing::Test {
 protected:
  void SetUp() override { OULSetLoggerLevel(OULLoggerLevelNotice); }
  void TearDown() override {
    env.finish();
    OULSetLoggerLevel(OULLoggerLevelNotice);
  }
  // Lets every queue finish what it was given.
  void settle() { env.waitUntilIdle(); }

  DispatchTestEnvironment env;
  std::shared_ptr<platform::ManualClock> clock = env.sharedClock();
  LogCapture capture;
};

}  // namespace testsupport
