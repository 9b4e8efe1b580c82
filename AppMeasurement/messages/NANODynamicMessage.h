#pragma once

#include <optional>
#include <string_view>

#include "AppMeasurement/messages/NANOMessage.h"

// A message object whose message is chosen at run time by its layout (tools, fuzzing and
// tests that work over every message). Behaves like the generated classes.
class NANODynamicMessage final : public NANOMessage {
 public:
  explicit NANODynamicMessage(const NANOMessageLayout& layout) : NANOMessage(layout) {}

  // A deep copy of a record of any message; null gives nullopt.
  static std::optional<NANODynamicMessage> initWithMessageInfo(const NANOMessageInfo* info) {
    if (info == nullptr) return std::nullopt;
    return NANODynamicMessage(info->layout(), std::make_unique<NANOMessageInfo>(*info));
  }

  static std::optional<NANODynamicMessage> initWithBuffer(const NANOMessageLayout& layout,
                                                          std::optional<std::string_view> data) {
    const auto* bytes = data ? reinterpret_cast<const uint8_t*>(data->data()) : nullptr;
    auto info = NANODecode(layout, bytes, data ? data->size() : 0);
    if (!info) return std::nullopt;
    return NANODynamicMessage(layout, std::move(info));
  }

 private:
  NANODynamicMessage(const NANOMessageLayout& layout, std::unique_ptr<NANOMessageInfo> info)
      : NANOMessage(layout, std::move(info)) {}
};
