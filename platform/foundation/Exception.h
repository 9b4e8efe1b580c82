#pragma once

#include <stdexcept>
#include <string>
#include <utility>

#include "platform/foundation/Value.h"

namespace platform {

// The platform's exception class (NSException): a name, a reason and user info.
// Only the places that catch it on the phone catch it here.
class Exception : public std::runtime_error {
 public:
  Exception(std::string name, std::string reason, Value userInfo = Value())
      : std::runtime_error(reason),
        name_(std::move(name)),
        reason_(std::move(reason)),
        userInfo_(std::move(userInfo)) {}

  const std::string& name() const { return name_; }
  const std::string& reason() const { return reason_; }
  const Value& userInfo() const { return userInfo_; }

 private:
  std::string name_;
  std::string reason_;
  Value userInfo_;
};

}  // namespace platform
