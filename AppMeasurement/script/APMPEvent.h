#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Value.h"

// The script-side event: a name, a timestamp and parameters (host values: text, integer or
// floating-point numbers, lists and dictionaries made by scripts). A value type: a copy has
// its own parameters. Copies share one immutable dictionary until one of them changes its
// parameters, which then takes a copy of its own: the editing host copies each event three
// times or more and most callbacks change few of them.
class APMPEvent {
 public:
  APMPEvent() = default;
  APMPEvent(std::string name, double timestamp, platform::Value::Dictionary parameters)
      : name_(std::move(name)),
        timestamp_(timestamp),
        parameters_(std::make_shared<platform::Value::Dictionary>(std::move(parameters))) {}

  const std::string& name() const { return name_; }
  void setName(std::string name) { name_ = std::move(name); }
  double timestamp() const { return timestamp_; }
  void setTimestamp(double timestamp) { timestamp_ = timestamp; }
  const platform::Value::Dictionary& parameters() const {
    return parameters_ ? *parameters_ : emptyParameters();
  }
  // The parameter, or null when absent.
  const platform::Value* parameterForName(std::string_view name) const;
  bool hasParameterName(std::string_view name) const { return parameterForName(name) != nullptr; }
  // nullopt removes the parameter; otherwise the value is normalised against the current one
  // (APMPNormalizeParameterValue) and stored.
  void setParameter(std::optional<platform::Value> value, const std::string& name);

  // Equal timestamps (within double epsilon), names and parameters. Parameters compare as the
  // platform's objects do (numbers by value, inside lists and dictionaries too), and a number
  // parameter must also keep its kind (integer or floating point). Parameters are compared
  // both ways, so a removed parameter makes the events unequal.
  bool isEqualToEvent(const APMPEvent& other) const;

 private:
  static const platform::Value::Dictionary& emptyParameters();
  // The parameters to change: this event's own copy, taken now if they are shared.
  platform::Value::Dictionary& mutableParameters();

  std::string name_;
  double timestamp_ = 0;
  // Null for no parameters. Never changed while another event shares it.
  std::shared_ptr<const platform::Value::Dictionary> parameters_;
};

// The value a parameter takes when a script stores `newValue` where `current` (or nothing)
// was: "_syn", "_err", "_el" are integers; an integer parameter stays an integer (or keeps
// its value when its name begins with "_"); a text parameter takes the number's text.
platform::Value APMPNormalizeParameterValue(const std::string& name, const platform::Value* current,
                                            platform::Value newValue);
