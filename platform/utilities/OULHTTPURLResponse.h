#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The HTTP answer a request completed with (the final one, after redirects).
struct OULHTTPURLResponse {
  std::string url;  // the address that answered
  int64_t statusCode = 0;
  // Header fields in the order received; a name may repeat.
  std::vector<std::pair<std::string, std::string>> allHeaderFields;
  // The Content-Length the server announced, or -1 when it announced none.
  int64_t expectedContentLength = -1;

  // The value of a header field, matched case-insensitively; repeated fields are joined with
  // ", " as HTTP allows. Nothing when absent.
  std::optional<std::string> valueForHTTPHeaderField(std::string_view name) const;
};
