#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform {

// An absolute URL (the phone's NSURL, as far as the app needs it), parsed with liburiparser
// (RFC 3986). URLWithString refuses text that is no URI reference with a scheme: characters
// outside the URI alphabet (spaces, quotes, non-ASCII), bad percent escapes, or no scheme.
// An empty URL (`URL()`) has an empty absolute string, as an empty NSURL would. Value type.
class URL {
 public:
  using QueryItems = std::vector<std::pair<std::string, std::string>>;

  URL() = default;
  static std::optional<URL> URLWithString(std::string_view text);

  const std::string& absoluteString() const { return text_; }
  bool isEmpty() const { return text_.empty(); }
  // Lower-cased scheme, host as written (lower-cased), path and query (without "?").
  const std::string& scheme() const { return scheme_; }
  const std::string& host() const { return host_; }
  const std::string& path() const { return path_; }
  const std::string& query() const { return query_; }
  // The query's name=value pairs, percent-decoded ('+' read as a space), in order.
  QueryItems queryItems() const;
  std::optional<std::string> queryValue(std::string_view name) const;

  // Percent-encodes everything but RFC 3986's unreserved characters (for a query value).
  static std::string percentEncoded(std::string_view text);

  bool operator==(const URL& other) const { return text_ == other.text_; }

 private:
  std::string text_;
  std::string scheme_;
  std::string host_;
  std::string path_;
  std::string query_;
};

}  // namespace platform
