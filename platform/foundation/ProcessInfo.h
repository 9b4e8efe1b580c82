#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace platform {

// What the process knows about itself (the phone's NSProcessInfo): launch arguments,
// environment, name, operating-system version, unique strings.
//
// The operating-system version is the stand-in phone's release, never the Linux kernel's: the
// device facts (OULAppEnvironmentUtil) set it whenever they are configured, so that this and
// the device's system version always agree.
//
// Arguments and environment start as the real ones (/proc/self/cmdline and environ); the
// app's main and tests may replace them. Thread-safe.
class ProcessInfo {
 public:
  struct OperatingSystemVersion {
    int64_t majorVersion = 0;
    int64_t minorVersion = 0;
    int64_t patchVersion = 0;
    bool operator==(const OperatingSystemVersion&) const = default;
  };

  // The release the stand-in phone runs unless the device facts are configured otherwise.
  static constexpr OperatingSystemVersion kDefaultOperatingSystemVersion{17, 4, 0};

  static ProcessInfo& processInfo();

  std::vector<std::string> arguments() const;
  void setArguments(std::vector<std::string> arguments);

  std::map<std::string, std::string> environment() const;
  void setEnvironment(std::map<std::string, std::string> environment);
  // Changes with every setEnvironment and reset, so that readers can keep what they derive from
  // the environment until it changes.
  uint64_t environmentGeneration() const;

  // The last path component of the first argument, unless set explicitly.
  std::string processName() const;
  void setProcessName(std::string name);

  int processIdentifier() const;

  // The device's release as numbers: kDefaultOperatingSystemVersion until set.
  OperatingSystemVersion operatingSystemVersion() const;
  // "Version <major>.<minor>.<patch>".
  std::string operatingSystemVersionString() const;
  // Called by the device facts when they are configured (and by tests).
  void setOperatingSystemVersion(OperatingSystemVersion version);

  // A string that no other call, in this process or any other, returns: a random UUID
  // followed by the process id and a counter.
  std::string globallyUniqueString() const;

  // Restores the real arguments, environment and name, and the default version.
  void resetForTesting();

  ProcessInfo();

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> arguments_;
  std::map<std::string, std::string> environment_;
  uint64_t environmentGeneration_ = 0;  // guarded by mutex_
  std::string processName_;
  OperatingSystemVersion version_;
};

}  // namespace platform
