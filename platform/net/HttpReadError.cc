#include "platform/net/HttpReadError.h"

#include <boost/beast/http/error.hpp>

namespace platform {

namespace http = boost::beast::http;

std::optional<http::status> statusForReadError(const boost::system::error_code& ec) {
  if (ec.category() != http::make_error_code(http::error::end_of_stream).category()) {
    return std::nullopt;  // socket errors, time-outs, cancellation
  }
  if (ec == http::error::end_of_stream || ec == http::error::partial_message) return std::nullopt;
  if (ec == http::error::header_limit) return http::status::request_header_fields_too_large;
  if (ec == http::error::body_limit) return http::status::payload_too_large;
  return http::status::bad_request;
}

bool isHeadRequest(const http::request_header<>& parsed, std::string_view unread) {
  if (!parsed.method_string().empty()) return parsed.method() == http::verb::head;
  // Some clients send an empty line after a body, before the next request line; Beast's parser
  // refuses it, and that refusal still answers a HEAD.
  while (unread.substr(0, 2) == "\r\n") unread.remove_prefix(2);
  return unread.substr(0, 5) == "HEAD ";
}

}  // namespace platform
