#include "tools/measurement-service/BoundedJsonText.h"

#include <ostream>
#include <streambuf>

namespace measurement_service {

namespace {

// The serializer's output, handed on a piece at a time as the library's stream writer gives it
// (it buffers 512 bytes).
class AppendingBuffer : public std::streambuf {
 public:
  explicit AppendingBuffer(BoundedJsonText* text) : text_(text) {}

 protected:
  std::streamsize xsputn(const char* s, std::streamsize length) override {
    text_->append(std::string_view(s, static_cast<size_t>(length)));
    return length;
  }
  int_type overflow(int_type c) override {
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
      const char character = traits_type::to_char_type(c);
      text_->append(std::string_view(&character, 1));
    }
    return traits_type::not_eof(c);
  }

 private:
  BoundedJsonText* text_;
};

}  // namespace

void BoundedJsonText::append(std::string_view text) {
  bytes_ += text.size();
  if (bytes_ <= limit_ && !failed_) {
    text_ += text;
  } else if (!text_.empty()) {
    std::string().swap(text_);  // handed back now, not when the row is done
  }
}

void BoundedJsonText::appendJson(const nlohmann::ordered_json& value) {
  // A stream of width 0 gets the compact text dump() makes; invalid UTF-8 throws as there.
  AppendingBuffer buffer(this);
  std::ostream out(&buffer);
  out << value;
  // An append that threw (memory ran out) left the stream bad and the value's text partial.
  if (out.bad()) {
    failed_ = true;
    std::string().swap(text_);
  }
}

}  // namespace measurement_service
