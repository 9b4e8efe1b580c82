#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/ProcessInfo.h"

// Facts about the device and the install, as the utilities framework answers them. On this
// platform they come from a process-wide configuration: the composition root (the app, the
// measurement driver or a test) may set it; otherwise they describe a current phone (an
// iPhone on iOS 17.4), never the Linux machine the process runs on, whose kernel release
// means nothing to code that asks which iOS features exist.
// All functions are class operations, safe from any thread.
class OULAppEnvironmentUtil {
 public:
  // The phone the facts describe unless configured: a device's machine number (not one of the
  // simulator's models) and the release of ProcessInfo::kDefaultOperatingSystemVersion.
  static constexpr const char* kDefaultDeviceModel = "iPhone16,1";
  static constexpr const char* kDefaultSystemName = "iOS";
  static constexpr const char* kDefaultSystemVersion = "17.4";

  // A default-constructed configuration is the default phone.
  struct Configuration {
    std::string deviceModel = kDefaultDeviceModel;      // "x86_64" or "i386" mean the simulator
    std::string systemVersion = kDefaultSystemVersion;  // dotted version, e.g. "17.2.1"
    bool isFromAppStore = false;
    bool isAppExtension = false;
    std::string systemName = kDefaultSystemName;  // "iOS", "iPadOS", or another system
  };

  // The machine model, e.g. "iPhone16,1".
  static std::string deviceModel();

  // The operating system's name: "iOS" unless configured otherwise.
  static std::string systemName();

  // The system version as the device reports it, e.g. "17.4".
  static std::string systemVersion();

  // Whether the device's system is iOS at release major.minor.patch or later. This is the one
  // check of the system version: every feature that exists only from some iOS release asks it.
  // The rule:
  //  - The version is read by parseSystemVersion (below).
  //  - "iOS" and "iPadOS" (the name an iPad gives the same system, with the same release
  //    numbers) are iOS. Any other system, or a version that does not begin with a number, is
  //    at no iOS release: the answer is false for every release asked about, so a gated
  //    feature takes its older-system branch rather than claim an iOS feature on an unknown
  //    system.
  static bool isSystemVersionAtLeast(int64_t major, int64_t minor = 0, int64_t patch = 0);

  // The numbers of a dotted version: up to three fields of decimal digits separated by ".",
  // read from the start and up to the first other character ("17.2.1" → 17.2.1, "16" → 16.0.0,
  // "14.3b" → 14.3.0, "17.2.1.5" → 17.2.1); a missing field is 0 and a field too large for the
  // type saturates. Nothing when the text does not begin with a digit.
  static std::optional<platform::ProcessInfo::OperatingSystemVersion> parseSystemVersion(
      std::string_view version);

  // Whether the app was installed from the App Store: false unless configured.
  static bool isFromAppStore();

  // Whether the device model is a simulator's ("x86_64" or "i386").
  static bool isSimulator();

  // Whether the process is an app extension: false unless configured.
  static bool isAppExtension();

  // Replaces the configuration; std::nullopt restores the defaults. The process's
  // operating-system version (ProcessInfo) follows: the configured version's numbers (0.0.0
  // when it has none), or the default release.
  static void setConfiguration(std::optional<Configuration> configuration);

  // The configuration in force (the defaults when none was set).
  static Configuration configuration();

  // The defaults: the phone described above (the same as Configuration{}).
  static Configuration defaultConfiguration();
};
