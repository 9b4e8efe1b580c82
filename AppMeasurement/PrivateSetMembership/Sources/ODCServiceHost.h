#pragma once

#include <string>

// Where the on-device conversion services live: the base URL ("http://host:port", no trailing
// slash) in front of every endpoint path of both conversion flows. Configuration, not code:
// the environment variable KVL_ODC_SERVICE_URL sets it for a run, setBaseURL for a process
// (tests, the app's configuration); the default is the local psm-server. The URL is taken as
// given: the network object holds every request to its transport rule (https to any host,
// plain http only to this machine), so a plain-http URL of another host fails before any
// connection (OULNetworkErrorCodeSecureConnectionRequired). Thread-safe.
class ODCServiceHost {
 public:
  static constexpr const char* kDefaultBaseURL = "http://127.0.0.1:8787";
  static constexpr const char* kEnvironmentVariable = "KVL_ODC_SERVICE_URL";

  static std::string baseURL();
  // An empty URL goes back to the environment or the default.
  static void setBaseURL(std::string url);
};
