#include "tools/measurement-service/ConfigurationStore.h"

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>

#include "tools/apm-msg/MessageInspector.h"

namespace measurement_service {

namespace {

const NANOMessageLayout& configLayout() { return *apmmsg::findMessage("MeasurementConfig"); }

// A strong validator from the content: FNV-1a, 64 bits, in hex. Equal bytes, equal tag.
std::string etagOf(const std::string& bytes) {
  uint64_t hash = 1469598103934665603ull;
  for (unsigned char c : bytes) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  char text[24];
  std::snprintf(text, sizeof text, "\"%016llx\"", static_cast<unsigned long long>(hash));
  return text;
}

// Turns a body into encoded MeasurementConfig bytes, checking that they decode.
std::optional<std::string> encodedConfig(const std::string& body, std::string* error) {
  size_t first = body.find_first_not_of(" \t\r\n");
  if (first != std::string::npos && body[first] == '{') {
    nlohmann::ordered_json json = nlohmann::ordered_json::parse(body, nullptr, false);
    if (json.is_discarded()) {
      *error = "the configuration is not valid JSON";
      return std::nullopt;
    }
    return apmmsg::encodeFromJson(configLayout(), json, error);
  }
  if (!apmmsg::decodeToJson(configLayout(), body, error)) return std::nullopt;
  return body;
}

}  // namespace

bool ConfigurationStore::loadFolder(const std::string& folder, std::string* error) {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
    std::string extension = entry.path().extension();
    if (!entry.is_regular_file() || (extension != ".json" && extension != ".pb")) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    std::string body((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) {
      *error = "cannot read " + entry.path().string();
      return false;
    }
    struct stat info {};
    std::time_t modified = ::stat(entry.path().c_str(), &info) == 0 ? info.st_mtime : 0;
    std::string reason;
    if (!put(entry.path().stem(), body, modified, &reason)) {
      *error = entry.path().string() + ": " + reason;
      return false;
    }
  }
  if (ec) {
    *error = "cannot list " + folder + ": " + ec.message();
    return false;
  }
  return true;
}

bool ConfigurationStore::put(const std::string& appID, const std::string& body, std::time_t now,
                             std::string* error) {
  std::optional<std::string> bytes = encodedConfig(body, error);
  if (!bytes) return false;
  StoredConfiguration stored{*bytes, etagOf(*bytes), now};
  std::lock_guard<std::mutex> lock(mutex_);
  auto existing = byAppID_.find(appID);
  // The same content keeps its validators, so a client's conditional request still matches.
  if (existing != byAppID_.end() && existing->second.bytes == stored.bytes) return true;
  byAppID_[appID] = std::move(stored);
  return true;
}

void ConfigurationStore::remove(const std::string& appID) {
  std::lock_guard<std::mutex> lock(mutex_);
  byAppID_.erase(appID);
}

std::optional<StoredConfiguration> ConfigurationStore::find(const std::string& appID) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = byAppID_.find(appID);
  if (it == byAppID_.end()) return std::nullopt;
  return it->second;
}

}  // namespace measurement_service
