#include "AppMeasurement/script/APMPEvent.h"

#include <cmath>

#include "AppMeasurement/script/APMPText.h"
#include "AppMeasurement/script/APMPValueFunctions.h"

const platform::Value::Dictionary& APMPEvent::emptyParameters() {
  static const platform::Value::Dictionary& empty = *new platform::Value::Dictionary();
  return empty;
}

platform::Value::Dictionary& APMPEvent::mutableParameters() {
  // A count of one cannot grow behind our back: only this event holds the dictionary, so no
  // other thread can copy it.
  if (!parameters_) {
    parameters_ = std::make_shared<platform::Value::Dictionary>();
  } else if (parameters_.use_count() > 1) {
    parameters_ = std::make_shared<platform::Value::Dictionary>(*parameters_);
  }
  return const_cast<platform::Value::Dictionary&>(*parameters_);
}

const platform::Value* APMPEvent::parameterForName(std::string_view name) const {
  if (!parameters_) return nullptr;
  auto it = parameters_->find(name);
  return it == parameters_->end() ? nullptr : &it->second;
}

void APMPEvent::setParameter(std::optional<platform::Value> value, const std::string& name) {
  if (!value) {
    if (parameterForName(name) != nullptr) mutableParameters().erase(name);
    return;
  }
  platform::Value normalized = APMPNormalizeParameterValue(name, parameterForName(name), *value);
  platform::Value::Dictionary& parameters = mutableParameters();
  auto it = parameters.find(name);
  if (it != parameters.end())
    it->second = std::move(normalized);
  else
    parameters.emplace(name, std::move(normalized));
}

namespace {

// A bool or integer and a real of the same value: the real must be integral and in range.
bool IntegerEqualsReal(int64_t integer, double real) {
  std::optional<int64_t> whole = platform::wholeInteger(real);
  return whole && *whole == integer;
}

// The platform's object equality: numbers are equal by value whatever their kind (a list
// read by a script and written back holds reals where it held integers, and is still the
// same list); lists and dictionaries element by element; everything else as platform::Value
// compares it.
bool HostEqual(const platform::Value& a, const platform::Value& b) {
  if (a.isNumber() && b.isNumber()) {
    if (a.isReal() && b.isReal()) return *a.asReal() == *b.asReal();
    if (a.isReal()) return IntegerEqualsReal(*b.numberAsInteger(), *a.asReal());
    if (b.isReal()) return IntegerEqualsReal(*a.numberAsInteger(), *b.asReal());
    return *a.numberAsInteger() == *b.numberAsInteger();
  }
  if (const auto* listA = a.asArray()) {
    const auto* listB = b.asArray();
    if (listB == nullptr || listA->size() != listB->size()) return false;
    for (size_t i = 0; i < listA->size(); ++i)
      if (!HostEqual((*listA)[i], (*listB)[i])) return false;
    return true;
  }
  if (const auto* mapA = a.asDictionary()) {
    const auto* mapB = b.asDictionary();
    if (mapB == nullptr || mapA->size() != mapB->size()) return false;
    for (const auto& [key, value] : *mapA) {
      auto found = mapB->find(key);
      if (found == mapB->end() || !HostEqual(value, found->second)) return false;
    }
    return true;
  }
  return a == b;
}

// A parameter keeps its value when the platform's objects are equal and, for a number, both
// are reals or both integers (3 and 3.0 differ at the top level).
bool SameParameter(const platform::Value& a, const platform::Value& b) {
  if (a.isNumber() && b.isNumber() && a.isReal() != b.isReal()) return false;
  return HostEqual(a, b);
}

}  // namespace

bool APMPEvent::isEqualToEvent(const APMPEvent& other) const {
  if (this == &other) return true;
  if (std::fabs(timestamp_ - other.timestamp_) > 2.220446049250313e-16) return false;
  if (name_ != other.name_) return false;
  if (parameters_ == other.parameters_) return true;
  const platform::Value::Dictionary& mine = parameters();
  if (mine.size() != other.parameters().size()) return false;
  for (const auto& [name, value] : mine) {
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
