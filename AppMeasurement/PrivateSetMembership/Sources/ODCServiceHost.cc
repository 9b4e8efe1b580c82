#include "AppMeasurement/PrivateSetMembership/Sources/ODCServiceHost.h"

#include <cstdlib>
#include <mutex>

namespace {

std::mutex& hostMutex() {
  static std::mutex& mutex = *new std::mutex();
  return mutex;
}

std::string& overrideURL() {  // guarded by hostMutex()
  static std::string& url = *new std::string();
  return url;
}

}  // namespace

std::string ODCServiceHost::baseURL() {
  {
    std::lock_guard<std::mutex> lock(hostMutex());
    if (!overrideURL().empty()) return overrideURL();
  }
  const char* environment = std::getenv(kEnvironmentVariable);
  std::string url = environment != nullptr && *environment != '\0' ? environment : kDefaultBaseURL;
  while (!url.empty() && url.back() == '/') url.pop_back();
  return url;
}

void ODCServiceHost::setBaseURL(std::string url) {
  while (!url.empty() && url.back() == '/') url.pop_back();
  std::lock_guard<std::mutex> lock(hostMutex());
  overrideURL() = std::move(url);
}
