#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// Facts about the device for the upload metadata: model, system version, preferred
// language and time-zone offset. The model is read once per instance. Safe from any
// thread.
class APMEnvironmentInfo {
 public:
  // The process's instance, made on first use.
  static std::shared_ptr<APMEnvironmentInfo> sharedInstance();

  APMEnvironmentInfo() = default;
  APMEnvironmentInfo(const APMEnvironmentInfo&) = delete;
  APMEnvironmentInfo& operator=(const APMEnvironmentInfo&) = delete;

  // The device model, read on first call; an empty model is logged (14000) and stays empty.
  std::string deviceModel();
  // The system version.
  std::string deviceOSVersion() const;
  // The first of the user's preferred languages, lower-cased (e.g. "en-us"); nothing when the
  // user has none, logged (14001) at each such answer.
  // The languages are read again only when the process's environment has changed.
  std::optional<std::string> userDefaultLanguage() const;
  // The local time zone's current offset from GMT in minutes, truncated toward zero.
  int32_t timeZoneOffsetMinutes() const;

  // The user's preferred languages as language tags ("en-US"), most preferred first, from
  // the environment: LANGUAGE (a colon-separated list), else LC_ALL, LC_MESSAGES or LANG.
  // The "C" and "POSIX" locales name no language.
  static std::vector<std::string> preferredLanguages();

 private:
  std::once_flag modelOnce_;
  // The first preferred language (empty: none) of the environment of that generation.
  mutable std::mutex languageMutex_;
  mutable std::optional<uint64_t> languageGeneration_;  // guarded by languageMutex_
  mutable std::string language_;                        // guarded by languageMutex_
  std::string deviceModel_;
};
