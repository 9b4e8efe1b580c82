#include "AppMeasurement/features/APMScreenParameters.h"

#include "AppMeasurement/foundation/APMDataTypeValidator.h"
#include "AppMeasurement/foundation/APMMonitor.h"

namespace {

APMObject text(const std::string& value) { return APMObject(APMValue(value)); }

bool isValid(const std::optional<std::string>& value, int64_t* failureCode = nullptr) {
  return value && APMDataTypeValidator::isValidScreenParameterValue(
                      APMObject(platform::Value(*value)), failureCode);
}

}  // namespace

std::string APMScreenClassNameFromClass(std::string_view className) {
  size_t dot = className.rfind('.');
  if (dot == std::string_view::npos || dot + 1 >= className.size()) return std::string(className);
  return std::string(className.substr(dot + 1));
}

APMObjectMap APMScreenEventParameters(const APMScreen& screen) {
  APMObjectMap parameters{{"_si", APMObject(APMValue(screen.instanceID()))}};
  const std::optional<std::string>& className = screen.className();
  if (!className || className->empty()) {
    APMMonitor::monitor()->logWithLevel(3, 31014, "Screen class name is empty");
  }
  int64_t failure = 0;
  if (!className || !isValid(className, &failure)) {
    if (className) {
      APMMonitor::monitor()->logWithLevel(3, 31015, "Screen class name is invalid. Error code",
                                          failure);
    }
    return parameters;
  }
  parameters.emplace("_sc", text(*className));
  if (isValid(screen.name())) parameters.emplace("_sn", text(*screen.name()));
  return parameters;
}

APMObjectMap APMPreviousScreenEventParameters(const APMScreen& screen) {
  APMObjectMap parameters{{"_pi", APMObject(APMValue(screen.instanceID()))}};
  if (isValid(screen.className())) parameters.emplace("_pc", text(*screen.className()));
  if (isValid(screen.name())) parameters.emplace("_pn", text(*screen.name()));
  return parameters;
}
