#pragma once

#include <string>

// The device the app runs on (the phone's UIDevice). Its facts come from the utilities
// framework's environment (OULAppEnvironmentUtil), so that every layer reports the same device.
// Safe from any thread.
class UIDevice {
 public:
  static UIDevice& currentDevice();

  // The kind of device: "iPhone", "iPad", "iPod touch", "Apple TV" or "Apple Watch" for the
  // machine models of those devices ("iPhone14,2" → "iPhone"); any other model (the simulator's,
  // a Linux machine's) as the environment gives it.
  std::string model() const;
  // The operating system: "iOS" while the environment describes a configured device, the
  // kernel's name (e.g. "Linux") while it describes the machine the process runs on.
  std::string systemName() const;
  // The environment's system version, e.g. "17.2.1".
  std::string systemVersion() const;

  UIDevice(const UIDevice&) = delete;
  UIDevice& operator=(const UIDevice&) = delete;

 private:
  UIDevice() = default;
};
