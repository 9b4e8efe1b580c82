#include "AppMeasurement/messages/NANOMessage.h"

NANOMessage::NANOMessage(const NANOMessageLayout& layout)
    : layout_(&layout), info_(std::make_unique<NANOMessageInfo>(layout)) {}

NANOMessage::NANOMessage(const NANOMessageLayout& layout, std::unique_ptr<NANOMessageInfo> info)
    : layout_(&layout), info_(std::move(info)) {
  if (!info_ || &info_->layout() != layout_) info_ = std::make_unique<NANOMessageInfo>(layout);
}

NANOMessage::NANOMessage(const NANOMessage& other)
    : NANOMessageBase(other),
      layout_(other.layout_),
      info_(other.info_ ? std::make_unique<NANOMessageInfo>(*other.info_) : nullptr) {}

NANOMessage& NANOMessage::operator=(const NANOMessage& other) {
  if (this != &other) {
    layout_ = other.layout_;
    info_ = other.info_ ? std::make_unique<NANOMessageInfo>(*other.info_) : nullptr;
  }
  return *this;
}

std::optional<std::string> NANOMessage::protoBuffer() const {
  if (!info_) return std::nullopt;
  std::string bytes;
  if (NANOEncode(*info_, &bytes) == kNANOEncodeFailure) return std::nullopt;
  return bytes;
}

bool NANOMessage::operator==(const NANOMessage& other) const {
  if (!info_ || !other.info_) return !info_ && !other.info_ && layout_ == other.layout_;
  return *info_ == *other.info_;
}
