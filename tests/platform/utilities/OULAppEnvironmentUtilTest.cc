#include "platform/utilities/OULAppEnvironmentUtil.h"

#include <gtest/gtest.h>
#include <sys/utsname.h>

#include <string>

namespace {

class OULAppEnvironmentUtilTest : public ::testing::Test {
 protected:
  void TearDown() override { OULAppEnvironmentUtil::setConfiguration(std::nullopt); }
};

TEST_F(OULAppEnvironmentUtilTest, DefaultsDescribeThisMachineWithoutPosingAsASimulator) {
  struct utsname names {};
  ASSERT_EQ(uname(&names), 0);
  std::string model = OULAppEnvironmentUtil::deviceModel();
  EXPECT_EQ(model, std::string(names.sysname) + " " + names.machine);
  // The bare machine name ("x86_64") is what the measurement library takes for the simulator.
  EXPECT_FALSE(OULAppEnvironmentUtil::isSimulator());

  std::string version = OULAppEnvironmentUtil::systemVersion();
  ASSERT_FALSE(version.empty());
  EXPECT_EQ(std::string(names.release).rfind(version, 0), 0u)
      << version << " is not a prefix of " << names.release;
  EXPECT_NE(version.back(), '.');

  EXPECT_FALSE(OULAppEnvironmentUtil::isFromAppStore());
  EXPECT_FALSE(OULAppEnvironmentUtil::isAppExtension());
}

TEST_F(OULAppEnvironmentUtilTest, ConfigurationReplacesEveryAnswerAndCanBeRemoved) {
  OULAppEnvironmentUtil::setConfiguration(
      OULAppEnvironmentUtil::Configuration{"iPhone14,2", "17.2.1", true, true});
  EXPECT_EQ(OULAppEnvironmentUtil::deviceModel(), "iPhone14,2");
  EXPECT_EQ(OULAppEnvironmentUtil::systemVersion(), "17.2.1");
  EXPECT_TRUE(OULAppEnvironmentUtil::isFromAppStore());
  EXPECT_TRUE(OULAppEnvironmentUtil::isAppExtension());
  EXPECT_FALSE(OULAppEnvironmentUtil::isSimulator());

  OULAppEnvironmentUtil::setConfiguration(std::nullopt);
  EXPECT_EQ(OULAppEnvironmentUtil::deviceModel(),
            OULAppEnvironmentUtil::machineConfiguration().deviceModel);
  EXPECT_FALSE(OULAppEnvironmentUtil::isFromAppStore());
}

TEST_F(OULAppEnvironmentUtilTest, SimulatorModelsAreRecognised) {
  struct Row {
    const char* model;
    bool simulator;
  };
  const Row rows[] = {{"x86_64", true},      {"i386", true},          {"arm64", false},
                      {"iPhone14,2", false}, {"Linux x86_64", false}, {"", false}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.model);
    OULAppEnvironmentUtil::setConfiguration(
        OULAppEnvironmentUtil::Configuration{row.model, "17.0", false, false});
    EXPECT_EQ(OULAppEnvironmentUtil::isSimulator(), row.simulator);
  }
}

}  // namespace
