#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

// The app's standard output, where the plug-ins and the delegate write their lines (a part of
// their behaviour, as print() is on the phone). One line per call, whole, from any thread. Tests
// install a sink to read the lines.
class AppOutput {
 public:
  using Sink = std::function<void(const std::string& line)>;
  static void print(std::string_view line);
  // Replaces the sink (empty: standard output again); returns the previous one.
  static Sink setSink(Sink sink);

  // How the original prints an optional text: Optional("…") with the text escaped as a string
  // literal (quote, backslash, control characters), or nil.
  static std::string optionalDescription(const std::optional<std::string>& text);
};
