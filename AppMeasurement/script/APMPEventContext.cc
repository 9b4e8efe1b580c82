#include "AppMeasurement/script/APMPEventContext.h"

void APMPEventContext::setInputEvent(const APMPEvent& event) {
  inputEvent_ = event;
  outputEvent_ = event;
  loggedEvents_.clear();
}

void APMPEventContext::logEventWithName(std::string name, double timestamp,
                                        const platform::Value::Dictionary& parameters) {
  platform::Value::Dictionary normalized;
  for (const auto& [key, value] : parameters)
    normalized[key] = APMPNormalizeParameterValue(key, inputEvent_.parameterForName(key), value);
  loggedEvents_.emplace_back(std::move(name), timestamp, std::move(normalized));
}
