#pragma once

#include <optional>
#include <string>

// Facts about the device and the install, as the utilities framework answers them. On this
// platform they come from a process-wide configuration: the composition root (the app, or a
// test) may set it; otherwise the defaults describe the Linux machine the process runs on.
// All functions are class operations, safe from any thread.
class OULAppEnvironmentUtil {
 public:
  struct Configuration {
    std::string deviceModel;    // e.g. "iPhone14,2"; "x86_64" or "i386" mean the simulator
    std::string systemVersion;  // dotted version, e.g. "17.2.1"
    bool isFromAppStore = false;
    bool isAppExtension = false;
  };

  // The machine model: the configured one, or by default "<system> <machine>" from uname
  // (e.g. "Linux x86_64") — deliberately never the bare machine name, which the measurement
  // library reads as the simulator.
  static std::string deviceModel();

  // The system version: the configured one, or by default the leading dotted number of the
  // kernel release (e.g. "6.1.0" from "6.1.0-18-amd64"); the whole release when it has none.
  static std::string systemVersion();

  // Whether the app was installed from the App Store: false unless configured.
  static bool isFromAppStore();

  // Whether the device model is a simulator's ("x86_64" or "i386").
  static bool isSimulator();

  // Whether the process is an app extension: false unless configured.
  static bool isAppExtension();

  // Replaces the configuration; std::nullopt restores the machine defaults.
  static void setConfiguration(std::optional<Configuration> configuration);

  // The configuration in force (the defaults when none was set).
  static Configuration configuration();

  // What the defaults would be on this machine.
  static Configuration machineConfiguration();
};
