#include "platform/utilities/OULAppEnvironmentUtil.h"

#include <limits>
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

}  // namespace

OULAppEnvironmentUtil::Configuration OULAppEnvironmentUtil::defaultConfiguration() { return {}; }

OULAppEnvironmentUtil::Configuration OULAppEnvironmentUtil::configuration() {
  std::lock_guard<std::mutex> lock(configurationMutex());
  return configured() ? *configured() : defaultConfiguration();
}

void OULAppEnvironmentUtil::setConfiguration(std::optional<Configuration> configuration) {
  std::lock_guard<std::mutex> lock(configurationMutex());
  platform::ProcessInfo::OperatingSystemVersion version =
      platform::ProcessInfo::kDefaultOperatingSystemVersion;
  if (configuration) {
    version = parseSystemVersion(configuration->systemVersion)
                  .value_or(platform::ProcessInfo::OperatingSystemVersion{});
  }
  configured() = std::move(configuration);
  // Under the same lock, so that concurrent configurations leave the two in agreement.
  platform::ProcessInfo::processInfo().setOperatingSystemVersion(version);
}

std::optional<platform::ProcessInfo::OperatingSystemVersion>
OULAppEnvironmentUtil::parseSystemVersion(std::string_view version) {
  if (version.empty() || version[0] < '0' || version[0] > '9') return std::nullopt;
  int64_t fields[3] = {0, 0, 0};
  size_t index = 0;
  for (char c : version) {
    if (c == '.') {
      if (++index == 3) break;
    } else if (c >= '0' && c <= '9') {
      int64_t& field = fields[index];
      field = field > (std::numeric_limits<int64_t>::max() - 9) / 10
                  ? std::numeric_limits<int64_t>::max()
                  : field * 10 + (c - '0');
    } else {
      break;
    }
  }
  return platform::ProcessInfo::OperatingSystemVersion{fields[0], fields[1], fields[2]};
}

bool OULAppEnvironmentUtil::isSystemVersionAtLeast(int64_t major, int64_t minor, int64_t patch) {
  Configuration current = configuration();
  if (current.systemName != "iOS" && current.systemName != "iPadOS") return false;
  std::optional<platform::ProcessInfo::OperatingSystemVersion> version =
      parseSystemVersion(current.systemVersion);
  if (!version) return false;
  const int64_t have[3] = {version->majorVersion, version->minorVersion, version->patchVersion};
  const int64_t wanted[3] = {major, minor, patch};
  for (int i = 0; i < 3; ++i) {
    if (have[i] != wanted[i]) return have[i] > wanted[i];
  }
  return true;
}

std::string OULAppEnvironmentUtil::deviceModel() { return configuration().deviceModel; }

std::string OULAppEnvironmentUtil::systemName() { return configuration().systemName; }

std::string OULAppEnvironmentUtil::systemVersion() { return configuration().systemVersion; }

bool OULAppEnvironmentUtil::isFromAppStore() { return configuration().isFromAppStore; }

bool OULAppEnvironmentUtil::isAppExtension() { return configuration().isAppExtension; }

bool OULAppEnvironmentUtil::isSimulator() {
  std::string model = deviceModel();
  return model == "x86_64" || model == "i386";
}
