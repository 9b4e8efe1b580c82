#include "platform/uikit/UIDevice.h"

#include <sys/utsname.h>

#include <array>
#include <string_view>
#include <utility>

#include "platform/utilities/OULAppEnvironmentUtil.h"

namespace {

// Whether `model` is `prefix` followed by a machine number "<major>,<minor>".
bool isMachineOf(std::string_view model, std::string_view prefix) {
  if (model.substr(0, prefix.size()) != prefix) return false;
  std::string_view number = model.substr(prefix.size());
  size_t comma = number.find(',');
  if (comma == std::string_view::npos || comma == 0 || comma + 1 == number.size()) return false;
  for (size_t i = 0; i < number.size(); ++i) {
    if (i != comma && (number[i] < '0' || number[i] > '9')) return false;
  }
  return true;
}

}  // namespace

UIDevice& UIDevice::currentDevice() {
  static UIDevice device;
  return device;
}

std::string UIDevice::model() const {
  static constexpr std::array<std::pair<std::string_view, std::string_view>, 5> kFamilies = {{
      {"iPhone", "iPhone"},
      {"iPad", "iPad"},
      {"iPod", "iPod touch"},
      {"AppleTV", "Apple TV"},
      {"Watch", "Apple Watch"},
  }};
  std::string machine = OULAppEnvironmentUtil::deviceModel();
  for (const auto& [prefix, family] : kFamilies) {
    if (isMachineOf(machine, prefix)) return std::string(family);
  }
  return machine;
}

std::string UIDevice::systemName() const {
  OULAppEnvironmentUtil::Configuration machine = OULAppEnvironmentUtil::machineConfiguration();
  OULAppEnvironmentUtil::Configuration current = OULAppEnvironmentUtil::configuration();
  bool describesMachine =
      current.deviceModel == machine.deviceModel && current.systemVersion == machine.systemVersion;
  if (!describesMachine) return "iOS";
  struct utsname names {};
  // uname does not fail on Linux; an unknown system has no name rather than a made-up one.
  if (uname(&names) != 0) return std::string();
  return names.sysname;
}

std::string UIDevice::systemVersion() const { return OULAppEnvironmentUtil::systemVersion(); }
