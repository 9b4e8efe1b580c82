#pragma once

#include <memory>

#include "platform/runtime/RuntimeObject.h"

// What an older measurement library's class "OMRMeasurement" answers when it is linked into
// the same app (found by name in the class registry): the class operation sharedInstance.
// Its shared instance is switched off through APMOMRMeasurementSwitch.
class APMOMRMeasurementClass {
 public:
  virtual ~APMOMRMeasurementClass() = default;
  virtual std::shared_ptr<platform::RuntimeObject> sharedInstance() = 0;
};

// What an instance of the older library answers.
class APMOMRMeasurementSwitch {
 public:
  virtual ~APMOMRMeasurementSwitch() = default;
  virtual void setIsEnabled(bool enabled) = 0;
};

// Switches off an older measurement library that would otherwise measure the same app twice.
// The engine calls it at every start. The class answers the same operations as the library it
// switches off, doing nothing.
class APMBackwardCompatibilityUtil : public APMOMRMeasurementSwitch {
 public:
  // Sends setIsEnabled(false) to the shared instance of "OMRMeasurement" when that class is
  // registered, answers sharedInstance and its instance answers setIsEnabled. True when a shared
  // instance was obtained.
  static bool disableOMRMeasurement();

  static std::shared_ptr<platform::RuntimeObject> sharedInstance() { return nullptr; }
  void setIsEnabled(bool) override {}
};
