#include "base/process_state.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/base_init.h"

namespace base {
namespace {

TEST(ProcessStateTest, DebuggerCommandStaysEmpty) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  InitializeBaseLibrary();
  EXPECT_EQ(DebuggerCommand(), "");
  SetDebuggerCommand("");
  EXPECT_EQ(DebuggerCommand(), "");
  EXPECT_DEATH(
      SetDebuggerCommand("gdb -p %p"),
      ::testing::HasSubstr(
          "Check failed: cmd.empty() --debugger_command is not supported on this platform"));
}

}  // namespace
}  // namespace base
