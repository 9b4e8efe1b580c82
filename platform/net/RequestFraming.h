#pragma once

#include <boost/beast/http/message.hpp>
#include <cstddef>
#include <optional>
#include <string>

namespace platform {

// What a connection of a server of ours buffers of a request beyond what its parser has taken:
// the header section (Beast's parser allows 8 KiB) and a chunk's size line, its extensions
// included. A longer chunk line is refused as malformed (400) instead of being held whole
// (Beast bounds chunk extensions by nothing else).
inline constexpr size_t kConnectionBufferBytes = size_t{16} << 10;

// Why a request's header section frames it in a way a server of ours refuses (400, then the
// connection closes), or nothing. Beast's parser lets these through:
//  - a Transfer-Encoding other than exactly "chunked" (one field, any case), which it reads as
//    no body at all, leaving the body to be read as the next request;
//  - a second Host field (the Host check reads the first; another reader may take the last);
//  - a target that is neither a path ("/..."), "*" nor this server's own absolute address:
//    "http://" and the request's Host. Such an address is rewritten to its path, as HTTP/1.1
//    asks of a server, so that routes see a path only.
std::optional<std::string> laxFraming(boost::beast::http::request_header<>& request);

}  // namespace platform
