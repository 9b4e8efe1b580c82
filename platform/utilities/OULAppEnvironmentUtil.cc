#include "platform/utilities/OULAppEnvironmentUtil.h"

#include <sys/utsname.h>

#include <mutex>

namespace {

std::mutex& configurationMutex() {
  static std::mutex& mutex = *new std::mutex();
  return mutex;
}

std::optional<OULAppEnvironmentUtil::Configuration>& configured() {
  static std::optional<OULAppEnvironmentUtil::Configuration>& value =
      *new std::optional<OULAppEnvironmentUtil::Configuration>();
  return value;
}

// "6.1.0-18-amd64" → "6.1.0": digits and dots up to the first other character, without a
// trailing dot.
std::string leadingVersion(const std::string& release) {
  size_t end = 0;
  while (end < release.size() &&
         ((release[end] >= '0' && release[end] <= '9') || release[end] == '.')) {
    ++end;
  }
  std::string version = release.substr(0, end);
  while (!version.empty() && version.back() == '.') version.pop_back();
  return version.empty() ? release : version;
}

}  // namespace

OULAppEnvironmentUtil::Configuration OULAppEnvironmentUtil::machineConfiguration() {
  Configuration machine;
  struct utsname names {};
  if (uname(&names) == 0) {
    machine.deviceModel = std::string(names.sysname) + " " + names.machine;
    machine.systemVersion = leadingVersion(names.release);
  }
  return machine;
}

OULAppEnvironmentUtil::Configuration OULAppEnvironmentUtil::configuration() {
  {
    std::lock_guard<std::mutex> lock(configurationMutex());
    if (configured()) return *configured();
  }
  // The machine's facts do not change while the process runs: read them once.
  static const Configuration& machine = *new Configuration(machineConfiguration());
  return machine;
}

void OULAppEnvironmentUtil::setConfiguration(std::optional<Configuration> configuration) {
  std::lock_guard<std::mutex> lock(configurationMutex());
  configured() = std::move(configuration);
}

std::string OULAppEnvironmentUtil::deviceModel() { return configuration().deviceModel; }

std::string OULAppEnvironmentUtil::systemVersion() { return configuration().systemVersion; }

bool OULAppEnvironmentUtil::isFromAppStore() { return configuration().isFromAppStore; }

bool OULAppEnvironmentUtil::isAppExtension() { return configuration().isAppExtension; }

bool OULAppEnvironmentUtil::isSimulator() {
  std::string model = deviceModel();
  return model == "x86_64" || model == "i386";
}
