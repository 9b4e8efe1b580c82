#include "platform/foundation/Bundle.h"

#include <gtest/gtest.h>

#include "platform/foundation/PropertyListSerialization.h"
#include "tests/platform/foundation/FoundationTestSupport.h"

namespace {

using platform::Bundle;
using platform::PropertyListSerialization;
using platform::Value;

void writePlist(const std::filesystem::path& path, const Value& value) {
  foundationtest::writeFile(path, *PropertyListSerialization::dataWithPropertyList(
                                      value, PropertyListSerialization::Format::XML));
}

TEST(Bundle, ReadsInfoPlistAndResources) {
  foundationtest::TempDir dir;
  Value info;
  info["CFBundleIdentifier"] = "com.example.app";
  info["CFBundleShortVersionString"] = "1.2.3";
  info["KAVRELIN_ANALYTICS_COLLECTION_ENABLED"] = false;
  writePlist(dir.path() / "Info.plist", info);
  Value service;
  service["ORVANE_APP_ID"] = "1:123:ios:abc";
  writePlist(dir.path() / "OrvaneService-Info.plist", service);

  Bundle::setMainBundlePath(dir.path());
  auto bundle = Bundle::mainBundle();
  EXPECT_EQ(bundle->bundlePath(), dir.path());
  EXPECT_EQ(bundle->bundleIdentifier(), "com.example.app");
  EXPECT_EQ(Value(bundle->infoDictionary()), info);
  EXPECT_EQ(bundle->objectForInfoDictionaryKey("KAVRELIN_ANALYTICS_COLLECTION_ENABLED"),
            Value(false));
  EXPECT_FALSE(bundle->objectForInfoDictionaryKey("missing").has_value());
  EXPECT_EQ(bundle->pathForResource("OrvaneService-Info", "plist"),
            dir.path() / "OrvaneService-Info.plist");
  EXPECT_EQ(bundle->pathForResource("OrvaneService-Info.plist", ""),
            dir.path() / "OrvaneService-Info.plist");
  EXPECT_EQ(Value(*bundle->dictionaryForResource("OrvaneService-Info", "plist")), service);
  EXPECT_FALSE(bundle->pathForResource("Other", "plist").has_value());
  EXPECT_FALSE(bundle->pathForResource("../Info", "plist").has_value());
  EXPECT_FALSE(bundle->pathForResource("", "").has_value());
  Bundle::setMainBundlePath({});
}

TEST(Bundle, MissingOrDamagedFilesGiveEmptyResults) {
  foundationtest::TempDir dir;
  auto missing = Bundle::bundleWithPath(dir.path() / "nowhere");
  EXPECT_TRUE(missing->infoDictionary().empty());
  EXPECT_FALSE(missing->bundleIdentifier().has_value());
  EXPECT_FALSE(missing->pathForResource("Info", "plist").has_value());

  foundationtest::writeFile(dir.path() / "Info.plist", "<plist><dict><key>a</key>");
  foundationtest::writeFile(dir.path() / "List.plist",
                            *PropertyListSerialization::dataWithPropertyList(
                                Value(Value::Array{1}), PropertyListSerialization::Format::XML));
  auto damaged = Bundle::bundleWithPath(dir.path());
  EXPECT_TRUE(damaged->infoDictionary().empty());
  EXPECT_TRUE(damaged->pathForResource("List", "plist").has_value());
  EXPECT_FALSE(damaged->dictionaryForResource("List", "plist").has_value());

  // A bundle identifier that is not a string is no identifier.
  foundationtest::TempDir other;
  Value info;
  info["CFBundleIdentifier"] = 5;
  writePlist(other.path() / "Info.plist", info);
  EXPECT_FALSE(Bundle::bundleWithPath(other.path())->bundleIdentifier().has_value());
}

}  // namespace
