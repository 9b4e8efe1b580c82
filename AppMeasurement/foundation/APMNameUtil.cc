#include "AppMeasurement/foundation/APMNameUtil.h"

#include "AppMeasurement/foundation/APMMonitor.h"

bool APMIsPublicName(std::string_view name) {
  if (name.empty()) {
    APMMonitor::monitor()->logWithLevel(2, 18003, "Cannot check the name. Name is empty");
    return false;
  }
  return name.front() != '_';
}

bool APMIsNotErrorEventName(std::string_view name) { return name != "_err"; }
