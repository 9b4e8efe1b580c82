#include "AppMeasurement/script/APMPEvent.h"

#include <cmath>

#include "AppMeasurement/script/APMPText.h"
#include "AppMeasurement/script/APMPValueFunctions.h"

const platform::Value* APMPEvent::parameterForName(const std::string& name) const {
  auto it = parameters_.find(name);
  return it == parameters_.end() ? nullptr : &it->second;
}

void APMPEvent::setParameter(std::optional<platform::Value> value, const std::string& name) {
  if (!value) {
    parameters_.erase(name);
    return;
  }
  platform::Value normalized = APMPNormalizeParameterValue(name, parameterForName(name), *value);
  parameters_[name] = std::move(normalized);
}

namespace {

bool SameParameter(const platform::Value& a, const platform::Value& b) {
  // Kinds must match too (3 and 3.0 differ), which platform::Value's equality already holds.
  return a == b;
}

}  // namespace

bool APMPEvent::isEqualToEvent(const APMPEvent& other) const {
  if (this == &other) return true;
  if (std::fabs(timestamp_ - other.timestamp_) > 2.220446049250313e-16) return false;
  if (name_ != other.name_) return false;
  if (parameters_.size() != other.parameters_.size()) return false;
  for (const auto& [name, value] : parameters_) {
    const platform::Value* theirs = other.parameterForName(name);
    if (theirs == nullptr || !SameParameter(value, *theirs)) return false;
  }
  return true;
}

platform::Value APMPNormalizeParameterValue(const std::string& name, const platform::Value* current,
                                            platform::Value newValue) {
  if (!newValue.isNumber()) return newValue;
  auto asInteger = [&newValue]() {
    return platform::Value(APMPSaturatingInt64(*newValue.numberAsDouble()));
  };
  if (name == "_syn" || name == "_err" || name == "_el") return asInteger();
  if (current != nullptr && current->isNumber()) {
    if (current->isReal()) return newValue;
    if (name.empty() || name[0] != '_') return asInteger();
    return *current;
  }
  if (current != nullptr && current->isString())
    return platform::Value(APMPUTF8FromUTF16(APMPNumberToString(*newValue.numberAsDouble())));
  return newValue;
}
