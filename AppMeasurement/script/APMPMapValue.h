#pragma once

#include "AppMeasurement/script/APMPPropertyMap.h"
#include "AppMeasurement/script/APMPRuntimeValue.h"

// A script object: a table of named properties. Made through the object manager so that the
// collector tracks it.
class APMPMapValue : public APMPRuntimeValue {
 public:
  APMPMapValue() : APMPRuntimeValue(APMPValueKind::Map) {}

  std::u16string stringValueOrError(APMPErrorSlot error) const override;
  double doubleValueOrError(APMPErrorSlot error) const override;
  bool booleanValueOrError(APMPErrorSlot error) const override;
  APMPValuePtr applyWithName(const std::u16string& name, const APMPValueList& arguments,
                             const APMPScopePtr& scope, APMPErrorSlot error) override;
  bool isEqualToRuntimeValue(const APMPRuntimeValue& other) const override;
  void mark(APMPMarker& marker) override;
  void sweep() override;

  bool hasProperty(const std::u16string& name) const { return propertyMap_.hasName(name); }
  void setValue(APMPValuePtr value, const std::u16string& name) {
    propertyMap_.setValue(std::move(value), name);
  }
  const APMPValuePtr& valueForProperty(const std::u16string& name) const {
    return propertyMap_.valueForName(name);
  }
  void removeValueForProperty(const std::u16string& name) { propertyMap_.removeValueForName(name); }
  std::vector<std::u16string> allPropertyNames() const { return propertyMap_.allNames(); }
  APMPPropertyMap& propertyMap() { return propertyMap_; }
  const APMPPropertyMap& propertyMap() const { return propertyMap_; }
  bool isMarked() const { return mark_; }
  // True when the collection of `marker` has already visited this value.
  bool isMarkedBy(const APMPMarker& marker) const { return mark_ && markEpoch_ == marker.epoch(); }

 private:
  APMPPropertyMap propertyMap_;
  bool mark_ = false;
  // The collection that set `mark_`. Values that no manager tracks are never swept, so their
  // flag stays set; a later collection must still visit them.
  uint64_t markEpoch_ = 0;
};

// The method-call rules that maps and functions share: an own function-valued property,
// then "hasOwnProperty", then the base behaviour.
APMPValuePtr APMPApplyToPropertyHolder(APMPRuntimeValue& receiver, APMPPropertyMap& properties,
                                       const std::u16string& name, const APMPValueList& arguments,
                                       const APMPScopePtr& scope, APMPErrorSlot error);
