#include "platform/foundation/ProcessInfo.h"

#include <sys/random.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "platform/foundation/FileManager.h"

extern char** environ;

namespace platform {

namespace {

std::vector<std::string> realArguments() {
  std::vector<std::string> out;
  auto data = FileManager::defaultManager().contentsAtPath("/proc/self/cmdline");
  if (!data.ok()) return out;
  size_t start = 0;
  while (start < data->size()) {
    size_t end = data->find('\0', start);
    if (end == std::string::npos) end = data->size();
    out.push_back(data->substr(start, end - start));
    start = end + 1;
  }
  return out;
}

std::map<std::string, std::string> realEnvironment() {
  std::map<std::string, std::string> out;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    std::string text(*entry);
    size_t equals = text.find('=');
    if (equals == std::string::npos) continue;
    out.emplace(text.substr(0, equals), text.substr(equals + 1));
  }
  return out;
}

}  // namespace

ProcessInfo& ProcessInfo::processInfo() {
  // Never destroyed: queue threads and exit handlers may use it until the process ends.
  static auto* info = new ProcessInfo();
  return *info;
}

ProcessInfo::ProcessInfo() { resetForTesting(); }

void ProcessInfo::resetForTesting() {
  auto arguments = realArguments();
  auto environment = realEnvironment();
  std::lock_guard<std::mutex> lock(mutex_);
  arguments_ = std::move(arguments);
  environment_ = std::move(environment);
  ++environmentGeneration_;
  processName_.clear();
  version_ = kDefaultOperatingSystemVersion;
}

std::vector<std::string> ProcessInfo::arguments() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return arguments_;
}

void ProcessInfo::setArguments(std::vector<std::string> arguments) {
  std::lock_guard<std::mutex> lock(mutex_);
  arguments_ = std::move(arguments);
}

std::map<std::string, std::string> ProcessInfo::environment() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return environment_;
}

void ProcessInfo::setEnvironment(std::map<std::string, std::string> environment) {
  std::lock_guard<std::mutex> lock(mutex_);
  environment_ = std::move(environment);
  ++environmentGeneration_;
}

uint64_t ProcessInfo::environmentGeneration() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return environmentGeneration_;
}

std::string ProcessInfo::processName() const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!processName_.empty()) return processName_;
  if (arguments_.empty()) return {};
  return std::filesystem::path(arguments_.front()).filename().string();
}

void ProcessInfo::setProcessName(std::string name) {
  std::lock_guard<std::mutex> lock(mutex_);
  processName_ = std::move(name);
}

int ProcessInfo::processIdentifier() const { return static_cast<int>(::getpid()); }

ProcessInfo::OperatingSystemVersion ProcessInfo::operatingSystemVersion() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return version_;
}

std::string ProcessInfo::operatingSystemVersionString() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return "Version " + std::to_string(version_.majorVersion) + "." +
         std::to_string(version_.minorVersion) + "." + std::to_string(version_.patchVersion);
}

void ProcessInfo::setOperatingSystemVersion(OperatingSystemVersion version) {
  std::lock_guard<std::mutex> lock(mutex_);
  version_ = version;
}

std::string ProcessInfo::globallyUniqueString() const {
  static std::atomic<uint64_t> counter{0};
  unsigned char bytes[16] = {};
  size_t filled = 0;
  while (filled < sizeof bytes) {
    ssize_t n = ::getrandom(bytes + filled, sizeof bytes - filled, 0);
    if (n <= 0) break;
    filled += static_cast<size_t>(n);
  }
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  char text[96];
  std::snprintf(text, sizeof text,
                "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X-%X-%016llX",
                bytes[0], bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7],
                bytes[8], bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14],
                bytes[15], static_cast<unsigned>(::getpid()),
                static_cast<unsigned long long>(counter.fetch_add(1)));
  return text;
}

}  // namespace platform
