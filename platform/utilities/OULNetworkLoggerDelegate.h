#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"
#include "platform/utilities/OULLoggerLevel.h"

// Receives the network object's log lines (the measurement engine forwards them to its
// monitor). Called on the network object's worker thread; implementations must be thread-safe.
class OULNetworkLoggerDelegate {
 public:
  virtual ~OULNetworkLoggerDelegate() = default;

  // One line: the utilities-framework level, a message code (OULNetworkMessageCode), the
  // message and its context values (possibly none).
  virtual void OULNetwork_logWithLevel(OULLoggerLevel level, int64_t messageCode,
                                       const std::string& message,
                                       const std::vector<platform::Value>& contexts) = 0;
};
