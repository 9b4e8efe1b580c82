#pragma once

// Levels of the utilities framework's logger: the phone's system-log scale, so that a
// smaller number is more severe. The console threshold (OULSetLoggerLevel) is one of them.
enum OULLoggerLevel : int {
  OULLoggerLevelError = 3,
  OULLoggerLevelWarning = 4,
  OULLoggerLevelNotice = 5,
  OULLoggerLevelInfo = 6,
  OULLoggerLevelDebug = 7,
  OULLoggerLevelMin = OULLoggerLevelError,
  OULLoggerLevelMax = OULLoggerLevelDebug,
};
