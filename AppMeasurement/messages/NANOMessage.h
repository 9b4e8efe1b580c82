#pragma once

#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "AppMeasurement/messages/NANOCodec.h"
#include "AppMeasurement/messages/NANOMessageInfo.h"

// The protocol of every message object: what the NANO accessors need from it. Any object that
// offers it can be passed to them.
class NANOMessageBase {
 public:
  virtual ~NANOMessageBase() = default;

  // The message name, as in its schema ("Event").
  virtual const char* messageID() const = 0;
  // The class name ("APMPBEvent").
  virtual const char* className() const = 0;
  virtual const NANOMessageLayout& messageLayout() const = 0;
  // The object's own record; null when the object has none (it was moved from).
  virtual NANOMessageInfo* messageInfo() = 0;
  virtual const NANOMessageInfo* messageInfo() const = 0;
  // The encoded message; empty (not nullopt) when no field is present; nullopt when the object
  // has no record or encoding fails.
  virtual std::optional<std::string> protoBuffer() const = 0;
};

// A message class as a value, for the accessors that make objects of a caller-chosen class
// (the element class of NANOGetArray). initWithMessageInfo answers null when the record is of
// another message.
struct NANOMessageClass {
  const char* className;
  const NANOMessageLayout* layout;
  std::shared_ptr<NANOMessageBase> (*initWithMessageInfo)(const NANOMessageInfo* info);
};

// The shared implementation of the message classes: each object owns one record; copying an
// object copies the record deeply; a moved-from object has no record.
class NANOMessage : public NANOMessageBase {
 public:
  const char* messageID() const override { return layout_->name; }
  const char* className() const override { return layout_->className; }
  const NANOMessageLayout& messageLayout() const override { return *layout_; }
  NANOMessageInfo* messageInfo() override { return info_.get(); }
  const NANOMessageInfo* messageInfo() const override { return info_.get(); }
  std::optional<std::string> protoBuffer() const override;

  // Same message with the same fields and values.
  bool operator==(const NANOMessage& other) const;

 protected:
  explicit NANOMessage(const NANOMessageLayout& layout);
  // Takes over a record of this layout (an empty record replaces one of another layout).
  NANOMessage(const NANOMessageLayout& layout, std::unique_ptr<NANOMessageInfo> info);
  NANOMessage(const NANOMessage& other);
  NANOMessage& operator=(const NANOMessage& other);
  NANOMessage(NANOMessage&& other) noexcept = default;
  NANOMessage& operator=(NANOMessage&& other) noexcept = default;
  ~NANOMessage() override = default;

 private:
  const NANOMessageLayout* layout_;
  std::unique_ptr<NANOMessageInfo> info_;
};

// Tag of the constructor that takes over a record.
struct NANOAdoptRecord {};

// Base of each generated message class M (which provides static layout()).
template <class M>
class NANOMessageT : public NANOMessage {
 public:
  // An empty message: every singular field absent, every repeated field empty.
  NANOMessageT() : NANOMessage(M::layout()) {}
  NANOMessageT(NANOAdoptRecord, std::unique_ptr<NANOMessageInfo> info)
      : NANOMessage(M::layout(), std::move(info)) {}

  // Null gives an empty message; a record of another message gives nullopt; otherwise a deep
  // copy of the record (the caller keeps its record).
  static std::optional<M> initWithMessageInfo(const NANOMessageInfo* info) {
    if (info == nullptr) return M();
    if (std::strcmp(info->name(), M::layout().name) != 0 || &info->layout() != &M::layout()) {
      return std::nullopt;
    }
    return M(NANOAdoptRecord{}, std::make_unique<NANOMessageInfo>(*info));
  }

  // Decodes the bytes; nullopt (nil) bytes and empty bytes give an empty message; bytes that do
  // not decode give nullopt (the reason is in the platform log).
  static std::optional<M> initWithBuffer(std::optional<std::string_view> data) {
    const auto* bytes = data ? reinterpret_cast<const uint8_t*>(data->data()) : nullptr;
    auto info = NANODecode(M::layout(), bytes, data ? data->size() : 0);
    if (!info) return std::nullopt;
    return M(NANOAdoptRecord{}, std::move(info));
  }

  static const NANOMessageClass& messageClass() {
    static const NANOMessageClass kClass{
        M::layout().className, &M::layout(),
        [](const NANOMessageInfo* info) -> std::shared_ptr<NANOMessageBase> {
          auto message = initWithMessageInfo(info);
          if (!message) return nullptr;
          return std::make_shared<M>(std::move(*message));
        }};
    return kClass;
  }
};
