#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/runtime/RuntimeObject.h"

// One screen as the screen-view, session and ad-exposure reporters pass it around: its name
// (may be absent), the module-free class name of what shows it, and the instance id that
// tells two showings apart. A manually set screen came from setScreenName:screenClass:, a
// manually tracked one from a logged "screen_view" event (with that event's time). Immutable
// once made; shared freely between queues (and attached to the view controller it belongs
// to, hence a runtime object).
class APMScreen : public platform::RuntimeObject {
 public:
  APMScreen(std::optional<std::string> name, std::optional<std::string> className,
            int64_t instanceID, bool isManuallySet = false, bool isManuallyTracked = false,
            double eventTimestamp = 0)
      : name_(std::move(name)),
        className_(std::move(className)),
        instanceID_(instanceID),
        isManuallySet_(isManuallySet),
        isManuallyTracked_(isManuallyTracked),
        eventTimestamp_(eventTimestamp) {}

  const std::optional<std::string>& name() const { return name_; }
  const std::optional<std::string>& className() const { return className_; }
  int64_t instanceID() const { return instanceID_; }
  bool isManuallySet() const { return isManuallySet_; }
  bool isManuallyTracked() const { return isManuallyTracked_; }
  double eventTimestamp() const { return eventTimestamp_; }

  // A copy carries the name, class name and instance id only.
  std::shared_ptr<APMScreen> copy() const {
    return std::make_shared<APMScreen>(name_, className_, instanceID_);
  }

 private:
  const std::optional<std::string> name_;
  const std::optional<std::string> className_;
  const int64_t instanceID_;
  const bool isManuallySet_;
  const bool isManuallyTracked_;
  const double eventTimestamp_;
};
