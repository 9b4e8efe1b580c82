#pragma once

#include <cstdio>
#include <string>

#include "platform/uikit/UIDevice.h"

// Whether the device's system version (UIDevice, "major.minor[.patch]") is at least
// major.minor. A version that does not begin with a number counts as older. Any thread.
inline bool APMSystemVersionIsAtLeast(int major, int minor) {
  int systemMajor = 0;
  int systemMinor = 0;
  std::string version = UIDevice::currentDevice().systemVersion();
  if (std::sscanf(version.c_str(), "%d.%d", &systemMajor, &systemMinor) < 1) return false;
  return systemMajor > major || (systemMajor == major && systemMinor >= minor);
}
