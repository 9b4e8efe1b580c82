#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace measurement_service {

// The JSON text of one stored row (a bundle, an event's parameters), built in place and kept
// only up to a bound. A control character is six bytes of JSON ("\u0001"), so a value can be
// six times its bytes on the wire: past the bound the text is dropped at once, and only its
// length is counted on, so that what it would have been can be told. Not thread-safe.
class BoundedJsonText {
 public:
  explicit BoundedJsonText(size_t limit) : limit_(limit) {}

  void append(std::string_view text);
  // Appends `value` as ordered_json::dump() writes it (compact, strict UTF-8), without building
  // its text apart.
  void appendJson(const nlohmann::ordered_json& value);

  // Whether every byte appended is kept: not past the bound, nor once memory ran out while
  // appendJson wrote (the stream it writes through swallows std::bad_alloc and drops the rest
  // of the value).
  bool whole() const { return !failed_ && bytes_ <= limit_; }
  // Whether memory ran out while appendJson wrote.
  bool failed() const { return failed_; }
  // The bytes appended, kept or not (once failed(), those written before).
  size_t bytes() const { return bytes_; }
  // The text appended while whole(); empty past the bound or once failed().
  const std::string& text() const { return text_; }

 private:
  const size_t limit_;
  size_t bytes_ = 0;
  bool failed_ = false;
  std::string text_;
};

}  // namespace measurement_service
