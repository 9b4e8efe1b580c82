#include "platform/foundation/ProcessInfo.h"

#include <set>

#include <gtest/gtest.h>

namespace {

using platform::ProcessInfo;

TEST(ProcessInfo, StartsWithTheRealProcess) {
  ProcessInfo& info = ProcessInfo::processInfo();
  info.resetForTesting();
  auto arguments = info.arguments();
  ASSERT_FALSE(arguments.empty());
  EXPECT_EQ(info.processName(), "platform_foundation_tests");
  EXPECT_FALSE(info.environment().empty());
  EXPECT_GT(info.processIdentifier(), 0);
  // The stand-in phone's release, never the kernel's.
  EXPECT_EQ(info.operatingSystemVersion(), (ProcessInfo::OperatingSystemVersion{17, 4, 0}));
  EXPECT_EQ(info.operatingSystemVersionString(), "Version 17.4.0");
}

TEST(ProcessInfo, NameAndVersionTextFollowWhatTestsSet) {
  ProcessInfo& info = ProcessInfo::processInfo();
  info.setArguments({"/opt/app/Demo", "-KVLDebugEnabled"});
  EXPECT_EQ(info.processName(), "Demo");
  info.setOperatingSystemVersion({17, 4, 1});
  EXPECT_EQ(info.operatingSystemVersionString(), "Version 17.4.1");
  info.resetForTesting();
  EXPECT_EQ(info.processName(), "platform_foundation_tests");
  EXPECT_EQ(info.operatingSystemVersion(), ProcessInfo::kDefaultOperatingSystemVersion);
}

TEST(ProcessInfo, GloballyUniqueStringsDiffer) {
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    std::string s = ProcessInfo::processInfo().globallyUniqueString();
    EXPECT_EQ(s[8], '-');
    EXPECT_EQ(s[14], '4');  // a version-4 UUID leads
    EXPECT_TRUE(seen.insert(s).second) << s;
  }
}

}  // namespace
