#include "app/AppOutput.h"

#include <cstdio>
#include <iostream>
#include <mutex>

namespace {
// Never destroyed: plug-ins print from other threads while the process exits.
std::mutex& gMutex = *new std::mutex();
AppOutput::Sink& gSink = *new AppOutput::Sink();  // guarded by gMutex
}  // namespace

void AppOutput::print(std::string_view line) {
  std::lock_guard lock(gMutex);
  if (gSink) {
    gSink(std::string(line));
    return;
  }
  std::cout << line << std::endl;
}

AppOutput::Sink AppOutput::setSink(Sink sink) {
  std::lock_guard lock(gMutex);
  std::swap(gSink, sink);
  return sink;
}

std::string AppOutput::optionalDescription(const std::optional<std::string>& text) {
  if (!text) return "nil";
  std::string out = "Optional(\"";
  for (unsigned char c : *text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\0':
        out += "\\0";
        break;
      default:
        if (c < 0x20 || c == 0x7f) {
          char buffer[12];
          std::snprintf(buffer, sizeof buffer, "\\u{%x}", c);
          out += buffer;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\")";
}
