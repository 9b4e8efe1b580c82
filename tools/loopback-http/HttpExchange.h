#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/foundation/JSONBounds.h"

namespace loopback {

// A request as a local service received it.
struct HttpRequest {
  std::string method;                                        // "GET", "POST", ...
  std::string target;                                        // path with query, as sent
  std::string path;                                          // target before "?"
  std::string query;                                         // target after "?" ("" when none)
  std::vector<std::pair<std::string, std::string>> headers;  // in order received
  std::string body;

  // The first header of that name (case-insensitive), or nothing.
  std::optional<std::string> header(std::string_view name) const;
};

// What a service answers to one request.
struct HttpResponse {
  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  // Held back this long (real time) before the answer is written: services use it to play a
  // slow server. The server's shutdown cuts a stall short.
  std::chrono::milliseconds delay{0};
  // Never answered: the connection stays open, silent, until the client gives up or the server
  // stops. Plays a server that accepted the request and hung.
  bool silent = false;
  // Never answered: the connection is reset (closed at once, with a TCP reset). Plays a
  // server that dropped the exchange.
  bool reset = false;
  // The most memory the handler held for this request beyond its body, when it knows it (a
  // gzip body inflated): after a request whose body or held bytes reach a mebibyte, the server
  // hands what the handling freed back to the system (LoopbackHttpServer).
  size_t heldBytes = 0;

  static HttpResponse text(int status, std::string body,
                           std::string contentType = "text/plain; charset=utf-8");
};

// The bounds of a developer's document sent to a control route (a configuration, the
// experiments answer): larger than a request's, still a bounded parse.
inline constexpr platform::JSONBounds kDocumentJSONBounds{32, 100000};

// 413 naming the bound when a JSON body goes beyond `bounds` (platform::exceedsJSONBounds);
// nothing when it may be parsed. Every JSON route of the services asks this before it parses.
std::optional<HttpResponse> refuseUnboundedJSON(std::string_view body,
                                                platform::JSONBounds bounds = {});

// A whole number (at most 18 digits) from a query ("after=12&limit=50"): `fallback` when the
// item is absent, nothing when it is not such a number.
std::optional<uint64_t> queryItemNumber(std::string_view query, std::string_view name,
                                        uint64_t fallback);

}  // namespace loopback
