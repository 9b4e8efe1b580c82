#pragma once

#include <cstddef>
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
  OULGzipErrorCodeTooLarge = 3,     // inflated data beyond the limit
};

// Inflation stops with OULGzipErrorCodeTooLarge beyond this many bytes, so that a small
// hostile input (gzip reaches ratios near 1000:1) cannot exhaust memory.
inline constexpr size_t kOULGzipMaximumInflatedBytes = 256u * 1024 * 1024;

// Compresses `data` into one gzip member. Empty input gives a valid gzip stream of no content.
// On failure: empty optional, and *error (when error is not null) describes the failure.
std::optional<std::string> oul_dataByGzippingData(std::string_view data, OULError* error);

// Inflates gzip data (one member, or several concatenated as the gzip tool writes them; the
// checksum and length of each member are verified). Empty input, data that is not gzip,
// truncated or corrupt data, and trailing bytes that are not another member all fail: empty
// optional and *error set. Input is untrusted: nothing is read beyond it, and the output is
// limited to kOULGzipMaximumInflatedBytes.
std::optional<std::string> oul_dataByInflatingGzippedData(std::string_view data, OULError* error);

// The same with another output limit.
std::optional<std::string> oul_dataByInflatingGzippedDataWithLimit(std::string_view data,
                                                                   size_t maximumBytes,
                                                                   OULError* error);
