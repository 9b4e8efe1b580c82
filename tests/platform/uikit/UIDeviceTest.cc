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

TEST_F(UIKitTest, DeviceDescribesTheMachineByDefault) {
  const UIDevice& device = UIDevice::currentDevice();
  EXPECT_EQ(device.systemVersion(), OULAppEnvironmentUtil::systemVersion());
  EXPECT_EQ(device.model(), OULAppEnvironmentUtil::deviceModel());
  // The kernel's own answer, from outside the process.
  std::string kernelName = uikittest::commandOutput("uname -s");
  ASSERT_FALSE(kernelName.empty());
  EXPECT_EQ(device.systemName(), kernelName);
  EXPECT_EQ(device.model(), kernelName + " " + uikittest::commandOutput("uname -m"));
}

TEST_F(UIKitTest, DeviceFollowsTheConfiguredEnvironment) {
  configure("iPhone14,2", "17.2.1");
  const UIDevice& device = UIDevice::currentDevice();
  EXPECT_EQ(device.model(), "iPhone");
  EXPECT_EQ(device.systemName(), "iOS");
  EXPECT_EQ(device.systemVersion(), "17.2.1");

  OULAppEnvironmentUtil::setConfiguration(std::nullopt);
  EXPECT_EQ(device.systemVersion(), OULAppEnvironmentUtil::systemVersion());
  EXPECT_EQ(device.systemName(), uikittest::commandOutput("uname -s"));
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
