#include "AppMeasurement/messages/NANOLog.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "platform/foundation/PlatformLog.h"

void NANOLog(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string line;
  if (length > 0) {
    line.resize(static_cast<size_t>(length) + 1);
    std::vsnprintf(line.data(), line.size(), format, args);
    line.resize(static_cast<size_t>(length));
  }
  va_end(args);
  platform::PlatformLog::write(line);
}
