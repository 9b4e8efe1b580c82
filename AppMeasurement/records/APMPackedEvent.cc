#include "AppMeasurement/records/APMPackedEvent.h"

#include <cstdint>
#include <cstring>
#include <string_view>
#include <type_traits>
#include <utility>

namespace {

// Which alternative of APMValue::Held a packed value holds. The designated constructor of a
// value takes any held object, a null text or array too: those are packed as such.
enum class HeldKind : unsigned char { kDouble, kInt64, kText, kNullText, kArray, kNullArray };

HeldKind kindOf(const APMValue::Held& held) {
  if (std::holds_alternative<double>(held)) return HeldKind::kDouble;
  if (std::holds_alternative<int64_t>(held)) return HeldKind::kInt64;
  if (const auto* text = std::get_if<std::shared_ptr<const std::string>>(&held)) {
    return *text ? HeldKind::kText : HeldKind::kNullText;
  }
  return std::get<std::shared_ptr<const APMValue::Array>>(held) ? HeldKind::kArray
                                                                : HeldKind::kNullArray;
}

size_t textSize(std::string_view text) { return sizeof(size_t) + text.size(); }

// The bytes a value's held object takes after its kind.
size_t heldSize(HeldKind kind, const APMValue::Held& held) {
  switch (kind) {
    case HeldKind::kDouble:
      return sizeof(double);
    case HeldKind::kInt64:
      return sizeof(int64_t);
    case HeldKind::kText:
      return textSize(*std::get<std::shared_ptr<const std::string>>(held));
    case HeldKind::kArray:
      return sizeof(size_t);
    case HeldKind::kNullText:
    case HeldKind::kNullArray:
      break;
  }
  return 0;
}

// Writes into bytes sized beforehand.
class Writer {
 public:
  explicit Writer(char* out) : out_(out) {}

  template <typename T>
  void scalar(T value) {
    static_assert(std::is_trivially_copyable_v<T>);
    std::memcpy(out_, &value, sizeof(T));
    out_ += sizeof(T);
  }
  void text(std::string_view text) {
    scalar(text.size());
    if (!text.empty()) std::memcpy(out_, text.data(), text.size());
    out_ += text.size();
  }

 private:
  char* out_;
};

// Reads what Writer wrote, in the same order; the bytes are the packer's own.
class Reader {
 public:
  explicit Reader(std::string_view in) : in_(in) {}

  template <typename T>
  T scalar() {
    static_assert(std::is_trivially_copyable_v<T>);
    T value;
    std::memcpy(&value, in_.data() + offset_, sizeof(T));
    offset_ += sizeof(T);
    return value;
  }
  std::string text() {
    size_t size = scalar<size_t>();
    std::string text(in_.substr(offset_, size));
    offset_ += size;
    return text;
  }

 private:
  std::string_view in_;
  size_t offset_ = 0;
};

}  // namespace

APMPackedEvent::APMPackedEvent(const APMEvent& event) {
  // Sized first: the bytes are written in place, into an allocation only when they do not fit.
  size_t size =
      2 * sizeof(double) + textSize(event.origin_) + textSize(event.name_) + sizeof(size_t);
  for (const auto& [key, value] : event.parameters_) {
    size += textSize(key) + sizeof(int64_t) + sizeof(HeldKind) +
            heldSize(kindOf(value.held()), value.held());
  }
  size_ = size;
  if (size > kInlineBytes) overflow_.resize(size);
  Writer out(size > kInlineBytes ? overflow_.data() : inline_.data());
  out.scalar(event.timestamp_);
  out.scalar(event.previousTimestamp_);
  out.text(event.origin_);
  out.text(event.name_);
  out.scalar(event.parameters_.size());
  for (const auto& [key, value] : event.parameters_) {
    out.text(key);
    out.scalar(value.valueType());
    const APMValue::Held& held = value.held();
    HeldKind kind = kindOf(held);
    out.scalar(kind);
    switch (kind) {
      case HeldKind::kDouble:
        out.scalar(std::get<double>(held));
        break;
      case HeldKind::kInt64:
        out.scalar(std::get<int64_t>(held));
        break;
      case HeldKind::kText:
        out.text(*std::get<std::shared_ptr<const std::string>>(held));
        break;
      case HeldKind::kArray:
        out.scalar(arrays_.size());
        arrays_.push_back(std::get<std::shared_ptr<const APMValue::Array>>(held));
        break;
      case HeldKind::kNullText:
      case HeldKind::kNullArray:
        break;
    }
  }
}

APMPackedEvent::APMPackedEvent(const APMPackedEvent& other)
    : size_(other.size_), overflow_(other.overflow_), arrays_(other.arrays_) {
  copyInlineBytes(other);
}

APMPackedEvent::APMPackedEvent(APMPackedEvent&& other) noexcept
    : size_(other.size_), overflow_(std::move(other.overflow_)), arrays_(std::move(other.arrays_)) {
  copyInlineBytes(other);
}

APMPackedEvent& APMPackedEvent::operator=(const APMPackedEvent& other) {
  if (this == &other) return *this;
  size_ = other.size_;
  overflow_ = other.overflow_;
  arrays_ = other.arrays_;
  copyInlineBytes(other);
  return *this;
}

APMPackedEvent& APMPackedEvent::operator=(APMPackedEvent&& other) noexcept {
  if (this == &other) return *this;
  size_ = other.size_;
  overflow_ = std::move(other.overflow_);
  arrays_ = std::move(other.arrays_);
  copyInlineBytes(other);
  return *this;
}

void APMPackedEvent::copyInlineBytes(const APMPackedEvent& other) {
  if (size_ <= kInlineBytes) std::memcpy(inline_.data(), other.inline_.data(), size_);
}

APMEvent APMPackedEvent::unpack() const {
  Reader in(std::string_view(bytes(), size_));
  APMEvent event;
  event.timestamp_ = in.scalar<double>();
  event.previousTimestamp_ = in.scalar<double>();
  event.origin_ = in.text();
  event.name_ = in.text();
  const auto count = in.scalar<size_t>();
  for (size_t i = 0; i < count; ++i) {
    std::string key = in.text();
    const auto valueType = in.scalar<int64_t>();
    APMValue::Held held;
    switch (in.scalar<HeldKind>()) {
      case HeldKind::kDouble:
        held = in.scalar<double>();
        break;
      case HeldKind::kInt64:
        held = in.scalar<int64_t>();
        break;
      case HeldKind::kText:
        held = std::make_shared<const std::string>(in.text());
        break;
      case HeldKind::kNullText:
        held = std::shared_ptr<const std::string>();
        break;
      case HeldKind::kArray:
        held = arrays_[in.scalar<size_t>()];
        break;
      case HeldKind::kNullArray:
        held = std::shared_ptr<const APMValue::Array>();
        break;
    }
    // Packed in key order: each goes at the end.
    event.parameters_.emplace_hint(event.parameters_.end(), std::move(key),
                                   APMValue(valueType, std::move(held)));
  }
  return event;
}
