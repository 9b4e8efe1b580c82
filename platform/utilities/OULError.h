#pragma once

#include <cstdint>
#include <string>

// The utilities framework's error value: what its network object and data helpers hand back
// where the phone gives an error object. A plain value; copies are independent.
struct OULError {
  std::string domain;       // e.g. kOULNetworkErrorDomain
  int64_t code = 0;         // domain-specific code
  std::string description;  // human-readable text (the localized description)

  bool operator==(const OULError&) const = default;
};
