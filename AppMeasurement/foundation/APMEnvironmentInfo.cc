#include "AppMeasurement/foundation/APMEnvironmentInfo.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <map>

#include "AppMeasurement/foundation/APMAEU.h"
#include "AppMeasurement/foundation/APMMonitor.h"
#include "platform/dispatch/Clock.h"
#include "platform/foundation/ProcessInfo.h"

namespace {

// "en_US.UTF-8@euro" -> "en-US"; empty for the C and POSIX locales.
std::string languageTagFromLocale(std::string_view locale) {
  std::string_view name = locale.substr(0, locale.find_first_of(".@"));
  if (name.empty() || name == "C" || name == "POSIX") return {};
  std::string tag(name);
  std::replace(tag.begin(), tag.end(), '_', '-');
  return tag;
}

}  // namespace

std::shared_ptr<APMEnvironmentInfo> APMEnvironmentInfo::sharedInstance() {
  static const std::shared_ptr<APMEnvironmentInfo>& instance =
      *new std::shared_ptr<APMEnvironmentInfo>(std::make_shared<APMEnvironmentInfo>());
  return instance;
}

std::string APMEnvironmentInfo::deviceModel() {
  std::call_once(modelOnce_, [this] {
    errno = 0;
    deviceModel_ = APMAEU::deviceModel();
    if (deviceModel_.empty()) {
      int failure = errno;
      APMMonitor::monitor()->logWithLevel(
          2, 14000, "Failed to get device model",
          APMLogContext(std::string(failure != 0 ? std::strerror(failure) : "Unknown error")));
    }
  });
  return deviceModel_;
}

std::string APMEnvironmentInfo::deviceOSVersion() const { return APMAEU::systemVersion(); }

std::optional<std::string> APMEnvironmentInfo::userDefaultLanguage() const {
  std::string language;
  {
    std::lock_guard<std::mutex> lock(languageMutex_);
    uint64_t generation = platform::ProcessInfo::processInfo().environmentGeneration();
    if (languageGeneration_ != generation) {
      std::vector<std::string> languages = preferredLanguages();
      language_ = languages.empty() ? std::string() : languages.front();
      std::transform(language_.begin(), language_.end(), language_.begin(),
                     [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
      languageGeneration_ = generation;
    }
    language = language_;
  }
  if (language.empty()) {
    APMMonitor::monitor()->logWithLevel(2, 14001, "Failed to get preferred language");
    return std::nullopt;
  }
  return language;
}

int32_t APMEnvironmentInfo::timeZoneOffsetMinutes() const {
  double now = platform::Clock::current()->now();
  std::time_t seconds = std::isfinite(now) ? static_cast<std::time_t>(now) : 0;
  std::tm local{};
  if (localtime_r(&seconds, &local) == nullptr) return 0;
  return static_cast<int32_t>(local.tm_gmtoff / 60);
}

std::vector<std::string> APMEnvironmentInfo::preferredLanguages() {
  const std::map<std::string, std::string> environment =
      platform::ProcessInfo::processInfo().environment();
  auto lookup = [&](const char* name) -> std::string {
    auto it = environment.find(name);
    return it == environment.end() ? std::string() : it->second;
  };

  std::vector<std::string> languages;
  std::string list = lookup("LANGUAGE");
  size_t start = 0;
  while (start <= list.size() && !list.empty()) {
    size_t end = list.find(':', start);
    if (end == std::string::npos) end = list.size();
    std::string tag = languageTagFromLocale(std::string_view(list).substr(start, end - start));
    if (!tag.empty() && std::find(languages.begin(), languages.end(), tag) == languages.end()) {
      languages.push_back(tag);
    }
    start = end + 1;
  }
  if (!languages.empty()) return languages;

  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    std::string locale = lookup(name);
    if (locale.empty()) continue;
    // The first variable that is set decides, even when it names no language.
    std::string tag = languageTagFromLocale(locale);
    if (!tag.empty()) languages.push_back(tag);
    break;
  }
  return languages;
}
