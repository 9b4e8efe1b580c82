#pragma once

#include <boost/beast/http/status.hpp>
#include <boost/system/error_code.hpp>
#include <optional>

namespace platform {

// The answer a server of ours gives to a request it could not read, as Beast's parser reported
// the fault: 431 for a header section over the parser's limit, 413 for a body over it, 400 for
// any other malformed request. Nothing (the connection is just closed) when the peer went away,
// the read timed out or the server is stopping: there is no one to answer.
std::optional<boost::beast::http::status> statusForReadError(const boost::system::error_code& ec);

}  // namespace platform
