#include "platform/uikit/UIDevice.h"

#include <string>

#include <gtest/gtest.h>

#include "platform/utilities/OULAppEnvironmentUtil.h"
#include "tests/platform/uikit/UIKitTestSupport.h"

namespace {

using uikittest::UIKitTest;

void configure(std::string model, std::string version) {
  OULAppEnvironmentUtil::Configuration configuration;
  configuration.deviceModel = std::move(model);
  configuration.systemVersion = std::move(version);
  OULAppEnvironmentUtil::setConfiguration(configuration);
}

TEST_F(UIKitTest, DeviceIsACurrentPhoneByDefault) {
  const UIDevice& device = UIDevice::currentDevice();
  EXPECT_EQ(device.systemName(), "iOS");
  EXPECT_EQ(device.systemVersion(), "17.4");
  EXPECT_EQ(device.model(), "iPhone");
  // Never the kernel's own answers, read from outside the process.
  std::string kernelName = uikittest::commandOutput("uname -s");
  ASSERT_FALSE(kernelName.empty());
  EXPECT_NE(device.systemName(), kernelName);
  EXPECT_NE(device.systemVersion().substr(0, 2), uikittest::commandOutput("uname -r").substr(0, 2));
}

TEST_F(UIKitTest, DeviceFollowsTheConfiguredEnvironment) {
  configure("iPhone14,2", "15.7.1");
  const UIDevice& device = UIDevice::currentDevice();
  EXPECT_EQ(device.model(), "iPhone");
  EXPECT_EQ(device.systemName(), "iOS");
  EXPECT_EQ(device.systemVersion(), "15.7.1");

  OULAppEnvironmentUtil::Configuration other;
  other.systemName = "iPadOS";
  other.deviceModel = "iPad13,18";
  OULAppEnvironmentUtil::setConfiguration(other);
  EXPECT_EQ(device.systemName(), "iPadOS");
  EXPECT_EQ(device.model(), "iPad");

  OULAppEnvironmentUtil::setConfiguration(std::nullopt);
  EXPECT_EQ(device.systemVersion(), "17.4");
  EXPECT_EQ(device.systemName(), "iOS");
}

TEST_F(UIKitTest, ModelIsTheKindOfDevice) {
  struct Row {
    const char* machine;
    const char* model;
  };
  const Row rows[] = {
      {"iPhone14,2", "iPhone"},
      {"iPhone9,1", "iPhone"},
      {"iPad13,18", "iPad"},
      {"iPod9,1", "iPod touch"},
      {"AppleTV6,2", "Apple TV"},
      {"Watch6,1", "Apple Watch"},
      // Not a device's machine number: given back as it is.
      {"x86_64", "x86_64"},
      {"i386", "i386"},
      {"iPhone", "iPhone"},
      {"iPhone14", "iPhone14"},
      {"iPhone14,", "iPhone14,"},
      {"iPhone,2", "iPhone,2"},
      {"iPhoneX,1", "iPhoneX,1"},
      {"iPhone14,2,3", "iPhone14,2,3"},
      {"iphone14,2", "iphone14,2"},
      {"Linux x86_64", "Linux x86_64"},
      {"", ""},
  };
  for (const Row& row : rows) {
    configure(row.machine, "17.0");
    EXPECT_EQ(UIDevice::currentDevice().model(), row.model) << row.machine;
  }
}

}  // namespace
