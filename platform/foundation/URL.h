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

  // Whether the host names this machine's loopback, read as libcurl reads a URL's host before
  // it connects, so that this answer and the network object's agree for every spelling:
  // "localhost" in any case; an IPv4 address in 127/8 in
  // any spelling inet_aton(3) takes ("127.0.0.1", "127.1", "0177.0.0.1", "0x7f.1",
  // "2130706433"; a leading 0 makes a part octal, so "0127.0.0.1" is 87.0.0.1 and not
  // loopback); the IPv6 address ::1 in any of its spellings, without a zone. Percent escapes
  // are decoded first ("127.0.0.%31" is 127.0.0.1). Anything else is not: a name that merely
  // starts with "127.0.0.1" or "localhost", "127.0.0.1." and "localhost." (a trailing dot
  // makes either a name for the system's resolver, which libcurl asks and which need not know
  // it), a subdomain of localhost, another IPv6 address, an IPv4-mapped one. The userinfo
  // before an "@" is never the host.
  bool isLoopback() const { return isLoopbackHost(host_); }
  // The same test on a host alone (an IPv6 literal with or without its brackets). This is the
  // one loopback test of the program: the transport rule (plain http only to this machine)
  // and every choice of scheme for a configured host use it.
  static bool isLoopbackHost(std::string_view host);

  // "http://" when "http://" + `hostAndPort` is a URL to a loopback host, else "https://":
  // the scheme the library uses for a configured service host ("host" or "host:port").
  static std::string schemePrefixForHost(std::string_view hostAndPort);

  // Percent-encodes everything but RFC 3986's unreserved characters (for a query value).
  static std::string percentEncoded(std::string_view text);

  // "%XX" escapes decoded (as libcurl decodes a URL's host before it uses it); nothing for a
  // malformed escape or a decoded NUL.
  static std::optional<std::string> percentDecoded(std::string_view text);

  bool operator==(const URL& other) const { return text_ == other.text_; }

 private:
  std::string text_;
  std::string scheme_;
  std::string host_;
  std::string path_;
  std::string query_;
};

}  // namespace platform
