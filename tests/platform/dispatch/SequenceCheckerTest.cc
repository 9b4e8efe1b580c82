#include "platform/dispatch/SequenceChecker.h"

#include <gtest/gtest.h>

#include "tests/support/DispatchTestEnvironment.h"
#include "tests/support/LogCapture.h"

namespace platform {
namespace {

TEST(SequenceCheckerTest, ValidOnlyOnItsQueue) {
  testsupport::DispatchTestEnvironment env;
  auto queue = DispatchQueue::createSerial("test.owner");
  auto other = DispatchQueue::createSerial("test.other");
  SequenceChecker checker(queue);
  bool onQueue = false;
  bool onOther = true;
  bool nested = false;
  queue->async([&] { onQueue = checker.calledOnValidSequence(); });
  other->async([&] { onOther = checker.calledOnValidSequence(); });
  queue->async([&] { other->sync([&] { nested = checker.calledOnValidSequence(); }); });
  env.waitUntilIdle();
  EXPECT_TRUE(onQueue);
  EXPECT_FALSE(onOther);
  EXPECT_TRUE(nested);  // a sync from the owning queue still holds it
  EXPECT_FALSE(checker.calledOnValidSequence());
}

TEST(SequenceCheckerTest, PassingChecksLogNothing) {
  testsupport::DispatchTestEnvironment env;
  testsupport::LogCapture log;
  auto queue = DispatchQueue::createSerial("test.owner");
  SequenceChecker checker(queue);
  queue->sync([&] {
    checker.check("work");
    queue->assertCurrent("work");
  });
  DispatchQueue::main()->assertCurrent("main work");  // the test runs on the main thread
  EXPECT_TRUE(log.lines().empty());
}

TEST(SequenceCheckerDeathTest, CheckOffTheQueueLogsAndAbortsInDebug) {
#ifdef NDEBUG
  GTEST_SKIP() << "sequence checks only abort in debug builds";
#endif
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto queue = DispatchQueue::createSerial("test.owner");
  SequenceChecker checker(queue);
  EXPECT_DEATH(checker.check("writeEvent"), "writeEvent must run on queue test.owner");
  EXPECT_DEATH(queue->assertCurrent("uploadData"), "uploadData must run on queue test.owner");
}

}  // namespace
}  // namespace platform
