#include "base/orvaneinit.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/base_init.h"

namespace base {
namespace {

using ::testing::HasSubstr;

int runs = 0;
void CountRun() { ++runs; }

class OrvaneInitTest : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(OrvaneInitTest, RegisterAndFind) {
  static OrvaneInitializer init("test", "register_and_find", &CountRun);
  EXPECT_EQ(FindInitializer("test", "register_and_find"), &init);
  EXPECT_FALSE(init.done());
  EXPECT_EQ(FindInitializer("test", "missing"), nullptr);
  EXPECT_EQ(FindInitializer("no such type", "register_and_find"), nullptr);
  runs = 0;
  init.Run();
  init.Run();
  EXPECT_EQ(runs, 1);
  EXPECT_TRUE(init.done());
}

TEST_F(OrvaneInitTest, TwoObjectsWithOneNameStop) {
  EXPECT_DEATH(
      {
        static OrvaneInitializer first("test", "duplicate", &CountRun);
        static OrvaneInitializer second("test", "duplicate", &CountRun);
      },
      HasSubstr("Check failed: idata->initializer_obj == init There is more than one "
                "initializer with name 'duplicate'"));
  // The same name under another type is a different initialiser.
  static OrvaneInitializer a("type-a", "shared", &CountRun);
  static OrvaneInitializer b("type-b", "shared", &CountRun);
  EXPECT_EQ(FindInitializer("type-a", "shared"), &a);
  EXPECT_EQ(FindInitializer("type-b", "shared"), &b);
}

TEST_F(OrvaneInitTest, OneObjectRegisteredTwiceStops) {
  EXPECT_DEATH(
      {
        static OrvaneInitializer once("test", "twice", &CountRun);
        RegisterInitializer(&once, "test", "twice", &CountRun);
      },
      HasSubstr("Check failed: !idata->initializer_obj_constructed : Multiple occurrences of "
                "initializer 'twice'"));
}

TEST_F(OrvaneInitTest, FlagModulesCannotBeRequiredByHand) {
  InitializeBaseLibrary();
  OrvaneInitializer* parsing = FindInitializer("module", "command_line_flags_parsing");
  OrvaneInitializer* parsed = FindInitializer("module", "command_line_flags_parsed");
  ASSERT_NE(parsing, nullptr);
  ASSERT_NE(parsed, nullptr);
  EXPECT_FALSE(parsing->done());
  EXPECT_FALSE(DoingCommandLineFlagsParsing());
  EXPECT_FALSE(AfterCommandLineFlagsParsing());
  EXPECT_DEATH(parsing->Run(),
               HasSubstr("Check failed: doing_command_line_flags_parsing Can't call "
                         "REQUIRE_MODULE_INITIALIZED(command_line_flags_parsing): InitOrvane "
                         "does it for you."));
  EXPECT_DEATH(parsed->Run(),
               HasSubstr("Check failed: after_command_line_flags_parsing Can't call "
                         "REQUIRE_MODULE_INITIALIZED(command_line_flags_parsed): InitOrvane does "
                         "it for you."));
  // Initialising again registers nothing twice.
  InitializeBaseLibrary();
  RegisterCommandLineFlagsModules();
  EXPECT_EQ(FindInitializer("module", "command_line_flags_parsing"), parsing);
}

}  // namespace
}  // namespace base
