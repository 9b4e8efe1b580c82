#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/utilities/OULError.h"

// gzip (RFC 1952) compression and inflation of byte strings: the utilities framework's data
// category. Both are pure functions, safe from any thread.

// Error domain and codes of the two functions.
inline constexpr const char kOULGzipErrorDomain[] = "com.orvane.OULGzip";
enum OULGzipErrorCode : int {
  OULGzipErrorCodeCompression = 1,  // zlib refused to compress
  OULGzipErrorCodeNotGzip = 2,      // empty input, bad header, corrupt or truncated stream
};

// Compresses `data` into one gzip member. Empty input gives a valid gzip stream of no content.
// On failure: empty optional, and *error (when error is not null) describes the failure.
std::optional<std::string> oul_dataByGzippingData(std::string_view data, OULError* error);

// Inflates gzip data (one member, or several concatenated as the gzip tool writes them; the
// checksum and length of each member are verified). Empty input, data that is not gzip,
// truncated or corrupt data, and trailing bytes that are not another member all fail: empty
// optional and *error set. Input is untrusted: nothing is read beyond it.
std::optional<std::string> oul_dataByInflatingGzippedData(std::string_view data, OULError* error);
