#include "AppMeasurement/engine/APMBackwardCompatibilityUtil.h"

#include "platform/runtime/ClassRegistry.h"

bool APMBackwardCompatibilityUtil::disableOMRMeasurement() {
  auto omrClass =
      platform::ClassRegistry::shared().create<APMOMRMeasurementClass>("OMRMeasurement");
  if (!omrClass) return false;
  std::shared_ptr<platform::RuntimeObject> instance = omrClass->sharedInstance();
  auto* measurement = dynamic_cast<APMOMRMeasurementSwitch*>(instance.get());
  if (!measurement) return false;
  measurement->setIsEnabled(false);
  return true;
}
