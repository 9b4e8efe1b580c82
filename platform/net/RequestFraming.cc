#include "platform/net/RequestFraming.h"

#include <strings.h>

#include <string_view>

namespace platform {

namespace http = boost::beast::http;

namespace {

bool equalIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace

std::optional<std::string> laxFraming(http::request_header<>& request) {
  const size_t encodings = request.count(http::field::transfer_encoding);
  if (encodings > 1) return "malformed request: more than one Transfer-Encoding\n";
  if (encodings == 1) {
    const auto value = request[http::field::transfer_encoding];
    if (!equalIgnoringCase(std::string_view(value.data(), value.size()), "chunked")) {
      return "malformed request: a Transfer-Encoding other than chunked\n";
    }
  }
  if (request.count(http::field::host) > 1) return "malformed request: more than one Host\n";

  const std::string_view target(request.target().data(), request.target().size());
  if (target.rfind('/', 0) == 0 || target == "*") return std::nullopt;
  constexpr std::string_view kScheme = "http://";
  if (target.size() < kScheme.size() ||
      !equalIgnoringCase(target.substr(0, kScheme.size()), kScheme)) {
    return "malformed request: a target that is neither a path nor this server's address\n";
  }
  const std::string_view rest = target.substr(kScheme.size());
  const size_t pathStart = rest.find_first_of("/?#");
  const std::string_view authority = rest.substr(0, pathStart);
  const auto host = request[http::field::host];
  if (authority.empty() ||
      !equalIgnoringCase(authority, std::string_view(host.data(), host.size()))) {
    return "malformed request: a target naming another host\n";
  }
  std::string path(pathStart == std::string_view::npos ? "" : rest.substr(pathStart));
  if (path.empty() || path.front() != '/') path.insert(0, "/");
  request.target(path);
  return std::nullopt;
}

}  // namespace platform
