#pragma once

#include <string_view>

namespace base {

// Keeps the first fatal log message of the process (prefix included) for crash reports.
// The text is at most 511 bytes and always ends in a line feed.
// Safe to call from any thread; only the first call records.
void RecordFatalMessage(std::string_view message);

// The recorded text, or an empty view before any fatal message.
std::string_view RecordedFatalMessage();

// Test support: forgets the recorded message so that the next one is recorded again.
void ResetFatalMessageForTesting();

}  // namespace base
