#pragma once

#include <cstdint>
#include <string_view>

#include "platform/utilities/OULLoggerLevel.h"

// The monitor's console writer: hands one line to the utilities framework's OS log.
// Stateless; may be called from any thread (the monitor calls it on its own queue).
class APMASLLogger {
 public:
  virtual ~APMASLLogger() = default;

  // The utilities logger level of a monitor level: 0-2 error, 3-5 warning, 6 notice,
  // 7 and 8 debug, anything else warning.
  static OULLoggerLevel OULLoggerLevelFromLogLevel(int logLevel);

  // Writes the message under the subsystem "com.orvane.kavrelin.analytics" with the tag as
  // category and the code as "I-ACS%06ld". Every "%" of the message is doubled first, since
  // the message is handed over as a format without arguments. Lines of monitor level
  // exactly 7 are forced through the console threshold.
  virtual void logMessage(std::string_view message, std::string_view logTag, int64_t messageCode,
                          int logLevel);
};
