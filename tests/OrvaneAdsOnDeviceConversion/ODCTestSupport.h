#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform/foundation/AppContainer.h"
#include "platform/utilities/OULOSLog.h"
#include "tests/platform/foundation/FoundationTestSupport.h"
#include "tests/support/DispatchTestEnvironment.h"
#include "tests/support/LogCapture.h"

namespace odctest {

// A fresh app container, every conversion log line captured (debug included), virtual time.
class ODCTest : public ::testing::Test {
 protected:
  ODCTest() {
    EXPECT_TRUE(platform::AppContainer::setRoot(dir_.path() / "container").ok());
    OULSetLoggerLevel(OULLoggerLevelDebug);
  }
  ~ODCTest() override { OULSetLoggerLevel(OULLoggerLevelNotice); }

  // Lines carrying the message code ("I-ODC005005").
  size_t linesWithCode(int code) const {
    char text[16];
    std::snprintf(text, sizeof text, "I-ODC%06d", code);
    size_t count = 0;
    for (const std::string& line : logs_.lines()) count += line.find(text) != std::string::npos;
    return count;
  }

  // Waits for something that real I/O (a server on 127.0.0.1) brings about, letting the queues
  // settle in between. Not a time-out of the code under test: virtual time does not move.
  bool eventually(const std::function<bool()>& condition) {
    for (int i = 0; i < 6000; ++i) {
      env_.waitUntilIdle();
      if (condition()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }

  foundationtest::TempDir dir_;
  testsupport::LogCapture logs_;
  testsupport::DispatchTestEnvironment env_{1'700'000'000.0};
};

}  // namespace odctest
