#pragma once

#include <utility>

namespace platform {

// The headers by which an answer forbids being shown inside a page of another origin (a frame
// of a page of ours in a page on another port of 127.0.0.1 would share its tab's storage and
// cookies). Every loopback server of ours sends them with every answer.
inline constexpr std::pair<const char*, const char*> kNoFramingHeaders[] = {
    {"Content-Security-Policy", "frame-ancestors 'none'"},
    {"X-Frame-Options", "DENY"},
};

}  // namespace platform
