#pragma once

#include <optional>
#include <string>

#include "platform/foundation/Value.h"

// The script-side event: a name, a timestamp and parameters (host values: text, integer or
// floating-point numbers, lists and dictionaries made by scripts). A value type: copying
// copies the parameter dictionary.
class APMPEvent {
 public:
  APMPEvent() = default;
  APMPEvent(std::string name, double timestamp, platform::Value::Dictionary parameters)
      : name_(std::move(name)), timestamp_(timestamp), parameters_(std::move(parameters)) {}

  const std::string& name() const { return name_; }
  void setName(std::string name) { name_ = std::move(name); }
  double timestamp() const { return timestamp_; }
  void setTimestamp(double timestamp) { timestamp_ = timestamp; }
  const platform::Value::Dictionary& parameters() const { return parameters_; }
  // The parameter, or null when absent.
  const platform::Value* parameterForName(const std::string& name) const;
  bool hasParameterName(const std::string& name) const { return parameters_.count(name) != 0; }
  // nullopt removes the parameter; otherwise the value is normalised against the current one
  // (APMPNormalizeParameterValue) and stored.
  void setParameter(std::optional<platform::Value> value, const std::string& name);

  // Equal timestamps (within double epsilon), names and parameters; a number parameter must
  // also keep its kind (integer or floating point). Parameters are compared both ways, so a
  // removed parameter makes the events unequal.
  bool isEqualToEvent(const APMPEvent& other) const;

 private:
  std::string name_;
  double timestamp_ = 0;
  platform::Value::Dictionary parameters_;
};

// The value a parameter takes when a script stores `newValue` where `current` (or nothing)
// was: "_syn", "_err", "_el" are integers; an integer parameter stays an integer (or keeps
// its value when its name begins with "_"); a text parameter takes the number's text.
platform::Value APMPNormalizeParameterValue(const std::string& name, const platform::Value* current,
                                            platform::Value newValue);
