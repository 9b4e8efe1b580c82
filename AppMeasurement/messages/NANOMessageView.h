#pragma once

#include <optional>
#include <string>

#include "AppMeasurement/messages/NANOMessage.h"

// A read-only view of a record that another message owns: a sub-message or a list element
// read in place instead of copied (NANOViewMessage, NANOViewMessageArray). Reading a deep
// message through views costs no copies, where reading it through NANOGetMessage copies every
// level once per level above it.
//
// The view borrows the record: it stays valid while the owning message is alive and the field
// it came from is not changed. The getters accept it like any message; the setters refuse it
// (it hands out no writable record, so they log that the message is not initialised and
// change nothing: even on a non-const view, messageInfo() answers null). Take an owning copy
// with M::initWithMessageInfo(&view.record()).
class NANOMessageView final : public NANOMessageBase {
 public:
  explicit NANOMessageView(const NANOMessageInfo& info) : info_(&info) {}

  // The borrowed record.
  const NANOMessageInfo& record() const { return *info_; }

  const char* messageID() const override { return info_->name(); }
  const char* className() const override { return info_->layout().className; }
  const NANOMessageLayout& messageLayout() const override { return info_->layout(); }
  NANOMessageInfo* messageInfo() override { return nullptr; }
  const NANOMessageInfo* messageInfo() const override { return info_; }
  std::optional<std::string> protoBuffer() const override {
    std::string bytes;
    if (NANOEncode(*info_, &bytes) == kNANOEncodeFailure) return std::nullopt;
    return bytes;
  }

 private:
  const NANOMessageInfo* info_;
};
