#pragma once

#include <boost/beast/http/message.hpp>
#include <boost/beast/http/status.hpp>
#include <boost/system/error_code.hpp>
#include <optional>
#include <string_view>

namespace platform {

// The answer a server of ours gives to a request it could not read, as Beast's parser reported
// the fault: 431 for a header section over the parser's limit, 413 for a body over it, 400 for
// any other malformed request. Nothing (the connection is just closed) when the peer went away,
// the read timed out or the server is stopping: there is no one to answer.
std::optional<boost::beast::http::status> statusForReadError(const boost::system::error_code& ec);

// Whether the request being answered is a HEAD, whose answer ends with its header section: by
// its method once the parser has read its request line, else by the request's first bytes, still
// unread (`unread`), as when that line is over the parser's limit and is refused unparsed.
bool isHeadRequest(const boost::beast::http::request_header<>& parsed, std::string_view unread);

}  // namespace platform
