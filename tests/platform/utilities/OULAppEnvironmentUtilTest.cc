#include "platform/utilities/OULAppEnvironmentUtil.h"

#include <gtest/gtest.h>
#include <sys/utsname.h>

#include <cstdint>
#include <optional>
#include <string>

#include "platform/foundation/ProcessInfo.h"

namespace {

class OULAppEnvironmentUtilTest : public ::testing::Test {
 protected:
  void TearDown() override { OULAppEnvironmentUtil::setConfiguration(std::nullopt); }
};

TEST_F(OULAppEnvironmentUtilTest, DefaultsDescribeACurrentPhoneNeverThisMachine) {
  EXPECT_EQ(OULAppEnvironmentUtil::systemName(), "iOS");
  EXPECT_EQ(OULAppEnvironmentUtil::systemVersion(), "17.4");
  EXPECT_TRUE(OULAppEnvironmentUtil::isSystemVersionAtLeast(17, 2));
  // A phone's machine number: neither the simulator's model nor the kernel's names.
  EXPECT_EQ(OULAppEnvironmentUtil::deviceModel(), "iPhone16,1");
  EXPECT_FALSE(OULAppEnvironmentUtil::isSimulator());
  struct utsname names {};
  ASSERT_EQ(uname(&names), 0);
  EXPECT_EQ(OULAppEnvironmentUtil::deviceModel().find(names.sysname), std::string::npos);
  EXPECT_EQ(std::string(names.release).rfind(OULAppEnvironmentUtil::systemVersion(), 0),
            std::string::npos);
  EXPECT_FALSE(OULAppEnvironmentUtil::isFromAppStore());
  EXPECT_FALSE(OULAppEnvironmentUtil::isAppExtension());
  // The process's operating-system version is the phone's too.
  EXPECT_EQ(platform::ProcessInfo::processInfo().operatingSystemVersion(),
            (platform::ProcessInfo::OperatingSystemVersion{17, 4, 0}));
  EXPECT_EQ(OULAppEnvironmentUtil::parseSystemVersion(OULAppEnvironmentUtil::systemVersion()),
            platform::ProcessInfo::kDefaultOperatingSystemVersion);
}

TEST_F(OULAppEnvironmentUtilTest, ConfigurationReplacesEveryAnswerAndCanBeRemoved) {
  OULAppEnvironmentUtil::setConfiguration(
      OULAppEnvironmentUtil::Configuration{"iPhone14,2", "17.2.1", true, true});
  EXPECT_EQ(OULAppEnvironmentUtil::deviceModel(), "iPhone14,2");
  EXPECT_EQ(OULAppEnvironmentUtil::systemVersion(), "17.2.1");
  EXPECT_TRUE(OULAppEnvironmentUtil::isFromAppStore());
  EXPECT_TRUE(OULAppEnvironmentUtil::isAppExtension());
  EXPECT_FALSE(OULAppEnvironmentUtil::isSimulator());

  EXPECT_EQ(platform::ProcessInfo::processInfo().operatingSystemVersionString(), "Version 17.2.1");

  OULAppEnvironmentUtil::setConfiguration(std::nullopt);
  EXPECT_EQ(OULAppEnvironmentUtil::deviceModel(),
            OULAppEnvironmentUtil::defaultConfiguration().deviceModel);
  EXPECT_FALSE(OULAppEnvironmentUtil::isFromAppStore());
  EXPECT_EQ(platform::ProcessInfo::processInfo().operatingSystemVersion(),
            platform::ProcessInfo::kDefaultOperatingSystemVersion);
}

TEST_F(OULAppEnvironmentUtilTest, VersionsReadAsUpToThreeLeadingNumbers) {
  using Version = platform::ProcessInfo::OperatingSystemVersion;
  struct Row {
    const char* text;
    std::optional<Version> version;
  };
  const Row rows[] = {
      {"17.2.1", Version{17, 2, 1}},
      {"16", Version{16, 0, 0}},
      {"14.3b", Version{14, 3, 0}},
      {"17.2.1.5", Version{17, 2, 1}},
      {"16..1", Version{16, 0, 1}},
      {"6.1.0-18-amd64", Version{6, 1, 0}},
      {"99999999999999999999999.1", Version{INT64_MAX, 1, 0}},
      {"", std::nullopt},
      {".1", std::nullopt},
      {"v17", std::nullopt},
      {" 17.2", std::nullopt},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(OULAppEnvironmentUtil::parseSystemVersion(row.text), row.version);
  }
}

// The one rule every gate relies on: iOS at or after the release asked about; anything else
// (another system, a version that is no number) at no iOS release at all.
TEST_F(OULAppEnvironmentUtilTest, SystemVersionAtLeastComparesThreeFieldsOfIOSOnly) {
  struct Row {
    const char* name;
    const char* version;
    int64_t major, minor, patch;
    bool atLeast;
  };
  const Row rows[] = {
      {"iOS", "16.1", 16, 1, 0, true},    {"iOS", "16.0.9", 16, 1, 0, false},
      {"iOS", "16", 16, 0, 0, true},      {"iOS", "17.2.1", 17, 2, 1, true},
      {"iOS", "17.2", 17, 2, 1, false},   {"iOS", "17.10", 17, 2, 0, true},
      {"iOS", "9", 14, 0, 0, false},      {"iOS", "100", 14, 3, 0, true},
      {"iOS", "0", 0, 0, 0, true},        {"iOS", "", 0, 0, 0, false},
      {"iOS", "beta", 0, 0, 0, false},    {"Linux", "17.4", 9, 0, 0, false},
      {"Linux", "6.1.0", 0, 0, 0, false}, {"ios", "17.4", 9, 0, 0, false},
      {"iPadOS", "17.4", 9, 0, 0, true},  {"iPadOS", "16.0", 16, 1, 0, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.name) + " " + row.version);
    OULAppEnvironmentUtil::Configuration device;
    device.systemName = row.name;
    device.systemVersion = row.version;
    OULAppEnvironmentUtil::setConfiguration(device);
    EXPECT_EQ(OULAppEnvironmentUtil::isSystemVersionAtLeast(row.major, row.minor, row.patch),
              row.atLeast);
  }
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
