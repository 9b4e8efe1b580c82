#include "tools/measurement-service/BoundedJsonText.h"

#include <memory>

namespace measurement_service {

namespace {

// The serializer's output, handed on a piece at a time (it buffers 512 bytes).
class Appender : public nlohmann::detail::output_adapter_protocol<char> {
 public:
  explicit Appender(BoundedJsonText* text) : text_(text) {}
  void write_character(char c) override { text_->append(std::string_view(&c, 1)); }
  void write_characters(const char* s, std::size_t length) override {
    text_->append(std::string_view(s, length));
  }

 private:
  BoundedJsonText* text_;
};

}  // namespace

void BoundedJsonText::append(std::string_view text) {
  bytes_ += text.size();
  if (bytes_ <= limit_) {
    text_ += text;
  } else if (!text_.empty()) {
    std::string().swap(text_);  // handed back now, not when the row is done
  }
}

void BoundedJsonText::appendJson(const nlohmann::ordered_json& value) {
  nlohmann::detail::serializer<nlohmann::ordered_json> serializer(std::make_shared<Appender>(this),
                                                                  ' ');
  serializer.dump(value, false, false, 0);
}

}  // namespace measurement_service
