#pragma once

// Writes one formatted line to the platform log. The runtime's diagnostics (misuse of the
// accessors, decode and encode failures) all go there.
void NANOLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
